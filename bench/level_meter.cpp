// The console level meter's cost per sample: LevelWindow::add on 40 ms capture chunks (the
// capture's period) at 44100 Hz, a music-like signal. Items per second are samples; four
// channels at 44100 Hz need 176400 of them a second.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "audio/level_meter.hpp"

namespace {

void BM_LevelWindowAdd(benchmark::State& state) {
  const std::size_t chunk = 1764;  // 40 ms at 44100 Hz
  std::vector<std::int16_t> pcm(chunk);
  for (std::size_t i = 0; i < chunk; ++i)
    pcm[i] = static_cast<std::int16_t>(12000.0 * std::sin(0.0627 * static_cast<double>(i)) + 3000.0 * std::sin(0.91 * static_cast<double>(i)));
  quillon::audio::LevelWindow w;
  std::size_t n = 0;
  for (auto _ : state) {
    w.add(pcm.data(), pcm.size());
    if (++n % 6 == 0) benchmark::DoNotOptimize(w.take());  // a window every 250 ms
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * chunk));
}
BENCHMARK(BM_LevelWindowAdd);

}  // namespace

BENCHMARK_MAIN();
