// The live frames on their own: a tone fed through a PCM tap comes out as 20 ms Opus frames
// that libopus decodes back to the tone, numbered in order, stamped with capture times that
// step by 20 ms and end at the moment the audio arrived (a tone decodes at the moment it was
// captured); one encoder serves every subscriber, and the tap is held only while somebody
// listens.

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>

#include "audio/live_frames.hpp"

namespace quillon::audio {
namespace {

struct Frame {
  std::uint32_t number;
  double captured;
  std::vector<std::uint8_t> packet;
};

Frame parse(std::span<const std::uint8_t> f) {
  EXPECT_GT(f.size(), kLiveHeaderBytes);
  EXPECT_EQ(f[0], kLiveAudioTag);
  Frame out{};
  for (int i = 0; i < 4; ++i) out.number |= static_cast<std::uint32_t>(f[1 + static_cast<std::size_t>(i)]) << (8 * i);
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(f[5 + static_cast<std::size_t>(i)]) << (8 * i);
  std::memcpy(&out.captured, &bits, sizeof bits);
  out.packet.assign(f.begin() + kLiveHeaderBytes, f.end());
  return out;
}

struct Rig {
  std::map<int, LiveFrames::PcmTap> taps;
  int next = 0;
  double clock_ms = 1.7e12;
  LiveFrames frames{{[this](LiveFrames::PcmTap t) {
                        taps[++next] = std::move(t);
                        return next;
                      },
                      [this](int id) { taps.erase(id); },
                      {}},
                     [this] { return clock_ms; },
                     24};
  std::size_t phase = 0;

  // 40 ms chunks of a 1 kHz tone at 44100 Hz, the clock moving with them (or not: chunks that
  // waited in the capture queue and are taken at once).
  void feed(int chunks, bool clock_moves = true) {
    std::vector<std::int16_t> buf(1764);
    for (int c = 0; c < chunks; ++c) {
      for (auto& s : buf) s = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2 * M_PI * 1000.0 * double(phase++) / 44100)));
      if (clock_moves) clock_ms += 40;
      for (auto& [id, tap] : std::map(taps)) tap(buf.data(), buf.size(), 44100);
    }
  }
};

TEST(LiveFrames, SharedEncoderFramesDecodeToTheToneWithCaptureTimes) {
  Rig rig;
  EXPECT_TRUE(rig.taps.empty());
  std::vector<Frame> a, b;
  const int ida = rig.frames.subscribe([&](std::span<const std::uint8_t> f) { a.push_back(parse(f)); });
  ASSERT_NE(ida, 0);
  EXPECT_EQ(rig.taps.size(), 1u);
  rig.feed(25);  // one second
  const int idb = rig.frames.subscribe([&](std::span<const std::uint8_t> f) { b.push_back(parse(f)); });
  EXPECT_EQ(rig.taps.size(), 1u) << "one encoder, one tap, whatever the number of listeners";
  rig.feed(25);

  // 48 frames or so in two seconds (the resampler holds a few back); numbered in order; each
  // 20 ms after the one before, none later than the clock when it came.
  ASSERT_GE(a.size(), 95u);
  for (std::size_t i = 1; i < a.size(); ++i) {
    EXPECT_EQ(a[i].number, a[i - 1].number + 1);
    EXPECT_NEAR(a[i].captured - a[i - 1].captured, 20.0, 0.01);
  }
  EXPECT_LE(a.back().captured + 20.0, rig.clock_ms + 0.01);
  EXPECT_GE(a.back().captured, rig.clock_ms - 60.0);
  // The late subscriber gets the same frames from where it joined.
  ASSERT_GE(b.size(), 45u);
  const auto joined = std::find_if(a.begin(), a.end(), [&](const Frame& f) { return f.number == b.front().number; });
  ASSERT_NE(joined, a.end());
  EXPECT_EQ(joined->packet, b.front().packet);
  EXPECT_EQ(a.back().number, b.back().number);

  // Each frame decodes on its own to 20 ms of the tone (after the decoder settles).
  int err = 0;
  OpusDecoder* dec = opus_decoder_create(48000, 1, &err);
  ASSERT_EQ(err, OPUS_OK);
  double power = 0;
  std::size_t counted = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::vector<opus_int16> pcm(5760);
    const int n = opus_decode(dec, a[i].packet.data(), static_cast<opus_int32>(a[i].packet.size()), pcm.data(), 5760, 0);
    ASSERT_EQ(n, 960) << "frame " << i;
    if (i < 10) continue;
    for (int k = 0; k < n; ++k) power += double(pcm[static_cast<std::size_t>(k)]) * pcm[static_cast<std::size_t>(k)];
    counted += static_cast<std::size_t>(n);
  }
  opus_decoder_destroy(dec);
  const double rms = std::sqrt(power / double(counted));
  EXPECT_NEAR(rms, 8000.0 / std::sqrt(2.0), 1500.0);

  rig.frames.unsubscribe(ida);
  EXPECT_TRUE(rig.frames.running());
  rig.frames.unsubscribe(idb);
  EXPECT_FALSE(rig.frames.running());
  EXPECT_TRUE(rig.taps.empty()) << "nobody listens: the codec's PCM is no longer tapped";
}

