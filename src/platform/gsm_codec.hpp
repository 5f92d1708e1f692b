#pragma once
// The codec component: 16-bit mono PCM at the capture rate in, resampled to 8000 Hz
// (libsamplerate) and encoded as GSM 6.10 (libgsm) in 320-sample blocks, out to the server.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_chain.hpp"

namespace quillon::audio {

// The RIFF/WAVE header of an open-ended Microsoft GSM 6.10 stream (format tag 49, 8000 Hz mono,
// 65-byte blocks of 320 samples, RIFF and data sizes 0xFFFFFFFF).
std::string wav49_stream_header();

// Resampler plus GSM encoder; usable on its own (benchmarks) or inside GsmCodec.
class GsmEncoder {
 public:
  explicit GsmEncoder(int input_rate);
  ~GsmEncoder();
  GsmEncoder(const GsmEncoder&) = delete;
  GsmEncoder& operator=(const GsmEncoder&) = delete;

  // Feeds PCM; `emit` is called for every complete block.
  template <class Emit>
  void feed(const std::int16_t* samples, std::size_t count, Emit&& emit) {
    resample(samples, count);
    while (pending_.size() - pending_pos_ >= kSamplesPerBlock) {
      GsmBlock b;
      encode(pending_.data() + pending_pos_, b);
      pending_pos_ += kSamplesPerBlock;
      emit(static_cast<const GsmBlock&>(b));
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
  void encode(const std::int16_t* s, GsmBlock& out);

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
  bool active() const override { return encoder_ != nullptr; }

  // Chain
  void chain_start(int input_rate) override;
  void chain_stop() override;
  void pcm(const std::int16_t* samples, std::size_t count) override;

  std::uint64_t blocks_encoded() const { return blocks_; }

 private:
  GsmInput* consumer_ = nullptr;
  std::unique_ptr<GsmEncoder> encoder_;
  std::uint64_t blocks_ = 0;
};

}  // namespace quillon::audio
