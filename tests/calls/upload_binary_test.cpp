// The real binary uploads its recorded calls to an rdio-scanner receiver on a private port: each
// call arrives once with its talkgroup, and a server SIGKILLed while the receiver holds a call
// sends that call again after its restart, without doubling any other. A receiver that takes a
// call and never answers holds up neither the data clients, the recorder nor the console.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "calls/rdio_receiver.hpp"
#include "integration/netdata_tcp_client.hpp"
#include "integration/audio_env.hpp"
#include "support/net.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;
using test::Process;

#define QUILLON_SCANNER_SIM (std::string(QUILLON_TOOLS_DIR) + "/scanner-sim/quillon-scanner-sim")

// A data directory recording channel 1 (with `two`, channels 1 and 2) from the tone device and
// uploading to `receiver`; returns channel 1's data port.
int write_site(const fs::path& data, int receiver, bool two = false) {
  fs::create_directories(data / "registry");
  fs::create_directories(data / "ports");
  const int data_port = test::free_port();
  {
    std::ofstream hive(data / "registry" / "hklm.reg");
    hive << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\r\n";
    for (const char* n : {"tcpport1", "tcpport3", "tcpport4", "tcpport5", "tcpport6", "tcpport7", "tcpport8", "tcpport9"})
      hive << "\"" << n << "\"=\"" << (n == std::string("tcpport1") ? data_port : test::free_port()) << "x\"\r\n";
    hive << "\"audiodevice1\"=\"1x\"\r\n";
    if (two) hive << "\"channel2ena\"=\"1x\"\r\n\"audiodevice2\"=\"1x\"\r\n";
  }
  std::ofstream(data / "rdio.secret") << "secret-key\n";
  ::chmod((data / "rdio.secret").c_str(), 0600);
  std::ofstream(data / "quillon.toml") << "[calls]\nchannels = " << (two ? "[1, 2]" : "[1]") << "\ngate = \"squelch\"\nhang_ms = 1000\n\n"
                                          "[[calls.upload]]\ntype = \"rdio-scanner\"\nurl = \"http://127.0.0.1:"
                                       << receiver
                                       << "\"\nallow_plain_http = true\napi_key_file = \"rdio.secret\"\nsystem = 12\n"
                                          "talkgroups = [{tag = \"TWR Gardermoen\", number = 118, label = \"Tower\"}]\n";
  return data_port;
}

TEST(UploadBinary, RecordedCallsReachTheReceiverOnceThroughAKillAndRestart) {
  test::AudioEnv env("uploads", {{"quillon_tone", "Quillon test tone", 11025, 1000.0, 600}});
  if (!env.ok()) GTEST_SKIP() << env.why();
  test::RdioReceiver receiver;
  const fs::path data = env.dir() / "data";
  write_site(data, receiver.port());
  const int console = test::free_port();
  Process sim({QUILLON_SCANNER_SIM, "--display-ms", "300", "--link", (data / "ports" / "com1").string()}, env.dir() / "sim", {}, true);
  ASSERT_TRUE(eventually([&] { return Process::slurp(env.dir() / "sim" / "quillon-scanner-sim.out").find("ready") != std::string::npos; }, 10s));
  sim.say("all auto off");
  auto start = [&](const std::string& name) {
    auto p = std::make_unique<Process>(
        std::vector<std::string>{QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:" + std::to_string(console)},
        env.dir() / name, env.env());
    EXPECT_TRUE(eventually([&] { return !test::ok_body(console, "/api/calls/uploads").empty(); }, 30s)) << p->stderr_text();
    std::this_thread::sleep_for(2s);
    return p;
  };
  auto server = start("run1");
  sim.say("1 open 2000 3");  // TWR Gardermoen, 118.5000 AM
  std::this_thread::sleep_for(4s);
  sim.say("1 open 2000 1");  // AMK OSL CH 2, 167.3500 FM
  ASSERT_TRUE(eventually([&] { return receiver.taken().size() >= 2; }, 20s)) << test::ok_body(console, "/api/calls/uploads");
  const auto first = receiver.taken();
  EXPECT_EQ(first[0].talkgroup, "118");
  EXPECT_EQ(first[0].talkgroup_label, "Tower");
  EXPECT_EQ(first[0].frequency, "118500000");
  EXPECT_EQ(first[0].audio_type, "audio/ogg");
  EXPECT_EQ(first[1].talkgroup, "1");  // no entry matches: the channel
  EXPECT_EQ(first[1].talkgroup_label, "AMK OSL CH 2");

  // The receiver takes the next call and never answers; the server dies meanwhile.
  receiver.hold = true;
  sim.say("1 open 2000 3");
  ASSERT_TRUE(eventually([&] { return receiver.held > 0; }, 20s));
  server->signal(SIGKILL);
  server->wait_exit(10s);
  receiver.hold = false;
  server = start("run2");
  ASSERT_TRUE(eventually([&] { return receiver.taken().size() >= 3; }, 20s)) << server->stderr_text();
  std::this_thread::sleep_for(2s);
  const auto times = receiver.taken_times();
  ASSERT_EQ(times.size(), 3u);
  EXPECT_TRUE(times[0] < times[1] && times[1] < times[2]);
  const auto status = nlohmann::json::parse(test::ok_body(console, "/api/calls/uploads"), nullptr, false);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["destinations"][0]["backlog"], 0);
  EXPECT_EQ(status["calls"].size(), 3u);
  for (const auto& c : status["calls"]) EXPECT_EQ(c["state"], "done") << c;
  EXPECT_NE(test::ok_body(console, "/metrics").find("quillon_uploads_total{destination=\"rdio-scanner-1\"} 1"), std::string::npos);
  server->signal(SIGTERM);
  server->wait_exit(20s);
}

TEST(UploadBinary, AServerThatNeverAnswersHoldsUpNeitherDataClientsNorRecordingNorTheConsole) {
  test::AudioEnv env("uploads-hang", {{"quillon_tone", "Quillon test tone", 11025, 1000.0, 600}});
  if (!env.ok()) GTEST_SKIP() << env.why();
  test::RdioReceiver receiver;
  receiver.hold = true;  // reads each call and never answers
  const fs::path data = env.dir() / "data";
  const int data_port = write_site(data, receiver.port());
  const int console = test::free_port();
  Process sim({QUILLON_SCANNER_SIM, "--display-ms", "300", "--link", (data / "ports" / "com1").string()}, env.dir() / "sim", {}, true);
  ASSERT_TRUE(eventually([&] { return Process::slurp(env.dir() / "sim" / "quillon-scanner-sim.out").find("ready") != std::string::npos; }, 10s));
  sim.say("all auto off");
  Process server({QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:" + std::to_string(console)}, env.dir() / "run", env.env());
  ASSERT_TRUE(eventually([&] { return !test::ok_body(console, "/api/calls/uploads").empty(); }, 30s)) << server.stderr_text();
  test::TcpClient client(data_port);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send_all("SET DELAY7A=100#"));  // ten frames a second
  const auto frames = [&] {
    client.poll();
    std::size_t n = 0;
    for (auto p = client.received().find("UDP:False*"); p != std::string::npos; p = client.received().find("UDP:False*", p + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(eventually([&] { return frames() > 0; }, 20s));

  sim.say("1 open 2000 3");
  ASSERT_TRUE(eventually([&] { return receiver.held > 0; }, 30s)) << server.stderr_text();
  // While the receiver holds the call: another call is recorded, the console answers and says
  // what is being sent, and the data client's frames keep coming.
  sim.say("1 open 2000 1");
  const std::size_t before = frames();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 80; ++i) {
    std::this_thread::sleep_for(100ms);
    frames();  // keeps the socket drained
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // At least one a second on average, of about ten.
  EXPECT_GE(static_cast<double>(frames() - before), seconds) << "frames while the receiver hung";
  const auto calls = nlohmann::json::parse(test::ok_body(console, "/api/calls"), nullptr, false);
  ASSERT_TRUE(calls.is_object()) << server.stderr_text();
  EXPECT_EQ(calls["calls"].size(), 2u);
  const auto status = nlohmann::json::parse(test::ok_body(console, "/api/calls/uploads"), nullptr, false);
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status["destinations"][0]["state"].get<std::string>().rfind("sending call", 0), 0u) << status.dump();
  EXPECT_EQ(status["destinations"][0]["backlog"], 2);
  EXPECT_EQ(receiver.held.load(), 1);  // one request in flight, the second call waits
  server.signal(SIGTERM);
  server.wait_exit(20s);
}

// Two radios stop on the same transmission at once: the list shows it once with both channels,
// each channel's list keeps its own recording with its file, and the receiver gets it once.
// Separated by hand, the other recording is listed and sent too. Two radios on different
// frequencies at once: two calls, both sent.
TEST(UploadBinary, OneTransmissionHeardByTwoRadiosIsListedOnceAndSentOnce) {
  test::AudioEnv env("uploads-linked", {{"quillon_tone", "Quillon test tone", 11025, 1000.0, 600}});
  if (!env.ok()) GTEST_SKIP() << env.why();
  test::RdioReceiver receiver;
  const fs::path data = env.dir() / "data";
  write_site(data, receiver.port(), true);
  const int console = test::free_port();
  Process sim({QUILLON_SCANNER_SIM, "--display-ms", "300", "--link", (data / "ports" / "com1").string(), "--link",
               (data / "ports" / "com2").string()},
              env.dir() / "sim", {}, true);
  ASSERT_TRUE(eventually([&] { return Process::slurp(env.dir() / "sim" / "quillon-scanner-sim.out").find("ready") != std::string::npos; }, 10s));
  sim.say("all auto off");
  Process server({QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:" + std::to_string(console)}, env.dir() / "run", env.env());
  ASSERT_TRUE(eventually([&] { return !test::ok_body(console, "/api/calls/uploads").empty(); }, 30s)) << server.stderr_text();
  // Both radios answer their polls (their calls are cut from what they show).
  const auto rotations = [&](int channel) {
    const std::string body = test::ok_body(console, "/metrics");
    const std::string sample = "\nquillon_poll_rotations_total{channel=\"" + std::to_string(channel) + "\"} ";
    const auto at = body.find(sample);
    return at == std::string::npos ? -1.0 : std::atof(body.c_str() + at + sample.size());
  };
  ASSERT_TRUE(eventually([&] { return rotations(1) > 3 && rotations(2) > 3; }, 30s)) << server.stderr_text();
  std::this_thread::sleep_for(2s);
  const auto list = [&](const std::string& query) {
    const auto j = nlohmann::json::parse(test::ok_body(console, "/api/calls" + query), nullptr, false);
    return j.is_object() ? j["calls"] : nlohmann::json::array();
  };

  sim.say("1 open 4000 5");  // NRK P1, 100.2000 WFM, on both radios
  sim.say("2 open 4000 5");
  ASSERT_TRUE(eventually([&] { return list("?channel=1").size() == 1 && list("?channel=2").size() == 1; }, 30s))
      << server.stderr_text();
  const auto calls = list("");
  ASSERT_EQ(calls.size(), 1u) << calls.dump();
  EXPECT_EQ(calls[0]["heard_on"], nlohmann::json({1, 2}));
  ASSERT_EQ(calls[0]["linked"].size(), 1u);
  EXPECT_EQ(calls[0]["best"], calls[0]["id"]);
  for (const auto* q : {"?channel=1", "?channel=2"}) {
    const auto own = list(q)[0];
    EXPECT_FALSE(test::ok_body(console, own["audio"].get<std::string>()).empty()) << q << ": its file is kept";
  }
  // Sent once: one upload, the other recording marked linked.
  const auto settled = [&](std::size_t n) {
    const auto st = nlohmann::json::parse(test::ok_body(console, "/api/calls/uploads"), nullptr, false);
    if (!st.is_object() || st["calls"].size() != n) return false;
    for (const auto& c : st["calls"])
      if (c["state"] != "done" && c["state"] != "linked") return false;
    return true;
  };
  ASSERT_TRUE(eventually([&] { return settled(2); }, 30s)) << test::ok_body(console, "/api/calls/uploads");
  EXPECT_EQ(receiver.taken().size(), 1u);
  EXPECT_EQ(receiver.taken()[0].frequency, "100200000");

  // Separated by hand: two calls listed, and the recording held back goes too.
  const std::string unlinked = test::http_exchange(console, "POST", "/api/calls/unlink", "{\"id\": " + calls[0]["id"].dump() + "}");
  EXPECT_EQ(test::status_of(unlinked), 200) << unlinked;
  EXPECT_EQ(list("").size(), 2u);
  ASSERT_TRUE(eventually([&] { return receiver.taken().size() == 2; }, 30s)) << test::ok_body(console, "/api/calls/uploads");

  sim.say("1 open 3000 1");  // 167.3500 FM
  sim.say("2 open 3000 2");  // 156.1000 NFM
  ASSERT_TRUE(eventually([&] { return list("").size() == 4; }, 30s)) << list("").dump();
  ASSERT_TRUE(eventually([&] { return settled(4); }, 30s)) << test::ok_body(console, "/api/calls/uploads");
  EXPECT_EQ(receiver.taken().size(), 4u);
  server.signal(SIGTERM);
  server.wait_exit(20s);
}

}  // namespace
}  // namespace quillon
