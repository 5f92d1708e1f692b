// The call index at scale: stores N synthetic calls (default 1,000,000), then times filtered
// pages (channel + text + time range, as the Calls page asks) and reports the database size.
// The first calls go through CallStore::add as the recorder stores them (one durable commit
// each, timed); the rest are loaded in bulk into the same tables to save hours.
//
//   calls_index [N] [DIR]

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

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

const char* kTags[][2] = {{"AMK OSL CH 2", "BLAALYS"}, {"VHF Channel 2", "MARINE"}, {"TWR Gardermoen", "AIR"},
                          {"PMR 1", "PMR446"},        {"NRK P1", "BROADCAST"},     {"Fire Dispatch", "FIRE"},
                          {"Police North", "POLICE"}, {"Ambulance 3", "EMS"},      {"Taxi Oslo", "BUSINESS"},
                          {"Rail Ops", "RAIL"}};
constexpr int kTagCount = 10;

CallRecord synthetic(std::mt19937& rng, std::int64_t i, std::int64_t t0) {
  CallRecord r;
  const int t = static_cast<int>(rng() % kTagCount);
  r.site = "hq";
  r.channel = 1 + static_cast<int>(rng() % 4);
  r.start_ms = t0 + i * 3000;  // one call every 3 s: a million is about 35 days
  r.duration_ms = 1000 + static_cast<int>(rng() % 20000);
  r.frequency_hz = 118'000'000 + static_cast<std::int64_t>(rng() % 400) * 12'500;
  r.modulation = "NFM";
  r.display = {"SCAN +   C " + std::to_string(rng() % 500), std::to_string(r.frequency_hz / 1000) + " NFM", kTags[t][0],
               kTags[t][1]};
  r.signal_max = static_cast<int>(rng() % 255);
  r.file = "2026/12/08/c" + std::to_string(r.channel) + "-" + std::to_string(i) + ".opus";
  r.bytes = r.duration_ms * 2;
  return r;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t n = argc > 1 ? std::stoll(argv[1]) : 1'000'000;
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "quillon-calls-bench";
  fs::remove_all(dir);
  std::mt19937 rng(20261208);
  const std::int64_t t0 = 1'796'000'000'000;
  const std::int64_t timed = std::min<std::int64_t>(n, 2000);
  std::vector<double> store_ms, fsync_ms, end_ms;
  {
    quillon::calls::CallStore store(dir);
    const std::string audio(10'000, 'x');  // about 5 s of talk at 16 kbit/s
    for (std::int64_t i = 0; i < timed; ++i) {
      CallRecord r = synthetic(rng, i, t0);
      // What the loop does when a call ends: flush its file, commit the row, move the file in place.
      const fs::path temp = store.temp_path(r.file);
      const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
      if (fd < 0 || ::write(fd, audio.data(), audio.size()) != static_cast<ssize_t>(audio.size())) return 1;
      const auto a = Clock::now();
      ::fsync(fd);
      ::close(fd);
      const auto b = Clock::now();
      store.add(r);
      const auto c = Clock::now();
      fs::create_directories((dir / r.file).parent_path());
      fs::rename(temp, dir / r.file);
      const int dfd = ::open((dir / r.file).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::fsync(dfd);
      ::close(dfd);
      const auto d = Clock::now();
      fsync_ms.push_back(std::chrono::duration<double, std::milli>(b - a).count());
      store_ms.push_back(std::chrono::duration<double, std::milli>(c - b).count());
      end_ms.push_back(std::chrono::duration<double, std::milli>(d - a).count());
    }
  }
  // Bulk: the same rows, one transaction.
  {
    sqlite3* db = nullptr;
    sqlite3_open((dir / "calls.db").c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *ins = nullptr, *txt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO calls (site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, "
                       "signal_max, tone, part, prev_id, file, bytes) VALUES (?,?,?,?,?,?,?,?,?,?,?,'',1,0,?,?)",
                       -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO calls_text (rowid, tags, display) VALUES (?,?,?)", -1, &txt, nullptr);
    for (std::int64_t i = timed; i < n; ++i) {
      const CallRecord r = synthetic(rng, i, t0);
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
      sqlite3_step(ins);
      const std::string tags = r.display[2] + " " + r.display[3];
      const std::string display = r.display[0] + "\n" + r.display[1] + "\n" + r.display[2] + "\n" + r.display[3];
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
  const auto db_bytes = fs::file_size(dir / "calls.db");

  // Opening (reconciliation included) with all of them.
  const auto open_at = Clock::now();
  quillon::calls::CallStore store(dir);
  const double open_ms = std::chrono::duration<double, std::milli>(Clock::now() - open_at).count();

  // Filtered pages: a channel, a word of a tag, a day's range somewhere in the history.
  std::vector<double> page_ms, first_page_ms, rare_ms;
  const char* words[] = {"gardermoen", "marine", "fire", "police", "taxi", "rail", "pmr", "ambulance"};
  for (int i = 0; i < 400; ++i) {
    quillon::calls::CallQuery q;
    q.channel = 1 + i % 4;
    q.text = words[i % 8];
    q.from_ms = t0 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(std::max<std::int64_t>(1, n - 30000))) * 3000;
    q.to_ms = *q.from_ms + 86'400'000;
    q.limit = 50;
    const auto a = Clock::now();
    auto page = store.find(q);
    page_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
    // The newest page with a text filter only (the page opened with a search).
    quillon::calls::CallQuery newest;
    newest.text = words[i % 8];
    const auto b = Clock::now();
    page = store.find(newest);
    first_page_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - b).count());
    // A rare text (a number on the first display line: one call in 500) with a channel.
    quillon::calls::CallQuery rare;
    rare.text = std::to_string(rng() % 500);
    rare.channel = 1 + i % 4;
    const auto c = Clock::now();
    page = store.find(rare);
    rare_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c).count());
  }
  std::printf("calls: %lld\n", static_cast<long long>(n));
  std::printf("store a call (durable commit), %lld timed: median %.2f ms, p99 %.2f ms\n", static_cast<long long>(timed),
              percentile(store_ms, 0.5), percentile(store_ms, 0.99));
  std::printf("flush a call's file: median %.2f ms, p99 %.2f ms\n", percentile(fsync_ms, 0.5), percentile(fsync_ms, 0.99));
  std::printf("a call's whole end on the loop (flush, commit, move, folder flush): median %.2f ms, p99 %.2f ms\n",
              percentile(end_ms, 0.5), percentile(end_ms, 0.99));
  std::printf("filtered page (channel + text + one day): median %.2f ms, p99 %.2f ms\n", percentile(page_ms, 0.5),
              percentile(page_ms, 0.99));
  std::printf("newest page with a text filter: median %.2f ms, p99 %.2f ms\n", percentile(first_page_ms, 0.5),
              percentile(first_page_ms, 0.99));
  std::printf("newest page with a rare text and a channel: median %.2f ms, p99 %.2f ms\n", percentile(rare_ms, 0.5),
              percentile(rare_ms, 0.99));
  std::printf("opening the index: %.1f ms\n", open_ms);
  std::printf("database: %.1f MB (%.0f bytes a call)\n", static_cast<double>(db_bytes) / 1e6,
              static_cast<double>(db_bytes) / static_cast<double>(n));
  fs::remove_all(dir);
  return 0;
}
