// Activity at a glance on a real index: a seeded month of calls gives the heat map, the busiest
// lists, the quiet frequencies and the timeline exactly as a count over the seeded calls does,
// also after retention, after a restart, and after the per-hour tables were lost or went out of
// step with the calls.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "calls/activity_api.hpp"
#include "calls/call_activity.hpp"
#include "calls/calls_api.hpp"
#include "index_holder.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::int64_t H = 3'600'000;

struct Seeded {
  std::int64_t id = 0;
  int channel = 0;
  std::int64_t start = 0, duration = 0, frequency = 0;
  std::string tag, bank;
};

// The frequencies of the seed, each with its channel tag; the last is busy early, then silent.
const std::pair<std::int64_t, const char*> kFrequencies[] = {
    {156'800'000, "MARINE 16"}, {118'100'000, "TWR Gardermoen"}, {167'350'000, "AMK OSL"},   {446'006'250, "PMR 1"},
    {152'000'000, "Fire Dispatch"}, {153'500'000, "Police North"}, {160'250'000, "Rail Ops"}, {165'500'000, "Harbour Pilot"}};

class ActivityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Central European time with its daylight saving rule: the seed crosses the change in October.
    old_tz = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    dir = fs::temp_directory_path() / ("quillon-activity-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    now = *parse_rfc3339("2026-11-12T15:20:00Z");
  }
  void TearDown() override {
    store.reset();
    fs::remove_all(dir);
    if (old_tz)
      ::setenv("TZ", old_tz->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

  // 40 days of calls: every 8 to 40 minutes on some channel, a few seconds to a minute long, one
  // in 40 for a quarter of an hour (so some cross an hour); stored in the order they end.
  // Seeded once (thousands of durable commits take a while), copied for each test.
  void seed() {
    if (seeded().empty()) {
      store = std::make_unique<CallStore>(seed_dir());
      seed_into();
      seeded() = calls;
      store.reset();
    }
    fs::copy(seed_dir(), dir, fs::copy_options::recursive);
    calls = seeded();
    store = std::make_unique<CallStore>(dir);
  }
  static std::vector<Seeded>& seeded() {
    static std::vector<Seeded> s;
    return s;
  }
  static fs::path seed_dir() { return fs::temp_directory_path() / ("quillon-activity-seed-" + std::to_string(::getpid())); }
  static void TearDownTestSuite() { fs::remove_all(seed_dir()); }

  void seed_into() {
    std::mt19937 rng(20261112);
    std::vector<Seeded> made;
    const std::int64_t quiet_since = now - 100 * H;
    for (std::int64_t t = now - 40 * 24 * H; t < now - 60'000;) {
      Seeded c;
      c.channel = 1 + static_cast<int>(rng() % 4);
      c.start = t;
      c.duration = rng() % 40 == 0 ? 900'000 + rng() % 60'000 : 1000 + rng() % 60'000;
      auto f = kFrequencies[rng() % 8];
      if (f.first == 165'500'000 && t >= quiet_since) f = kFrequencies[0];
      c.frequency = f.first;
      c.tag = f.second;
      c.bank = c.channel % 2 ? "SEA" : "LAND";
      made.push_back(c);
      t += 8 * 60'000 + static_cast<std::int64_t>(rng() % (32 * 60'000));
    }
    // A frequency heard a few times only, long ago: not busy enough to be called quiet.
    for (int i = 0; i < 3; ++i) made.push_back({0, 2, now - 20 * 24 * H + i * 7 * 60'000 + 30'000, 5000, 140'000'000, "Rare One", ""});
    std::stable_sort(made.begin(), made.end(), [](const Seeded& a, const Seeded& b) { return a.start + a.duration < b.start + b.duration; });
    for (auto& c : made) {
      CallRecord r;
      r.site = "hq";
      r.channel = c.channel;
      r.start_ms = c.start;
      r.duration_ms = static_cast<int>(c.duration);
      r.frequency_hz = c.frequency;
      r.modulation = "NFM";
      r.display = {"SCAN", "", c.tag, c.bank};
      r.file = "c/" + std::to_string(c.start) + "-" + std::to_string(c.channel) + ".opus";
      r.bytes = 100;
      fs::create_directories((store->dir() / r.file).parent_path());
      std::ofstream(store->dir() / r.file) << "x";
      c.id = store->add(r);
      calls.push_back(c);
    }
  }

  json ask(const std::string& query) {
    auto parsed = parse_activity_request(query, now);
    const auto* req = std::get_if<ActivityRequest>(&parsed);
    if (!req) {
      ADD_FAILURE() << query << ": " << std::get<std::string>(parsed);
      return json();
    }
    return json::parse(activity_json(*req, store->activity(req->query), store->activity_kept()));
  }

  struct Filter {
    std::optional<int> channel;
    std::optional<std::int64_t> frequency;
    std::string word;  // matched at the start of a word of the tags
  };
  static bool word_in(const std::string& text, const std::string& word) {
    std::string lower_text, lower_word;
    for (char c : text) lower_text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char c : word) lower_word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::size_t at = lower_text.find(lower_word); at != std::string::npos; at = lower_text.find(lower_word, at + 1))
      if (at == 0 || lower_text[at - 1] == ' ') return true;
    return false;
  }

  // The expected answer, counted over the seeded calls still kept, by the stated rules: a call
  // counts in the local hour it starts in, its airtime in each hour it covers (split at whole
  // UTC hours), over the hours from local midnight `days - 1` days ago to now.
  json expected(int days, const Filter& f, const std::vector<Seeded>& kept) {
    std::tm tm{};
    const std::time_t now_s = now / 1000;
    ::localtime_r(&now_s, &tm);
    tm.tm_mday -= days - 1;
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    const std::int64_t from = static_cast<std::int64_t>(std::mktime(&tm)) * 1000;
    std::map<std::string, std::array<std::int64_t, 24>> air, count;
    struct Sum {
      std::int64_t calls = 0, air = 0, last = INT64_MIN, recent = 0;
    };
    std::map<std::int64_t, Sum> freq;
    std::map<std::string, Sum> tags;
    std::vector<std::int64_t> timeline;
    for (const auto& c : kept) {
      if (f.channel && c.channel != *f.channel) continue;
      if (f.frequency && c.frequency != *f.frequency) continue;
      if (!f.word.empty() && !word_in(c.tag + " " + c.bank + " SCAN", f.word)) continue;
      if (c.start >= now - 6 * H) timeline.push_back(c.id);
      std::int64_t t = c.start;
      bool first = true;
      Sum piece_sum;
      while (true) {
        const std::int64_t boundary = (t / H + 1) * H;
        const std::int64_t piece_end = std::min(c.start + c.duration, boundary);
        const std::int64_t hour_start = t / H * H;
        if (hour_start >= from / H * H && hour_start <= now) {
          std::tm lt{};
          const std::time_t s = hour_start / 1000;
          ::localtime_r(&s, &lt);
          char date[48];
          std::snprintf(date, sizeof date, "%04d-%02d-%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
          air[date][static_cast<std::size_t>(lt.tm_hour)] += piece_end - t;
          if (first) count[date][static_cast<std::size_t>(lt.tm_hour)] += 1;
          piece_sum.air += piece_end - t;
          if (first) {
            piece_sum.calls = 1;
            piece_sum.last = c.start;
            piece_sum.recent = c.start >= now - 72 * H;
          }
        }
        first = false;
        if (c.start + c.duration <= boundary) break;
        t = boundary;
      }
      if (!piece_sum.calls && !piece_sum.air) continue;
      for (Sum* s : {&freq[c.frequency], &tags[c.tag], c.bank.empty() ? nullptr : &tags[c.bank]}) {
        if (!s) continue;
        s->calls += piece_sum.calls;
        s->air += piece_sum.air;
        s->last = std::max(s->last, piece_sum.last);
        s->recent += piece_sum.recent;
      }
    }
    json j;
    json days_list = json::array(), air_rows = json::array(), call_rows = json::array();
    for (std::int64_t d = from; d <= now; d += 24 * H) {
      std::tm lt{};
      const std::time_t s = (d + 2 * H) / 1000;  // safely inside the local day, whatever the change
      ::localtime_r(&s, &lt);
      char date[48];
      std::snprintf(date, sizeof date, "%04d-%02d-%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
      if (!days_list.empty() && days_list.back() == date) continue;
      days_list.push_back(date);
      air_rows.push_back(air[date]);
      call_rows.push_back(count[date]);
    }
    j["heatmap"] = {{"days", days_list}, {"airtime_ms", air_rows}, {"calls", call_rows}};
    auto list = [](const auto& m, bool quiet_only) {
      std::vector<std::pair<json, Sum>> v;
      for (const auto& [k, s] : m)
        if (!quiet_only || (s.calls >= 20 && s.recent == 0)) v.emplace_back(json(k), s);
      std::stable_sort(v.begin(), v.end(), [&](const auto& a, const auto& b) {
        if (quiet_only && a.second.calls != b.second.calls) return a.second.calls > b.second.calls;
        return a.second.air != b.second.air ? a.second.air > b.second.air : a.second.calls > b.second.calls;
      });
      json out = json::array();
      for (const auto& [k, s] : v)
        out.push_back({{"key", k}, {"calls", s.calls}, {"airtime_ms", s.air},
                       {"last_heard", s.last == INT64_MIN ? json(nullptr) : json(rfc3339_ms(s.last))}});
      return out;
    };
    j["frequencies"] = list(freq, false);
    j["tags"] = list(tags, false);
    j["quiet"] = list(freq, true);
    j["timeline"] = timeline;
    return j;
  }

  // The answer's parts in the expected answer's shape.
  static json shaped(const json& answer) {
    json j;
    j["heatmap"] = answer["heatmap"];
    auto list = [](const json& in, const char* key) {
      json out = json::array();
      for (const auto& e : in) out.push_back({{"key", e[key]}, {"calls", e["calls"]}, {"airtime_ms", e["airtime_ms"]}, {"last_heard", e["last_heard"]}});
      return out;
    };
    j["frequencies"] = list(answer["frequencies"], "frequency_hz");
    j["tags"] = list(answer["tags"], "tag");
    j["quiet"] = list(answer["quiet"]["frequencies"], "frequency_hz");
    j["timeline"] = json::array();
    for (const auto& c : answer["timeline"]["calls"]) j["timeline"].push_back(c["id"]);
    return j;
  }

  void expect_all(const std::vector<Seeded>& kept, const std::string& when) {
    for (int days : {7, 30, 90}) {
      const std::string d = "days=" + std::to_string(days);
      EXPECT_EQ(shaped(ask(d)), expected(days, {}, kept)) << when << " " << d;
      EXPECT_EQ(shaped(ask(d + "&channel=3")), expected(days, {3, {}, ""}, kept)) << when << " " << d << " channel 3";
    }
    EXPECT_EQ(shaped(ask("days=30&frequency_hz=156800000")), expected(30, {{}, 156'800'000, ""}, kept)) << when;
    EXPECT_EQ(shaped(ask("days=30&channel=2&frequency_hz=118100000")), expected(30, {2, 118'100'000, ""}, kept)) << when;
  }

  fs::path dir;
  std::optional<std::string> old_tz;
  std::int64_t now = 0;
  std::unique_ptr<CallStore> store;
  std::vector<Seeded> calls;
};

TEST_F(ActivityTest, HeatMapListsAndTimelineCountTheSeededCallsExactly) {
  seed();
  ASSERT_GT(calls.size(), 2000u);
  expect_all(calls, "seeded");
  // The seed's own features show up: a quiet frequency, a rarely heard one that is not quiet, the
  // daylight saving change (a 25-hour local day), and calls that cross an hour.
  const json month = ask("days=30");
  ASSERT_EQ(month["quiet"]["frequencies"].size(), 1u);
  EXPECT_EQ(month["quiet"]["frequencies"][0]["frequency_hz"], 165'500'000);
  EXPECT_EQ(month["quiet"]["frequencies"][0]["tag"], "Harbour Pilot");
  EXPECT_EQ(month["time_zone"]["hours"], "local");
  EXPECT_EQ(month["time_zone"]["utc_offset_minutes"], 60);
  EXPECT_EQ(month["heatmap"]["days"].size(), 30u);
  EXPECT_EQ(month["heatmap"]["days"].back(), "2026-11-12");
  EXPECT_TRUE(month["kept"].get<bool>());
  EXPECT_FALSE(month["walked_calls"].get<bool>());
  std::int64_t seeded_air = 0;
  for (const auto& c : calls) seeded_air += c.duration;
  EXPECT_EQ(ask("days=90")["totals"]["airtime_ms"], seeded_air);  // all 40 days lie within 90
}

TEST_F(ActivityTest, AWordSearchWalksTheCallsAndAgreesWithTheTables) {
  seed();
  // "scan" is on every call's display: the walk over the calls must give what the tables give.
  json walked = ask("days=30&q=scan"), tables = ask("days=30");
  EXPECT_TRUE(walked["walked_calls"].get<bool>());
  EXPECT_EQ(shaped(walked), shaped(tables));
  EXPECT_EQ(shaped(ask("days=90&q=scan&channel=4")), shaped(ask("days=90&channel=4")));
  // A word of one tag: only its calls, counted the same way.
  EXPECT_EQ(shaped(ask("days=30&q=harb")), expected(30, {{}, {}, "harb"}, calls));
  EXPECT_EQ(shaped(ask("days=7&q=sea&channel=1")), expected(7, {1, {}, "sea"}, calls));
}

TEST_F(ActivityTest, RetentionRestartAndLostOrTamperedTablesKeepTheCountsRight) {
  seed();
  // Retention takes the calls older than 20 days; the tables lose exactly them.
  const int removed = store->retain(20, 0, now);
  std::vector<Seeded> kept;
  for (const auto& c : calls)
    if (c.start >= now - 20 * 24 * H) kept.push_back(c);
  ASSERT_EQ(static_cast<std::size_t>(removed), calls.size() - kept.size());
  ASSERT_GT(removed, 500);
  expect_all(kept, "after retention");
  // A call removed out of order (as when its file could not be put in place), sharing its hour
  // with an earlier call of its frequency, channel and tags: last heard goes back to that one.
  auto shares = [&](std::size_t i) {
    for (std::size_t k = 0; k < kept.size(); ++k)
      if (k != i && kept[k].start < kept[i].start && kept[k].start / H == kept[i].start / H && kept[k].channel == kept[i].channel &&
          kept[k].frequency == kept[i].frequency)
        return true;
    return false;
  };
  // The newest call of some frequency that shares its hour so.
  std::size_t newest = kept.size();
  std::set<std::int64_t> seen;
  for (std::size_t i = kept.size(); i-- > 0 && newest == kept.size();)
    if (seen.insert(kept[i].frequency).second && shares(i)) newest = i;
  ASSERT_LT(newest, kept.size());
  store->remove(kept[newest].id);
  kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(newest));
  expect_all(kept, "after removing a call out of order");

  // A restart finds the tables in step and keeps them.
  store.reset();
  store = std::make_unique<CallStore>(dir);
  EXPECT_TRUE(store->activity_kept());
  expect_all(kept, "after a restart");

  // Tables lost (an index from before they existed) or out of step (rows deleted by hand): the
  // next opening rebuilds them from the calls.
  store.reset();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "calls.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE activity_hours; DROP TABLE activity_days; DROP TABLE activity_channel_hours", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  store = std::make_unique<CallStore>(dir);
  expect_all(kept, "after the tables were lost");
  store.reset();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "calls.db").c_str(), &db), SQLITE_OK);
    const std::string sql = "DELETE FROM calls WHERE channel = 2 AND id < " + std::to_string(kept[kept.size() / 2].id);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  const std::int64_t cut = kept[kept.size() / 2].id;
  std::erase_if(kept, [&](const Seeded& c) { return c.channel == 2 && c.id < cut; });
  store = std::make_unique<CallStore>(dir);
  expect_all(kept, "after rows were deleted by hand");
}

