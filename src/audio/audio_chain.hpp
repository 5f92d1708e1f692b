#pragma once
// How the audio components hand data down a chain (capture -> codec -> server). All calls are
// made on the loop thread; `AttachConsumer` accepts a consumer only when it takes what the
// provider produces.

#include <array>
#include <cstddef>
#include <cstdint>

#include "window/audio_components.hpp"

namespace quillon::audio {

inline constexpr int kGsmRate = 8000;
inline constexpr std::size_t kSamplesPerBlock = 320;  // 40 ms at 8000 Hz
inline constexpr std::size_t kWav49BlockBytes = 65;   // Microsoft GSM: two frames in 65 bytes
inline constexpr std::size_t kGsmFrameBytes = 33;     // plain GSM 6.10 frame of 160 samples

// 40 ms of 8000 Hz audio, the unit GSM encodes: one WAV49 block or two plain frames.
struct PcmBlock {
  std::array<std::int16_t, kSamplesPerBlock> samples{};
};

// A stage that the previous one starts and stops with the chain.
class ChainStage {
 public:
  virtual ~ChainStage() = default;
  // The chain starts; `input_rate` is the sample rate of the PCM that will arrive.
  virtual void chain_start(int input_rate) = 0;
  virtual void chain_stop() = 0;
};

// Takes 16-bit mono PCM (the codec).
class PcmInput : public ChainStage {
 public:
  virtual void pcm(const std::int16_t* samples, std::size_t count) = 0;
  // The wall-clock time (ms since the Unix epoch) the newest of the samples that come next was
  // read from the device, told before they come by a capture that knows it.
  virtual void captured_until(double wall_ms) { (void)wall_ms; }
};

// Takes 8000 Hz blocks ready for the GSM encoder (the server). The encoder state is kept per
// listener: a GSM decoder that starts in the middle of a stream whose encoder ran before never
// catches up on steady sounds (its long-term predictor lacks the past), so every listener gets
// its own encoder, started with its stream.
class BlockInput : public ChainStage {
 public:
  virtual void pcm_block(const PcmBlock& block) = 0;
  // False while nobody takes the audio: the codec then only keeps the pace (silent blocks) and
  // leaves the conversion undone.
  virtual bool has_listeners() const { return true; }
};

}  // namespace quillon::audio
