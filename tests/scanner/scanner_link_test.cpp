#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "scanner/channel_table.hpp"
#include "scanner/scanner_link.hpp"
#include "support/fakes.hpp"

namespace quillon {
namespace {

const std::string kFrame =
    "LCD1 [SCAN +   C 020  ][####            ]\rLCD2 [ 167.3500  FM   ][                ]\r"
    "LCD3 [AMK OSL CH 2    ][                ]\rLCD4 [BLAALYS         ][                ]\r";

// What a well-behaved radio answers.
std::string radio_reply(const std::string& query) {
  static const std::map<std::string, std::string> replies = {
      {"LCD\r", kFrame},     {"ST\r", "ST 12.5K\r"}, {"SQ\r", "+\r"},  {"SG\r", "S182 F08594375\r"},
      {"MD\r", "MD01\r"},    {"RM\r", "RM NFM\r"},   {"AT\r", "ATN\r"}, {"CS\r", "CS012\r"},
      {"DL\r", "DLF\r"}};
  auto it = replies.find(query);
  return it == replies.end() ? "ERR\r" : it->second;
}

// A server on fakes whose radios answer every query at once (or as `reply` says).
struct Rig {
  test::TestServer t;
  std::array<std::size_t, 4> seen{};
  std::array<bool, 4> silent{};
  std::function<std::string(const std::string&)> reply = radio_reply;

  Frmserver& f() { return t.f(); }
  test::FakeSerialPort& port(int channel) { return t.fakes.ports[static_cast<std::size_t>(channel - 1)]; }
  ScannerLink& link() { return t.server.scanner; }

