#pragma once
// The codec component: 16-bit mono PCM at the capture rate in, resampled to 8000 Hz
// (libsoxr) and cut into the 320-sample blocks of GSM 6.10 (format tag 49), out to the
// server, which encodes them with libgsm for each listener (GsmFrameEncoder).

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_chain.hpp"

namespace quillon::audio {

// The RIFF/WAVE header of a live Microsoft GSM 6.10 stream (format tag 49, 8000 Hz mono, 65-byte
// blocks of 320 samples). The data size is the largest whole number of blocks that a 32-bit RIFF
// size can still count (about 30 days of audio), not the "unknown" 0xFFFFFFFF: players take that
// as a stream of unknown size and flag its packets as corrupt. The `fact` sample count is 0 (not
// given), since no 32-bit count matches that size.
inline constexpr auto kWav49DataSize = static_cast<std::uint32_t>((0xFFFFFFFFull - 52) / kWav49BlockBytes * kWav49BlockBytes);
inline constexpr std::uint32_t kWav49RiffSize = kWav49DataSize + 52;  // "WAVE", the fmt, fact and data headers
std::string wav49_stream_header();

// One listener's GSM 6.10 encoder (libgsm): Microsoft WAV49 framing (65 bytes per block) or
// plain frames (two of 33 bytes per block).
class GsmFrameEncoder {
 public:
  explicit GsmFrameEncoder(bool wav49);
  ~GsmFrameEncoder();
  GsmFrameEncoder(const GsmFrameEncoder&) = delete;
  GsmFrameEncoder& operator=(const GsmFrameEncoder&) = delete;
  // Writes 65 bytes (WAV49) or 2 x 33 bytes (plain) to `out`.
  void encode(const PcmBlock& block, std::uint8_t* out);
  std::size_t bytes_per_block() const { return wav49_ ? kWav49BlockBytes : 2 * kGsmFrameBytes; }

 private:
  void* handle_;
  bool wav49_;
};

// Resampler to 8000 Hz plus the cutting into blocks; usable on its own (benchmarks) or inside
// GsmCodec.
class BlockResampler {
 public:
  explicit BlockResampler(int input_rate);
  ~BlockResampler();
  BlockResampler(const BlockResampler&) = delete;
  BlockResampler& operator=(const BlockResampler&) = delete;

  // Feeds PCM; `emit` is called for every complete block.
  template <class Emit>
  void feed(const std::int16_t* samples, std::size_t count, Emit&& emit) {
    if (skipping_) {  // a fresh start: the filter's memory is of audio long gone
      skipping_ = false;
      skipped_ = 0;
      reset();
    }
    resample(samples, count);
    while (pending_.size() - pending_pos_ >= kSamplesPerBlock) {
      PcmBlock b;
      std::copy(pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_),
                pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_ + kSamplesPerBlock), b.samples.begin());
      pending_pos_ += kSamplesPerBlock;
      emit(static_cast<const PcmBlock&>(b));
    }
    if (pending_pos_ > 0 && pending_pos_ == pending_.size()) {
      pending_.clear();
      pending_pos_ = 0;
    } else if (pending_pos_ > 4096) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_));
      pending_pos_ = 0;
    }
  }

  // Takes PCM without converting it: `emit` gets a silent block at the pace converted blocks
  // would come, so whatever watches the stream's pace sees no difference.
  template <class Emit>
  void skip(std::size_t count, Emit&& emit) {
    static const PcmBlock silence{};
    const auto rate = static_cast<std::size_t>(rate_);
    if (!skipping_) {  // what was converted but not cut yet counts towards the next block
      skipping_ = true;
      skipped_ = (pending_.size() - pending_pos_) * rate / kGsmRate;
      pending_.clear();
      pending_pos_ = 0;
    }
    skipped_ += count;
    const std::size_t per_block = kSamplesPerBlock * rate / kGsmRate;  // exact for every capture rate
    while (skipped_ >= per_block) {
      skipped_ -= per_block;
      emit(silence);
    }
  }

  int input_rate() const { return rate_; }

 private:
  void resample(const std::int16_t* samples, std::size_t count);
  void reset();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  int rate_;
  std::vector<std::int16_t> pending_;  // 8000 Hz samples not yet encoded
  std::size_t pending_pos_ = 0;
  bool skipping_ = false;
  std::size_t skipped_ = 0;  // capture-rate samples taken by skip() since the last block
};

class GsmCodec final : public Codec, public PcmInput {
 public:
  GsmCodec();
  ~GsmCodec() override;

  // Codec contract
  void attach_consumer(AudioConsumer& consumer) override;
  bool active() const override { return resampler_ != nullptr; }

  // Chain
  void chain_start(int input_rate) override;
  void chain_stop() override;
  void pcm(const std::int16_t* samples, std::size_t count) override;
  void captured_until(double wall_ms) override { captured_until_ms_ = wall_ms; }
  // When the newest captured sample was read from the device (0: not known).
  double captured_until_ms() const { return captured_until_ms_; }

  // Other users of the captured PCM (listening encoders, the level meter): each gets every
  // chunk at the capture rate while the chain runs, whether or not anyone hears the GSM stream.
  using PcmTap = std::function<void(const std::int16_t* samples, std::size_t count, int rate)>;
  int add_pcm_tap(PcmTap tap);
  void remove_pcm_tap(int id);

  std::uint64_t blocks_made() const { return blocks_; }
  // Capture-rate samples that went through the resampler (only while someone listens).
  std::uint64_t samples_converted() const { return converted_; }

 private:
  BlockInput* consumer_ = nullptr;
  std::unique_ptr<BlockResampler> resampler_;
  std::uint64_t blocks_ = 0;
  std::uint64_t converted_ = 0;
  std::vector<std::pair<int, PcmTap>> taps_;
  int next_tap_ = 0;
  double captured_until_ms_ = 0;
};

}  // namespace quillon::audio
