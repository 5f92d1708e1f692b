// Alerts in virtual time: paging tones fed into a channel's PCM tap, calls stored in a real index
// in a temporary folder, and the alerts' requests answered by receivers written from the
// services' public descriptions (alert_receivers.hpp). A restart is a new Alerts on the same index.

#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <cmath>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <fstream>
#include <sys/stat.h>

#include "alert_receivers.hpp"
#include "calls/alert_apprise.hpp"
#include "calls/alerts.hpp"
#include "core/asio_event_loop.hpp"
#include "calls/calls_api.hpp"
#include "core/virtual_event_loop.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

// Answers on the loop 20 ms later, as a network would; a held request is never answered.
class FakeClient final : public HttpClient {
 public:
  FakeClient(EventLoop& loop, test::AlertServices& services) : loop_(loop), services_(services) {}
  ~FakeClient() override { ++*gen_; }
  void send(const HttpRequest& r, Done done) override {
    const auto gen = ++*gen_;
    test::AlertIn in;
    in.method = r.method;
    ParsedUrl u;
    parse_url(r.url, u);
    in.target = u.target;
    in.content_type = r.content_type;
    in.body = r.body;
    for (const auto& [n, v] : r.headers) {
      std::string name = n;
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      in.headers[name] = v;
    }
    loop_.call_after(Millis(20), [this, g = gen_, gen, in, done = std::move(done)] {
      if (gen != *g) return;
      const test::AlertOut out = services_.answer(in);
      if (out.status < 0) return;
      done(out.status == 0 ? HttpAnswer{0, "", "connection refused"} : HttpAnswer{out.status, out.body, ""});
    });
  }
  void cancel() override { ++*gen_; }

 private:
  EventLoop& loop_;
  test::AlertServices& services_;
  std::shared_ptr<std::uint64_t> gen_ = std::make_shared<std::uint64_t>(0);
};

constexpr int kRate = 8000;

// A tone of `ms` at `hz` (about -13 dBFS), or silence for hz = 0.
std::vector<std::int16_t> tone(double hz, int ms) {
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(kRate * ms / 1000));
  for (std::size_t i = 0; i < pcm.size() && hz > 0; ++i) pcm[i] = static_cast<std::int16_t>(7000 * std::sin(2 * M_PI * hz * i / kRate));
  return pcm;
}

config::AlertSend send_to(const std::string& type, const std::string& url) {
  config::AlertSend s;
  s.type = type;
  s.name = type;
  s.url = url;
  s.allow_plain_http = true;
  return s;
}

class AlertsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-alerts-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    store = std::make_unique<CallStore>(dir);
    loop.set_wall_time(WallClock::time_point(std::chrono::seconds(1'796'000'000)));
    services.ntfy_token = "tk_station7";
    station7.name = "Station 7";
    station7.channels = {false, true, false, false};
    station7.a_hz = 853.2;
    station7.b_hz = 1083.0;
    station7.quiet_s = 60;
    ntfy = send_to("ntfy", "http://ntfy.test/station7");
    ntfy.token = "tk_station7";
    hook = send_to("webhook", "http://hook.test/hook");
    hook.secret = "hook-secret";
    pushover = send_to("pushover", "http://pushover.test/1/messages.json");
    pushover.token = services.pushover_token;
    pushover.user = services.pushover_user;
  }
  void TearDown() override {
    alerts.reset();
    store.reset();
    fs::remove_all(dir);
  }

  void start(config::Alerts cfg) {
    alerts.reset();
    std::array<PcmSource, 4> pcm;
    for (std::size_t k = 0; k < 4; ++k)
      pcm[k] = {[this, k](PcmSource::Tap t) {
                  taps[k] = std::move(t);
                  return static_cast<int>(k) + 1;
                },
                [this, k](int) { taps[k] = nullptr; }, [] { return true; }};
    AlertsOptions o;
    o.make_client = [this](const config::AlertSend&) { return std::make_unique<FakeClient>(loop, services); };
    o.publish_mqtt = [this](int channel, const std::string& json) {
      mqtt.emplace_back(channel, json);
      return true;
    };
    o.on_alert = [this](const std::string& e) { events.push_back(e); };
    o.random = [n = 0u]() mutable { return n += 7919; };
    alerts = std::make_unique<Alerts>(loop, *store, std::move(cfg), std::move(pcm), std::move(o));
    alerts->start();
  }

  // Plays PCM into a channel's tap in 20 ms pieces, as the codec hands it on.
  void play(int channel, const std::vector<std::int16_t>& pcm) {
    for (std::size_t at = 0; at < pcm.size(); at += 160) {
      auto& tap = taps[static_cast<std::size_t>(channel - 1)];
      if (tap) tap(pcm.data() + at, std::min<std::size_t>(160, pcm.size() - at), kRate);
      loop.advance(Millis(20));
    }
  }
  void page(int channel) {
    play(channel, tone(853.2, 900));
    play(channel, tone(1083.0, 2600));
    play(channel, tone(0, 200));
  }

  std::int64_t now() const { return std::chrono::duration_cast<Millis>(loop.wall_now().time_since_epoch()).count(); }

  // A call as the recorder stores it: starting `ago_ms` before now, with its file.
  CallRecord add_call(int channel, std::int64_t ago_ms, int duration_ms, const std::string& tag, std::int64_t hz = 154'430'000) {
    CallRecord r;
    r.site = "hq";
    r.channel = channel;
    r.start_ms = now() - ago_ms;
    r.duration_ms = duration_ms;
    r.frequency_hz = hz;
    r.display = {"SCAN", "154.4300 NFM", tag, "COUNTY"};
    r.file = "2026/12/08/c" + std::to_string(channel) + "-" + std::to_string(++calls) + ".opus";
    const std::string audio = "OggS" + std::string(3000, 'a');
    r.bytes = static_cast<std::int64_t>(audio.size());
    fs::create_directories((dir / r.file).parent_path());
    std::ofstream(dir / r.file, std::ios::binary) << audio;
    store->add(r);
    return r;
  }

  nlohmann::json destination(const std::string& name) {
    const auto status = alerts->status_json();
    for (const auto& d : status["destinations"])
      if (d["name"] == name) return d;
    return {};
  }

  VirtualEventLoop loop;
  fs::path dir;
  std::unique_ptr<CallStore> store;
  test::AlertServices services;
  config::AlertTones station7;
  config::AlertSend ntfy, hook, pushover;
  std::array<PcmSource::Tap, 4> taps;
  std::vector<std::pair<int, std::string>> mqtt;
  std::vector<std::string> events;
  std::unique_ptr<Alerts> alerts;
  int calls = 0;
};

std::string hmac_hex(const std::string& key, const std::string& body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &len);
  char hex[3];
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", mac[i]);
    out += hex;
  }
  return out;
}