// What a frame decodes to is stamped with when it was heard: a tone that starts after silence at a
// known moment decodes to its first loud sample at that moment by the frame's capture time, the
// resampler's held-back samples and the encoder's look-ahead counted.
TEST(LiveFrames, ATonesStartDecodesAtTheMomentItWasCaptured) {
  Rig rig;
  std::vector<Frame> got;
  ASSERT_NE(rig.frames.subscribe([&](std::span<const std::uint8_t> f) { got.push_back(parse(f)); }), 0);
  std::vector<std::int16_t> buf(1764);  // 40 ms at 44100 Hz
  const std::size_t onset_chunk = 12, onset_at = 1000;
  double onset_ms = 0;
  for (std::size_t c = 0; c < 30; ++c) {
    for (std::size_t i = 0; i < buf.size(); ++i) {
      const bool loud = c > onset_chunk || (c == onset_chunk && i >= onset_at);
      buf[i] = loud ? static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2 * M_PI * 700.0 * double(c * buf.size() + i) / 44100))) : 0;
    }
    rig.clock_ms += 40;  // the chunk ends now
    if (c == onset_chunk) onset_ms = rig.clock_ms - double(buf.size() - onset_at) * 1000.0 / 44100;
    for (auto& [id, tap] : std::map(rig.taps)) tap(buf.data(), buf.size(), 44100);
  }
  int err = 0;
  OpusDecoder* dec = opus_decoder_create(48000, 1, &err);
  ASSERT_EQ(err, OPUS_OK);
  double heard_ms = 0;
  for (const Frame& f : got) {
    std::vector<opus_int16> pcm(5760);
    const int n = opus_decode(dec, f.packet.data(), static_cast<opus_int32>(f.packet.size()), pcm.data(), 5760, 0);
    ASSERT_EQ(n, 960);
    const auto loud = std::find_if(pcm.begin(), pcm.begin() + n, [](opus_int16 x) { return std::abs(x) > 2000; });
    if (loud != pcm.begin() + n) {
      heard_ms = f.captured + double(loud - pcm.begin()) / 48.0;
      break;
    }
  }
  opus_decoder_destroy(dec);
  ASSERT_GT(heard_ms, 0) << "the tone came out";
  EXPECT_NEAR(heard_ms, onset_ms, 1.0);
}

// A capture that says when it read its newest sample is believed over the loop's clock (the wait
// for the loop is not the radio's delay); a word a second old or more is not this capture's.
std::vector<double> stamps_with_read_time(std::optional<double> read_behind_ms) {
  std::map<int, LiveFrames::PcmTap> taps;
  double clock_ms = 1.7e12;
  LiveFrames::Source source{[&](LiveFrames::PcmTap t) {
                              taps[1] = std::move(t);
                              return 1;
                            },
                            [&](int) { taps.clear(); },
                            {}};
  if (read_behind_ms) source.captured_until = [&] { return clock_ms - *read_behind_ms; };
  LiveFrames frames{source, [&] { return clock_ms; }, 24};
  std::vector<double> out;
  EXPECT_NE(frames.subscribe([&](std::span<const std::uint8_t> f) { out.push_back(parse(f).captured); }), 0);
  std::vector<std::int16_t> buf(1764);
  for (int c = 0; c < 25; ++c) {
    clock_ms += 40;
    taps[1](buf.data(), buf.size(), 44100);
  }
  return out;
}

TEST(LiveFrames, TheCapturesReadTimeStampsTheFrames) {
  const auto plain = stamps_with_read_time(std::nullopt);
  const auto read = stamps_with_read_time(15.0);
  const auto stale = stamps_with_read_time(5000.0);
  ASSERT_GE(plain.size(), 45u);
  ASSERT_EQ(read.size(), plain.size());
  ASSERT_EQ(stale.size(), plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_NEAR(read[i], plain[i] - 15.0, 0.01) << "frame " << i;
    EXPECT_NEAR(stale[i], plain[i], 0.01) << "frame " << i;
  }
}

