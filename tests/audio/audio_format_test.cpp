// The stream format and the encoder on their own: WAV header fields, GSM blocks that decode back
// to the tone, the recording-volume command line.

#include <gsm.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/audio_service.hpp"
#include "platform/gsm_codec.hpp"

namespace quillon::audio {
namespace {

std::uint32_t le(const std::string& s, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}

TEST(WavHeader, DescribesAnOpenEndedMicrosoftGsmStream) {
  const std::string h = wav49_stream_header();
  ASSERT_EQ(h.size(), 60u);
  EXPECT_EQ(h.substr(0, 4), "RIFF");
  EXPECT_EQ(le(h, 4, 4), 0xFFFFFFFFu);
  EXPECT_EQ(h.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(le(h, 16, 4), 20u);      // fmt size
  EXPECT_EQ(le(h, 20, 2), 0x31u);    // GSM 6.10
  EXPECT_EQ(le(h, 22, 2), 1u);       // mono
  EXPECT_EQ(le(h, 24, 4), 8000u);
  EXPECT_EQ(le(h, 28, 4), 1625u);    // bytes per second
  EXPECT_EQ(le(h, 32, 2), 65u);      // block align
  EXPECT_EQ(le(h, 36, 2), 2u);       // extra size
  EXPECT_EQ(le(h, 38, 2), 320u);     // samples per block
  EXPECT_EQ(h.substr(40, 4), "fact");
  EXPECT_EQ(h.substr(52, 4), "data");
  EXPECT_EQ(le(h, 56, 4), 0xFFFFFFFFu);
}

// Energy of `s` at frequency f (8000 Hz samples).
double power_at(const std::vector<std::int16_t>& s, double f) {
  const double c = 2 * std::cos(2 * M_PI * f / 8000.0);
  double s1 = 0, s2 = 0;
  for (auto v : s) {
    const double x = v + c * s1 - s2;
    s2 = s1;
    s1 = x;
  }
  return s1 * s1 + s2 * s2 - c * s1 * s2;
}

std::vector<std::int16_t> tone(int rate, double f, double seconds) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(rate * seconds));
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * f * static_cast<double>(i) / rate));
  return s;
}

class EncoderRates : public ::testing::TestWithParam<int> {};

TEST_P(EncoderRates, BlocksOfEitherFramingDecodeBackToTheTone) {
  const int rate = GetParam();
  GsmEncoder enc(rate);
  auto pcm = tone(rate, 700.0, 2.0);
  std::vector<GsmBlock> blocks;
  // Fed in uneven chunks, as capture periods come.
  for (std::size_t at = 0; at < pcm.size();) {
    const std::size_t n = std::min<std::size_t>(pcm.size() - at, 441 + at % 97);
    enc.feed(pcm.data() + at, n, [&](const GsmBlock& b) { blocks.push_back(b); });
    at += n;
  }
  // 2 s at 8000 Hz is 50 blocks of 320; the resampler holds back a few samples.
  EXPECT_GE(blocks.size(), 48u);
  EXPECT_LE(blocks.size(), 50u);

  gsm wav = gsm_create(), plain = gsm_create();
  int one = 1;
  gsm_option(wav, GSM_OPT_WAV49, &one);
  std::vector<std::int16_t> from_wav, from_rtp;
  for (auto& b : blocks) {
    gsm_signal out[320];
    ASSERT_EQ(gsm_decode(wav, b.wav49.data(), out), 0);
    ASSERT_EQ(gsm_decode(wav, b.wav49.data() + 33, out + 160), 0);
    from_wav.insert(from_wav.end(), out, out + 320);
    for (auto& fr : b.frames) {
      ASSERT_EQ(gsm_decode(plain, fr.data(), out), 0);
      from_rtp.insert(from_rtp.end(), out, out + 160);
    }
  }
  gsm_destroy(wav);
  gsm_destroy(plain);
  for (auto* s : {&from_wav, &from_rtp}) {
    s->erase(s->begin(), s->begin() + 800);  // settling
    EXPECT_GT(power_at(*s, 700.0), 20 * power_at(*s, 1400.0));
    EXPECT_GT(power_at(*s, 700.0), 20 * power_at(*s, 350.0));
  }
}

INSTANTIATE_TEST_SUITE_P(CaptureRates, EncoderRates, ::testing::Values(8000, 11025, 22050, 44100));

TEST(VolumeCommandLine, DeviceNumberFollowsTheMixerWithABlankOnlyBeforeANonNegativeNumber) {
  EXPECT_EQ(volume_command_line("sndvol32 -R -D", 1), "sndvol32 -R -D 0");
  EXPECT_EQ(volume_command_line("sndvol32 -R -D", 0), "sndvol32 -R -D-1");
  EXPECT_EQ(volume_command_line("sndvol32 -R -D", -1), "sndvol32 -R -D-2");  // no selection
  EXPECT_EQ(volume_command_line("sndvol32 -R -D", 3), "sndvol32 -R -D 2");
  EXPECT_EQ(split_command_line("  x-terminal-emulator -e\talsamixer -c 2 "),
            (std::vector<std::string>{"x-terminal-emulator", "-e", "alsamixer", "-c", "2"}));
}

TEST(VolumeCommandLine, ProgramsStartWithoutWaitingAndMissingOnesAreReported) {
  EXPECT_TRUE(start_program_detached({"true"}));  // found on PATH, like the mixer
  EXPECT_FALSE(start_program_detached({"/nonexistent/quillon-mixer", "0"}));
  EXPECT_FALSE(start_program_detached({}));
}

}  // namespace
}  // namespace quillon::audio
