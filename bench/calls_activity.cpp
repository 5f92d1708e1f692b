// Activity at a glance at scale: N calls (default 1,000,000) spread over a year, loaded in bulk,
// then the index opened (which builds the per-hour tables from the calls), then the questions
// the Activity view asks, timed (p50/p95), and what keeping the tables costs each stored call.
//
// The calls: 300 frequencies heard unevenly (the busiest far more than the rest, as a scan list
// is), the channel tag fixed by the frequency, the bank tag by the channel.
//
//   calls_activity [N] [DIR]

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "calls/activity_api.hpp"
#include "calls/call_activity.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace quillon::calls;

constexpr int kFrequencies = 300;
const char* kBanks[] = {"MARINE", "AIR", "EMS", "BUSINESS"};

double ms_since(Clock::time_point a) { return std::chrono::duration<double, std::milli>(Clock::now() - a).count(); }

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct Seeder {
  std::mt19937 rng{20261208};
  std::discrete_distribution<int> pick;
  Seeder() {
    std::vector<double> w;
    for (int i = 0; i < kFrequencies; ++i) w.push_back(1.0 / (i + 1));
    pick = std::discrete_distribution<int>(w.begin(), w.end());
  }
  CallRecord make(std::int64_t i, std::int64_t t0, std::int64_t spacing) {
    CallRecord r;
    const int f = pick(rng);
    r.site = "hq";
    r.channel = 1 + static_cast<int>(rng() % 4);
    r.start_ms = t0 + i * spacing + static_cast<std::int64_t>(rng() % 1000);
    r.duration_ms = rng() % 50 == 0 ? 60'000 + static_cast<int>(rng() % 600'000) : 1000 + static_cast<int>(rng() % 20'000);
    r.frequency_hz = 118'000'000 + f * 12'500;
    r.modulation = "NFM";
    r.display = {"SCAN +   C " + std::to_string(f), std::to_string(r.frequency_hz / 1000) + " NFM", "Channel " + std::to_string(f),
                 kBanks[r.channel - 1]};
    r.file = "2026/c" + std::to_string(r.channel) + "-" + std::to_string(i) + ".opus";
    r.bytes = r.duration_ms * 2;
    return r;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t n = argc > 1 ? std::stoll(argv[1]) : 1'000'000;
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "quillon-activity-bench";
  fs::remove_all(dir);
  const std::int64_t now = 1'796'000'000'000;
  const std::int64_t spacing = 365LL * 86'400'000 / n;  // a year of calls
  const std::int64_t t0 = now - n * spacing;
  Seeder seeder;
  { CallStore create(dir); }
  {
    // Bulk: the calls and their text, in one transaction (the tables are built at the next opening).
    sqlite3* db = nullptr;
    sqlite3_open((dir / "calls.db").c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *ins = nullptr, *txt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO calls (site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, "
                       "signal_max, tone, part, prev_id, file, bytes) VALUES (?,?,?,?,?,?,?,?,?,?,0,'',1,0,?,?)",
                       -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO calls_text (rowid, tags, display) VALUES (?,?,?)", -1, &txt, nullptr);
    for (std::int64_t i = 0; i < n; ++i) {
      const CallRecord r = seeder.make(i, t0, spacing);
      sqlite3_reset(ins);
      sqlite3_bind_text(ins, 1, r.site.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(ins, 2, r.channel);
      sqlite3_bind_int64(ins, 3, r.start_ms);
      sqlite3_bind_int(ins, 4, r.duration_ms);
      sqlite3_bind_int64(ins, 5, r.frequency_hz);
      sqlite3_bind_text(ins, 6, r.modulation.c_str(), -1, SQLITE_TRANSIENT);
      for (int k = 0; k < 4; ++k) sqlite3_bind_text(ins, 7 + k, r.display[static_cast<std::size_t>(k)].c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins, 11, r.file.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(ins, 12, r.bytes);
      sqlite3_step(ins);
      const std::string tags = r.display[2] + " " + r.display[3];
      const std::string display = r.display[0] + "\n" + r.display[1] + "\n" + tags;
      sqlite3_reset(txt);
      sqlite3_bind_int64(txt, 1, sqlite3_last_insert_rowid(db));
      sqlite3_bind_text(txt, 2, tags.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(txt, 3, display.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(txt);
    }
    sqlite3_finalize(ins);
    sqlite3_finalize(txt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  // Files for the rows the opening checks (the oldest and the newest): the rest need none here.
  auto open_at = Clock::now();
  auto store = std::make_unique<CallStore>(dir);
  const double build_ms = ms_since(open_at);
  // The rows whose files were missing were removed by that opening; the tables follow them.
  open_at = Clock::now();
  store = std::make_unique<CallStore>(dir);
  const double reopen_ms = ms_since(open_at);
  std::int64_t buckets = 0;
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir / "calls.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM activity_hours", -1, &s, nullptr);
    if (sqlite3_step(s) == SQLITE_ROW) buckets = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }

  struct Case {
    const char* name;
    std::string query;
  };
  const std::vector<Case> cases = {
      {"90 days, all channels", "days=90"},
      {"90 days, channel 2", "days=90&channel=2"},
      {"30 days, all channels", "days=30"},
      {"7 days, all channels", "days=7"},
      {"90 days, one busy frequency", "days=90&frequency_hz=118000000"},
      {"90 days, one rare frequency", "days=90&frequency_hz=121000000"},
      {"30 days, a word of one frequency's tag (walks the calls)", "days=30&q=ems"},
      {"90 days, a word on every call (walks the calls)", "days=90&q=scan"},
  };
  std::printf("calls: %lld over a year; per-hour buckets kept: %lld\n", static_cast<long long>(store->count()),
              static_cast<long long>(buckets));
  std::printf("opening with the tables missing (check, then build): %.0f ms; opening with them in step (check): %.0f ms\n", build_ms,
              reopen_ms);
  for (const auto& c : cases) {
    std::vector<double> t, j;
    for (int i = 0; i < 30; ++i) {
      auto req = std::get<ActivityRequest>(parse_activity_request(c.query, now - (i % 5) * 3'600'000));
      const auto a = Clock::now();
      const Activity act = store->activity(req.query);
      t.push_back(ms_since(a));
      const auto b = Clock::now();
      const std::string text = activity_json(req, act, true);
      j.push_back(ms_since(b));
      if (text.empty()) return 1;
    }
    std::printf("%-58s query p50 %7.2f ms  p95 %7.2f ms   JSON p50 %.2f ms\n", c.name, percentile(t, 0.5), percentile(t, 0.95),
                percentile(j, 0.5));
  }

  // What the tables cost a stored call: the statements alone, inside one transaction (no flush).
  {
    sqlite3* db = nullptr;
    sqlite3_open((dir / "calls.db").c_str(), &db);
    ActivityBook book(db);
    book.open();
    std::vector<double> each;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::int64_t i = n; i < n + 5000; ++i) {
      const CallRecord r = seeder.make(i, t0, spacing);
      const auto a = Clock::now();
      book.count(r, +1);
      each.push_back(ms_since(a) * 1000);
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    std::printf("keeping the tables, per stored call (statements only): p50 %.1f us, p95 %.1f us\n", percentile(each, 0.5),
                percentile(each, 0.95));
    sqlite3_close(db);
  }
  // And a whole durable store of a call with them (the recorder's add), on the full index.
  {
    std::vector<double> each;
    for (std::int64_t i = n + 5000; i < n + 5300; ++i) {
      CallRecord r = seeder.make(i, t0, spacing);
      const auto a = Clock::now();
      store->add(r);
      each.push_back(ms_since(a));
    }
    std::printf("storing a call (durable commit, tables included): p50 %.2f ms, p95 %.2f ms\n", percentile(each, 0.5),
                percentile(each, 0.95));
  }
  store.reset();
  fs::remove_all(dir);
  return 0;
}