TEST(LiveFrames, ChunksTakenTogetherKeepTheirSpacingAndNoneIsStampedInTheFuture) {
  Rig rig;
  std::vector<Frame> got;
  rig.frames.subscribe([&](std::span<const std::uint8_t> f) { got.push_back(parse(f)); });
  rig.feed(10);
  rig.clock_ms += 600;  // the capture stalls, then hands over what it held all at once
  rig.feed(10, false);
  ASSERT_GE(got.size(), 35u);
  for (std::size_t i = 1; i < got.size(); ++i) {
    EXPECT_GT(got[i].captured - got[i - 1].captured, 19.0) << "frame " << i;
    EXPECT_LE(got[i].captured - got[i - 1].captured, 21.0) << "frame " << i;
    EXPECT_LE(got[i].captured + 20.0, rig.clock_ms + 0.01);
  }
}

TEST(LiveFrames, ASinkThatLeavesInsideItsFrameStopsTheEncoderSafely) {
  Rig rig;
  int got = 0, id = 0;
  id = rig.frames.subscribe([&](std::span<const std::uint8_t>) {
    ++got;
    rig.frames.unsubscribe(id);
  });
  rig.feed(5);
  EXPECT_EQ(got, 1);
  EXPECT_FALSE(rig.frames.running());
  EXPECT_TRUE(rig.taps.empty());
}

// With many listeners a frame does not go alone, so that each listener gets one write for two
// messages or more: a lone frame waits for the next chunk, none waits when a chunk makes two or
// more, and with few listeners every frame goes in the call that made it. Every listener gets
// every frame.
TEST(LiveFrames, ManyListenersGetFramesInPairsFewGetEachAtOnce) {
  Rig rig;
  // Chunks of `ms` at 48000 Hz (no resampling: a frame is made by every 20 ms fed); returns
  // how many frames each call handed to the first listener.
  std::vector<std::vector<std::uint32_t>> got(kPairedListeners);
  auto feed48 = [&](int ms, int chunks) {
    std::vector<std::size_t> per_call;
    std::vector<std::int16_t> buf(static_cast<std::size_t>(48 * ms), 1000);
    for (int c = 0; c < chunks; ++c) {
      const std::size_t before = got[0].size();
      rig.clock_ms += ms;
      for (auto& [id, tap] : std::map(rig.taps)) tap(buf.data(), buf.size(), 48000);
      per_call.push_back(got[0].size() - before);
    }
    return per_call;
  };
  std::vector<int> ids;
  for (std::size_t k = 0; k + 1 < kPairedListeners; ++k)
    ids.push_back(rig.frames.subscribe([&got, k](std::span<const std::uint8_t> f) { got[k].push_back(parse(f).number); }));

  EXPECT_EQ(feed48(20, 6), (std::vector<std::size_t>(6, 1))) << "few listeners: each frame at once";
  const int last = rig.frames.subscribe(
      [&got](std::span<const std::uint8_t> f) { got[kPairedListeners - 1].push_back(parse(f).number); });
  EXPECT_EQ(feed48(20, 6), (std::vector<std::size_t>{0, 2, 0, 2, 0, 2})) << "many: a frame waits for the next";
  EXPECT_EQ(feed48(40, 3), (std::vector<std::size_t>{2, 2, 2})) << "two made together: none waits";
  EXPECT_EQ(feed48(60, 2), (std::vector<std::size_t>{3, 3})) << "three made together: none waits";
  EXPECT_EQ(feed48(20, 1), (std::vector<std::size_t>{0}));
  rig.frames.unsubscribe(last);
  EXPECT_EQ(feed48(20, 2), (std::vector<std::size_t>{2, 1})) << "fewer again: the held frame goes with the next";

  // Nothing lost or reordered for any listener; the one that joined late got all from then on.
  for (std::size_t k = 0; k < kPairedListeners; ++k) {
    ASSERT_FALSE(got[k].empty());
    for (std::size_t i = 1; i < got[k].size(); ++i) EXPECT_EQ(got[k][i], got[k][i - 1] + 1) << "listener " << k;
  }
  EXPECT_EQ(got[0].size(), 6u + 6 + 6 + 6 + 1 + 2);
  EXPECT_EQ(got[kPairedListeners - 1].front(), 6u);
  EXPECT_EQ(got[kPairedListeners - 1].back(), 23u) << "the frame held when it left was not its to hear";
}

}  // namespace
}  // namespace quillon::audio
