// The real binary raising alerts: a rule on recorded calls sends each matching call once to
// receivers of ntfy, Pushover and a webhook on a private port, through a receiver outage and a
// SIGKILL and restart of the server, and the webhook's signature verifies. A simulated radio
// that is paged (its squelch opens, two tones, then a call) raises a page as soon as the tones
// end and a second message with the call.

#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>

#include "calls/alert_receivers.hpp"
#include "integration/audio_env.hpp"
#include "support/net.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;
using test::Process;

#define QUILLON_SCANNER_SIM (std::string(QUILLON_TOOLS_DIR) + "/scanner-sim/quillon-scanner-sim")

nlohmann::json alerts_status(int console) { return nlohmann::json::parse(test::ok_body(console, "/api/alerts"), nullptr, false); }

std::string hmac_hex(const std::string& key, const std::string& body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &len);
  std::string out;
  char hex[3];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", mac[i]);
    out += hex;
  }
  return out;
}

void secret(const fs::path& file, const std::string& value) {
  std::ofstream(file) << value << "\n";
  ::chmod(file.c_str(), 0600);
}

// A data directory recording channel 1 from the tone device, with `alerts` (TOML) after it.
void write_site(const fs::path& data, const std::string& alerts, test::AlertServices& services) {
  fs::create_directories(data / "registry");
  fs::create_directories(data / "ports");
  {
    std::ofstream hive(data / "registry" / "hklm.reg");
    hive << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\r\n";
    for (const char* n : {"tcpport1", "tcpport3", "tcpport4", "tcpport5", "tcpport6", "tcpport7", "tcpport8", "tcpport9"})
      hive << "\"" << n << "\"=\"" << test::free_port() << "x\"\r\n";
    hive << "\"audiodevice1\"=\"1x\"\r\n";
  }
  secret(data / "ntfy.token", "tk_station7");
  secret(data / "po.app", services.pushover_token);
  secret(data / "po.user", services.pushover_user);
  secret(data / "hook.secret", "hook-secret");
  std::ofstream(data / "quillon.toml") << "[calls]\nchannels = [1]\ngate = \"squelch\"\nhang_ms = 1000\n\n" << alerts;
}

std::string destinations(int receiver) {
  const std::string base = "http://127.0.0.1:" + std::to_string(receiver);
  return "[[alerts.send]]\ntype = \"ntfy\"\nurl = \"" + base + "/station7\"\ntoken_file = \"ntfy.token\"\nallow_plain_http = true\n\n"
         "[[alerts.send]]\ntype = \"pushover\"\nurl = \"" + base + "/1/messages.json\"\napp_token_file = \"po.app\"\n"
         "user_key_file = \"po.user\"\nallow_plain_http = true\n\n"
         "[[alerts.send]]\ntype = \"webhook\"\nurl = \"" + base + "/hook\"\nsecret_file = \"hook.secret\"\nallow_plain_http = true\n";
}

