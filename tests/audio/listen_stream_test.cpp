// The listening streams on their own: a tone fed through a codec's PCM tap comes out of the Ogg/
// Opus and MP3 streams as whole pages or frames that ffmpeg decodes back to the tone, for a
// listener from the start and for one that joins later; one encoder serves every subscriber and
// runs only while somebody is subscribed.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "audio/listen_streams.hpp"
#include "integration/audio_env.hpp"
#include "audio/gsm_codec.hpp"
#include "support/process.hpp"

namespace quillon::audio {
namespace {

using namespace std::chrono_literals;

constexpr int kCaptureRate = 44100;
constexpr double kTone = 1000.0;

// Feeds `seconds` of the tone in 20 ms chunks, as the capture hands it over.
void feed_tone(GsmCodec& codec, double seconds, std::size_t& phase) {
  const std::size_t chunk = kCaptureRate / 50;
  std::vector<std::int16_t> buf(chunk);
  for (int c = 0; c < static_cast<int>(seconds * 50); ++c) {
    for (auto& s : buf) s = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2 * M_PI * kTone * double(phase++) / kCaptureRate)));
    codec.pcm(buf.data(), buf.size());
  }
}

struct Decoded {
  std::vector<std::int16_t> samples;
  std::string warnings;
};

// ffmpeg's reading of a recorded stream, at 8000 Hz.
Decoded decode(const std::vector<std::uint8_t>& bytes, const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() / ("quillon-listen-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto in = dir / name, out = dir / (name + ".raw");
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  test::Process p({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-v", "warning", "-y", "-i", in.string(), "-f", "s16le", "-ac", "1",
                   "-ar", "8000", out.string()},
                  dir / ("log-" + name));
  p.wait_exit(60s);
  Decoded d{test::read_samples(out), p.stderr_text()};
  // A file of MP3 frames has no length header, which ffmpeg remarks on for files only.
  const std::string estimate = "Estimating duration from bitrate, this may be inaccurate\n";
  if (const auto at = d.warnings.find(estimate); at != std::string::npos) {
    const auto line = d.warnings.rfind('\n', at);
    d.warnings.erase(line == std::string::npos ? 0 : line + 1, at + estimate.size() - (line == std::string::npos ? 0 : line + 1));
  }
  std::filesystem::remove_all(dir);
  return d;
}

struct Recorder {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> unit_sizes;
  std::vector<std::vector<std::uint8_t>> units;
  EncodedStream::Sink sink() {
    return [this](std::span<const std::uint8_t> u) {
      bytes.insert(bytes.end(), u.begin(), u.end());
      units.emplace_back(u.begin(), u.end());
    };
  }
};

bool starts_with(const std::vector<std::uint8_t>& u, std::string_view s) {
  return u.size() >= s.size() && std::equal(s.begin(), s.end(), u.begin());
}

class ListenStreamTest : public ::testing::TestWithParam<ListenFormat> {};

TEST_P(ListenStreamTest, OneSharedEncoderServesEarlyAndLateListenersWithWholeUnitsThatDecodeToTheTone) {
  const ListenFormat format = GetParam();
  GsmCodec codec;
  codec.chain_start(kCaptureRate);
  TappedStream stream(codec, format, format == ListenFormat::Opus ? kDefaultOpus : kDefaultMp3);
  std::size_t phase = 0;

  feed_tone(codec, 0.5, phase);  // nobody listens: nothing runs
  EXPECT_FALSE(stream.running());
  EXPECT_EQ(stream.units_out(), 0u);

  Recorder early, late;
  const int a = stream.subscribe(early.sink());
  ASSERT_GT(a, 0);
  feed_tone(codec, 3.0, phase);
  const int b = stream.subscribe(late.sink());
  ASSERT_GT(b, 0);
  feed_tone(codec, 3.0, phase);
  EXPECT_EQ(stream.starts(), 1u) << "the second listener shares the running encoder";
  EXPECT_EQ(stream.subscribers(), 2);

  for (Recorder* r : {&early, &late}) {
    ASSERT_GT(r->units.size(), 4u);
    if (format == ListenFormat::Opus) {
      // Identification and comment headers first (granule 0), then whole pages of audio.
      EXPECT_TRUE(starts_with(r->units[0], "OggS"));
      EXPECT_EQ(std::string(r->units[0].begin() + 28, r->units[0].begin() + 36), "OpusHead");
      EXPECT_EQ(r->units[0][5], 2) << "beginning of stream";
      EXPECT_EQ(std::string(r->units[1].begin() + 28, r->units[1].begin() + 36), "OpusTags");
      // One logical stream (one serial); headers at granule 0, then each page 200 ms further
      // on in 48 kHz samples.
      auto le = [](const std::vector<std::uint8_t>& u, std::size_t at, int n) {
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | u[at + static_cast<std::size_t>(i)];
        return v;
      };
      for (const auto& u : r->units) {
        ASSERT_TRUE(starts_with(u, "OggS"));
        EXPECT_EQ(le(u, 14, 4), le(r->units[0], 14, 4)) << "serial";
      }
      EXPECT_EQ(le(r->units[0], 6, 8), 0u);
      EXPECT_EQ(le(r->units[1], 6, 8), 0u);
      for (std::size_t i = 3; i < r->units.size(); ++i) EXPECT_EQ(le(r->units[i], 6, 8) - le(r->units[i - 1], 6, 8), 5u * 1920);
    } else {
      for (const auto& u : r->units) EXPECT_TRUE(u.size() > 4 && u[0] == 0xFF && (u[1] & 0xE0) == 0xE0);
    }
  }
  const std::string ext = format == ListenFormat::Opus ? ".ogg" : ".mp3";
  for (auto [r, name] : {std::pair{&early, "early"}, std::pair{&late, "late"}}) {
    SCOPED_TRACE(name);
    const Decoded d = decode(r->bytes, name + ext);
    EXPECT_EQ(d.warnings, "") << "a player takes the stream as it joins";
    EXPECT_GT(d.samples.size(), 8000u * 25 / 10);
    EXPECT_NEAR(test::dominant_frequency(d.samples), kTone, 20.0);
    EXPECT_GT(test::rms(d.samples), 3000.0) << "decoded at full level";
  }

  // The last one to leave stops the encoder and its tap; the next listener starts a fresh one.
  stream.unsubscribe(a);
  EXPECT_TRUE(stream.running());
  stream.unsubscribe(b);
  EXPECT_FALSE(stream.running());
  const auto made = stream.units_out();
  feed_tone(codec, 1.0, phase);
  EXPECT_EQ(stream.units_out(), made);

  // A sink that unsubscribes itself from inside, as a dropped listener does, while it is the
  // only one: the encoder stops after its round, not under it.
  Recorder again;
  int self = 0;
  self = stream.subscribe([&](std::span<const std::uint8_t> u) {
    again.bytes.insert(again.bytes.end(), u.begin(), u.end());
    if (again.bytes.size() > 2000) stream.unsubscribe(self);
  });
  EXPECT_EQ(stream.starts(), 2u);
  feed_tone(codec, 3.0, phase);
  EXPECT_FALSE(stream.running());
  EXPECT_EQ(stream.subscribers(), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, ListenStreamTest, ::testing::Values(ListenFormat::Opus, ListenFormat::Mp3),
                         [](const ::testing::TestParamInfo<ListenFormat>& p) { return std::string(format_name(p.param)); });

TEST(ListenSettings, RefusedCombinationsSayWhy) {
  EXPECT_EQ(settings_problem(ListenFormat::Opus, kDefaultOpus), "");
  EXPECT_EQ(settings_problem(ListenFormat::Mp3, kDefaultMp3), "");
  EXPECT_EQ(settings_problem(ListenFormat::Mp3, {128, 44100}), "");
  EXPECT_EQ(settings_problem(ListenFormat::Mp3, {8, 8000}), "");
  EXPECT_NE(settings_problem(ListenFormat::Opus, {24, 44100}), "");
  EXPECT_NE(settings_problem(ListenFormat::Opus, {2, 48000}), "");
  EXPECT_NE(settings_problem(ListenFormat::Mp3, {16, 44100}), "") << "MPEG 1 starts at 32 kbit/s";
  EXPECT_NE(settings_problem(ListenFormat::Mp3, {128, 11025}), "") << "MPEG 2.5 ends at 64 kbit/s";
  EXPECT_NE(settings_problem(ListenFormat::Mp3, {17, 22050}), "");
  // Every accepted combination is one the encoders take.
  for (int rate : {8000, 11025, 16000, 22050, 32000, 48000})
    for (int kbps : {8, 16, 32, 64, 160, 320})
      for (auto f : {ListenFormat::Opus, ListenFormat::Mp3})
        if (settings_problem(f, {kbps, rate}).empty()) {
          EXPECT_NO_THROW(make_encoder(f, {kbps, rate})) << kbps << " " << rate;
        }
}

}  // namespace
}  // namespace quillon::audio