  // Moves time on in small steps, answering each new query.
  void run(int ms) {
    for (int done = 0; done < ms; done += 5) {
      t.loop.advance(Millis(5));
      for (std::size_t k = 0; k < 4; ++k) {
        auto& p = t.fakes.ports[k];
        while (seen[k] < p.written.size()) {
          const std::string q = p.written[seen[k]++];
          if (!silent[k] && p.port_open()) p.rx += reply(q);
        }
      }
    }
  }
  std::vector<std::string> queries(int channel) const {
    return t.fakes.ports[static_cast<std::size_t>(channel - 1)].written;
  }
};

std::vector<std::string> take(const std::vector<std::string>& v, std::size_t n) {
  return {v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(n, v.size()))};
}

TEST(PollCycle, ChannelOneStartsWithStepAndRotatesThroughNineQueries) {
  Rig r;
  r.t.server.start();
  r.run(1200);
  const std::vector<std::string> expected = {"ST\r", "SQ\r", "SG\r", "MD\r", "RM\r", "AT\r",
                                             "CS\r", "DL\r", "LCD\r", "ST\r"};
  EXPECT_EQ(take(r.queries(1), expected.size()), expected);
  // Every reply decoded into channel 1's fields (Label4(0)..Label4(7)).
  EXPECT_EQ(r.f().Label4[0].caption(), "STEP$=ST 1");
  EXPECT_EQ(r.f().Label4[1].caption(), "SIGLVL$=182");
  EXPECT_EQ(r.f().Label4[2].caption(), "SQSTAT$=+\r");
  EXPECT_EQ(r.f().Label4[3].caption(), "STATUS$=01");
  EXPECT_EQ(r.f().Label4[4].caption(), "RMODE$=NF");
  EXPECT_EQ(r.f().Label4[5].caption(), "ATTMD$=ATN");
  EXPECT_EQ(r.f().Label4[6].caption(), "CS012\r");
  EXPECT_EQ(r.f().Label4[7].caption(), "DLF\r");
  EXPECT_EQ(r.f().text5[0].text(), kFrame.substr(0, 167));
  EXPECT_EQ(r.f().comdata[0].fill_color(), ui::kGreen);
  EXPECT_EQ(r.f().comdata[4].fill_color(), ui::kGreen);
}

TEST(PollCycle, ChannelTwoRotatesThroughSevenQueriesIntoItsReversedFields) {
  Rig r;
  r.t.server.start();
  r.f().Check1[0].set_value(1);
  r.run(1000);
  const std::vector<std::string> expected = {"LCD\r", "ST\r", "SQ\r", "SG\r", "MD\r", "RM\r", "AT\r", "LCD\r", "ST\r"};
  EXPECT_EQ(take(r.queries(2), expected.size()), expected);
  for (const auto& q : r.queries(2)) {
    EXPECT_NE(q, "CS\r");
    EXPECT_NE(q, "DL\r");
  }
  EXPECT_EQ(r.f().Label4[17].caption(), "STEP$=ST 1");  // field 1 of channel 2
  EXPECT_EQ(r.f().Label4[16].caption(), "SIGLVL$=182");
  EXPECT_EQ(r.f().Label4[12].caption(), "ATTMD$=ATN");  // field 6
  EXPECT_EQ(r.f().Label4[11].caption(), "");            // never asked
  EXPECT_EQ(r.f().text5[1].text().substr(0, 4), "LCD1");
  EXPECT_EQ(r.f().comdata[5].fill_color(), ui::kGreen);
}

TEST(PollCycle, StatusLinesAndStepDisplay) {
  Rig r;
  r.t.server.start();
  for (int k = 1; k <= 2; ++k) r.f().Check1[k].set_value(1);
  r.silent = {true, true, true, true};
  r.run(40);
  std::string nine_empty;
  for (int i = 0; i < 9; ++i) nine_empty += "\r\n";
  EXPECT_EQ(r.f().Text6[2].text(), nine_empty + "ngx3=0");
  EXPECT_EQ(r.f().Text6[3].text(), nine_empty + "ngx4=0");
  EXPECT_EQ(r.f().Label5[2].caption(), "1");
  r.run(20);
  EXPECT_EQ(r.f().Text6[0].text(), nine_empty + "NGX=0");
  EXPECT_EQ(r.f().Label5[0].caption(), "2");
  // Channel 4's fields run from Label4(27); the status lines show them in field order.
  r.f().Label4[27].set_caption("STEP$=X");
  r.f().Label4[35].set_caption("107");
  r.f().pollbusy[3] = 0;
  r.run(40);
  std::string seven_empty;
  for (int i = 0; i < 7; ++i) seven_empty += "\r\n";
  EXPECT_EQ(r.f().Text6[3].text(), "STEP$=X\r\n" + seven_empty + "107\r\nngx4=0");
}

TEST(PollCycle, TextWhileIdleIsDiscardedBeforeTheNextQuery) {
  Rig r;
  r.t.server.start();
  r.silent[0] = true;
  r.f().Timer5.set_timer_enabled(false);  // nobody reads between the poller's ticks
  r.port(1).rx = "stale";
  r.run(50);
  EXPECT_EQ(r.port(1).rx, "");
  EXPECT_EQ(r.f().scanbuf[0], "");
  EXPECT_EQ(r.queries(1).size(), 1u);
}

TEST(PollCycle, OneQueryOutstandingAtATime) {
  Rig r;
  r.t.server.start();
  r.silent[0] = true;
  r.run(900);
  EXPECT_EQ(r.queries(1).size(), 1u);
  EXPECT_EQ(r.f().pollbusy[0], 1);
}

TEST(BusyRelease, FreesAPollerWhoseWatchdogWasStopped) {
  Rig r;
  r.t.server.start();
  r.silent[0] = true;
  r.run(60);
  ASSERT_EQ(r.f().pollbusy[0], 1);
  r.f().Timer2.set_timer_enabled(false);
  r.run(4800);  // Timer8 ticks at 5000 ms
  EXPECT_EQ(r.f().pollbusy[0], 1);
  r.run(300);
  EXPECT_EQ(r.queries(1).size(), 2u);  // freed, and the poller sent the next query
}

TEST(BusyRelease, LeavesAPollerAloneWhileItsWatchdogRuns) {
  Rig r;
  r.t.server.start();
  r.f().Timer2.set_interval(100000);  // keep the watchdog from firing in this test
  r.silent[0] = true;
  r.run(5200);
  EXPECT_EQ(r.f().pollbusy[0], 1);
  EXPECT_EQ(r.queries(1).size(), 1u);
}

TEST(Parser, ClosedPortTickChangesNothing) {
  Rig r;
  r.t.server.start();
  r.run(60);
  r.port(1).set_port_open(false);
  r.f().scanbuf[0] = "x";
  r.run(100);
  EXPECT_EQ(r.f().scanbuf[0], "x");
  EXPECT_FALSE(r.f().comdata[0].fill_color().has_value());
}

TEST(Parser, ReplyInPiecesAndLateText) {
  Rig r;
  r.t.server.start();
  r.silent[0] = true;
  r.run(30);  // "ST" goes out at 50 ms
  r.run(25);
  ASSERT_EQ(r.f().pollstep[0], 2);
  // The first piece ends the "ST" exchange; the rest is thrown away by the next poller tick.
  r.port(1).rx = "ST 12";
  r.run(25);
  EXPECT_EQ(r.f().pollbusy[0], 0);
  EXPECT_EQ(r.f().Label4[0].caption(), "");
  r.port(1).rx = ".5K\r";
  r.run(30);
  EXPECT_EQ(r.f().pollstep[0], 10);
  // A display frame without its last line keeps the exchange open.
  r.f().pollstep[0] = 1;
  r.f().pollbusy[0] = 1;
  r.f().scanbuf[0].clear();
  r.port(1).rx = "LCD1 [a]\rLCD2 [b]\r";
  r.run(30);
  EXPECT_EQ(r.f().pollbusy[0], 1);
  EXPECT_EQ(r.f().scanbuf[0], "LCD1 [a]\rLCD2 [b]\r");
}

TEST(Parser, UnsolicitedTextAtStepZeroGoesToFieldNine) {
  Rig r;
  r.t.server.start();
  r.f().Check1[2].set_value(1);  // channel 4 starts at step 0
  r.f().Timer20.set_timer_enabled(false);
  r.port(4).rx = "W107 F08680875\r";
  r.run(30);
  EXPECT_EQ(r.f().Label4[35].caption(), "107");
  EXPECT_EQ(r.f().scanbuf[3], "");
}

TEST(Parser, ReceiveBufferIsBoundedWithoutCarriageReturns) {
  Rig r;
  r.t.server.start();
  r.silent[0] = true;
  r.run(60);
  for (int i = 0; i < 20; ++i) {
    r.port(1).rx = std::string(1000, 'Z');
    r.run(25);
    ASSERT_LE(r.f().scanbuf[0].size(), scanner::kScanbufLimit);
  }
  EXPECT_EQ(r.f().scanbuf[0].size(), scanner::kScanbufLimit);
}

TEST(Watchdog, SilenceOnChannelOneResetsTheStepAndShowsTheMessage) {
  Rig r;
  r.t.server.start();
  r.run(500);  // a few good exchanges
  r.silent[0] = true;
  const auto sent = r.queries(1).size();
  r.run(100);
  ASSERT_EQ(r.queries(1).size(), sent + 1);
  const int opens = r.port(1).opens, closes = r.port(1).closes;
  r.run(850);  // less than a second since the unanswered query
  EXPECT_EQ(r.f().comdata[0].fill_color(), ui::kGreen);
  r.run(150);
  EXPECT_EQ(r.f().comdata[0].fill_color(), ui::kRed);
  EXPECT_EQ(r.f().comdata[4].fill_color(), ui::kRed);
  EXPECT_EQ(r.f().text5[0].text(), scanner::silence_message(1));
  EXPECT_EQ(r.f().text5[0].text().size(), 72u);
  EXPECT_EQ(r.port(1).closes, closes + 1);
  EXPECT_EQ(r.port(1).opens, opens + 1);
  EXPECT_TRUE(r.port(1).port_open());
  // The rotation goes on with "LCD", and the watchdog keeps firing once a second.
  r.run(100);
  EXPECT_EQ(r.queries(1).back(), "LCD\r");
  r.run(1000);
  EXPECT_EQ(r.port(1).closes, closes + 2);
  // The radio answers again: lamps green, display back.
  r.silent[0] = false;
  r.run(1500);
  EXPECT_EQ(r.f().comdata[0].fill_color(), ui::kGreen);
  EXPECT_EQ(r.f().text5[0].text().substr(0, 4), "LCD1");
}

TEST(Watchdog, ChannelThreeKeepsItsStep) {
  Rig r;
  r.t.server.start();
  r.f().Check1[1].set_value(1);
  r.run(200);
  r.silent[2] = true;
  r.run(60);
  const std::string unanswered = r.queries(3).back();
  const int step = r.f().pollstep[2];
  r.run(1050);
  EXPECT_EQ(r.f().text5[2].text(), scanner::silence_message(3));
  EXPECT_EQ(r.f().comdata[6].fill_color(), ui::kRed);
  // The step was kept: the next query is the one after the unanswered one, not "LCD".
  const auto* next = scanner::next_step(scanner::full_rotation(), step);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(r.f().pollstep[2], next->next);
  EXPECT_EQ(r.queries(3).back(), std::string(next->query) + "\r");
  EXPECT_NE(r.queries(3).back(), unanswered);
}

TEST(Watchdog, MessagesDifferOnlyInTheChannelDigit) {
  const std::string one = scanner::silence_message(1);
  EXPECT_EQ(one, "LCD1  SCANNER1 NO        LCD2  SERIAL           LCD3  COMMUNICATION!    ");
  for (int n = 2; n <= 4; ++n) {
    std::string m = scanner::silence_message(n);
    ASSERT_EQ(m.size(), 72u);
    EXPECT_EQ(m[13], static_cast<char>('0' + n));
    m[13] = '1';
    EXPECT_EQ(m, one);
  }
}

TEST(Watchdog, ReopensAPortThatComesBack) {
  Rig r;
  r.port(1).present = {};
  r.t.server.start();
  EXPECT_FALSE(r.port(1).port_open());
  r.run(1100);
  EXPECT_EQ(r.f().text5[0].text(), scanner::silence_message(1));
  r.port(1).present = {1};
  r.run(1100);
  EXPECT_TRUE(r.port(1).port_open());
  r.run(1000);
  EXPECT_EQ(r.f().text5[0].text().substr(0, 4), "LCD1");
}

TEST(Stopcom, StopsEachChannelsTimersAndClosesItsPort) {
  Rig r;
  r.t.server.start();
  r.silent[0] = true;
  r.run(60);
  r.link().STOPCOM(1);
  EXPECT_FALSE(r.f().Timer4.timer_enabled());
  EXPECT_FALSE(r.f().Timer5.timer_enabled());
  EXPECT_FALSE(r.f().Timer8.timer_enabled());
  EXPECT_TRUE(r.f().Timer2.timer_enabled());  // watchdog left running
  EXPECT_FALSE(r.port(1).port_open());
  // The unanswered query: the watchdog still ends it, but a stopped channel holds no port.
  r.run(1000);
  EXPECT_EQ(r.f().text5[0].text(), scanner::silence_message(1));
  EXPECT_EQ(r.f().pollbusy[0], 0);
  EXPECT_FALSE(r.port(1).port_open());

  r.f().Check1[1].set_value(1);
  r.run(40);
  r.link().STOPCOM(3);
  EXPECT_FALSE(r.f().Timer16.timer_enabled());
  EXPECT_FALSE(r.f().Timer17.timer_enabled());
  EXPECT_FALSE(r.f().Timer19.timer_enabled());
  EXPECT_TRUE(r.f().Timer18.timer_enabled());
  EXPECT_FALSE(r.port(3).port_open());
}

TEST(Stopcom, OtherNumbersChangeNothing) {
  Rig r;
  r.t.server.start();
  const int closes = r.port(1).closes;
  r.link().STOPCOM(0);
  r.link().STOPCOM(5);
  EXPECT_TRUE(r.f().Timer4.timer_enabled());
  EXPECT_TRUE(r.port(1).port_open());
  EXPECT_EQ(r.port(1).closes, closes);
}

TEST(ChannelTwo, SwitchesItselfOffOnAPortFailure) {
  Rig r;
  r.port(2).present = {};
  r.t.server.start();
  r.f().Check1[0].set_value(1);
  EXPECT_TRUE(r.f().Timer15.timer_enabled());
  r.run(40);
  EXPECT_EQ(r.f().Check1[0].value(), 0);
  EXPECT_FALSE(r.f().Timer15.timer_enabled());
  // The same tick still sent (into the closed port) and switched the watchdog on.
  EXPECT_EQ(r.f().pollbusy[1], 1);
  EXPECT_TRUE(r.f().Timer3.timer_enabled());
  r.run(1000);
  EXPECT_EQ(r.f().text5[1].text(), scanner::silence_message(2));
}

struct ApplyRun {
  std::vector<std::string> messages;
  bool poller_stopped_while_shown = true;
};

ApplyRun click_apply(Rig& r, ui::CommandButton& button, ui::Timer& poller) {
  ApplyRun out;
  bool done = false;
  button.click().start_detached([&] { done = true; });
  for (int guard = 0; guard < 10 && !done; ++guard) {
    if (poller.timer_enabled()) out.poller_stopped_while_shown = false;
    auto texts = r.t.acknowledge_all();
    out.messages.insert(out.messages.end(), texts.begin(), texts.end());
  }
  EXPECT_TRUE(done);
  return out;
}

TEST(ChannelTwo, SwitchedOffByAPortFailureHoldsNoPortWhenTheDeviceAppears) {
  test::FakeSerialBus bus;
  bus.present = {1};
  Rig r;
  for (int n = 1; n <= 4; ++n) r.port(n).bus = &bus;
  r.t.server.start();
  r.f().Check1[0].set_value(1);  // port 2 is missing: channel 2 switches itself off
  r.run(40);
  ASSERT_EQ(r.f().Check1[0].value(), 0);
  bus.present = {1, 2};
  r.run(3000);
  EXPECT_TRUE(r.f().Timer3.timer_enabled());  // its watchdog still runs and shows the message
  EXPECT_EQ(r.f().text5[1].text(), scanner::silence_message(2));
  EXPECT_FALSE(r.port(2).port_open());
  EXPECT_EQ(bus.holder.count(2), 0u);
  // So another channel can take the port: channel 1 moved to port 2 opens it without a message.
  r.f().Combo1.set_list_index(1);
  auto run = click_apply(r, r.f().Command2, r.f().Timer4);
  EXPECT_TRUE(run.messages.empty());
  EXPECT_TRUE(r.port(1).port_open());
}

// --- Apply actions ---------------------------------------------------------------------------

TEST(Apply, ChannelOneMissingPortShowsOnlyTheText) {
  Rig r;
  r.t.server.start();
  r.f().Combo1.set_list_index(4);
  r.port(1).present = {1, 2, 3, 4};
  auto run = click_apply(r, r.f().Command2, r.f().Timer4);
  EXPECT_EQ(run.messages, std::vector<std::string>{"Selected comport not available"});
  EXPECT_TRUE(run.poller_stopped_while_shown);
  EXPECT_EQ(r.port(1).comm_port(), 5);
  EXPECT_TRUE(r.f().Timer4.timer_enabled());  // restarted although the port did not open
  EXPECT_TRUE(r.f().Timer5.timer_enabled());
}

TEST(Apply, ChannelOneHeldPortShowsTheCode) {
  Rig r;
  r.t.server.start();
  r.port(1).held_elsewhere = {1};
  auto run = click_apply(r, r.f().Command2, r.f().Timer4);
  EXPECT_EQ(run.messages, std::vector<std::string>{"error: 8005"});
}

TEST(Apply, ChannelTwoShowsTheTextThenTheNumber) {
  Rig r;
  r.t.server.start();
  r.f().Check1[0].set_value(1);
  r.port(2).present = {};
  auto run = click_apply(r, r.f().Command1, r.f().Timer15);
  EXPECT_EQ(run.messages, (std::vector<std::string>{"Selected comport not available", "8002"}));
  EXPECT_TRUE(run.poller_stopped_while_shown);

  r.port(2).present = {1, 2};
  r.port(2).held_elsewhere = {2};
  run = click_apply(r, r.f().Command1, r.f().Timer15);
  EXPECT_EQ(run.messages, (std::vector<std::string>{"Selected comport already open", "8005"}));
  EXPECT_TRUE(r.f().Timer15.timer_enabled());
  EXPECT_TRUE(r.f().Timer14.timer_enabled());
}

TEST(Apply, ChannelThreeSwitchedOffConfiguresButStaysClosed) {
  Rig r;
  r.t.server.start();
  r.f().Combo6.set_list_index(6);
  r.f().Combo7.set_list_index(1);
  auto run = click_apply(r, r.f().Command4, r.f().Timer16);
  EXPECT_TRUE(run.messages.empty());
  EXPECT_EQ(r.port(3).comm_port(), 7);
  EXPECT_EQ(r.port(3).settings(), "9600,n,8,1");
  EXPECT_FALSE(r.port(3).port_open());
  EXPECT_FALSE(r.f().Timer16.timer_enabled());
  EXPECT_FALSE(r.f().Timer17.timer_enabled());
}

TEST(Apply, GoodPortReopensWithTheNewSettings) {
  Rig r;
  r.t.server.start();
  r.f().Combo1.set_list_index(2);
  r.f().Combo2.set_list_index(0);
  auto run = click_apply(r, r.f().Command2, r.f().Timer4);
  EXPECT_TRUE(run.messages.empty());
  EXPECT_TRUE(r.port(1).port_open());
  EXPECT_EQ(r.port(1).comm_port(), 3);
  EXPECT_EQ(r.port(1).settings(), "4800,n,8,1");
}

// --- Start-up configuration ------------------------------------------------------------------

void store(test::TestServer& t, const char* name, const char* value) { t.server.settings.savereg(name, value); }

TEST(InitComport, DefaultsOpenPortOneAt19200) {
  Rig r;
  r.t.server.start();
  EXPECT_TRUE(r.port(1).port_open());
  EXPECT_EQ(r.port(1).comm_port(), 1);
  EXPECT_EQ(r.port(1).settings(), "19200,n,8,1");
  EXPECT_EQ(r.f().Combo1.list_index(), 0);
  EXPECT_EQ(r.f().Combo2.list_index(), 2);
  EXPECT_EQ(r.f().Combo5.list_index(), 1);
  EXPECT_EQ(r.f().Combo8.list_index(), 3);
  EXPECT_EQ(r.f().Combo9.list_index(), 2);
  EXPECT_FALSE(r.port(2).port_open());
}

TEST(InitComport, OutOfRangeValuesFallBackToTheFirstEntry) {
  Rig r;
  store(r.t, "comport", "9x");
  store(r.t, "baudrate", "3x");
  store(r.t, "comport3", "-1x");
  r.t.server.start();
  EXPECT_EQ(r.port(1).comm_port(), 1);
  EXPECT_EQ(r.port(1).settings(), "4800,n,8,1");
  EXPECT_EQ(r.f().Combo1.list_index(), 0);
  EXPECT_EQ(r.f().Combo6.list_index(), 0);
}

TEST(InitComport, FractionsRoundBeforeTheRangeCheck) {
  Rig r;
  store(r.t, "comport", "7.6x");  // 8: port 9
  store(r.t, "baudrate", "2.6x");  // 3: out of range
  r.port(1).present = {9};
  r.t.server.start();
  EXPECT_EQ(r.port(1).comm_port(), 9);
  EXPECT_EQ(r.port(1).settings(), "4800,n,8,1");
}

TEST(InitComport, PortNineHasNoListEntry) {
  Rig r;
  store(r.t, "comport", "8x");
  r.port(1).present = {9};
  r.t.server.start();
  EXPECT_EQ(r.port(1).comm_port(), 9);
  EXPECT_TRUE(r.port(1).port_open());
  EXPECT_EQ(r.f().Combo1.list_index(), -1);
  EXPECT_EQ(r.f().Combo2.list_index(), 2);  // the step after the failing one still ran
}

TEST(InitComport, SwitchSettingsStartChannels) {
  Rig r;
  store(r.t, "channel2ena", "1x");
  store(r.t, "channel3ena", "0.5x");
  store(r.t, "channel4ena", "2x");
  r.t.server.start();
  EXPECT_EQ(r.f().Check1[0].value(), 1);
  EXPECT_EQ(r.f().Check1[1].value(), 0);
  EXPECT_EQ(r.f().Check1[2].value(), 1);
  EXPECT_TRUE(r.port(2).port_open());
  EXPECT_TRUE(r.port(4).port_open());
  EXPECT_TRUE(r.f().Timer15.timer_enabled());
  r.run(40);
  EXPECT_EQ(r.queries(2).front(), "LCD\r");  // channels 2 to 4 start with "LCD"
}

// --- Autodetect ------------------------------------------------------------------------------

// Channel 1's port for the probe: logs every open and answers "SI" where a radio sits.
class ProbePort final : public SerialPort {
 public:
  std::vector<int> present;
  std::map<std::pair<int, std::string>, std::string> radios;  // (port, settings) -> SI reply
  std::vector<std::string> log;

