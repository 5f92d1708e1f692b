// Paging-tone detection: how many pages it finds against the signal-to-noise ratio, how many
// false tone-outs an hour of dispatch speech over noise raises, and what it costs per channel.
//
//   paging_tones [--hours H]     (H hours of speech for the false-alert count, 1 by default)
//
// Pages: 100 per ratio, each a random set of the ten (eight two-tone Quick Call pairs, two long
// tones), A 1 s and B 3 s with 0..100 ms between (long tones 2.5 s), a random start phase and
// level (-6 .. -24 dBFS), between two spoken messages; noise is white over the whole band, the
// ratio that of the tone's power to the noise's. A page counts as found when its set, and no
// other, is reported once within 40 ms of the tones' end.
// CPU: thread CPU time to feed about twelve minutes of speech and noise in 40 ms chunks, as a share of
// one core for one channel in real time, at 8000 Hz and at 44100 Hz (the capture rate the
// codec's tap delivers by default).

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "audio/paging_tones.hpp"
#include "support/tone_audio.hpp"

namespace {

using quillon::audio::PagingToneDetector;
using quillon::audio::ToneSet;
using quillon::test::RadioAudio;

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

ToneSet pair(double a, double b) {
  ToneSet s;
  s.name = std::to_string(a) + "/" + std::to_string(b);
  s.a_hz = a;
  s.b_hz = b;
  return s;
}
ToneSet single(double hz) {
  ToneSet s;
  s.name = std::to_string(hz);
  s.a_hz = hz;
  return s;
}

// Ten sets: eight pairs spread over the Quick Call range and two long tones.
std::vector<ToneSet> ten_sets() {
  const auto& qc = quillon::test::quick_call_tones();
  std::vector<ToneSet> sets;
  for (std::size_t i = 0; i < 8; ++i) sets.push_back(pair(qc[i * 10], qc[i * 10 + 5]));
  sets.push_back(single(1000));
  sets.push_back(single(1650));
  return sets;
}

// Two hundred sets: 180 pairs over the 80 Quick Call tones, 20 long tones.
std::vector<ToneSet> two_hundred_sets() {
  const auto& qc = quillon::test::quick_call_tones();
  std::vector<ToneSet> sets;
  for (std::size_t i = 0; i < 180; ++i) sets.push_back(pair(qc[i % 80], qc[(i * 7 + 3 + i / 80) % 80]));
  for (std::size_t i = 0; i < 20; ++i) sets.push_back(single(qc[i * 4]));
  return sets;
}

// Two hundred pairs of 400 distinct frequencies: the most filters 200 sets can need.
std::vector<ToneSet> two_hundred_distinct() {
  std::vector<ToneSet> sets;
  for (int i = 0; i < 200; ++i) sets.push_back(pair(300.0 + 5.5 * i, 1400.0 + 5.5 * i));
  return sets;
}

void detection_table(const std::vector<std::vector<std::int16_t>>& speech) {
  const auto sets = ten_sets();
  std::printf("\nDetection against SNR (8000 Hz, 10 sets, 100 pages each)\n");
  std::printf("  SNR dB | found | missed | other set | right set, off time or again\n");
  for (const double snr : {20.0, 10.0, 6.0, 3.0, 0.0, -1.0, -2.0, -3.0}) {
    std::mt19937 rng(static_cast<std::uint32_t>(snr + 100));
    int found = 0, missed = 0, wrong = 0, mistimed = 0;
    for (int n = 0; n < 100; ++n) {
      const std::size_t want = rng() % sets.size();
      const double amp = 32768 * std::pow(10.0, -(6 + static_cast<double>(rng() % 19)) / 20.0);
      RadioAudio a(8000, rng());
      a.noise_for(amp, snr);
      if (!speech.empty()) a.add(speech[rng() % speech.size()], amp / 12000);
      a.add(std::vector<std::int16_t>(rng() % 2400));  // 0 .. 300 ms, to the sample
      const ToneSet& s = sets[want];
      if (s.b_hz) {
        a.tone(s.a_hz, 1000, amp);
        a.silence(static_cast<int>(rng() % 101));
        a.tone(*s.b_hz, 3000, amp);
      } else {
        a.tone(s.a_hz, 2500, amp);
      }
      const std::int64_t end = a.size();
      a.silence(200);
      if (!speech.empty()) a.add(speech[rng() % speech.size()], amp / 12000);
      PagingToneDetector d(sets, 8000);
      bool hit = false;
      for (std::size_t i = 0; i < a.samples().size(); i += 320) {
        for (const auto& t : d.feed(a.samples().data() + i, std::min<std::size_t>(320, a.samples().size() - i))) {
          if (t.set != want)
            ++wrong;
          else if (!hit && std::abs(t.end_sample - end) <= 320)
            hit = true;
          else
            ++mistimed;
        }
      }
      hit ? ++found : ++missed;
    }
    std::printf("  %6.0f | %5d | %6d | %9d | %d\n", snr, found, missed, wrong, mistimed);
  }
}

// Speech over noise, a new mix every round, `seconds` long.
template <typename Fn>
void speech_stream(const std::vector<std::vector<std::int16_t>>& speech, int rate, double seconds, Fn&& fn) {
  RadioAudio talk(rate, 23);
  std::int64_t fed = 0;
  const auto total = static_cast<std::int64_t>(seconds * rate);
  for (int round = 0; fed < total; ++round) {
    talk.clear();
    talk.noise(round % 3 == 0 ? 80 : 500);
    for (std::size_t k = 0; k < speech.size(); ++k) {
      talk.add(speech[(k * 5 + static_cast<std::size_t>(round)) % speech.size()], 0.4 + 0.3 * (round % 4));
      talk.silence(150 + 170 * ((round + static_cast<int>(k)) % 5));
    }
    fed += talk.size();
    fn(talk.samples());
  }
}

void false_alerts(const std::vector<std::vector<std::int16_t>>& speech, double hours) {
  std::printf("\nFalse tone-outs in %.1f h of speech and noise (8000 Hz)\n", hours);
  for (const auto& [name, sets] : {std::pair{"10 sets", ten_sets()}, std::pair{"200 sets", two_hundred_sets()}}) {
    PagingToneDetector d(sets, 8000);
    std::size_t alerts = 0;
    speech_stream(speech, 8000, hours * 3600, [&](const std::vector<std::int16_t>& s) { alerts += d.feed(s.data(), s.size()).size(); });
    std::printf("  %-8s (%3zu filters): %zu tone-outs in %.2f h\n", name, d.filters(), alerts,
                static_cast<double>(d.samples_fed()) / 8000 / 3600);
  }
}

void cpu(const std::vector<std::vector<std::int16_t>>& speech) {
  std::printf("\nCPU per channel (share of one core for real-time audio, 40 ms chunks, about 12 min fed)\n");
  struct Config {
    const char* name;
    std::vector<ToneSet> sets;
  };
  const std::vector<Config> configs{{"10 sets", ten_sets()}, {"200 sets", two_hundred_sets()},
                                    {"200 sets, 400 distinct tones", two_hundred_distinct()}};
  for (const int rate : {8000, 44100}) {
    std::vector<std::int16_t> audio;
    const std::vector<std::vector<std::int16_t>> at_rate = rate == 8000 ? speech : quillon::test::dispatch_speech(rate);
    speech_stream(at_rate, rate, 60, [&](const std::vector<std::int16_t>& s) { audio.insert(audio.end(), s.begin(), s.end()); });
    const std::size_t chunk = static_cast<std::size_t>(rate) / 25;
    for (const Config& c : configs) {
      PagingToneDetector d(c.sets, rate);
      const double t0 = thread_cpu_seconds();
      std::size_t alerts = 0;
      for (int rep = 0; rep < 10; ++rep)
        for (std::size_t i = 0; i < audio.size(); i += chunk)
          alerts += d.feed(audio.data() + i, std::min(chunk, audio.size() - i)).size();
      const double spent = thread_cpu_seconds() - t0;
      const double audio_s = static_cast<double>(d.samples_fed()) / rate;
      std::printf("  %5d Hz, %-29s %3zu filters: %.4f %% of a core (%.3f s CPU for %.0f s; %zu tone-outs)\n", rate, c.name,
                  d.filters(), 100.0 * spent / audio_s, spent, audio_s, alerts);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 1;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--hours") == 0) hours = std::atof(argv[i + 1]);
  if (!quillon::test::have_espeak()) {
    std::fprintf(stderr, "espeak-ng is needed for the speech (scripts/install-deps)\n");
    return 1;
  }
  const auto speech = quillon::test::dispatch_speech(8000);
  if (speech.empty()) {
    std::fprintf(stderr, "espeak-ng made no speech\n");
    return 1;
  }
  detection_table(speech);
  false_alerts(speech, hours);
  cpu(speech);
  return 0;
}
