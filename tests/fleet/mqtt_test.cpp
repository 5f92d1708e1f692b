// Two sites publishing to one real broker: state, discovery, commands, the last will, and a
// broker that goes away and comes back; a recorded call's details on the call topic.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "fleet/fleet_support.hpp"
#include "integration/audio_env.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

std::string site_config(const std::string& name, int broker, bool commands) {
  return "[site]\nname = \"" + name + "\"\n\n[mqtt]\nhost = \"127.0.0.1\"\nport = " + std::to_string(broker) +
         "\nkeepalive_seconds = 5\ndiscovery = true\ncommands = " + (commands ? "true" : "false") + "\n";
}

// The distinct first display lines published on a topic.
std::set<std::string> displays(const test::Subscriber& sub, const std::string& topic) {
  std::set<std::string> out;
  for (const auto& p : sub.payloads(topic)) {
    const auto j = nlohmann::json::parse(p, nullptr, false);
    if (!j.is_discarded() && j.contains("display")) out.insert(j["display"][0].get<std::string>());
  }
  return out;
}

TEST(Mqtt, TwoSitesOneBrokerStateDiscoveryCommandsWillAndReconnect) {
  if (!test::have("mosquitto_sub") || !std::filesystem::exists("/usr/sbin/mosquitto")) GTEST_SKIP() << "mosquitto not installed";
  const auto dir = test::fresh_temp_dir("mqtt");
  test::Broker broker(dir);
  ASSERT_TRUE(broker.start());
  test::Subscriber sub(dir, broker.port, {"quillon/#", "homeassistant/#"});

  test::Site alpha("alpha", site_config("alpha", broker.port, true));
  test::Site bravo("bravo", site_config("bravo", broker.port, false));

  // Each site under its own prefix, online, with a state that follows the radio's display.
  ASSERT_TRUE(test::eventually([&] {
    return sub.saw("quillon/alpha/status online") && sub.saw("quillon/bravo/status online") &&
           displays(sub, "quillon/alpha/1/state").size() >= 2 && displays(sub, "quillon/bravo/1/state").size() >= 2;
  }, 40s)) << sub.text() << alpha.server->stderr_text();
  const auto state = nlohmann::json::parse(sub.payloads("quillon/alpha/1/state").back());
  EXPECT_EQ(state["enabled"], true);
  EXPECT_EQ(state["serial"], "ok");
  EXPECT_EQ(state["readings"].size(), 9u);
  EXPECT_GT(state["data_port"].get<int>(), 0);
  EXPECT_TRUE(state["signal"].is_number()) << state.dump();
  // Channels that are off are published too, as such.
  EXPECT_EQ(nlohmann::json::parse(sub.payloads("quillon/alpha/2/state").back())["enabled"], false);

  // Home Assistant discovery: a device per channel pointing at the state topic.
  const auto disc = sub.payloads("homeassistant/sensor/quillon_alpha_1/display/config");
  ASSERT_FALSE(disc.empty()) << sub.text();
  const auto d = nlohmann::json::parse(disc.back());
  EXPECT_EQ(d["state_topic"], "quillon/alpha/1/state");
  EXPECT_EQ(d["availability_topic"], "quillon/alpha/status");
  EXPECT_FALSE(sub.payloads("homeassistant/binary_sensor/quillon_bravo_4/serial_problem/config").empty());

  // A command reaches alpha's radio with one carriage return; bravo has commands off.
  test::publish(broker.port, "quillon/alpha/1/command", "KEY1#");
  test::publish(broker.port, "quillon/alpha/1/command", "SET DELAY7A=100#");  // not a scanner command
  test::publish(broker.port, "quillon/bravo/1/command", "KEY2#");
  std::string heard;
  ASSERT_TRUE(test::eventually([&] { return (heard = alpha.heard()).find("[KEY1]") != std::string::npos; }, 15s)) << heard;
  EXPECT_EQ(heard.find("[KEY1][]"), std::string::npos) << heard;
  EXPECT_EQ(heard.find("SET"), std::string::npos) << heard;
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(bravo.heard().find("KEY2"), std::string::npos);

  // The broker goes away (losing every retained message) and comes back: both sites say so
  // once, reconnect and publish again.
  broker.stop();
  ASSERT_TRUE(test::eventually([&] { return alpha.server->stderr_text().find("lost the MQTT broker") != std::string::npos; }, 20s));
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(broker.start());
  test::Subscriber after(dir, broker.port, {"quillon/#"}, "after");
  ASSERT_TRUE(test::eventually([&] {
    return after.saw("quillon/alpha/status online") && after.saw("quillon/bravo/status online") &&
           !after.payloads("quillon/alpha/1/state").empty() && !after.payloads("quillon/bravo/4/state").empty();
  }, 60s)) << after.text() << alpha.server->stderr_text();
  const std::string log = alpha.server->stderr_text();
  EXPECT_NE(log.find("reached again"), std::string::npos) << log;
  EXPECT_EQ(log.find("lost the MQTT broker"), log.rfind("lost the MQTT broker")) << log;

  // bravo dies without a goodbye: the broker publishes its last will.
  bravo.server->stop(SIGKILL);
  EXPECT_TRUE(test::eventually([&] { return after.saw("quillon/bravo/status offline"); }, 20s)) << after.text();
  // alpha stops cleanly and says offline itself.
  alpha.server->stop(SIGTERM);
  EXPECT_TRUE(test::eventually([&] { return after.saw("quillon/alpha/status offline"); }, 10s)) << after.text();
  std::filesystem::remove_all(dir);
}


