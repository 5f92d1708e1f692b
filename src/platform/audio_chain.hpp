#pragma once
// How the audio components hand data down a chain (capture -> codec -> server). All calls are
// made on the loop thread; `AttachConsumer` accepts a consumer only when it takes what the
// provider produces.

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/audio_components.hpp"

namespace quillon::audio {

inline constexpr int kGsmRate = 8000;
inline constexpr std::size_t kSamplesPerBlock = 320;  // 40 ms at 8000 Hz
inline constexpr std::size_t kWav49BlockBytes = 65;   // Microsoft GSM: two frames in 65 bytes
inline constexpr std::size_t kGsmFrameBytes = 33;     // plain GSM 6.10 frame of 160 samples

// One 40 ms block in both framings: WAV49 for the TCP stream, two plain frames for RTP.
struct GsmBlock {
  std::array<std::uint8_t, kWav49BlockBytes> wav49{};
  std::array<std::array<std::uint8_t, kGsmFrameBytes>, 2> frames{};
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
};

// Takes encoded GSM blocks (the server).
class GsmInput : public ChainStage {
 public:
  virtual void gsm_block(const GsmBlock& block) = 0;
};

}  // namespace quillon::audio
