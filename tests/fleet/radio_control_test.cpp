// Operating the radios from the page: roles, the lock, limits, the command log; in virtual time
// on the fakes, with a radio that answers each query as it is written.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "fleet/command_log.hpp"
#include "fleet/mqtt_bridge.hpp"
#include "fleet/radio_control.hpp"
#include "scanner/scanner_link.hpp"
#include "support/fakes.hpp"

namespace quillon {
namespace {

using nlohmann::json;
using Role = RadioControl::Caller::Role;

std::string radio(const std::string& q) {
  if (q == "LCD\r") return "LCD1 [HOLD +   C 020  ][]\rLCD2 [][]\rLCD3 [][]\rLCD4 [][]\r";
  if (q == "BAD\r") return "ERR\r";
  if (q == "HUSH\r") return "";
  if (q.size() == 3) return q.substr(0, 2) + " 0\r";  // any query
  return "OK\r";
}

// Waits (on the wall clock) for what the log's thread does; gives up after five seconds.
template <class F>
bool eventually(F done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct Rig {
  test::TestServer t{"control"};
  config::Control cfg;
  config::Listen listen;
  std::unique_ptr<CommandLog> log;
  std::unique_ptr<RadioControl> rc;
  std::array<std::size_t, 4> seen{};

  Rig() {
    listen.codes.push_back({"club", "club-code", {true, true, true, true}, std::nullopt, 0, {false, true, false, false}});
    listen.codes.push_back({"other", "other-code", {true, true, true, true}, std::nullopt, 0, {false, true, false, false}});
    log = std::make_unique<CommandLog>(t.dir / "commands.db", CommandLog::Options{});
    rc = std::make_unique<RadioControl>(t.loop, t.f(), t.server.scanner, cfg, listen, log.get());
    t.server.start();
    run(200);
  }
  void run(int ms) {
    for (int done = 0; done < ms; done += 5) {
      t.loop.advance(Millis(5));
      for (std::size_t k = 0; k < 4; ++k) {
        auto& p = t.fakes.ports[k];
        while (seen[k] < p.written.size()) {
          const std::string q = p.written[seen[k]++];
          if (p.port_open()) p.rx += radio(q);
        }
      }
    }
  }
  struct Answer {
    int status = 0;
    json body;
  };
  // Sends one request and runs the loop until it is answered (or two seconds went by).
  Answer ask(int channel, const RadioControl::Caller& who, const json& body) { return ask_raw(channel, who, body.dump()); }
  Answer ask_raw(int channel, const RadioControl::Caller& who, const std::string& body) {
    Answer a;
    rc->command(channel, who, body, [&a](int status, std::string text) {
      a.status = status;
      a.body = json::parse(text);
    });
    for (int i = 0; i < 400 && a.status == 0; ++i) run(5);
    return a;
  }
  json entries(const std::string& query_who = "", int channel = 0) {
    json out;
    bool got = false;
    CommandQuery q;
    q.who = query_who;
    q.channel = channel;
    log->query(q, [&](std::string text, bool) {
      out = json::parse(text);
      got = true;
    });
    EXPECT_TRUE(eventually([&] { return got; }));
    return out["commands"];
  }
  const std::vector<std::string>& written(int channel) { return t.fakes.ports[static_cast<std::size_t>(channel - 1)].written; }
};

RadioControl::Caller owner() { return {Role::Owner, "owner", "owner", {true, true, true, true}, "console"}; }
RadioControl::Caller op(const std::string& label) { return {Role::Operator, "code " + label, label, {false, true, false, false}, "listeners"}; }
RadioControl::Caller listener() { return {Role::Listener, "listener 192.0.2.9", "192.0.2.9", {}, "listeners"}; }

TEST(RadioControl, KeysActionsAndTextGoToTheRadioAndAreAnsweredByItsReply) {
  Rig r;
  const struct {
    json body;
    std::string sent;
  } cases[] = {
      {{{"key", "HOLD"}}, "KEY07"},          {{{"key", "SCAN"}, {"hold", true}}, "KEY01H"}, {{{"key", "7"}}, "KEY027"},
      {{{"tune", "156.8"}}, "RF01568000"},    {{{"mode", "NFM"}}, "RM NFM"},                  {{{"attenuator", true}}, "ATN"},
      {{{"delay", false}}, "DLF"},            {{{"mute", "auto"}}, "MUA"},                    {{{"memory", 102}}, "MA102"},
      {{{"text", "PM089"}}, "PM089"},
  };
  for (const auto& c : cases) {
    const auto a = r.ask(1, owner(), c.body);
    ASSERT_EQ(a.status, 200) << c.body;
    EXPECT_EQ(a.body["sent"], c.sent);
    EXPECT_EQ(a.body["reply"], "OK");
    EXPECT_NE(std::find(r.written(1).begin(), r.written(1).end(), c.sent + "\r"), r.written(1).end());
  }
  r.run(1000);  // ten went within the second: the limit would refuse the next
  EXPECT_EQ(r.ask(1, owner(), {{"text", "BAD"}}).body["reply"], "ERR");
  const auto silent = r.ask(1, owner(), {{"text", "HUSH"}});  // answered when the watchdog gives up
  EXPECT_EQ(silent.status, 200);
  EXPECT_EQ(silent.body["reply"], "");
  // The rotation goes on after both.
  const std::size_t before = r.written(1).size();
  r.run(500);
  EXPECT_GT(r.written(1).size(), before + 3);
  EXPECT_EQ(r.rc->figures().sent[0], 12u);
}

TEST(RadioControl, ChangedKeyTablesComeFromTheConfiguration) {
  config::Control cfg;
  cfg.keys["BC796"]["HOLD"] = "KEY17";
  cfg.keys["BC796"]["WX"] = "KEY18";
  const auto keys = control::key_table("BC796", cfg);
  auto find = [&](const std::string& n) {
    for (const auto& k : keys)
      if (k.name == n) return k.command;
    return std::string();
  };
  EXPECT_EQ(find("HOLD"), "KEY17");
  EXPECT_EQ(find("WX"), "KEY18");
  EXPECT_EQ(find("SCAN"), "KEY01");
  EXPECT_EQ(find("0"), "KEY020");
  EXPECT_EQ(control::key_table("BC785", cfg)[1].command, "KEY07");
}

TEST(RadioControl, TheConfigurationGivesOperatorsTheirChannelsAndModelsTheirKeys) {
  const auto c = config::parse(R"([listen]
codes = [{ label = "crew", code = "crew-code", channels = [2, 3], control = [3] }]
[control]
idle_s = 60
models = ["BC796", "BC785"]
[control.keys.BC796]
HOLD = "KEY17"
"L/O" = "KEY06H"
)", "c.toml");
  EXPECT_EQ(c.listen.codes[0].control, (std::array<bool, 4>{false, false, true, false}));
  EXPECT_EQ(c.control.idle_s, 60);
  EXPECT_EQ(c.control.models[0], "BC796");
  EXPECT_EQ(c.control.models[2], "BC785");
  EXPECT_EQ(c.control.keys.at("BC796").at("L/O"), "KEY06H");
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"[control]\nidle_s = 1\n", "c.toml:2: control.idle_s: expected a number from 10 to 86400"},
      {"[control]\nmodels = [\"BC123\"]\n", "control.models: expected \"BC785\" or \"BC796\""},
      {"[control.keys.BC785]\nHOLD = \"KEY07\\r\"\n", "control.keys.BC785.HOLD: expected printable ASCII characters only"},
      {"[control.keys.BC785]\nhold = \"KEY07\"\n", "control.keys.BC785.hold: a key's name is capitals"},
      {"[listen]\ncodes = [{ code = \"abcdefg\", control = [5] }]\n", "codes[0].control: expected channels from 1 to 4"},
  };
  for (const auto& [text, where] : bad) {
    try {
      config::parse(text, "c.toml");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const config::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
    }
  }
}

TEST(RadioControl, RolesAndChannelsNotGrantedAreRefusedByTheServer) {
  Rig r;
  const std::size_t before = r.written(1).size() + r.written(2).size();
  auto a = r.ask(1, listener(), {{"key", "HOLD"}});
  EXPECT_EQ(a.status, 403);
  EXPECT_EQ(a.body["error"], "listeners may not operate the radio");
  a = r.ask(1, op("club"), {{"key", "HOLD"}});
  EXPECT_EQ(a.status, 403);
  EXPECT_EQ(a.body["error"], "this access code may not operate channel 1");
  a = r.ask(2, op("club"), {{"text", "KEY07"}});
  EXPECT_EQ(a.status, 403);
  EXPECT_EQ(a.body["error"], "only the owner sends text to the radio");
  r.t.f().Check1[0].set_value(1);  // channel 2 on
  r.run(100);
  a = r.ask(2, op("club"), {{"key", "HOLD"}});
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(r.written(1).size() + r.written(2).size() > before, true);
  EXPECT_EQ(std::count(r.written(1).begin(), r.written(1).end(), "KEY07\r"), 0);
  EXPECT_EQ(std::count(r.written(2).begin(), r.written(2).end(), "KEY07\r"), 1);
}

TEST(RadioControl, OneControllerAtATimeTheOwnerTakesOverAndIdleEndsIt) {
  Rig r;
  r.t.f().Check1[0].set_value(1);
  r.run(100);
  ASSERT_EQ(r.ask(2, op("club"), {{"key", "HOLD"}}).status, 200);
  auto a = r.ask(2, op("other"), {{"key", "SCAN"}});
  EXPECT_EQ(a.status, 409);
  EXPECT_NE(a.body["error"].get<std::string>().find("channel 2 is operated by club since "), std::string::npos);
  EXPECT_EQ(json::parse(r.rc->control_json(2, op("other")))["holder"]["label"], "club");
  EXPECT_EQ(r.ask(2, owner(), {{"key", "SCAN"}}).status, 409);  // the owner takes over on purpose
  EXPECT_EQ(r.ask(2, op("other"), {{"take", true}}).status, 409);
  EXPECT_EQ(r.ask(2, owner(), {{"take", true}}).status, 200);
  EXPECT_EQ(r.ask(2, op("club"), {{"key", "SCAN"}}).status, 409);
  EXPECT_EQ(r.ask(2, owner(), {{"key", "SCAN"}}).status, 200);
  EXPECT_EQ(r.ask(2, owner(), {{"release", true}}).status, 200);
  EXPECT_EQ(r.ask(2, op("other"), {{"key", "SCAN"}}).status, 200);  // free again: taken by the command
  EXPECT_TRUE(json::parse(r.rc->control_json(2, op("other")))["yours"].get<bool>());
  r.run(r.cfg.idle_s * 1000 + 100);
  EXPECT_TRUE(json::parse(r.rc->control_json(2, op("club")))["holder"].is_null());
  EXPECT_EQ(r.ask(2, op("club"), {{"key", "SCAN"}}).status, 200);
}

TEST(RadioControl, BadAndTooFastCommandsAreRefusedAndLoggedAsRefused) {
  Rig r;
  const struct {
    std::string body;
    std::string why;
  } bad[] = {
      {R"({"text": "KEY07\rKEY01"})", "the command must not hold a line break (CR or LF)"},
      {R"({"text": "KEY07\n"})", "the command must not hold a line break (CR or LF)"},
      {json{{"text", std::string(65, 'A')}}.dump(), "the command is longer than 64 characters"},
      {R"({"text": "RF\u00e9"})", "the command must be printable ASCII characters only"},
      {R"({"text": ""})", "the command is empty"},
      {R"({"key": "NOPE"})", "no key \"NOPE\" on this radio"},
      {R"({"tune": "1.5"})", "tune to a frequency in MHz from 25 to 1300, such as \"156.8\""},
      {"not json", "send a JSON object such as {\"key\": \"HOLD\"}"},
  };
  const std::size_t before = r.written(1).size();
  for (const auto& b : bad) {
    const auto a = r.ask_raw(1, owner(), b.body);
    EXPECT_EQ(a.status, 400) << b.body;
    EXPECT_EQ(a.body["error"], b.why);
    r.run(1000);  // apart, so the rate limit does not come into it
  }
  // None of them reached the radio: only the rotation's queries were written.
  for (std::size_t i = before; i < r.written(1).size(); ++i) EXPECT_LE(r.written(1)[i].size(), 4u) << r.written(1)[i];
  // Ten a second pass, the eleventh within the second does not.
  std::vector<int> statuses;
  for (int i = 0; i < 11; ++i) {
    r.rc->command(1, owner(), R"({"key": "PRI"})", [&statuses](int s, std::string) { statuses.push_back(s); });
    r.run(90);
  }
  r.run(3000);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 10);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 429), 1);

  const json log = r.entries("owner", 1);
  int refused = 0, sent = 0, limited = 0;
  for (const auto& e : log) {
    if (e["refused"].is_null()) {
      ++sent;
      continue;
    }
    ++refused;
    limited += e["refused"] == "more than 10 commands a second: wait a moment";
    for (unsigned char ch : e["text"].get<std::string>()) EXPECT_TRUE(ch >= ' ' && ch <= '~');
  }
  EXPECT_EQ(sent, 10);
  EXPECT_EQ(refused, 9);
  EXPECT_EQ(limited, 1);
  EXPECT_EQ(r.rc->figures().refused[0], 9u);
}

