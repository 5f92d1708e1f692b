// Cost of building one status frame (goal: well under 2 us) and of one send tick to four
// connected slots, on the test doubles in virtual time.

#include <benchmark/benchmark.h>

#include "netdata/relay.hpp"
#include "netdata/status_frame.hpp"
#include "support/fakes.hpp"

namespace {

using namespace quillon;

void fill(Frmserver& f) {
  f.text5[0].set_text("LCD1 146.5200\r\nLCD2  NFM  BANK 3\r\nLCD3 Harbour ops\r\nLCD4 S:5");
  f.Text6[0].set_text("Step: 12.5\r\nSquelch: 3\r\nSignal: 2\r\nMode: NFM\r\nRx: 0\r\nAtt: OFF\r\nLink: 0\r\nA: 0\r\nB: 0\r\nNGX=0");
  f.audiostatus = "Audio: running";
  f.codecstatus = "Codec: running";
  f.ipstatus = "Server: 2 clients";
  f.Text11[0].set_text("Harbour West");
}

void BM_BuildStatusFrame(benchmark::State& state) {
  test::TestServer t("bench");
  t.server.start();
  fill(t.f());
  const int channel = static_cast<int>(state.range(0));
  netdata::StatusFrame frame(t.f());
  for (auto _ : state) {
    frame.build(channel);
    benchmark::DoNotOptimize(t.f().statusframe[static_cast<std::size_t>(channel - 1)].data());
  }
  state.counters["bytes"] = static_cast<double>(t.f().statusframe[static_cast<std::size_t>(channel - 1)].size());
}
BENCHMARK(BM_BuildStatusFrame)->Arg(1)->Arg(3);

void BM_SendTickFourSlots(benchmark::State& state) {
  test::TestServer t("bench");
  t.server.start();
  fill(t.f());
  for (int i = 0; i < 4; ++i) t.fakes.sockets.created.at(0)->on_connection_request(static_cast<RequestId>(i + 1));
  netdata::StatusFrame frame(t.f());
  frame.build(1);
  netdata::Relay relay(t.f());
  for (auto _ : state) {
    relay.send_tick(1);
    state.PauseTiming();
    for (int i = 1; i <= 4; ++i) dynamic_cast<test::FakeSocket&>(t.f().Winsock1[i]).sent.clear();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SendTickFourSlots);

}  // namespace

BENCHMARK_MAIN();
