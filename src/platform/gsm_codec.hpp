#pragma once
// The codec component: 16-bit mono PCM at the capture rate in, resampled to 8000 Hz
// (libsamplerate) and cut into the 320-sample blocks of GSM 6.10 (format tag 49), out to the
// server, which encodes them with libgsm for each listener (GsmFrameEncoder).

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_chain.hpp"

namespace quillon::audio {

// The RIFF/WAVE header of an open-ended Microsoft GSM 6.10 stream (format tag 49, 8000 Hz mono,
// 65-byte blocks of 320 samples, RIFF and data sizes 0xFFFFFFFF).
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
  int input_rate() const { return rate_; }

 private:
  void resample(const std::int16_t* samples, std::size_t count);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  int rate_;
  std::vector<std::int16_t> pending_;  // 8000 Hz samples not yet encoded
  std::size_t pending_pos_ = 0;
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

  std::uint64_t blocks_made() const { return blocks_; }

 private:
  BlockInput* consumer_ = nullptr;
  std::unique_ptr<BlockResampler> resampler_;
  std::uint64_t blocks_ = 0;
};

}  // namespace quillon::audio
