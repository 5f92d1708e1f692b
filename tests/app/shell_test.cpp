#include <gtest/gtest.h>

#include "settings/catalogue.hpp"
#include "settings/registry.hpp"
#include "support/fakes.hpp"
#include "support/exit_log.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using test::log_messages;

TEST(ExitLog, LineFormat) {
  test::TestServer t;
  // 14:03:27 local time on 15 March 2008.
  std::tm tm{};
  tm.tm_year = 108;
  tm.tm_mon = 2;
  tm.tm_mday = 15;
  tm.tm_hour = 14;
  tm.tm_min = 3;
  tm.tm_sec = 27;
  tm.tm_isdst = -1;
  t.loop.set_wall_time(WallClock::from_time_t(std::mktime(&tm)));
  t.server.exitlog.writeexitlog("unload-complete");
  EXPECT_EQ(test::Process::slurp(t.dir / "exitlog.txt"), "14:03:27 - 03-15-2008 - 0 - unload-complete\r\n");
}

TEST(ExitLog, UnwritableDirectoryLosesTheLineSilently) {
  VirtualEventLoop loop;
  ExitLog log("/nonexistent-dir/exitlog.txt", loop);
  log.writeexitlog("queryonload");
  EXPECT_FALSE(std::filesystem::exists("/nonexistent-dir/exitlog.txt"));
}

TEST(Shutdown, FullSequenceLeavesTheExactLog) {
  test::TestServer t;
  t.server.start();
  t.loop.advance(3s);
  t.server.shell.close_window();
  const auto expected = test::full_shutdown_log();
  EXPECT_EQ(log_messages(t.dir / "exitlog.txt"), expected);
  // Only the timers the shutdown leaves alone may still tick.
  EXPECT_FALSE(t.f().Timer4.timer_enabled());
  EXPECT_FALSE(t.f().Timer1[2].timer_enabled());
  EXPECT_TRUE(t.f().Timer30[0].timer_enabled());
  EXPECT_TRUE(t.f().Timer28.timer_enabled());
}

TEST(Shutdown, StopwinsockOfAnUnknownChannelLogsOneLine) {
  test::TestServer t;
  t.server.start();
  t.server.exitlog.remove();
  t.server.shell.stopwinsock(5);
  t.server.shell.stopwinsock(2);
  EXPECT_EQ(log_messages(t.dir / "exitlog.txt"),
            (std::vector<std::string>{"stopwinsocket", "stopwinsocket", "stopwinsocket_c2s", "stopwinsocket_c2e"}));
}

TEST(Shutdown, ClosesOnlyOnce) {
  test::TestServer t;
  t.server.start();
  int closed = 0;
  t.server.shell.on_closed = [&] { ++closed; };
  t.server.shell.close_window();
  t.server.shell.close_window();
  EXPECT_EQ(closed, 1);
}

TEST(Save, WritesEveryValueWithItsMarkerAndTheLeadingNumberOfPortFields) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  f.portip1[0].set_text("1020 ");
  f.portip1[4].set_text("abc");
  f.portip1[1].set_text("");
  f.Text11[0].set_text("");
  f.Option1[0].set_value(true);
  f.Combo13[2].set_list_index(-1);
  t.server.shell.schrijfregister();
  settings::RegistryStore& reg = t.server.registry;
  auto text = [&](const char* name) {
    auto v = reg.regget(settings::Root::LocalMachine, settings::kSettingsKey, name);
    return std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : "dword:" + std::to_string(std::get<std::int32_t>(v));
  };
  EXPECT_EQ(text("tcpport1"), "1020x");
  EXPECT_EQ(text("tcpport4"), "0x");
  EXPECT_EQ(text("tcpport2"), "0x");
  EXPECT_EQ(text("serverID1"), "x");
  EXPECT_EQ(text("udppacket"), "Truex");
  EXPECT_EQ(text("audiodevice3"), "-1x");
  EXPECT_EQ(text("timer4"), "50x");
  EXPECT_EQ(text("timer7"), "25x");
  EXPECT_EQ(text("channel3ena"), "0x");
  for (const auto& row : settings::kCatalogue) EXPECT_FALSE(text(std::string(row.name).c_str()).empty()) << row.name;
  // The next start reads back what was saved.
  EXPECT_EQ(t.server.settings.getreg("tcpport1", "1010x"), "1020");
}

