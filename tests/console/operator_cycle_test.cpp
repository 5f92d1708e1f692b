// The whole start -> run -> operate -> stop -> start cycle of the real binary, with simulated
// radios, a data client and the operator's console.
#include <gtest/gtest.h>

#include <fstream>

#include "console/console_client.hpp"
#include "support/exit_log.hpp"
#include "support/net.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kSim = std::string(QUILLON_TOOLS_DIR) + "/scanner-sim/quillon-scanner-sim";

int console_port(test::Process& p) {
  const std::string announce = "operator console at http://127.0.0.1:";
  int port = 0;
  test::eventually([&] {
    const std::string err = p.stderr_text();
    const auto at = err.find(announce);
    if (at == std::string::npos) return false;
    port = std::atoi(err.c_str() + at + announce.size());
    return true;
  }, 30s);
  return port;
}

const nlohmann::json* control(const nlohmann::json& win, const std::string& name, int index = -1) {
  for (const auto& c : win["controls"]) {
    if (c.value("name", "") != name) continue;
    if (index < 0 ? !c.contains("index") || c["index"].is_null() : c.value("index", -1) == index) return &c;
  }
  return nullptr;
}

// Reads what a data client receives for up to `limit`.
std::string read_data_port(int port, std::chrono::milliseconds limit) {
  test::asio::io_context io;
  test::tcp::socket s(io);
  boost::system::error_code ec;
  s.connect(test::tcp::endpoint(test::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), ec);
  if (ec) return {};
  std::string got;
  std::array<char, 4096> buf;
  std::function<void()> read_more = [&] {
    s.async_read_some(test::asio::buffer(buf), [&](boost::system::error_code e, std::size_t n) {
      if (e) return;
      got.append(buf.data(), n);
      read_more();
    });
  };
  read_more();
  io.run_for(limit);
  return got;
}

struct OperatorCycle : ::testing::Test {
  fs::path dir;
  fs::path data;
  int data_port = 0;

  void SetUp() override {
    char tmpl[] = "/tmp/quillon-cycle-XXXXXX";
    dir = ::mkdtemp(tmpl);
    data = dir / "data";
    fs::create_directories(data / "registry");
    fs::create_directories(data / "ports");
    // Private ports, so the test does not collide with a server on the defaults or a test beside it.
    int ports[8];
    for (int& p : ports) p = test::free_port();
    data_port = ports[0];
    std::ofstream hive(data / "registry" / "hklm.reg", std::ios::binary);
    hive << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\r\n";
    const char* names[] = {"tcpport1", "tcpport3", "tcpport4", "tcpport5", "tcpport6", "tcpport7", "tcpport8", "tcpport9"};
    for (int i = 0; i < 8; ++i) hive << "\"" << names[i] << "\"=\"" << ports[i] << "x\"\r\n";
    hive << "\"channel2ena\"=\"1x\"\r\n\"serverID1\"=\"Harbour x\"\r\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::vector<std::string> server_args() {
    return {QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:0"};
  }
};

TEST_F(OperatorCycle, StartRunOperateStopStart) {
  test::Process sim({kSim, "--link", (data / "ports/com1").string(), "--link", (data / "ports/com2").string()}, dir);
  ASSERT_TRUE(test::eventually([&] { return sim.stdout_text().find("ready") != std::string::npos ||
                                            sim.stderr_text().find("ready") != std::string::npos; }, 20s));

  {
    test::Process srv(server_args(), dir);
    const int cport = console_port(srv);
    ASSERT_GT(cport, 0) << srv.stderr_text();
    test::ConsoleClient console(static_cast<std::uint16_t>(cport));

    // Run: the radio's display reaches a data client in the status frame.
    std::string frames;
    ASSERT_TRUE(test::eventually([&] {
      frames = read_data_port(data_port, 1500ms);
      return frames.find("LCD1 [") != std::string::npos && frames.find("SITENAME:Harbour") != std::string::npos;
    }, 30s)) << frames;
    EXPECT_NE(frames.find("UDP:False*1"), std::string::npos);

    auto win = console.window();
    ASSERT_NE(control(win, "Check1", 0), nullptr);
    EXPECT_EQ((*control(win, "Check1", 0))["value"], 1);  // restored from the settings

    // Operate: Apply on channel 2 with a port that has no device gives the two messages.
    ASSERT_EQ(console.action({{"action", "select"}, {"control", "Combo5"}, {"position", 7}}).status, 200);
    ASSERT_EQ(console.action({{"action", "click"}, {"control", "Command1"}}).status, 200);
    std::vector<std::string> shown;
    for (int i = 0; i < 2; ++i) {
      nlohmann::json boxes;
      ASSERT_TRUE(test::eventually([&] {
        boxes = console.window()["messages"];
        return boxes.is_array() && !boxes.empty();
      }, 10s));
      shown.push_back(boxes[0]["text"]);
      ASSERT_EQ(console.action({{"action", "acknowledge"}, {"id", boxes[0]["id"]}}).status, 200);
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"Selected comport not available", "8002"}));
    // Its poller starts again after the boxes; its first tick that finds the port closed switches
    // channel 2 off (at once, or once the watchdog has freed a query left outstanding by the
    // Apply), and switching off writes its socket lines to the exit log. Wait for that state, so
    // the log below does not depend on whether the shutdown came first.
    ASSERT_TRUE(test::eventually([&] {
      const auto now = console.window();
      const auto* enable = control(now, "Check1", 0);
      return enable != nullptr && (*enable)["value"] == 0;
    }, 30s));