TEST_F(ActivityTest, TheReaderAnswersOnItsOwnConnectionWhileAnotherProcessHoldsTheIndex) {
  seed();
  ActivityReader reader(dir / "calls.db");
  auto request = std::get<ActivityRequest>(parse_activity_request("days=30&channel=1", now));
  test::IndexHolder holder(dir / "calls.db");  // a writer's lock: readers go on (WAL)
  std::promise<std::string> answer;
  ASSERT_TRUE(reader.ask(request.query, [&](std::optional<Activity> a, std::string error, bool) {
    answer.set_value(a ? activity_json(request, *a, true) : "error: " + error);
  }));
  auto got = answer.get_future();
  ASSERT_EQ(got.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const std::string text = got.get();
  ASSERT_EQ(text.rfind("error", 0), std::string::npos) << text;
  EXPECT_EQ(shaped(json::parse(text)), expected(30, {1, {}, ""}, calls));
}

TEST_F(ActivityTest, ABadQuestionIsRefusedSayingWhichPartAndAnEmptyIndexAnswersZeros) {
  for (const char* q : {"days=14", "days=x", "channel=5", "hours=0", "hours=25", "frequency_hz=-3", "q=%01"}) {
    const auto parsed = parse_activity_request(q, now);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << q;
    const std::string name = std::string(q).substr(0, std::string(q).find('='));
    EXPECT_EQ(std::get<std::string>(parsed).rfind(name + ": ", 0), 0u) << q << ": " << std::get<std::string>(parsed);
  }
  store = std::make_unique<CallStore>(dir);
  const json j = ask("days=7&channel=&q=");  // empty fields of a form: no filter
  EXPECT_EQ(j["filters"], json::object());
  EXPECT_EQ(j["totals"]["calls"], 0);
  EXPECT_EQ(j["heatmap"]["days"].size(), 7u);
  EXPECT_TRUE(j["frequencies"].empty());
}

TEST_F(ActivityTest, TheCallsListTakesTheFrequencyFilterToo) {
  seed();
  const auto reply = handle_calls_request(*store, {"/api/calls", "frequency_hz=118100000&limit=500", "", "", false});
  ASSERT_EQ(reply.status, 200) << reply.body;
  const auto listed = json::parse(reply.body)["calls"];
  const auto want = std::count_if(calls.begin(), calls.end(), [](const Seeded& c) { return c.frequency == 118'100'000; });
  EXPECT_EQ(static_cast<std::int64_t>(listed.size()), std::min<std::int64_t>(want, 500));
  for (const auto& c : listed) EXPECT_EQ(c["frequency_hz"], 118'100'000);
  EXPECT_EQ(handle_calls_request(*store, {"/api/calls", "frequency_hz=abc", "", "", false}).status, 400);
}

}  // namespace
}  // namespace quillon::calls