TEST_F(AlertsTest, APageGoesOutWhenTheTonesEndAndAgainWithItsCallToEveryDestination) {
  config::AlertSend to_mqtt = send_to("mqtt", "");
  start({{station7}, {}, {ntfy, hook, pushover, to_mqtt}, "https://scanner.example.net/live/calls/audio?id={id}"});
  page(2);
  // Within the 200 ms after the tones, every destination has the page, without a call.
  ASSERT_EQ(services.ntfy().size(), 1u);
  const auto first = services.ntfy()[0];
  EXPECT_EQ(first.title, "Station 7 page");
  EXPECT_NE(first.message.find("Station 7 page, channel 2, "), std::string::npos) << first.message;
  EXPECT_EQ(first.filename, "");
  ASSERT_EQ(services.pushover().size(), 1u);
  ASSERT_EQ(services.webhook().size(), 1u);
  ASSERT_EQ(mqtt.size(), 1u);
  EXPECT_EQ(mqtt[0].first, 2);
  const auto body = nlohmann::json::parse(services.webhook()[0].body);
  EXPECT_EQ(body["kind"], "tones");
  EXPECT_EQ(body["name"], "Station 7");
  EXPECT_EQ(body["channel"], 2);
  EXPECT_TRUE(body["call"].is_null());
  // The tones ended about 200 ms before now.
  const auto at = parse_rfc3339(body["at"]);
  ASSERT_TRUE(at);
  EXPECT_NEAR(static_cast<double>(now() - *at), 200, 120);
  // The signature is the HMAC of exactly the body sent.
  EXPECT_EQ(services.webhook()[0].signature, "sha256=" + hmac_hex("hook-secret", services.webhook()[0].body));

  // The dispatcher's call, which began with the tones, ends and is stored: the second message
  // carries it, its file where the service takes files.
  loop.advance(Millis(12000));
  const CallRecord call = add_call(2, 15'500, 15'000, "FIRE DISP");
  alerts->stored(call);
  loop.advance(Millis(500));
  ASSERT_EQ(services.ntfy().size(), 2u);
  const auto second = services.ntfy()[1];
  EXPECT_EQ(second.title, "Station 7 page");
  EXPECT_EQ(second.filename.substr(second.filename.size() - 5), ".opus");
  EXPECT_EQ(second.attachment, static_cast<std::size_t>(call.bytes));
  EXPECT_EQ(second.attachment_head, "OggS");
  EXPECT_NE(second.message.find("FIRE DISP"), std::string::npos) << second.message;
  EXPECT_EQ(second.click, "https://scanner.example.net/live/calls/audio?id=" + std::to_string(call.id));
  ASSERT_EQ(services.pushover().size(), 2u);
  EXPECT_EQ(services.pushover()[1].attachment, static_cast<std::size_t>(call.bytes));
  EXPECT_EQ(services.pushover()[1].url, second.click);
  ASSERT_EQ(services.webhook().size(), 2u);
  const auto with_call = nlohmann::json::parse(services.webhook()[1].body);
  EXPECT_EQ(with_call["kind"], "tones");
  EXPECT_EQ(with_call["call"]["id"], call.id);
  EXPECT_EQ(with_call["call"]["duration_ms"], 15000);
  EXPECT_EQ(with_call["call"]["frequency_hz"], 154430000);
  EXPECT_EQ(with_call["call"]["tags"], nlohmann::json::array({"FIRE DISP", "COUNTY"}));
  EXPECT_EQ(with_call["call"]["audio"], second.click);
  EXPECT_EQ(services.webhook()[1].signature, "sha256=" + hmac_hex("hook-secret", services.webhook()[1].body));
  // The next call on the channel is not the page's.
  alerts->stored(add_call(2, 1000, 1000, "FIRE DISP"));
  loop.advance(Millis(500));
  EXPECT_EQ(services.ntfy().size(), 2u);

  // Each alert is listed with where it went, and the call is marked as an alert's.
  const auto status = alerts->status_json();
  ASSERT_EQ(status["alerts"].size(), 2u);
  EXPECT_EQ(status["alerts"][0]["call"], call.id);
  for (const auto& a : status["alerts"]) {
    ASSERT_EQ(a["deliveries"].size(), 4u);
    for (const auto& d : a["deliveries"]) EXPECT_EQ(d["state"], "done") << d;
  }
  ApiRequest req;
  req.path = "/api/calls";
  req.query = "alerts=1";
  const auto listed = nlohmann::json::parse(handle_calls_request(*store, req).body);
  ASSERT_EQ(listed["calls"].size(), 1u);
  EXPECT_EQ(listed["calls"][0]["id"], call.id);
  EXPECT_EQ(listed["calls"][0]["alerted"], true);
  req.query = "";
  EXPECT_EQ(nlohmann::json::parse(handle_calls_request(*store, req).body)["calls"][0]["alerted"], false);
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(AlertsTest, TonesCountOnlyOnTheirChannelsWithTheirPairAndOncePerQuietTime) {
  config::AlertTones long_tone;
  long_tone.name = "Siren test";
  long_tone.channels = {true, false, false, false};
  long_tone.a_hz = 1500;
  long_tone.long_ms = 2000;
  long_tone.quiet_s = 0;
  start({{station7, long_tone}, {}, {ntfy}, ""});
  page(1);                   // channel 1 does not listen for Station 7
  play(2, tone(853.2, 900));  // A alone, then a wrong B
  play(2, tone(1200, 2600));
  play(2, tone(0, 300));
  play(2, tone(853.2, 300));  // both tones, but far too short
  play(2, tone(1083.0, 400));
  play(2, tone(0, 300));
  EXPECT_EQ(services.ntfy().size(), 0u);
  // A tone 3 % off is not the set's.
  play(2, tone(853.2 * 1.03, 900));
  play(2, tone(1083.0 * 1.03, 2600));
  play(2, tone(0, 300));
  EXPECT_EQ(services.ntfy().size(), 0u);

  page(2);
  page(2);  // within the set's 60 s
  play(1, tone(1500, 2500));
  play(1, tone(0, 300));
  ASSERT_EQ(services.ntfy().size(), 2u);
  EXPECT_EQ(services.ntfy()[0].title, "Station 7 page");
  EXPECT_EQ(services.ntfy()[1].title, "Siren test page");
  loop.advance(Millis(60'000));
  page(2);
  EXPECT_EQ(services.ntfy().size(), 3u);
  const auto f = alerts->figures();
  for (const auto& [name, n] : f.raised) EXPECT_EQ(n, name == "Station 7" ? 2u : 1u) << name;
}

TEST_F(AlertsTest, AWordRuleFiresOnTheCallWhoseDisplayShowsItOnlyOnceWithinItsQuietTime) {
  config::AlertRule fire;
  fire.name = "Fire words";
  fire.channels = {true, false, false, false};
  fire.words = "FIRE";
  fire.quiet_s = 300;
  start({{}, {fire}, {ntfy, hook}, ""});
  alerts->stored(add_call(1, 5000, 3000, "POLICE"));
  alerts->stored(add_call(2, 5000, 3000, "FIRE DISP"));  // another channel
  loop.advance(Millis(1000));
  EXPECT_EQ(services.ntfy().size(), 0u);
  const CallRecord hit = add_call(1, 5000, 3000, "FIRE DISP");
  alerts->stored(hit);
  loop.advance(Millis(60'000));
  alerts->stored(add_call(1, 5000, 3000, "FIRE DISP"));  // within 300 s
  loop.advance(Millis(1000));
  ASSERT_EQ(services.ntfy().size(), 1u);
  EXPECT_EQ(services.ntfy()[0].title, "Fire words");
  ASSERT_EQ(services.webhook().size(), 1u);
  const auto body = nlohmann::json::parse(services.webhook()[0].body);
  EXPECT_EQ(body["kind"], "call");
  EXPECT_EQ(body["call"]["id"], hit.id);
  EXPECT_EQ(body["call"]["audio"], "/api/calls/" + std::to_string(hit.id) + "/audio");
  EXPECT_EQ(services.webhook()[0].signature, "sha256=" + hmac_hex("hook-secret", services.webhook()[0].body));
  loop.advance(Millis(300'000));
  alerts->stored(add_call(1, 5000, 3000, "FIRE DISP"));
  loop.advance(Millis(1000));
  EXPECT_EQ(services.ntfy().size(), 2u);
}

TEST_F(AlertsTest, FrequencyLengthQuietSpellAndHoursDecideAsConfigured) {
  config::AlertRule exact, range, longer, first, never;
  exact.name = "exact";
  exact.freq_lo_hz = exact.freq_hi_hz = 155'000'000;
  exact.quiet_s = 0;
  range.name = "range";
  range.freq_lo_hz = 160'000'000;
  range.freq_hi_hz = 161'000'000;
  range.quiet_s = 0;
  longer.name = "long";
  longer.min_duration_s = 20;
  longer.quiet_s = 0;
  first.name = "first after quiet";
  first.after_quiet_min = 30;
  first.quiet_s = 0;
  never.name = "never";
  never.when.days = {};  // active on no day
  never.quiet_s = 0;
  start({{}, {exact, range, longer, first, never}, {}, ""});
  auto judged = [&](const CallRecord& r) { return alerts->judge_call(r); };
  using V = std::vector<std::string>;
  // The first call the channel ever had follows a long quiet.
  EXPECT_EQ(judged(add_call(3, 10'000, 5000, "X", 155'000'000)), (V{"exact", "first after quiet"}));
  EXPECT_EQ(judged(add_call(3, 1000, 1000, "X", 155'000'100)), V{});
  EXPECT_EQ(judged(add_call(3, 1000, 25'000, "X", 160'500'000)), (V{"range", "long"}));
  loop.advance(Millis(29 * 60'000));
  EXPECT_EQ(judged(add_call(3, 1000, 1000, "X", 161'000'001)), V{});  // 29 minutes after
  loop.advance(Millis(31 * 60'000));
  EXPECT_EQ(judged(add_call(3, 1000, 1000, "X", 150'000'000)), V{"first after quiet"});
}

// A transmission two radios recorded is one: a rule fires for it once, on the first recording
// stored, and again for the next transmission.
TEST_F(AlertsTest, ATransmissionHeardByTwoRadiosFiresARuleOnce) {
  config::AlertRule exact;
  exact.name = "exact";
  exact.freq_lo_hz = exact.freq_hi_hz = 155'000'000;
  exact.quiet_s = 0;
  start({{}, {exact}, {}, ""});
  using V = std::vector<std::string>;
  EXPECT_EQ(alerts->judge_call(add_call(1, 60'000, 15'000, "X", 155'000'000)), V{"exact"});
  const CallRecord second = add_call(2, 59'000, 15'000, "X", 155'000'000);
  ASSERT_TRUE(second.duplicate) << "the index linked the two recordings";
  EXPECT_EQ(alerts->judge_call(second), V{});
  EXPECT_EQ(alerts->judge_call(add_call(2, 20'000, 15'000, "X", 155'000'000)), V{"exact"}) << "a later transmission";
}

TEST(AlertTimes, DaysAndHoursHoldInLocalTimeAcrossMidnight) {
  config::ActiveTimes day;
  day.from_min = 6 * 60;
  day.to_min = 22 * 60;
  day.days = {true, true, true, true, true, false, false};
  EXPECT_TRUE(day.holds(0, 6 * 60));
  EXPECT_FALSE(day.holds(0, 22 * 60));
  EXPECT_FALSE(day.holds(5, 12 * 60));
  config::ActiveTimes night;
  night.from_min = 22 * 60;
  night.to_min = 6 * 60;
  night.days = {false, false, false, false, true, false, false};  // Friday night
  EXPECT_TRUE(night.holds(4, 23 * 60));
  EXPECT_TRUE(night.holds(5, 3 * 60));   // Saturday morning belongs to Friday's night
  EXPECT_FALSE(night.holds(4, 3 * 60));  // Friday morning belongs to Thursday's
  EXPECT_FALSE(night.holds(5, 23 * 60));
  EXPECT_TRUE(config::ActiveTimes{}.all());
}

TEST_F(AlertsTest, AnOutageIsWaitedOutAndARestartNeitherLosesNorDoublesAnAlert) {
  config::AlertRule any;
  any.name = "any";
  any.quiet_s = 0;
  start({{}, {any}, {ntfy}, ""});
  services.down = true;
  for (int i = 0; i < 3; ++i) {
    alerts->stored(add_call(1, 2000, 1000, "UNIT " + std::to_string(i)));
    loop.advance(Millis(500));
  }
  loop.advance(Millis(20'000));
  EXPECT_EQ(services.ntfy().size(), 0u);
  EXPECT_NE(destination("ntfy")["state"].get<std::string>().find("retrying"), std::string::npos) << destination("ntfy");
  EXPECT_EQ(destination("ntfy")["backlog"], 3);
  const int tries = services.requests();
  services.down = false;
  loop.advance(Millis(70'000));  // past the longest back-off so far
  ASSERT_EQ(services.ntfy().size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_NE(services.ntfy()[static_cast<std::size_t>(i)].message.find("UNIT " + std::to_string(i)), std::string::npos);
  // Back-off: a 20 s outage took a handful of tries, not hundreds.
  EXPECT_LT(tries, 12);
  EXPECT_EQ(alerts->figures().deliveries[0].delivered, 3u);

  // A request the server took but never answered is sent again after a restart; nothing else is.
  services.hold = true;
  alerts->stored(add_call(1, 2000, 1000, "UNIT 3"));
  loop.advance(Millis(1000));
  EXPECT_EQ(services.held(), 1);
  alerts.reset();
  services.hold = false;
  config::AlertRule same = any;
  start({{}, {same}, {ntfy}, ""});
  loop.advance(Millis(1000));
  ASSERT_EQ(services.ntfy().size(), 4u);
  EXPECT_NE(services.ntfy()[3].message.find("UNIT 3"), std::string::npos);
  alerts.reset();
  start({{}, {same}, {ntfy}, ""});
  loop.advance(Millis(5000));
  EXPECT_EQ(services.ntfy().size(), 4u);
}

TEST_F(AlertsTest, ARefusedKeyPausesItsDestinationAndAServerWithoutFilesGetsText) {
  config::AlertRule any;
  any.name = "any";
  any.quiet_s = 0;
  ntfy.token = "tk_wrong";
  pushover.user = "uWrongUserKey0000000000000000";
  start({{}, {any}, {ntfy, pushover, hook}, ""});
  alerts->stored(add_call(1, 2000, 1000, "A"));
  alerts->stored(add_call(1, 1000, 1000, "B"));
  loop.advance(Millis(5000));
  EXPECT_EQ(services.webhook().size(), 2u);
  for (const char* name : {"ntfy", "pushover"}) {
    const auto d = destination(name);
    ASSERT_TRUE(d["paused"].is_string()) << d;
    EXPECT_EQ(d["backlog"], 2) << d;
  }
  EXPECT_NE(destination("ntfy")["paused"].get<std::string>().find("401"), std::string::npos);
  EXPECT_NE(destination("pushover")["paused"].get<std::string>().find("user identifier"), std::string::npos);
  // The secret does not reach the page.
  EXPECT_EQ(alerts->status_json().dump().find("tk_wrong"), std::string::npos);
  const int tries = services.requests();
  loop.advance(Millis(600'000));
  EXPECT_EQ(services.requests(), tries);
  metrics::Snapshot snap;
  snap.alerts = alerts->figures();
  const std::string text = metrics::render(snap);
  for (const char* line : {"quillon_alerts_raised_total{rule=\"any\"} 2", "quillon_alert_paused{destination=\"ntfy\"} 1",
                           "quillon_alert_paused{destination=\"webhook\"} 0", "quillon_alert_deliveries_total{destination=\"webhook\"} 2",
                           "quillon_alert_backlog{destination=\"pushover\"} 2"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

  // A server that takes no files gets the same alert as text, once.
  ntfy.token = "tk_station7";
  services.ntfy_attachments = false;
  start({{station7}, {}, {ntfy}, ""});
  loop.advance(Millis(2000));
  EXPECT_EQ(services.ntfy().size(), 2u);  // the two waiting alerts, now with the right token
  page(2);
  alerts->stored(add_call(2, 4000, 3000, "FIRE"));
  loop.advance(Millis(2000));
  ASSERT_EQ(services.ntfy().size(), 4u);
  EXPECT_EQ(services.ntfy()[3].filename, "");
  EXPECT_NE(services.ntfy()[3].message.find("FIRE"), std::string::npos);
}

TEST_F(AlertsTest, ATestMessageReportsTheServicesAnswer) {
  start({{station7}, {}, {ntfy, pushover}, ""});
  std::vector<std::pair<bool, std::string>> answers;
  alerts->test("ntfy", [&](bool ok, std::string text) { answers.emplace_back(ok, text); });
  services.pushover_user = "uSomeoneElse";
  alerts->test("pushover", [&](bool ok, std::string text) { answers.emplace_back(ok, text); });
  alerts->test("nowhere", [&](bool ok, std::string text) { answers.emplace_back(ok, text); });
  loop.advance(Millis(1000));
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].first, false);
  EXPECT_EQ(answers[0].second, "no such destination");
  EXPECT_TRUE(answers[1].first) << answers[1].second;
  EXPECT_EQ(answers[1].second, "HTTP 200");
  EXPECT_FALSE(answers[2].first);
  EXPECT_NE(answers[2].second.find("user identifier"), std::string::npos) << answers[2].second;
  ASSERT_EQ(services.ntfy().size(), 1u);
  EXPECT_EQ(services.ntfy()[0].title, "Quillon test");
  // A test is no alert: nothing is listed or counted.
  EXPECT_TRUE(alerts->status_json()["alerts"].empty());
  // A test still on its way when the server stops tells nobody afterwards.
  services.hold = true;
  bool told = false;
  alerts->test("ntfy", [&](bool, std::string) { told = true; });
  loop.advance(Millis(1000));
  alerts.reset();
  loop.advance(Millis(20'000));
  EXPECT_FALSE(told);
}


// The apprise command behind the request interface, with a stand-in program: its arguments, its
// exit status and what it said come back on the loop; a hung one is killed at its deadline.
TEST(AppriseClient, RunsTheCommandOffTheLoopAndAnswersWithItsExitStatus) {
  const fs::path dir = fs::temp_directory_path() / ("quillon-apprise-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path fake = dir / "apprise";
  std::ofstream(fake) << "#!/bin/sh\n"
                         "printf '%s\\n' \"$@\" > \"" << (dir / "args").string() << "\"\n"
                         "case \"$6\" in *hang*) exec sleep 30;; *fail*) echo 'Unsupported URL' >&2; exit 3;; esac\n"
                         "echo sent\n";
  ::chmod(fake.c_str(), 0755);
  boost::asio::io_context io;
  // The loop has always something to wait for in the server; here the guard stands in for it.
  auto busy = boost::asio::make_work_guard(io);
  AsioEventLoop loop(io);
  auto run = [&](HttpClient& c, const std::string& body) {
    std::optional<HttpAnswer> got;
    HttpRequest r{"RUN", "tgram://bot/chat", "", body, {{"title", "Station 7 page"}, {"attach", "/tmp/call.opus"}}};
    c.send(r, [&](HttpAnswer a) { got = a; });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!got && std::chrono::steady_clock::now() < end) io.run_one_for(std::chrono::milliseconds(50));
    return got;
  };
  auto client = make_apprise_client(loop, fake.string(), 2);
  const auto ok = run(*client, "Station 7 page, channel 2");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  std::ifstream args(dir / "args");
  std::string all((std::istreambuf_iterator<char>(args)), {});
  EXPECT_EQ(all, "-t\nStation 7 page\n-a\n/tmp/call.opus\n-b\nStation 7 page, channel 2\n--\ntgram://bot/chat\n");
  const auto failed = run(*client, "fail");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 500);
  EXPECT_EQ(failed->body, "Unsupported URL");
  // A service apprise could not reach may come back: tried again with back-off.
  EXPECT_EQ(judge_alert("apprise", *failed, false).kind, AlertVerdict::Retry);
  const auto start = std::chrono::steady_clock::now();
  const auto hung = run(*client, "hang");
  ASSERT_TRUE(hung);
  EXPECT_EQ(hung->status, 0);
  EXPECT_EQ(hung->error, "apprise did not finish within 2 s");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  auto missing = make_apprise_client(loop, (dir / "no-such-program").string(), 2);
  const auto none = run(*missing, "x");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 0);
  EXPECT_NE(none->error.find("not installed"), std::string::npos) << none->error;
  // A request cancelled while the command runs is never answered, and the client goes at once.
  bool answered = false;
  client->send(HttpRequest{"RUN", "x://", "", "hang", {}}, [&](HttpAnswer) { answered = true; });
  client->cancel();
  const auto gone = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - gone, std::chrono::seconds(5));
  io.run_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(answered);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon::calls