    // A switch: channel 3 on.
    ASSERT_EQ(console.action({{"action", "set_value"}, {"control", "Check1"}, {"index", 1}, {"value", 1}}).status, 200);
    // Refused: an unknown control and an index the array does not have.
    EXPECT_EQ(console.action({{"action", "click"}, {"control", "Command99"}}).status / 100, 4);
    EXPECT_EQ(console.action({{"action", "set_text"}, {"control", "portip1"}, {"index", 3}, {"text", "1"}}).status / 100, 4);

    // Stop with a client connected and radios polling.
    test::asio::io_context io;
    test::tcp::socket client(io);
    client.connect(test::tcp::endpoint(test::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(data_port)));
    srv.signal(SIGTERM);
    ASSERT_EQ(srv.wait_exit(30s), 0) << srv.stderr_text();
  }
  std::vector<std::string> expected{"stopwinsocket", "stopwinsocket_c2s", "stopwinsocket_c2e"};
  for (const auto& line : test::full_shutdown_log()) expected.push_back(line);
  EXPECT_EQ(test::log_messages(data / "exitlog.txt"), expected);
  const std::string hive = test::Process::slurp(data / "registry" / "hklm.reg");
  for (const char* v : {"udppacket", "comport", "baudrate", "comport2", "baudrate2", "comport3", "baudrate3", "comport4",
                        "baudrate4", "serverID1", "tcpport1", "tcpport2", "tcpport3", "tcpport4", "tcpport5", "tcpport6",
                        "tcpport7", "tcpport8", "tcpport9", "timer1", "timer2", "timer4", "timer5", "timer6", "timer7",
                        "audiodevice1", "audiodevice2", "audiodevice3", "audiodevice4", "channel2ena", "channel3ena",
                        "channel4ena", "audioset1", "audioset2", "audioset3", "audioset4"})
    EXPECT_NE(hive.find(std::string("\"").append(v).append("\"=\"")), std::string::npos) << v;
  EXPECT_NE(hive.find("\"channel3ena\"=\"1x\""), std::string::npos);
  EXPECT_NE(hive.find("\"channel2ena\"=\"0x\""), std::string::npos);
  EXPECT_NE(hive.find("\"comport2\"=\"7x\""), std::string::npos);

  // Start again: what was saved is read back.
  test::Process again(server_args(), dir);
  const int cport = console_port(again);
  ASSERT_GT(cport, 0) << again.stderr_text();
  test::ConsoleClient console(static_cast<std::uint16_t>(cport));
  auto win = console.window();
  ASSERT_NE(control(win, "Check1", 1), nullptr);
  EXPECT_EQ((*control(win, "Check1", 1))["value"], 1);
  EXPECT_EQ((*control(win, "Combo5"))["selection"], 7);
  EXPECT_EQ((*control(win, "Text11", 0))["text"], "Harbour ");
  again.signal(SIGTERM);
  EXPECT_EQ(again.wait_exit(30s), 0);
}

}  // namespace
}  // namespace quillon
