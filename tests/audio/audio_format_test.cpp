// The stream format and the encoder on their own: WAV header fields, GSM blocks that decode back
// to the tone, the recording-volume command line.

#include <gsm.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <cmath>
#include <cstring>

#include "audio/audio_service.hpp"
#include "audio/audio_ip_server.hpp"
#include "audio/gsm_codec.hpp"

namespace quillon::audio {
namespace {

std::uint32_t le(const std::string& s, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}

TEST(WavHeader, DescribesALiveMicrosoftGsmStreamOfTheLargestWholeBlockCount) {
  const std::string h = wav49_stream_header();
  ASSERT_EQ(h.size(), 60u);
  EXPECT_EQ(h.substr(0, 4), "RIFF");
  EXPECT_EQ(le(h, 4, 4), 4294967287u);  // RIFF size: the data size and 52 bytes of headers
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
  EXPECT_EQ(le(h, 48, 4), 0u);  // sample count not given
  EXPECT_EQ(h.substr(52, 4), "data");
  EXPECT_EQ(le(h, 56, 4), 4294967235u);  // whole blocks, not "unknown"
  EXPECT_EQ(le(h, 56, 4) % 65, 0u);
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

std::vector<PcmBlock> blocks_of(int rate, double f, double seconds) {
  BlockResampler r(rate);
  auto pcm = tone(rate, f, seconds);
  std::vector<PcmBlock> blocks;
  // Fed in uneven chunks, as capture periods come.
  for (std::size_t at = 0; at < pcm.size();) {
    const std::size_t n = std::min<std::size_t>(pcm.size() - at, 441 + at % 97);
    r.feed(pcm.data() + at, n, [&](const PcmBlock& b) { blocks.push_back(b); });
    at += n;
  }
  return blocks;
}

// Decodes WAV49 blocks (65 bytes) or pairs of plain frames (66 bytes) with a fresh decoder.
std::vector<std::int16_t> decode(const std::vector<std::vector<std::uint8_t>>& encoded, bool wav49) {
  gsm d = gsm_create();
  int one = 1;
  if (wav49) gsm_option(d, GSM_OPT_WAV49, &one);
  std::vector<std::int16_t> out;
  for (auto& e : encoded) {
    gsm_signal s[320];
    EXPECT_EQ(gsm_decode(d, const_cast<gsm_byte*>(e.data()), s), 0);
    EXPECT_EQ(gsm_decode(d, const_cast<gsm_byte*>(e.data()) + 33, s + 160), 0);
    out.insert(out.end(), s, s + 320);
  }
  gsm_destroy(d);
  return out;
}

std::vector<std::vector<std::uint8_t>> encode(const std::vector<PcmBlock>& blocks, std::size_t from, bool wav49) {
  GsmFrameEncoder enc(wav49);
  std::vector<std::vector<std::uint8_t>> out;
  for (std::size_t i = from; i < blocks.size(); ++i) {
    out.emplace_back(enc.bytes_per_block());
    enc.encode(blocks[i], out.back().data());
  }
  return out;
}

double rms_of(const std::vector<std::int16_t>& s, std::size_t skip) {
  double sum = 0;
  for (std::size_t i = skip; i < s.size(); ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(s.size() - skip));
}

class EncoderRates : public ::testing::TestWithParam<int> {};

TEST_P(EncoderRates, BlocksOfEitherFramingDecodeBackToTheTone) {
  const int rate = GetParam();
  auto blocks = blocks_of(rate, 700.0, 2.0);
  // 2 s at 8000 Hz is 50 blocks of 320; the resampler holds back a few samples.
  EXPECT_GE(blocks.size(), 48u);
  EXPECT_LE(blocks.size(), 50u);
  for (bool wav49 : {true, false}) {
    auto s = decode(encode(blocks, 0, wav49), wav49);
    s.erase(s.begin(), s.begin() + 800);  // settling
    EXPECT_GT(power_at(s, 700.0), 20 * power_at(s, 1400.0));
    EXPECT_GT(power_at(s, 700.0), 20 * power_at(s, 350.0));
    EXPECT_NEAR(rms_of(s, 0), 8000 / std::sqrt(2.0), 800.0);
  }
}

TEST(GsmListeners, AListenerJoiningLateDecodesAtFullLevelWithItsOwnEncoder) {
  auto blocks = blocks_of(8000, 1000.0, 3.0);  // the encoder on its own, no resampler in between
  const std::size_t join = 25;  // one second in
  // The encoder that ran from the start: a decoder joining late stays far too quiet.
  auto shared = encode(blocks, 0, true);
  auto late = decode({shared.begin() + join, shared.end()}, true);
  // Its own encoder, started with its stream: in step with its decoder.
  auto own = decode(encode(blocks, join, true), true);
  EXPECT_LT(rms_of(late, 1600), 2000.0);
  EXPECT_NEAR(rms_of(own, 1600), 8000 / std::sqrt(2.0), 800.0);
}

// Amplitude of the component at f in 8000 Hz samples (Goertzel).
double amplitude_at(const std::vector<std::int16_t>& s, double f) {
  return 2 * std::sqrt(std::max(0.0, power_at(s, f))) / static_cast<double>(s.size());
}

std::vector<std::int16_t> resampled(int rate, double f, double seconds) {
  std::vector<std::int16_t> out;
  for (auto& b : blocks_of(rate, f, seconds)) out.insert(out.end(), b.samples.begin(), b.samples.end());
  out.erase(out.begin(), out.begin() + 800);  // settling
  return out;
}

TEST(Resampler, SpeechBandKeepsItsLevelAndNothingAboveFourKilohertzFoldsIntoIt) {
  for (int rate : {11025, 22050, 44100}) {
    SCOPED_TRACE(rate);
    for (double f : {300.0, 1000.0, 3000.0}) {
      const double a = amplitude_at(resampled(rate, f, 1.0), f);
      EXPECT_NEAR(20 * std::log10(a / 8000), 0.0, 0.5) << f << " Hz";
    }
    // Every sample out of the converter lies in 0 to 4 kHz, so its whole level is what folded
    // back; 5 kHz would land on 3 kHz.
    const auto folded = resampled(rate, 5000.0, 1.0);
    EXPECT_LT(20 * std::log10(amplitude_at(folded, 3000.0) / 8000), -60.0);
    EXPECT_LT(20 * std::log10((rms_of(folded, 0) + 1e-9) / (8000 / std::sqrt(2.0))), -50.0);
  }
}

// The server end of a chain as the codec sees it, listeners switched by the test.
struct SinkOfBlocks final : AudioConsumer, BlockInput {
  bool listening = false;
  std::vector<PcmBlock> blocks;
  void chain_start(int) override {}
  void chain_stop() override {}
  void pcm_block(const PcmBlock& b) override { blocks.push_back(b); }
  bool has_listeners() const override { return listening; }
};

std::vector<std::int16_t> samples_of(const std::vector<PcmBlock>& blocks, std::size_t from) {
  std::vector<std::int16_t> s;
  for (std::size_t i = from; i < blocks.size(); ++i) s.insert(s.end(), blocks[i].samples.begin(), blocks[i].samples.end());
  return s;
}

TEST(GsmCodecListeners, AudioIsConvertedOnlyWhileSomeoneListensAndBlocksKeepTheirPaceEitherWay) {
  // Two chains on the same capture: one heard from the start, one not; after 3 s they swap.
  GsmCodec heard, unheard;
  SinkOfBlocks heard_sink, unheard_sink;
  heard.attach_consumer(heard_sink);
  unheard.attach_consumer(unheard_sink);
  heard_sink.listening = true;
  heard.chain_start(44100);
  unheard.chain_start(44100);
  const auto pcm = tone(44100, 1000.0, 6.0);
  std::size_t swap_block = 0;
  std::uint64_t heard_converted_at_swap = 0;
  for (std::size_t at = 0; at < pcm.size();) {
    if (at >= 3 * 44100 && swap_block == 0) {
      heard_sink.listening = false;
      unheard_sink.listening = true;
      swap_block = unheard_sink.blocks.size();
      heard_converted_at_swap = heard.samples_converted();
      EXPECT_EQ(unheard.samples_converted(), 0u);
      for (auto& b : unheard_sink.blocks) EXPECT_EQ(rms_of(std::vector<std::int16_t>(b.samples.begin(), b.samples.end()), 0), 0.0);
    }
    const std::size_t n = std::min<std::size_t>(pcm.size() - at, 661 + at % 1301);  // uneven periods
    heard.pcm(pcm.data() + at, n);
    unheard.pcm(pcm.data() + at, n);
    at += n;
    // Whoever watches the stream's pace (the server's "streaming" state) sees the same blocks.
    EXPECT_LE(std::abs(static_cast<long>(heard_sink.blocks.size()) - static_cast<long>(unheard_sink.blocks.size())), 1);
  }
  EXPECT_GE(heard_sink.blocks.size(), 148u);  // 6 s of 40 ms blocks
  EXPECT_EQ(heard.blocks_made(), heard_sink.blocks.size());
  EXPECT_EQ(heard.samples_converted(), heard_converted_at_swap);  // stopped when its listener left
  EXPECT_GT(heard_converted_at_swap, 2 * 44100u);
  EXPECT_GT(unheard.samples_converted(), 2 * 44100u);
  // The listener that came late hears the tone at its level from the first few blocks on.
  const auto late = samples_of(unheard_sink.blocks, swap_block + 2);
  EXPECT_NEAR(20 * std::log10(amplitude_at(late, 1000.0) / 8000), 0.0, 0.5);
  EXPECT_TRUE(heard.active());
  EXPECT_TRUE(unheard.active());
}

TEST(GsmCodecListeners, AServerWithoutListenersStillShowsItsChainStreaming) {
  boost::asio::io_context io;
  GsmCodec codec;
  AudioIpServer server(io);
  codec.attach_consumer(server);
  server.bind_to = "127.0.0.1";
  server.set_port("0");
  codec.chain_start(44100);
  EXPECT_EQ(server.status_value(), status::waiting);
  const auto pcm = tone(44100, 1000.0, 0.5);
  codec.pcm(pcm.data(), pcm.size());
  EXPECT_FALSE(server.has_listeners());
  EXPECT_EQ(codec.samples_converted(), 0u);
  EXPECT_GE(codec.blocks_made(), 12u);
  EXPECT_EQ(server.status_value(), status::streaming);
  EXPECT_TRUE(codec.active());
  EXPECT_TRUE(server.active());
  codec.chain_stop();
  EXPECT_EQ(server.status_value(), status::stopped);
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
