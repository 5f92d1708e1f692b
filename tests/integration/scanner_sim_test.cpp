// The scanner link end to end: the termios adapter on the production loop, polling the scanner
// simulator on pseudo-terminals; and the real binary polling the simulator.
//
// The operator console and the data ports are not part of this build yet, so what the server
// shows is read from its window model in process; the real binary is checked from the
// simulator's side (it answers the binary's queries).

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/server.hpp"
#include "audio/paging_tones.hpp"
#include "core/asio_event_loop.hpp"
#include "scanner/linux_serial_port.hpp"
#include "scanner/channel_table.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

#ifndef QUILLON_SCANNER_SIM
#define QUILLON_SCANNER_SIM (std::string(QUILLON_TOOLS_DIR) + "/scanner-sim/quillon-scanner-sim")
#endif

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Child = test::Process;


// The server in process on the production loop, its channel ports on the termios adapter, and
// the simulator playing the radios.
struct Live : ::testing::Test {
  fs::path dir = test::fresh_temp_dir("scanner-live");
  boost::asio::io_context io;
  AsioEventLoop loop{io};
  test::FakePlatform fakes;
  std::vector<std::unique_ptr<LinuxSerialPort>> ports;
  std::unique_ptr<Server> server;
  std::unique_ptr<Child> sim;

  void SetUp() override {
    fs::create_directories(dir / "ports");
    PlatformObjects p = fakes.objects();
    for (std::size_t k = 0; k < 4; ++k) {
      ports.push_back(std::make_unique<LinuxSerialPort>(dir / "ports", loop));
      p.comm1[k] = ports.back().get();
    }
    server = std::make_unique<Server>(loop, p, dir);
  }
  void TearDown() override {
    sim.reset();
    server.reset();
    ports.clear();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  Frmserver& f() { return server->form; }

  void start_sim(std::vector<std::string> radio_args) {
    std::vector<std::string> argv = {QUILLON_SCANNER_SIM, "--display-ms", "300"};
    argv.insert(argv.end(), radio_args.begin(), radio_args.end());
    sim = std::make_unique<Child>(argv, dir, std::vector<std::string>{}, true);
    ASSERT_TRUE(test::eventually([&] { return sim->output().find("ready") != std::string::npos; }, 10s))
        << sim->output();
  }
  std::string link(int n) { return (dir / "ports" / ("com" + std::to_string(n))).string(); }

  // Runs the loop until `cond` holds; false after `limit`.
  bool run_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      io.restart();
      io.run_for(20ms);
      if (cond()) return true;
    }
    return false;
  }
  bool showing_frame(int channel) {
    const std::string& t = f().text5[channel - 1].text();
    return t.rfind("LCD1 [", 0) == 0 && t.find("LCD4 [") != std::string::npos;
  }
  bool showing_silence(int channel) {
    return f().text5[channel - 1].text() == scanner::silence_message(channel) &&
           f().comdata[channel - 1].fill_color() == ui::kRed && f().comdata[channel + 3].fill_color() == ui::kRed;
  }
};

TEST_F(Live, ChannelsReachTheDisplayTextOfTheirRadios) {
  start_sim({"--link", link(1), "--model", "BC785", "--link", link(3), "--model", "BC796", "--baud", "9600"});
  server->start();
  f().Combo7.set_list_index(1);  // channel 3 at 9600
  f().Check1[1].set_value(1);
  ASSERT_TRUE(run_until([&] { return showing_frame(1) && showing_frame(3); })) << f().text5[0].text();
  EXPECT_EQ(f().text5[0].text().size(), 167u);  // 168-byte frame, cut after 167 characters
  ASSERT_TRUE(run_until([&] {
    return f().Label4[0].caption() == "STEP$=ST 1" && f().Label4[7].caption() == "DLF\r" &&
           f().Label4[23].caption() == "ATTMD$=ATF";
  }));
  EXPECT_EQ(f().comdata[0].fill_color(), ui::kGreen);
  EXPECT_EQ(f().comdata[6].fill_color(), ui::kGreen);
  EXPECT_EQ(f().Label4[1].caption().rfind("SIGLVL$=", 0), 0u);
}

