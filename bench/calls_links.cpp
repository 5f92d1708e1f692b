// What linking a transmission heard on two channels costs the loop when a call is stored, with
// N calls (default 100,000) in the index: the calls go in in bulk, then calls are stored through
// CallStore::add as the recorder stores them, of three kinds in turn: one without a frequency
// (nothing to look up), one with a frequency and no partner (the indexed lookup only), and one
// another channel heard at the same time (lookup, link, the shown recording chosen, search
// texts rewritten). The difference of their medians is the cost of linking.
//
//   calls_links [N] [DIR] [ROUNDS]
//
// DIR on a tmpfs (the default is /dev/shm when it exists) keeps the disk's flush out of the
// figures, so what is left is the work of the index; on a disk each add also costs its commit's
// flush (bench/calls_index).

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "calls/call_store.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using quillon::calls::CallRecord;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

CallRecord call(int channel, std::int64_t start_ms, int duration_ms, std::int64_t hz, int signal, std::int64_t n) {
  CallRecord r;
  r.site = "hq";
  r.channel = channel;
  r.start_ms = start_ms;
  r.duration_ms = duration_ms;
  r.frequency_hz = hz;
  r.modulation = "NFM";
  r.display = {"SCAN +   C 020", std::to_string(hz / 1000) + " NFM", "Fire Dispatch", "FIRE"};
  r.signal_max = signal;
  r.file = "2026/12/08/c" + std::to_string(channel) + "-" + std::to_string(n) + ".opus";
  r.bytes = 20'000;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t n = argc > 1 ? std::stoll(argv[1]) : 100'000;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : base / "quillon-links-bench";
  const int rounds = argc > 3 ? std::stoi(argv[3]) : 1000;
  fs::remove_all(dir);
  std::mt19937 rng(20261208);
  const std::int64_t t0 = 1'796'000'000'000;
  // The tables as the store makes them, then the history in bulk: one call every 3 s on a
  // random channel and frequency, every tenth heard on two channels (linked as the store would).
  { quillon::calls::CallStore make(dir); }
  {
    sqlite3* db = nullptr;
    sqlite3_open((dir / "calls.db").c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *ins = nullptr, *txt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO calls (site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, "
                       "signal_max, tone, part, prev_id, file, bytes, link_id, shown) VALUES (?,?,?,?,?,?,?,?,?,?,?,'',1,0,?,?,?,?)",
                       -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO calls_text (rowid, tags, display) VALUES (?,?,?)", -1, &txt, nullptr);
    std::int64_t first_of_pair = 0;
    for (std::int64_t i = 0; i < n; ++i) {
      const bool second = i % 10 == 1;
      const std::int64_t hz = 118'000'000 + static_cast<std::int64_t>(rng() % 400) * 12'500;
      const CallRecord r = call(1 + static_cast<int>(i % 4), t0 + (second ? i - 1 : i) * 3000, 1000 + static_cast<int>(rng() % 20000), hz,
                                static_cast<int>(rng() % 255), i);
      sqlite3_reset(ins);
      sqlite3_bind_text(ins, 1, r.site.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(ins, 2, r.channel);
      sqlite3_bind_int64(ins, 3, r.start_ms);
      sqlite3_bind_int(ins, 4, r.duration_ms);
      sqlite3_bind_int64(ins, 5, r.frequency_hz);
      sqlite3_bind_text(ins, 6, r.modulation.c_str(), -1, SQLITE_TRANSIENT);
      for (int k = 0; k < 4; ++k) sqlite3_bind_text(ins, 7 + k, r.display[static_cast<std::size_t>(k)].c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(ins, 11, r.signal_max);
      sqlite3_bind_text(ins, 12, r.file.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(ins, 13, r.bytes);
      const bool first = i % 10 == 0;
      sqlite3_bind_int64(ins, 14, second ? first_of_pair : 0);
      sqlite3_bind_int(ins, 15, second ? 0 : 1);
      sqlite3_step(ins);
      const std::int64_t id = sqlite3_last_insert_rowid(db);
      if (first) first_of_pair = id;
      if (second) {
        const std::string set = "UPDATE calls SET link_id = " + std::to_string(first_of_pair) + " WHERE id = " + std::to_string(first_of_pair);
        sqlite3_exec(db, set.c_str(), nullptr, nullptr, nullptr);
      }
      sqlite3_reset(txt);
      sqlite3_bind_int64(txt, 1, id);
      sqlite3_bind_text(txt, 2, (r.display[2] + " " + r.display[3]).c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(txt, 3, (r.display[0] + "\n" + r.display[1] + "\n" + r.display[2] + "\n" + r.display[3]).c_str(), -1,
                        SQLITE_TRANSIENT);
      sqlite3_step(txt);
    }
    sqlite3_finalize(ins);
    sqlite3_finalize(txt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }

  quillon::calls::CallStore store(dir);
  store.link_margin_ms = 800 + 2000;
  std::vector<double> no_frequency, alone, linked;
  std::int64_t linked_count = 0;
  auto timed_add = [&](CallRecord r, std::vector<double>& into) {
    const auto a = Clock::now();
    store.add(r);
    into.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
    return r;
  };
  // After the history, one round every 30 s: a call with no frequency on channel 3, a call on
  // channel 1 on a frequency nothing else used lately, and channel 2 hearing the same.
  std::int64_t k = n;
  for (int i = 0; i < rounds; ++i) {
    const std::int64_t t = t0 + n * 3000 + static_cast<std::int64_t>(i) * 30'000;
    const std::int64_t hz = 450'000'000 + static_cast<std::int64_t>(i % 100) * 12'500;
    timed_add(call(3, t, 8000, 0, 40, k++), no_frequency);
    timed_add(call(1, t + 100, 8000, hz, 20, k++), alone);
    const CallRecord b = timed_add(call(2, t + 400, 8000, hz, 60, k++), linked);
    if (b.link_id > 0) ++linked_count;
  }
  std::printf("calls in the index: %lld, %d rounds, index in %s\n", static_cast<long long>(store.count()), rounds, dir.c_str());
  std::printf("linked: %lld of %d\n", static_cast<long long>(linked_count), rounds);
  auto line = [](const char* what, const std::vector<double>& v) {
    std::printf("%-52s median %.3f ms, p99 %.3f ms, max %.3f ms\n", what, percentile(v, 0.5), percentile(v, 0.99),
                *std::max_element(v.begin(), v.end()));
  };
  line("store a call without a frequency (no lookup):", no_frequency);
  line("store a call, no partner (the lookup only):", alone);
  line("store a call linked to another channel's:", linked);
  std::printf("linking's cost: lookup %.3f ms, lookup and link %.3f ms (median differences)\n",
              percentile(alone, 0.5) - percentile(no_frequency, 0.5), percentile(linked, 0.5) - percentile(no_frequency, 0.5));
  fs::remove_all(dir);
  return 0;
}