// A number typed or stored as text means the same number wherever it is read: a port field
// holding 1010.5 binds the same port on Apply and after a restart, and a stored 1.6 picks the
// same position in every list.
TEST(Save, NumbersReadTheSameOnApplyAndAfterARestart) {
  test::TestServer t;
  t.server.start();
  t.f().portip1[0].set_text("1010.5");
  bool done = false;
  t.f().Command3.click().start_detached([&] { done = true; });
  t.loop.advance(2s);
  ASSERT_TRUE(done);
  auto listener_port = [](Frmserver& f) { return (*f.winsock[0])[0].local_port(); };
  const int applied = listener_port(t.f());
  EXPECT_EQ(applied, 1011);
  t.server.shell.close_window();

  VirtualEventLoop loop;
  test::FakePlatform fakes;
  Server again(loop, fakes.objects(), t.dir);
  const std::vector<const char*> positions = {"comport",      "baudrate",     "comport2",     "baudrate2",
                                              "comport3",     "baudrate3",    "comport4",     "baudrate4",
                                              "audiodevice1", "audiodevice2", "audiodevice3", "audiodevice4",
                                              "audioset1",    "audioset2",    "audioset3",    "audioset4"};
  for (const char* name : positions) again.settings.savereg(name, "1.6x");
  again.start();
  EXPECT_EQ(listener_port(again.form), applied);
  Frmserver& f = again.form;
  for (ui::ComboBox* list : {&f.Combo1, &f.Combo2, &f.Combo5, &f.Combo4, &f.Combo6, &f.Combo7, &f.Combo8, &f.Combo9,
                             &f.Combo13[0], &f.Combo13[1], &f.Combo13[2], &f.Combo13[3], &f.Combo10[0], &f.Combo10[1],
                             &f.Combo10[2], &f.Combo10[3]})
    EXPECT_EQ(list->list_index(), 2) << list->name() << "(" << list->index() << ")";
}

TEST(EnableSwitch, OnOpensThePortFromTheListsAndStartsTheChannel) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  f.Combo6.set_list_index(5);  // port 6
  f.Combo7.set_list_index(1);  // 9600
  f.Check1[1].set_value(1);
  auto& port = t.fakes.ports[2];
  EXPECT_TRUE(port.port_open());
  EXPECT_EQ(port.comm_port(), 6);
  EXPECT_EQ(port.settings(), "9600,n,8,1");
  EXPECT_TRUE(t.fakes.capture[2].active());
  EXPECT_TRUE(f.Timer7[2].timer_enabled());
  EXPECT_TRUE(f.Timer16.timer_enabled());
  EXPECT_TRUE(f.Timer17.timer_enabled());

  // Switching on again is no change: nothing runs.
  const int opens = port.opens;
  f.Check1[1].set_value(1);
  EXPECT_EQ(port.opens, opens);

  t.server.exitlog.remove();
  f.Check1[1].set_value(0);
  EXPECT_FALSE(port.port_open());
  EXPECT_FALSE(t.fakes.capture[2].active());
  EXPECT_FALSE(f.Timer7[2].timer_enabled());
  EXPECT_EQ(log_messages(t.dir / "exitlog.txt"),
            (std::vector<std::string>{"stopwinsocket", "stopwinsocket_c3s", "stopwinsocket_c3e"}));

  // Back on with the list choices of this moment, not the stored ones.
  f.Combo6.set_list_index(2);
  f.Check1[1].set_value(1);
  EXPECT_EQ(port.comm_port(), 3);
}

TEST(EnableSwitch, NoPortSelectedStillStartsTheTimers) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  f.Combo8.set_list_index(-1);
  f.Check1[2].set_value(1);
  EXPECT_FALSE(t.fakes.ports[3].port_open());
  EXPECT_EQ(t.fakes.ports[3].comm_port(), 0);
  EXPECT_TRUE(f.Timer20.timer_enabled());
  EXPECT_TRUE(f.Timer21.timer_enabled());
}

}  // namespace
}  // namespace quillon
