#pragma once
// Radio audio made up for the paging-tone tests and benchmark: pages (sine tones), white noise
// at a chosen signal-to-noise ratio, and speech spoken by espeak-ng.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace quillon::test {

// Motorola Quick Call II tones (Hz), the frequencies fire pagers listen for.
inline const std::vector<double>& quick_call_tones() {
  static const std::vector<double> tones{
      288.5,  296.5,  304.7,  313.0,  321.7,  330.5,  339.6,  349.0,  358.6,  368.5,  378.6,  389.0,  399.8,
      410.8,  422.1,  433.7,  445.7,  457.9,  470.5,  483.5,  496.8,  510.5,  524.6,  539.0,  553.9,  569.1,
      584.8,  600.9,  617.4,  634.5,  651.9,  669.9,  688.3,  707.3,  726.8,  746.8,  767.4,  788.5,  810.2,
      832.5,  855.5,  879.0,  903.2,  928.1,  953.7,  979.9,  1006.9, 1034.7, 1063.2, 1092.4, 1122.5, 1153.4,
      1185.2, 1217.8, 1251.4, 1285.8, 1321.2, 1357.6, 1395.0, 1433.4, 1472.9, 1513.5, 1555.2, 1598.0, 1642.0,
      1687.2, 1733.7, 1781.5, 1830.5, 1881.0, 1930.2, 1989.0, 2043.8, 2094.5, 2155.6, 2212.2, 2271.7, 2334.6,
      2401.0, 2468.2};
  return tones;
}

// A mono stream built piece by piece, with white noise under everything when asked.
class RadioAudio {
 public:
  explicit RadioAudio(int rate, std::uint32_t seed = 1) : rate_(rate), rng_(seed) {}

  // Gaussian noise of this RMS (in sample units) under whatever comes next; 0 for none.
  void noise(double rms) { noise_ = rms; }
  // Noise `snr_db` below a sine of amplitude `amp` (power over the whole band).
  void noise_for(double amp, double snr_db) { noise_ = amp / std::numbers::sqrt2 / std::pow(10.0, snr_db / 20.0); }

  void tone(double hz, int ms, double amp) {
    const std::size_t n = samples_for(ms);
    for (std::size_t i = 0; i < n; ++i) {
      push(amp * std::sin(phase_));
      phase_ += 2.0 * std::numbers::pi * hz / rate_;
      if (phase_ > 2.0 * std::numbers::pi) phase_ -= 2.0 * std::numbers::pi;
    }
  }
  void silence(int ms) {
    const std::size_t n = samples_for(ms);
    for (std::size_t i = 0; i < n; ++i) push(0);
  }
  // Other audio at the same rate, scaled.
  void add(const std::vector<std::int16_t>& other, double gain = 1.0) {
    for (const std::int16_t s : other) push(s * gain);
  }

  const std::vector<std::int16_t>& samples() const { return out_; }
  std::int64_t size() const { return static_cast<std::int64_t>(out_.size()); }
  int rate() const { return rate_; }
  void clear() { out_.clear(); }

 private:
  std::size_t samples_for(int ms) const { return static_cast<std::size_t>(static_cast<std::int64_t>(ms) * rate_ / 1000); }
  void push(double v) {
    if (noise_ > 0) v += gauss_(rng_) * noise_;
    out_.push_back(static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L)));
  }

  int rate_;
  std::mt19937 rng_;
  std::normal_distribution<double> gauss_{0.0, 1.0};
  double noise_ = 0;
  double phase_ = 0;
  std::vector<std::int16_t> out_;
};

inline bool have_espeak() { return std::system("command -v espeak-ng >/dev/null 2>&1") == 0; }

// `text` spoken by espeak-ng (22050 Hz), brought to `rate` by linear interpolation (the speech
// only has to sound like speech to a tone detector). Empty when espeak-ng fails.
inline std::vector<std::int16_t> espeak_speech(const std::string& text, int rate, int words_per_minute = 160) {
  std::string path = (std::filesystem::temp_directory_path() / "quillon-speech-XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return {};
  ::close(fd);
  const std::string cmd = "espeak-ng -s " + std::to_string(words_per_minute) + " -w '" + path + "' '" + text + "' 2>/dev/null";
  const bool spoke = std::system(cmd.c_str()) == 0;
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::filesystem::remove(path);
  if (!spoke || bytes.size() < 44) return {};
  std::size_t data = 12;  // after "RIFF", its length and "WAVE": chunks until "data"
  while (data + 8 <= bytes.size() && std::string(&bytes[data], 4) != "data") {
    std::uint32_t len = 0;
    std::memcpy(&len, &bytes[data + 4], 4);
    data += 8 + len;
  }
  if (data + 8 > bytes.size()) return {};
  data += 8;
  std::vector<std::int16_t> in((bytes.size() - data) / 2);
  std::memcpy(in.data(), &bytes[data], in.size() * 2);
  constexpr int kEspeakRate = 22050;
  std::vector<std::int16_t> out;
  const double step = static_cast<double>(kEspeakRate) / rate;
  for (double t = 0; t + 1 < static_cast<double>(in.size()); t += step) {
    const auto i = static_cast<std::size_t>(t);
    const double f0 = t - static_cast<double>(i);
    out.push_back(static_cast<std::int16_t>(std::lround(in[i] * (1 - f0) + in[i + 1] * f0)));
  }
  return out;
}

// Dispatch talk, a few voices and speeds, about 40 s of it in all.
inline std::vector<std::vector<std::int16_t>> dispatch_speech(int rate) {
  static const char* const kLines[] = {
      "Engine four, respond to a structure fire at twelve north gate road, cross street Mill Lane.",
      "Dispatch, medic two is on scene, patient is conscious and breathing, requesting one more unit.",
      "All stations, all stations, the county burn ban remains in effect until further notice.",
      "Ladder one copies, en route, eta six minutes. Please advise on hydrant locations.",
      "Rescue three, caller reports a vehicle in the water near the old bridge, two occupants.",
      "Ten four dispatch, we are clearing the scene and returning to quarters. Ooooh, aaaah, mmmmm."};
  std::vector<std::vector<std::int16_t>> out;
  int speed = 130;
  for (const char* line : kLines) {
    auto s = espeak_speech(line, rate, speed);
    if (s.empty()) return {};
    out.push_back(std::move(s));
    speed += 15;
  }
  return out;
}

}  // namespace quillon::test