  void set_comm_port(int n) override { port_ = n; }
  int comm_port() const override { return port_; }
  void set_settings(std::string_view s) override { settings_ = s; }
  std::string settings() const override { return settings_; }
  void set_port_open(bool open) override {
    if (!open) {
      if (!open_) throw Error(errc::port_not_open);
      open_ = false;
      return;
    }
    if (std::find(present.begin(), present.end(), port_) == present.end()) throw Error(errc::port_not_available);
    open_ = true;
    log.push_back(std::to_string(port_) + "@" + settings_);
    rx_.clear();
  }
  bool port_open() const override { return open_; }
  std::string input() override {
    if (!open_) throw Error(errc::port_not_open);
    return std::exchange(rx_, {});
  }
  void output(std::string_view text) override {
    if (!open_) throw Error(errc::port_not_open);
    auto it = radios.find({port_, settings_});
    if (text == "SI\r" && it != radios.end()) rx_ += it->second;
  }

 private:
  int port_ = 1;
  std::string settings_ = "9600,n,8,1";
  bool open_ = false;
  std::string rx_;
};

struct ProbeRig {
  VirtualEventLoop loop;
  test::FakePlatform fakes;
  ProbePort probe;
  std::filesystem::path dir = test::fresh_temp_dir("probe");
  std::unique_ptr<Server> server;

  ProbeRig() {
    PlatformObjects p = fakes.objects();
    p.comm1[0] = &probe;
    server = std::make_unique<Server>(loop, p, dir);
  }
  ~ProbeRig() {
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // Clicks Command11 and returns the virtual time the action took.
  Millis autodetect() {
    bool done = false;
    const auto start = loop.now();
    server->form.Command11.click().start_detached([&] { done = true; });
    for (int i = 0; i < 2000 && !done; ++i) loop.advance(Millis(10));
    EXPECT_TRUE(done);
    return std::chrono::duration_cast<Millis>(loop.now() - start);
  }
};

TEST(Autodetect, ProbesPresentPortsAtEachSpeedInOrder) {
  ProbeRig r;
  r.probe.present = {2, 5};
  r.probe.radios[{5, "9600,n,8,1"}] = "SI BC796D,0000000000,104\r";
  r.server->start();
  r.probe.log.clear();
  const Millis took = r.autodetect();
  const std::vector<std::string> expected = {"2@19200,n,8,1", "5@19200,n,8,1",  // presence test
                                             "2@4800,n,8,1",  "2@9600,n,8,1",  "2@19200,n,8,1",
                                             "5@4800,n,8,1",  "5@9600,n,8,1",  "5@19200,n,8,1"};
  EXPECT_EQ(r.probe.log, expected);
  EXPECT_GE(took, Millis(6 * 400));  // two 0.2 s waits per probe
  EXPECT_LT(took, Millis(6 * 400 + 200));
  const auto& res = r.server->scanner.probe_result();
  EXPECT_EQ(res.port, 5);
  EXPECT_EQ(res.speed, 9600);
  EXPECT_EQ(res.model, 3);
  EXPECT_FALSE(res.found);  // cleared after each port
  EXPECT_EQ(r.server->form.List1.items().back(), "BC796 on port 5 at 9600 baud");
  // Every channel is left silent; nothing is applied to the lists.
  EXPECT_FALSE(r.server->form.Timer4.timer_enabled());
  EXPECT_FALSE(r.probe.port_open());
  EXPECT_EQ(r.probe.comm_port(), 5);
  EXPECT_EQ(r.probe.settings(), "19200,n,8,1");
  EXPECT_EQ(r.server->form.Combo1.list_index(), 0);
}

TEST(Autodetect, OtherEventsRunDuringTheWaits) {
  ProbeRig r;
  r.probe.present = {1};
  r.server->start();
  int ticks = 0;
  r.server->form.Timer25.on_tick([&] { ++ticks; });
  r.autodetect();
  EXPECT_GE(ticks, 1);
}

TEST(Autodetect, NothingPresentEndsAfterThePresenceTest) {
  ProbeRig r;
  r.probe.present = {};
  r.server->start();
  const Millis took = r.autodetect();
  EXPECT_LT(took, Millis(50));
  EXPECT_EQ(r.server->form.List1.items().back(), "No scanner found on ports 1 to 8");
  EXPECT_EQ(r.probe.comm_port(), 8);
}

TEST(Autodetect, A785AtEverySpeedIsRecordedAtTheLast) {
  ProbeRig r;
  r.probe.present = {3};
  for (const char* s : {"4800,n,8,1", "9600,n,8,1", "19200,n,8,1"})
    r.probe.radios[{3, s}] = "SI BC785D,0000000000,104\r";
  r.server->start();
  r.autodetect();
  EXPECT_EQ(r.server->scanner.probe_result().speed, 19200);
  EXPECT_EQ(r.server->scanner.probe_result().model, 1);
  EXPECT_EQ(r.server->form.List1.items().back(), "BC785 on port 3 at 19200 baud");
}

// Channel 1 on a missing port keeps its watchdog firing every second while the scan borrows its
// port object. The scan must still see every radio, and afterwards no port may be held by the
// wrong channel: channel 3 switched on gets its own port and its radio's frames.
TEST(Autodetect, FindsEveryRadioWhileChannelOnesWatchdogRunsAndLeavesNoPortHeld) {
  test::FakeSerialBus bus;
  bus.present = {1, 2, 3};
  bus.radios[1] = {"19200,n,8,1", "SI BC785D,0000000000,104\r"};
  bus.radios[2] = {"9600,n,8,1", "SI BC796D,0000000000,104\r"};
  bus.radios[3] = {"4800,n,8,1", "SI BC785D,0000000000,104\r"};
  Rig r;
  for (int n = 1; n <= 4; ++n) r.port(n).bus = &bus;
  store(r.t, "comport", "4x");  // port 5: missing
  r.silent[0] = true;
  r.t.server.start();
  r.run(1500);
  ASSERT_EQ(r.f().text5[0].text(), scanner::silence_message(1));
  ASSERT_TRUE(r.f().Timer2.timer_enabled());

  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    bus.opens.clear();
    const std::size_t listed = r.f().List1.items().size();
    bool done = false;
    r.f().Command11.click().start_detached([&] { done = true; });
    r.f().Command11.click().start_detached([] {});  // a second click while it runs is ignored
    for (int i = 0; i < 1000 && !done; ++i) r.run(10);
    ASSERT_TRUE(done);
    // Only the scan opened ports: the presence test, then three speeds per present port.
    const std::vector<std::string> expected = {
        "1@19200,n,8,1", "2@19200,n,8,1", "3@19200,n,8,1", "1@4800,n,8,1", "1@9600,n,8,1", "1@19200,n,8,1",
        "2@4800,n,8,1",  "2@9600,n,8,1",  "2@19200,n,8,1", "3@4800,n,8,1", "3@9600,n,8,1", "3@19200,n,8,1"};
    EXPECT_EQ(bus.opens, expected);
    const std::vector<std::string> found(r.f().List1.items().begin() + static_cast<std::ptrdiff_t>(listed),
                                         r.f().List1.items().end());
    EXPECT_EQ(found, (std::vector<std::string>{"BC785 on port 1 at 19200 baud", "BC796 on port 2 at 9600 baud",
                                               "BC785 on port 3 at 4800 baud"}));
    r.run(3000);
    EXPECT_TRUE(bus.holder.empty());
  }

  r.f().Check1[1].set_value(1);  // channel 3 on its default port 3
  EXPECT_TRUE(r.port(3).port_open());
  r.run(1000);
  EXPECT_EQ(r.f().text5[2].text().substr(0, 6), "LCD1 [");  // the radio's frame, not the silence
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// The replies a page command got, in order.
struct Answers {
  std::vector<std::string> got;
  ScannerLink::CommandDone done() {
    return [this](const std::string& reply) { got.push_back(reply); };
  }
};

TEST(PageCommands, AreAStepOfTheirOwnAnsweredByTheirReplyThenTheDisplayIsRead) {
  Rig r;
  r.reply = [](const std::string& q) { return q == "KEY07\r" ? std::string("OK\r") : radio_reply(q); };
  r.t.server.start();
  r.run(300);
  Answers a;
  ASSERT_TRUE(r.link().queue_command(1, "KEY07", a.done()));
  const std::size_t before = r.queries(1).size();
  r.run(300);
  ASSERT_EQ(a.got, std::vector<std::string>{"OK"});
  const auto after = r.queries(1);
  ASSERT_GT(after.size(), before + 2);
  EXPECT_EQ(after[before], "KEY07\r");
  EXPECT_EQ(after[before + 1], "LCD\r");  // the display goes next, so the page sees the effect
  EXPECT_EQ(after[before + 2], "ST\r");   // and the rotation goes on from there
  // The command's reply is not read as another query's answer.
  EXPECT_EQ(r.f().Label4[5].caption(), "ATTMD$=ATN");
}

TEST(PageCommands, ErrAndSilenceAreAnsweredAndTheRotationGoesOn) {
  for (int channel : {1, 3}) {
    Rig r;
    r.reply = [](const std::string& q) {
      if (q == "BAD\r") return std::string("ERR\r");
      if (q == "HUSH\r") return std::string();  // a radio that answers nothing
      return radio_reply(q);
    };
    r.t.server.start();
    if (channel == 3) r.f().Check1[1].set_value(1);
    r.run(300);
    Answers a;
    ASSERT_TRUE(r.link().queue_command(channel, "BAD", a.done()));
    ASSERT_TRUE(r.link().queue_command(channel, "HUSH", a.done()));
    r.run(2500);  // the watchdog ends the silent one after a second
    EXPECT_EQ(a.got, (std::vector<std::string>{"ERR", ""})) << "channel " << channel;
    const auto q = r.queries(channel);
    const auto hush = std::find(q.begin(), q.end(), "HUSH\r");
    ASSERT_NE(hush, q.end());
    ASSERT_GT(q.end() - hush, 3);
    EXPECT_EQ(*(hush + 1), "LCD\r") << "channel " << channel;
    EXPECT_EQ(*(hush + 2), "ST\r") << "channel " << channel;
  }
}

TEST(PageCommands, AtMostEightWaitPerChannel) {
  Rig r;
  Answers a;
  for (std::size_t i = 0; i < ScannerLink::kMaxWaitingCommands; ++i) EXPECT_TRUE(r.link().queue_command(2, "KEY01", a.done()));
  EXPECT_FALSE(r.link().queue_command(2, "KEY01", a.done()));
  EXPECT_TRUE(r.link().queue_command(1, "KEY01", a.done()));
  EXPECT_EQ(r.link().commands_waiting(2), ScannerLink::kMaxWaitingCommands);
}

}  // namespace
}  // namespace quillon