TEST(AlertsBinary, ARuleOnCallsReachesEachReceiverOnceThroughAnOutageAndAKilledServer) {
  test::AudioEnv env("alerts", {{"quillon_tone", "Quillon test tone", 11025, 1000.0, 600}});
  if (!env.ok()) GTEST_SKIP() << env.why();
  test::AlertServices services;
  services.ntfy_token = "tk_station7";
  test::AlertHttp http(services);
  const fs::path data = env.dir() / "data";
  write_site(data, "[[alerts.rule]]\nname = \"Tower\"\nwords = [\"TWR\"]\nquiet_s = 0\n\n" + destinations(http.port()), services);
  const int console = test::free_port();
  Process sim({QUILLON_SCANNER_SIM, "--display-ms", "300", "--link", (data / "ports" / "com1").string()}, env.dir() / "sim", {}, true);
  ASSERT_TRUE(eventually([&] { return Process::slurp(env.dir() / "sim" / "quillon-scanner-sim.out").find("ready") != std::string::npos; }, 10s));
  sim.say("all auto off");
  auto start = [&](const std::string& name) {
    auto p = std::make_unique<Process>(
        std::vector<std::string>{QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:" + std::to_string(console)},
        env.dir() / name, env.env());
    EXPECT_TRUE(eventually([&] { return alerts_status(console).is_object(); }, 30s)) << p->stderr_text();
    return p;
  };
  auto counts = [&] { return std::array<std::size_t, 3>{services.ntfy().size(), services.pushover().size(), services.webhook().size()}; };
  auto all_have = [&](std::size_t n) { return counts() == std::array<std::size_t, 3>{n, n, n}; };
  auto calls_of = [&](const std::string& query) {
    const auto j = nlohmann::json::parse(test::ok_body(console, "/api/calls" + query), nullptr, false);
    return j.is_object() ? j["calls"].size() : 0;
  };
  auto server = start("run1");
  // A transmission of the tower's channel, said again while none is stored within 10 s (the
  // recording starts once the radio answers and the audio runs; a loaded machine may miss an
  // opening): returns how many of the tower's calls are stored.
  auto tower_call = [&] {
    const std::size_t before = calls_of("?q=TWR");
    std::size_t now = before;
    EXPECT_TRUE(eventually([&] {
      sim.say("1 open 1500 3");  // TWR Gardermoen
      return eventually([&] { return (now = calls_of("?q=TWR")) > before; }, 10s);
    }, 60s)) << server->stderr_text();
    return now;
  };
  std::size_t n = tower_call();
  ASSERT_TRUE(eventually([&] { return all_have(n); }, 20s)) << alerts_status(console).dump();
  const std::size_t all_calls = calls_of("");
  ASSERT_TRUE(eventually([&] {
    sim.say("1 open 1500 1");  // AMK OSL CH 2: not the rule's
    return eventually([&] { return calls_of("") > all_calls; }, 10s);
  }, 60s));
  const auto first = nlohmann::json::parse(services.webhook()[0].body);
  EXPECT_EQ(first["kind"], "call");
  EXPECT_EQ(first["name"], "Tower");
  EXPECT_EQ(first["channel"], 1);
  EXPECT_EQ(first["call"]["tags"][0], "TWR Gardermoen");
  EXPECT_EQ(services.webhook()[0].signature, "sha256=" + hmac_hex("hook-secret", services.webhook()[0].body));
  EXPECT_EQ(services.ntfy()[0].filename.size() > 5, true);  // the call's file went along
  EXPECT_GT(services.pushover()[0].attachment, 100u);

  // An outage: the receivers close every connection unanswered until they come back.
  services.down = true;
  n = tower_call();
  ASSERT_TRUE(eventually([&] {
    const auto s = alerts_status(console);
    return s.is_object() && s["destinations"][0]["state"].get<std::string>().rfind("retrying", 0) == 0;
  }, 30s)) << alerts_status(console).dump();
  services.down = false;
  ASSERT_TRUE(eventually([&] { return all_have(n); }, 40s)) << alerts_status(console).dump();

  // The webhook takes the next alert and never answers; the server dies meanwhile.
  services.hold_only = "/hook";
  services.hold = true;
  n = tower_call();
  // The server has the others' answers (what it sent and did not hear back about goes again):
  // the newest alert is done for ntfy and Pushover, and being sent to the webhook.
  ASSERT_TRUE(eventually([&] {
    const auto s = alerts_status(console);
    if (!s.is_object() || s["alerts"].empty() || services.held() == 0) return false;
    std::map<std::string, std::string> state;
    for (const auto& d : s["alerts"][0]["deliveries"]) state[d["destination"]] = d["state"];
    return state["ntfy-1"] == "done" && state["pushover-2"] == "done" && state["webhook-3"] == "sending";
  }, 30s)) << alerts_status(console).dump();
  EXPECT_EQ(counts()[0], n);
  EXPECT_EQ(counts()[1], n);
  server->signal(SIGKILL);
  server->wait_exit(10s);
  services.hold = false;
  server = start("run2");
  ASSERT_TRUE(eventually([&] { return all_have(n); }, 30s)) << server->stderr_text();
  // Everything is settled: nothing waits, nothing went twice.
  ASSERT_TRUE(eventually([&] {
    const auto s = alerts_status(console);
    if (!s.is_object()) return false;
    for (const auto& d : s["destinations"])
      if (d["backlog"] != 0 || d["state"] != "idle") return false;
    return true;
  }, 20s)) << alerts_status(console).dump();
  EXPECT_TRUE(all_have(n));
  for (std::size_t i = 0; i < n; ++i)
    EXPECT_EQ(services.webhook()[i].signature, "sha256=" + hmac_hex("hook-secret", services.webhook()[i].body));
  const auto status = alerts_status(console);
  ASSERT_EQ(status["alerts"].size(), n);
  for (const auto& a : status["alerts"])
    for (const auto& d : a["deliveries"]) EXPECT_EQ(d["state"], "done") << a.dump();
  const auto alerted = nlohmann::json::parse(test::ok_body(console, "/api/calls?alerts=1"), nullptr, false);
  EXPECT_EQ(alerted["calls"].size(), n);
  const std::string metrics = test::ok_body(console, "/metrics");
  EXPECT_NE(metrics.find("quillon_alert_deliveries_total{destination=\"webhook-3\"} 1"), std::string::npos) << metrics;
  server->signal(SIGTERM);
  server->wait_exit(20s);
}

TEST(AlertsBinary, ASimulatedPageIsSentWhenTheTonesEndAndAgainWithItsCall) {
  // Channel 1 hears the simulated radio's loudspeaker: the device's file is the radio's FIFO.
  test::AudioEnv env("alerts-page", {{"quillon_radio", "Simulated radio", 11025, 1000.0, 1}});
  if (!env.ok()) GTEST_SKIP() << env.why();
  const fs::path fifo = env.dir() / "quillon_radio.raw";
  fs::remove(fifo);
  test::AlertServices services;
  services.ntfy_token = "tk_station7";
  test::AlertHttp http(services);
  const fs::path data = env.dir() / "data";
  write_site(data,
             "[[alerts.tones]]\nname = \"Station 7\"\nchannels = [1]\na_hz = 853.2\nb_hz = 1083.0\nquiet_s = 600\n\n" +
                 destinations(http.port()),
             services);
  const int console = test::free_port();
  Process sim({QUILLON_SCANNER_SIM, "--display-ms", "300", "--link", (data / "ports" / "com1").string(), "--audio", fifo.string()},
              env.dir() / "sim", {}, true);
  const auto sim_out = [&] { return Process::slurp(env.dir() / "sim" / "quillon-scanner-sim.out"); };
  ASSERT_TRUE(eventually([&] { return sim_out().find("ready") != std::string::npos; }, 10s));
  sim.say("all auto off");
  sim.say("1 page 853.2 1083");
  // The simulator answers every command: "ok ..." or "error: ...".
  ASSERT_TRUE(eventually([&] {
    const std::string out = sim_out();
    return out.find("ok 1 page") != std::string::npos || out.find("command page") != std::string::npos;
  }, 10s)) << sim_out();
  if (sim_out().find("unknown command page") != std::string::npos) GTEST_SKIP() << "this simulator cannot page a radio";
  Process server({QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:" + std::to_string(console)}, env.dir() / "run",
                 env.env());
  ASSERT_TRUE(eventually([&] { return alerts_status(console).is_object(); }, 30s)) << server.stderr_text();
  // Paged again until the server hears it (it listens once the audio runs); the set's quiet
  // time keeps a second page within ten minutes from counting.
  ASSERT_TRUE(eventually([&] {
    sim.say("1 page 853.2 1083");
    return eventually([&] { return !services.ntfy().empty(); }, 12s);
  }, 90s)) << server.stderr_text();
  const auto page = services.ntfy()[0];
  EXPECT_EQ(page.title, "Station 7 page");
  EXPECT_NE(page.message.find("channel 1"), std::string::npos) << page.message;
  EXPECT_EQ(page.filename, "");
  ASSERT_TRUE(eventually([&] { return services.ntfy().size() >= 2; }, 60s)) << alerts_status(console).dump();
  const auto with_call = services.ntfy()[1];
  EXPECT_EQ(with_call.title, "Station 7 page");
  EXPECT_GT(with_call.attachment, 100u);
  EXPECT_EQ(with_call.attachment_head, "OggS");
  ASSERT_TRUE(eventually([&] { return services.webhook().size() >= 2; }, 20s));
  const auto body = nlohmann::json::parse(services.webhook()[1].body);
  EXPECT_EQ(body["kind"], "tones");
  EXPECT_TRUE(body["call"].is_object());
  server.signal(SIGTERM);
  server.wait_exit(20s);
}

}  // namespace
}  // namespace quillon