TEST(RadioControl, ASwitchedOffChannelRefusesAndTheLogSaysWhoDidWhat) {
  Rig r;
  EXPECT_EQ(r.ask(3, owner(), {{"key", "HOLD"}}).status, 409);  // channel 3 is off
  r.t.f().Check1[0].set_value(1);
  r.run(100);
  ASSERT_EQ(r.ask(2, op("club"), {{"key", "HOLD"}}).status, 200);
  ASSERT_EQ(r.ask(2, listener(), {{"key", "SCAN"}}).status, 403);
  const json log = r.entries();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0]["who"], "listener 192.0.2.9");
  EXPECT_EQ(log[0]["refused"], "listeners may not operate the radio");
  EXPECT_EQ(log[1]["who"], "operator club");
  EXPECT_EQ(log[1]["via"], "listeners");
  EXPECT_EQ(log[1]["channel"], 2);
  EXPECT_EQ(log[1]["text"], "KEY07");
  EXPECT_EQ(log[1]["reply"], "OK");
  EXPECT_EQ(log[2]["refused"], "channel 3 is switched off");
  EXPECT_EQ(r.entries("club").size(), 1u);
  EXPECT_EQ(r.entries("", 3).size(), 1u);
}

TEST(RadioControl, DataPortAndMqttCommandsAreLoggedWithoutTheLock) {
  Rig r;
  ASSERT_EQ(r.ask(1, owner(), {{"key", "HOLD"}}).status, 200);  // the owner holds channel 1
  r.t.f().data_sender[0] = 2;
  r.t.f().Text1[0].set_text("");
  r.t.f().Text1[0].set_text("KEY01");  // as the interpreter does with a client's "KEY01#"
  EXPECT_TRUE(relay_mqtt_command(r.t.f(), 1, "ATN#"));
  EXPECT_EQ(std::count(r.written(1).begin(), r.written(1).end(), "KEY01\r"), 1);
  EXPECT_EQ(std::count(r.written(1).begin(), r.written(1).end(), "ATN\r"), 1);
  const json log = r.entries();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0]["who"], "mqtt");
  EXPECT_EQ(log[0]["text"], "ATN");
  EXPECT_TRUE(log[0]["reply"].is_null());
  EXPECT_EQ(log[1]["via"], "data");
  EXPECT_EQ(log[1]["who"], "data client 2");
  EXPECT_EQ(log[1]["text"], "KEY01");
  EXPECT_EQ(r.rc->figures().sent[0], 3u);
}