TEST_F(Live, SilenceShowsTheMessageWithinAboutASecondAndRecovers) {
  start_sim({"--link", link(1)});
  server->start();
  ASSERT_TRUE(run_until([&] { return showing_frame(1); }));
  sim->say("1 silent on");
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(run_until([&] { return showing_silence(1); }));
  // One watchdog period after the unanswered query, plus scheduling on a busy machine.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  sim->say("1 silent off");
  ASSERT_TRUE(run_until([&] { return showing_frame(1) && f().comdata[0].fill_color() == ui::kGreen; }));
}

TEST_F(Live, UnplugAndReplugRecoverWithoutTheOperator) {
  start_sim({"--link", link(1)});
  server->start();
  ASSERT_TRUE(run_until([&] { return showing_frame(1); }));
  sim->say("1 unplug");
  ASSERT_TRUE(run_until([&] { return showing_silence(1) && !fs::exists(fs::symlink_status(link(1))); }));
  ASSERT_TRUE(run_until([&] { return !ports[0]->port_open(); }));  // the reopen finds no device
  sim->say("1 replug");
  ASSERT_TRUE(run_until([&] { return showing_frame(1) && ports[0]->port_open(); }));
}

TEST_F(Live, APortHeldByAnotherProgramIsAlreadyOpen) {
  start_sim({"--link", link(1)});
  const int other = ::open(link(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  server->start();
  EXPECT_FALSE(ports[0]->port_open());
  bool done = false;
  f().Command2.click().start_detached([&] { done = true; });
  ASSERT_TRUE(run_until([&] { return !f().window.pending_messages().empty(); }));
  EXPECT_EQ(f().window.pending_messages().front().text, "error: 8005");
  f().window.acknowledge(f().window.pending_messages().front().id);
  ASSERT_TRUE(run_until([&] { return done; }));
  ::close(other);
  // Released: the watchdog's reopen picks it up.
  ASSERT_TRUE(run_until([&] { return showing_frame(1); }));
}

TEST_F(Live, AnotherLineSpeedIsSilence) {
  start_sim({"--link", link(1), "--baud", "9600"});
  server->start();  // channel 1 at 19200
  ASSERT_TRUE(run_until([&] { return showing_silence(1); }));
  sim->say("1 baud 19200");
  ASSERT_TRUE(run_until([&] { return showing_frame(1); }));
}

// Channel 1 on a missing port keeps its watchdog firing while the scan borrows its port object:
// every radio is still found, and afterwards channel 3 gets its own port and its radio.
TEST_F(Live, AutodetectFindsEveryRadioAndLeavesNoPortHeld) {
  start_sim({"--link", link(1), "--model", "BC785", "--baud", "19200", "--link", link(2), "--model", "BC796", "--baud",
             "9600", "--link", link(3), "--model", "BC785", "--baud", "4800"});
  server->settings.savereg("comport", "4x");  // port 5: no such device
  server->start();
  ASSERT_TRUE(run_until([&] { return showing_silence(1); }));
  bool done = false;
  f().Command11.click().start_detached([&] { done = true; });
  ASSERT_TRUE(run_until([&] { return done; }, 30s));
  std::vector<std::string> found;
  for (const auto& item : f().List1.items())
    if (item.find(" on port ") != std::string::npos) found.push_back(item);
  EXPECT_EQ(found, (std::vector<std::string>{"BC785 on port 1 at 19200 baud", "BC796 on port 2 at 9600 baud",
                                             "BC785 on port 3 at 4800 baud"}));
  run_until([] { return false; }, 1500ms);  // channel 1's watchdog goes on firing
  EXPECT_FALSE(ports[0]->port_open());
  f().Combo7.set_list_index(0);  // 4800
  f().Check1[1].set_value(1);
  EXPECT_TRUE(ports[2]->port_open());
  EXPECT_TRUE(run_until([&] { return showing_frame(3); }));
}

TEST(RealBinary, PollsTheSimulatedRadio) {
  const fs::path dir = test::fresh_temp_dir("scanner-bin");
  fs::create_directories(dir / "ports");
  Child sim({QUILLON_SCANNER_SIM, "--link", (dir / "ports/com1").string()}, dir, {}, true);
  ASSERT_TRUE(test::eventually([&] { return sim.output().find("ready") != std::string::npos; }, 10s));
  Child server({QUILLON_BIN, "--data-dir", dir.string(), "--console", "off"}, dir);
  // The simulator counts the queries it answered; the binary's rotation keeps it growing.
  auto commands = [&]() -> long {
    sim.say("1 stats");
    std::this_thread::sleep_for(100ms);
    const std::string out = sim.output();
    const auto at = out.rfind("commands ");
    if (at == std::string::npos) return -1L;
    return std::strtol(out.c_str() + at + 9, nullptr, 10);
  };
  EXPECT_TRUE(test::eventually([&] { return commands() >= 20; }, 20s)) << sim.output() << server.output();
  server.stop(SIGTERM);
  EXPECT_NE(server.output().find("stopped"), std::string::npos) << server.output();
  sim.stop(SIGTERM);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// A page on the simulator's loudspeaker: the tones it sounds into its audio FIFO are found by
// the paging-tone detector, two-tone and long, each followed by the call's sound.
TEST(SimAudio, PagesSoundTonesTheDetectorFindsThenTheCall) {
  const fs::path dir = test::fresh_temp_dir("sim-page");
  const fs::path fifo = dir / "audio";
  Child sim({QUILLON_SCANNER_SIM, "--link", (dir / "com1").string(), "--audio", fifo.string(), "--audio-rate", "8000"}, dir, {},
            true);
  ASSERT_TRUE(test::eventually([&] { return sim.output().find("ready") != std::string::npos; }, 10s)) << sim.output();
  const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  sim.say("1 auto off");
  sim.say("1 page 853.2:0");
  sim.say("1 page 600 700 800");
  sim.say("1 page 853.2x");
  auto errors = [&] {
    std::size_t n = 0;
    const std::string out = sim.output();
    for (auto at = out.find("error: page"); at != std::string::npos; at = out.find("error: page", at + 1)) ++n;
    return n;
  };
  EXPECT_TRUE(test::eventually([&] { return errors() == 3; }, 5s)) << sim.output();

  std::vector<audio::ToneSet> sets(2);
  sets[0].name = "station 7";
  sets[0].a_hz = 853.2;
  sets[0].b_hz = 1083.0;
  sets[1].name = "all call";
  sets[1].a_hz = 1500;
  audio::PagingToneDetector detector(sets, 8000);
  std::vector<std::int16_t> heard;  // everything read, for the sound after a tone-out
  std::string carry;
  std::vector<audio::ToneOut> outs;
  auto read_some = [&] {
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
      carry.append(buf, static_cast<std::size_t>(n));
      const std::size_t whole = carry.size() / 2;
      std::vector<std::int16_t> pcm(whole);
      std::memcpy(pcm.data(), carry.data(), whole * 2);
      carry.erase(0, whole * 2);
      heard.insert(heard.end(), pcm.begin(), pcm.end());
      for (const auto& t : detector.feed(pcm.data(), pcm.size())) outs.push_back(t);
    }
  };
  // RMS of what was heard from `from` on, over `n` samples; -1 until that much came.
  auto rms_after = [&](std::int64_t from, std::size_t n) {
    if (from < 0 || heard.size() < static_cast<std::size_t>(from) + n) return -1.0;
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += std::pow(heard[static_cast<std::size_t>(from) + i], 2);
    return std::sqrt(sum / static_cast<double>(n));
  };

  sim.say("1 page 853.2 1083.0");
  ASSERT_TRUE(test::eventually([&] { read_some(); return !outs.empty(); }, 20s)) << sim.output();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].set, 0u);
  // The call goes on after the tones: three seconds of sound, not silence.
  ASSERT_TRUE(test::eventually([&] { read_some(); return rms_after(outs[0].end_sample + 800, 24000) >= 0; }, 10s));
  EXPECT_GT(rms_after(outs[0].end_sample + 800, 24000), 3000);

  sim.say("1 page 1500:2200");
  ASSERT_TRUE(test::eventually([&] { read_some(); return outs.size() >= 2; }, 20s)) << sim.output();
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[1].set, 1u);
  ::close(fd);
  sim.stop(SIGTERM);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace quillon
