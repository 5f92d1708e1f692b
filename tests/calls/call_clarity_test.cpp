// Calls stay clear at the recorder's cheap settings: audio goes through the recorder as a call
// (capture-rate PCM in, Ogg/Opus on disk), is decoded back with opusfile, and its level and
// spectrum are held to the input's: a 1 kHz tone keeps its level within 1.5 dB (narrowband
// Opus takes about 1 dB off a pure tone) and its pitch within 5 Hz; speech made by espeak-ng
// keeps its energy in each band from 300 to 3000 Hz within 2 dB (it stays within 1 dB).

#include <gtest/gtest.h>
#include <opus/opusfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "calls/call_recorder.hpp"
#include "core/virtual_event_loop.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

constexpr int kCaptureRate = 11025;

double rms(const std::vector<float>& x, std::size_t from, std::size_t to) {
  double s = 0;
  for (std::size_t i = from; i < to; ++i) s += static_cast<double>(x[i]) * x[i];
  return std::sqrt(s / static_cast<double>(to - from));
}

// Power at `hz` of x[from, from + n) with a Hann window, scaled so that a sine of amplitude A
// gives A^2 / 4 whatever the sample rate.
double power_at(const std::vector<float>& x, std::size_t from, std::size_t n, int rate, double hz) {
  double re = 0, im = 0, wsum = 0;
  const double step = 2 * M_PI * hz / rate;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n));
    re += w * x[from + i] * std::cos(step * static_cast<double>(i));
    im -= w * x[from + i] * std::sin(step * static_cast<double>(i));
    wsum += w;
  }
  return (re * re + im * im) / (wsum * wsum);
}

// Energy (dB) in [lo, hi) Hz: 40 ms frames end to end, a bin every 25 Hz. Frames and bins are
// the same at any rate, so two rates compare directly; silence around the audio adds nothing.
double band_db(const std::vector<float>& x, int rate, double lo, double hi) {
  const auto n = static_cast<std::size_t>(rate / 25);
  double sum = 1e-12;
  for (std::size_t from = 0; from + n <= x.size(); from += n)
    for (double f = lo; f < hi; f += 25) sum += power_at(x, from, n, rate, f);
  return 10 * std::log10(sum);
}

class CallClarityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-clarity-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    loop.set_wall_time(WallClock::time_point(std::chrono::seconds(1'796'000'000)));
    cfg.enabled = true;
    cfg.channels = {true, false, false, false};
    std::array<PcmSource, 4> sources;
    sources[0] = {[this](PcmSource::Tap t) {
                    tap = std::move(t);
                    return 1;
                  },
                  [this](int) { tap = nullptr; }, [] { return true; }};
    recorder = std::make_unique<CallRecorder>(loop, cfg, dir, "hq", std::move(sources));
    recorder->start();
  }
  void TearDown() override {
    recorder.reset();
    fs::remove_all(dir);
  }

  // `pcm` as one call: the squelch opens, the audio comes in 20 ms chunks as the capture
  // delivers it, then silence while the squelch closes past the hang time. Returns the stored
  // call decoded (mono, 48000 Hz, floats in -1..1).
  std::vector<float> record(const std::vector<std::int16_t>& pcm) {
    constexpr std::size_t kChunk = kCaptureRate / 50;
    const std::vector<std::int16_t> silence(kChunk, 0);
    recorder->on_reply(1, 10, "+");
    for (std::size_t at = 0; at < pcm.size(); at += kChunk) {
      if (tap) tap(pcm.data() + at, std::min(kChunk, pcm.size() - at), kCaptureRate);
      loop.advance(Millis(20));
    }
    for (int i = 0; i < 150; ++i) {  // 3 s
      if (i % 25 == 0) recorder->on_reply(1, 10, "-");
      if (tap) tap(silence.data(), silence.size(), kCaptureRate);
      loop.advance(Millis(20));
    }
    for (int i = 0; i < 200 && recorder->store().count() == 0; ++i) loop.advance(Millis(100));
    const auto calls = recorder->store().find({}).calls;
    EXPECT_EQ(calls.size(), 1u);
    if (calls.empty()) return {};
    int err = 0;
    const fs::path file = recorder->store().dir() / calls[0].file;
    std::unique_ptr<OggOpusFile, decltype(&op_free)> in(op_open_file(file.c_str(), &err), &op_free);
    EXPECT_TRUE(in) << "opusfile cannot open " << file << ": " << err;
    if (!in) return {};
    std::vector<float> out;
    std::array<float, 5760> buf;
    for (;;) {
      const int n = op_read_float(in.get(), buf.data(), static_cast<int>(buf.size()), nullptr);
      if (n <= 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    // The file's own clock (its packets' granule positions) agrees with the call's length: at
    // most the last packet's padding (60 ms) and the resampler's few held-back samples apart.
    EXPECT_NEAR(static_cast<double>(out.size()) / 48.0, calls[0].duration_ms, 80.0);
    return out;
  }

  VirtualEventLoop loop;
  fs::path dir;
  config::Calls cfg;
  PcmSource::Tap tap;
  std::unique_ptr<CallRecorder> recorder;
};

TEST_F(CallClarityTest, AToneKeepsItsLevelAndPitch) {
  constexpr double kAmplitude = 0.25;  // -12 dBFS peak, a loud scanner
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(kCaptureRate) * 3);
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<std::int16_t>(32767 * kAmplitude * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / kCaptureRate));
  const std::vector<float> out = record(pcm);
  ASSERT_GT(out.size(), 48000u * 3);

  // A steady second of the tone: from half a second after it starts in the decoded call.
  std::size_t start = 0;
  while (start < out.size() && std::fabs(out[start]) < 0.05f) ++start;
  ASSERT_LT(start + 48000 * 2, out.size());
  const std::size_t from = start + 24000, to = from + 48000;
  const double level_db = 20 * std::log10(rms(out, from, to) / (kAmplitude / std::sqrt(2.0)));
  EXPECT_NEAR(level_db, 0.0, 1.5) << "the tone's level moved";

  double best_hz = 0, best = -1;
  for (double hz = 900; hz <= 1100; hz += 1) {
    const double p = power_at(out, from, 48000, 48000, hz);
    if (p > best) best = p, best_hz = hz;
  }
  EXPECT_NEAR(best_hz, 1000, 5) << "the tone's pitch moved";
  // Nothing else stands out: the tone holds nearly all the energy of the second.
  const double total = rms(out, from, to) * rms(out, from, to);
  EXPECT_GT(2 * best / total, 0.9) << "a tone of " << best_hz << " Hz holds too little of the energy";
}

// Speech from espeak-ng (22050 Hz), halved to the capture rate: each band's energy in the call
// within 2 dB of the same band's in the audio that went in.
TEST_F(CallClarityTest, SpeechKeepsItsSpectrumAcross300To3000Hz) {
  if (std::system("command -v espeak-ng >/dev/null 2>&1") != 0) GTEST_SKIP() << "espeak-ng is not installed";
  const fs::path wav = dir.parent_path() / (dir.filename().string() + ".wav");
  const std::string cmd = "espeak-ng -w '" + wav.string() +
                          "' 'Unit four to dispatch, we are on scene at the north gate, requesting one more engine.'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream f(wav, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  fs::remove(wav);
  ASSERT_GT(bytes.size(), 44u + 22050u * 2);
  // espeak-ng writes a 44-byte header, mono 16-bit at 22050 Hz; look for the "data" chunk to
  // be sure.
  std::size_t data = 12;
  while (data + 8 <= bytes.size() && std::string(&bytes[data], 4) != "data") {
    std::uint32_t len = 0;
    std::memcpy(&len, &bytes[data + 4], 4);
    data += 8 + len;
  }
  ASSERT_LE(data + 8, bytes.size());
  data += 8;
  std::vector<std::int16_t> speech;
  for (std::size_t i = data; i + 3 < bytes.size(); i += 4) {  // two samples in, their mean out
    std::int16_t a = 0, b = 0;
    std::memcpy(&a, &bytes[i], 2);
    std::memcpy(&b, &bytes[i + 2], 2);
    speech.push_back(static_cast<std::int16_t>((a + b) / 2));
  }
  std::vector<float> in(speech.size());
  for (std::size_t i = 0; i < speech.size(); ++i) in[i] = speech[i] / 32768.0f;

  const std::vector<float> out = record(speech);
  ASSERT_FALSE(out.empty());
  constexpr std::array<double, 7> kEdges{300, 500, 800, 1200, 1800, 2500, 3000};
  for (std::size_t b = 0; b + 1 < kEdges.size(); ++b) {
    const double want = band_db(in, kCaptureRate, kEdges[b], kEdges[b + 1]);
    const double got = band_db(out, 48000, kEdges[b], kEdges[b + 1]);
    EXPECT_NEAR(got, want, 2.0) << "band " << kEdges[b] << "-" << kEdges[b + 1] << " Hz";
  }
}

}  // namespace
}  // namespace quillon::calls
