// CPU of recording: four channels, 11025 Hz PCM in 20 ms chunks as the capture delivers it,
// the squelch read twice a second, every call cut, encoded and stored as the server does, in
// virtual time. Prints the CPU time per second of audio as a share of one core, against the
// same feed with nothing recording.
//
//   calls_recorder_cpu [AUDIO_SECONDS] [DIR] [open|half] [recording]
//
// "open" (the default): the squelch is open all the time, one call after another. "half": each
// channel's squelch opens for 10 s and closes for 10 s, the channels out of step, so half the
// audio is calls. "recording" runs only the recording pass, for `valgrind --tool=callgrind`
// (subtract a run without recording to count only the recorder).

#include <time.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "calls/call_recorder.hpp"
#include "core/virtual_event_loop.hpp"

namespace {

double cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::stoi(argv[1]) : 600;
  const std::filesystem::path dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path() / "quillon-calls-cpu";
  const bool half = argc > 3 && std::string(argv[3]) == "half";
  const bool only_recording = argc > 4 && std::string(argv[4]) == "recording";
  constexpr int kRate = 11025;
  constexpr std::size_t kChunk = kRate / 50;

  // Speech-like input: a tone with a wandering level and some noise.
  std::vector<std::int16_t> chunk(kChunk);
  double phase = 0;
  unsigned noise = 1;
  auto next_chunk = [&](int n) {
    for (std::size_t i = 0; i < kChunk; ++i) {
      noise = noise * 1103515245 + 12345;
      const double level = 6000 + 3000 * std::sin(n * 0.05);
      chunk[i] = static_cast<std::int16_t>(level * std::sin(phase) + static_cast<int>((noise >> 16) % 2000) - 1000);
      phase += 2 * M_PI * 700 / kRate;
    }
  };

  for (const bool recording : {false, true}) {
    if (only_recording && !recording) continue;
    std::filesystem::remove_all(dir);
    quillon::VirtualEventLoop loop;
    std::array<quillon::calls::PcmSource::Tap, 4> taps;
    std::array<quillon::calls::PcmSource, 4> sources;
    for (std::size_t k = 0; k < 4; ++k)
      sources[k] = {[&taps, k](quillon::calls::PcmSource::Tap t) {
                      taps[k] = std::move(t);
                      return 1;
                    },
                    [&taps, k](int) { taps[k] = nullptr; }, [] { return true; }};
    quillon::config::Calls cfg;
    cfg.enabled = true;
    std::unique_ptr<quillon::calls::CallRecorder> rec;
    if (recording) {
      rec = std::make_unique<quillon::calls::CallRecorder>(loop, cfg, dir, "bench", sources);
      rec->start();
    }
    const double start = cpu_seconds();
    for (int n = 0; n < seconds * 50; ++n) {
      next_chunk(n);
      for (std::size_t k = 0; k < 4; ++k) {
        // 500 chunks = 10 s; each channel starts its cycle a quarter of the way after the last.
        const bool open = !half || ((n + static_cast<int>(k) * 250) / 500) % 2 == 0;
        if (n % 25 == 0 && rec) rec->on_reply(static_cast<int>(k + 1), 10, open ? "+\r" : "-\r");
        if (taps[k]) taps[k](chunk.data(), chunk.size(), kRate);
      }
      loop.advance(quillon::Millis(20));
    }
    if (rec) rec->stop();
    const double used = cpu_seconds() - start;
    std::printf("%s (squelch open %s): %.2f CPU s for %d s of audio on four channels: %.3f %% of one core\n",
                recording ? "recording" : "not recording", half ? "half the time" : "all the time", used, seconds,
                100.0 * used / seconds);
    if (rec) std::printf("calls stored: %lld\n", static_cast<long long>(rec->store().count()));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
