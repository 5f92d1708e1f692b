// What filing a finished call costs the loop: with the index free (row committed, file moved in
// place), while another connection holds the index (the row written beside the file instead),
// a retry while it is held (SQLite's short wait), and the drain once it is free (a few calls
// a turn). Each call's
// 16 KiB of audio is written beforehand, as the recorder does while the call runs.
//
//   calls_filer [N] [DIR]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "calls/call_filer.hpp"
#include "calls/index_holder.hpp"
#include "core/virtual_event_loop.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using quillon::calls::CallRecord;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

void report(const char* what, std::vector<double> v) {
  if (v.empty()) return;
  std::sort(v.begin(), v.end());
  auto at = [&](double p) { return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))]; };
  std::printf("  %-34s median %6.2f ms  p99 %6.2f ms  max %6.2f ms  (%zu)\n", what, at(0.5), at(0.99), v.back(), v.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::stoi(argv[1]) : 200;
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "quillon-filer-bench";
  fs::remove_all(dir);
  quillon::VirtualEventLoop loop;
  quillon::calls::CallStore store(dir);
  quillon::calls::CallFiler filer(loop, store);
  std::size_t stored = 0;
  filer.on_stored = [&](CallRecord&) { ++stored; };
  filer.start();
  const std::string audio(16 * 1024, 'x');
  int next = 0;
  auto finished_call = [&] {
    CallRecord r;
    r.site = "hq";
    r.channel = 1 + next % 4;
    r.start_ms = 1'796'000'000'000 + next * 3000LL;
    r.duration_ms = 2000;
    r.display = {"SCAN", "156.8000 NFM", "MARINE 16", "SEA"};
    r.file = "2026/12/08/c" + std::to_string(r.channel) + "-" + std::to_string(next++) + ".opus";
    r.bytes = static_cast<std::int64_t>(audio.size());
    std::ofstream(store.temp_path(r.file), std::ios::binary) << audio;
    return r;
  };

  std::printf("filing a call on the loop, %d calls each:\n", n);
  std::vector<double> free_ms, held_ms, retry_ms;
  for (int i = 0; i < n; ++i) {
    CallRecord r = finished_call();
    const auto t0 = Clock::now();
    filer.file(std::move(r));
    free_ms.push_back(ms_since(t0));
  }
  report("index free: commit and move", free_ms);

  {
    quillon::test::IndexHolder holder(dir / "calls.db");
    for (int i = 0; i < n; ++i) {
      CallRecord r = finished_call();
      const auto t0 = Clock::now();
      filer.file(std::move(r));
      held_ms.push_back(ms_since(t0));
    }
    for (int i = 0; i < 20; ++i) {
      const auto t0 = Clock::now();
      loop.advance(quillon::calls::CallFiler::kRetry);
      retry_ms.push_back(ms_since(t0));
    }
  }
  report("index held: row beside the file", held_ms);
  report("index held: one retry (each second)", retry_ms);
  // The backlog goes in a few calls a turn: each turn is what the loop is held for.
  const std::size_t before = stored;
  std::vector<double> turn_ms;
  const auto t0 = Clock::now();
  auto t = Clock::now();
  loop.advance(quillon::calls::CallFiler::kRetry);
  turn_ms.push_back(ms_since(t));
  while (stored < static_cast<std::size_t>(2 * n) && turn_ms.size() < static_cast<std::size_t>(10 * n)) {
    t = Clock::now();
    loop.advance(quillon::calls::CallFiler::kNextTurn);
    turn_ms.push_back(ms_since(t));
  }
  const double drain = ms_since(t0);
  std::printf("  drain once free: %zu calls in %.1f ms (%.2f ms a call)\n", stored - before, drain,
              drain / static_cast<double>(std::max<std::size_t>(1, stored - before)));
  report("drain: one turn of the loop", turn_ms);
  fs::remove_all(dir);
  return stored == static_cast<std::size_t>(2 * n) ? 0 : 1;
}
