// Loop-side cost of the MQTT bridge and of a metrics scrape, on the test doubles: reading one
// channel's state and writing its JSON (the bridge does this for four channels every
// state_interval_ms, 250 ms by default), and rendering the whole metrics page.

#include <benchmark/benchmark.h>

#include "fleet/fleet.hpp"
#include "fleet/metrics.hpp"
#include "support/fakes.hpp"

namespace {

using namespace quillon;

void fill(Frmserver& f) {
  f.text5[0].set_text("LCD1 [SCAN +   C 012   ][######          ]\rLCD2 [  155.3400 NFM   ][]\rLCD3 [COUNTY FIRE     ][]\rLCD4 [DISPATCH        ][]\r");
  const char* fields[9] = {"STEP$=12.5K", "SIGLVL$=48", "SQSTAT$=+\r", "STATUS$=01", "RMODE$=FM", "ATTMD$=ATF", "CS000\r", "DLF\r", "107"};
  for (int i = 0; i < 9; ++i) f.Label4[i].set_caption(fields[i]);
}

void BM_ChannelStateJson(benchmark::State& state) {
  test::TestServer t("bench");
  t.server.start();
  fill(t.f());
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string s = state_json(channel_status(t.f(), 1));
    bytes = s.size();
    benchmark::DoNotOptimize(s.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ChannelStateJson);

void BM_MetricsPage(benchmark::State& state) {
  test::TestServer t("bench");
  t.server.start();
  for (auto _ : state) {
    const std::string page = metrics::render(gather_metrics(t.f(), MetricSources{}, true));
    benchmark::DoNotOptimize(page.data());
  }
}
BENCHMARK(BM_MetricsPage);

}  // namespace

BENCHMARK_MAIN();
