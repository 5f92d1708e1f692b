// The console's level meters on the real codec's PCM taps, in virtual time.

#include "audio/level_meter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "audio/gsm_codec.hpp"
#include "core/virtual_event_loop.hpp"

namespace quillon::audio {
namespace {

std::vector<std::int16_t> sine(double amplitude, std::size_t n, int rate) {
  std::vector<std::int16_t> s(n);
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / rate)));
  return s;
}

TEST(LevelMeters, ReadPeakAndRmsPerChannelOnlyWhileWatchedAndTellAStoppedChainFromSilence) {
  VirtualEventLoop loop;
  std::array<GsmCodec, 4> codec;
  std::array<LevelMeters::Source, 4> sources;
  int taps = 0;
  for (std::size_t k = 0; k < 4; ++k)
    sources[k] = {[&, k](LevelMeters::PcmTap t) { ++taps; return codec[k].add_pcm_tap(std::move(t)); },
                  [&, k](int id) { --taps; codec[k].remove_pcm_tap(id); }};
  std::vector<nlohmann::json> sent;
  LevelMeters meters(loop, sources, [&](std::string text) { sent.push_back(nlohmann::json::parse(text)); });

  const int rate = 44100;
  codec[0].chain_start(rate);  // full scale
  codec[1].chain_start(rate);  // digital silence
  codec[3].chain_start(rate);  // 20 dB down; channel 3 never starts
  const auto loud = sine(32767.0, 441, rate);  // 10 ms chunks, a whole number of periods
  const auto quiet = sine(3276.8, 441, rate);
  const std::vector<std::int16_t> silence(441, 0);
  auto feed = [&](Millis d) {
    for (Millis t{0}; t < d; t += Millis(10)) {
      codec[0].pcm(loud.data(), loud.size());
      codec[1].pcm(silence.data(), silence.size());
      codec[3].pcm(quiet.data(), quiet.size());
      loop.advance(Millis(10));
    }
  };

  feed(Millis(1000));
  EXPECT_TRUE(sent.empty()) << "nobody watches: nothing measured or sent";
  EXPECT_EQ(taps, 0);

  meters.watch(true);
  EXPECT_EQ(taps, 4);
  feed(Millis(500));
  ASSERT_EQ(sent.size(), 2u) << "every 250 ms";
  const auto& m = sent.back();
  EXPECT_EQ(m["type"], "levels");
  ASSERT_EQ(m["channels"].size(), 4u);
  auto level = [&](const nlohmann::json& msg, int ch, const char* what) { return msg["channels"][ch - 1][what].get<double>(); };
  EXPECT_NEAR(level(m, 1, "peak"), 0.0, 0.1);
  EXPECT_NEAR(level(m, 1, "rms"), -3.0, 0.1);
  EXPECT_NEAR(level(m, 4, "peak"), -20.0, 0.1);
  EXPECT_NEAR(level(m, 4, "rms"), -23.0, 0.1);
  EXPECT_EQ(level(m, 2, "peak"), kLevelFloor);
  EXPECT_EQ(level(m, 2, "rms"), kLevelFloor);
  EXPECT_TRUE(m["channels"][1]["capturing"]) << "silence is heard";
  EXPECT_EQ(level(m, 3, "peak"), kLevelFloor);
  EXPECT_FALSE(m["channels"][2]["capturing"]) << "a stopped chain delivers nothing";
  for (int ch = 1; ch <= 4; ++ch) EXPECT_EQ(m["channels"][ch - 1]["channel"], ch);

  // Capture that arrives in bursts keeps its reading across a short gap, then reads as stopped.
  codec[0].chain_stop();
  loop.advance(Millis(250));
  EXPECT_NEAR(level(sent.back(), 1, "peak"), 0.0, 0.1);
  EXPECT_TRUE(sent.back()["channels"][0]["capturing"]);
  loop.advance(Millis(1000));
  EXPECT_EQ(level(sent.back(), 1, "peak"), kLevelFloor);
  EXPECT_FALSE(sent.back()["channels"][0]["capturing"]);

  // The last page gone: the taps go and nothing more is sent.
  meters.watch(false);
  EXPECT_EQ(taps, 0);
  const auto count = sent.size();
  feed(Millis(1000));
  EXPECT_EQ(sent.size(), count);
}

}  // namespace
}  // namespace quillon::audio