TEST(CommandLog, EntriesWaitWhileAnotherProcessHoldsTheDatabaseAndPagesGoBackInTime) {
  const auto dir = test::fresh_temp_dir("cmdlog");
  {
    CommandLog log(dir / "commands.db", CommandLog::Options{0, 0, std::chrono::milliseconds(20)});
    log.add({1000, 1, "owner", "console", "KEY07", "OK", ""});
    ASSERT_TRUE(eventually([&] { return log.written() == 1; }));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "commands.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (int i = 0; i < 5; ++i) log.add({2000 + i, 2, "data 192.0.2.7", "data", "KEY0" + std::to_string(i), std::nullopt, ""});
    // Held: tried and tried again, nothing more is written, nothing is lost.
    ASSERT_TRUE(eventually([&] { return log.retries() >= 3; }));
    EXPECT_EQ(log.written(), 1u);
    EXPECT_EQ(log.waiting(), 5u);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_TRUE(eventually([&] { return log.written() == 6; }));
    EXPECT_EQ(log.dropped(), 0u);

    std::string page;
    CommandQuery q;
    q.limit = 4;
    log.query(q, [&](std::string text, bool) { page = std::move(text); });
    ASSERT_TRUE(eventually([&] { return !page.empty(); }));
    json j = json::parse(page);
    ASSERT_EQ(j["commands"].size(), 4u);
    EXPECT_EQ(j["commands"][0]["text"], "KEY04");
    EXPECT_EQ(j["commands"][0]["at"], "1970-01-01T00:00:02.004Z");
    q.before = j["next"].get<std::int64_t>();
    page.clear();
    log.query(q, [&](std::string text, bool) { page = std::move(text); });
    ASSERT_TRUE(eventually([&] { return !page.empty(); }));
    j = json::parse(page);
    ASSERT_EQ(j["commands"].size(), 2u);
    EXPECT_EQ(j["commands"][1]["who"], "owner");
    EXPECT_TRUE(j["next"].is_null());
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace quillon