// What the broker hands out again (retained commands) and bytes no radio command has never reach
// the radio; the display topic carries the radio's own text.
TEST(Mqtt, RetainedAndNonAsciiCommandsAreNotRelayedAndDisplayIsTheRadiosText) {
  if (!test::have("mosquitto_sub") || !std::filesystem::exists("/usr/sbin/mosquitto")) GTEST_SKIP() << "mosquitto not installed";
  const auto dir = test::fresh_temp_dir("mqtt-cmd");
  test::Broker broker(dir);
  ASSERT_TRUE(broker.start());
  test::Subscriber sub(dir, broker.port, {"quillon/#"});
  // Left on the broker before the server starts: replayed to it on subscribing.
  ASSERT_EQ(std::system(("/usr/bin/mosquitto_pub -r -h 127.0.0.1 -p " + std::to_string(broker.port) +
                         " -t quillon/alpha/1/command -m 'KEY3#'").c_str()), 0);
  test::Site alpha("alpha", site_config("alpha", broker.port, true));
  ASSERT_TRUE(test::eventually([&] { return sub.saw("quillon/alpha/status online"); }, 40s)) << alpha.server->stderr_text();

  alpha.sim->say("1 show AMK OSL CH 2");
  ASSERT_TRUE(test::eventually([&] { return displays(sub, "quillon/alpha/1/state").count("AMK OSL CH 2") == 1; }, 20s)) << sub.text();
  for (const auto& line : displays(sub, "quillon/alpha/1/state")) EXPECT_EQ(line.find('['), std::string::npos) << line;

  ASSERT_EQ(std::system(("/usr/bin/mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port) +
                         " -t quillon/alpha/1/command -m \"$(printf 'QPR\\377\\376')\"").c_str()), 0);
  test::publish(broker.port, "quillon/alpha/1/command", "KEY1#");
  std::string heard;
  ASSERT_TRUE(test::eventually([&] { return (heard = alpha.heard()).find("[KEY1]") != std::string::npos; }, 15s)) << heard;
  EXPECT_EQ(heard.find("QPR"), std::string::npos) << heard;
  EXPECT_EQ(heard.find("KEY3"), std::string::npos) << heard;
  std::filesystem::remove_all(dir);
}

// A call the site records is published once on its channel's call topic with what the calls'
// list says of it, and not retained: a subscriber arriving later gets the site's retained status
// but no call.
TEST(Mqtt, RecordedCallIsPublishedOnTheCallTopicNotRetained) {
  if (!test::have("mosquitto_sub") || !std::filesystem::exists("/usr/sbin/mosquitto")) GTEST_SKIP() << "mosquitto not installed";
  test::AudioEnv env("mqtt-call", {{"quillon_tone", "Quillon test tone", 11025, 1000.0, 600}});
  if (!env.ok()) GTEST_SKIP() << env.why();
  const auto dir = test::fresh_temp_dir("mqtt-call");
  test::Broker broker(dir);
  ASSERT_TRUE(broker.start());
  test::Subscriber sub(dir, broker.port, {"quillon/#"});
  test::Site alpha("alpha", site_config("alpha", broker.port, false) + "\n[calls]\nchannels = [1]\ngate = \"squelch\"\nhang_ms = 1000\n", 1,
                   env.env(), {{"audiodevice1", "1"}});
  ASSERT_TRUE(test::eventually([&] { return sub.saw("quillon/alpha/status online"); }, 40s)) << alpha.server->stderr_text();

  alpha.sim->say("all auto off");
  alpha.sim->say("1 open 2000 3");  // TWR Gardermoen, 118.5000 AM
  ASSERT_TRUE(test::eventually([&] { return !sub.payloads("quillon/alpha/1/call").empty(); }, 30s)) << sub.text() << alpha.server->stderr_text();
  std::this_thread::sleep_for(1s);
  const auto published = sub.payloads("quillon/alpha/1/call");
  ASSERT_EQ(published.size(), 1u) << sub.text();
  const auto call = nlohmann::json::parse(published[0], nullptr, false);
  ASSERT_TRUE(call.is_object()) << published[0];
  EXPECT_EQ(call["channel"], 1);
  EXPECT_EQ(call["frequency_hz"], 118500000);
  EXPECT_GT(call["duration_ms"].get<int>(), 1000);
  const auto tags = call["tags"].get<std::vector<std::string>>();
  EXPECT_NE(std::find(tags.begin(), tags.end(), "TWR Gardermoen"), tags.end()) << call.dump();
  // The same call as the calls' list has it.
  const auto list = nlohmann::json::parse(test::body_of(test::http_get(alpha.console_port, "/api/calls")), nullptr, false);
  ASSERT_TRUE(list.is_object() && list["calls"].size() == 1u) << list.dump();
  EXPECT_EQ(list["calls"][0]["id"], call["id"]);
  EXPECT_EQ(list["calls"][0]["start"], call["start"]);
  EXPECT_EQ(sub.payloads("quillon/alpha/2/call").size(), 0u);

  test::Subscriber late(dir, broker.port, {"quillon/#"}, "late");
  ASSERT_TRUE(test::eventually([&] { return late.saw("quillon/alpha/status online"); }, 10s)) << late.text();
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(late.payloads("quillon/alpha/1/call").empty()) << late.text();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillon
