#pragma once
// The listening formats' encoders: mono 16-bit PCM at the capture rate in (resampled with
// libsoxr to the format's rate), whole units out: Ogg pages of Opus packets (libopus, libogg),
// or MP3 frames (libmp3lame). No threads, no I/O; the loop thread feeds them.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/encoded_stream.hpp"

namespace quillon::audio {

struct EncoderSettings {
  int bitrate_kbps;
  int rate;            // Hz, the encoder's own rate
  int complexity = 5;  // Opus 0..10: 5 costs about half of the default with little audible loss
  // Opus: the transform codec alone (Opus's low-delay application) rather than the speech model.
  // At 8000 Hz and complexity 0 it costs about 40 % of the speech model's CPU, for about a fifth
  // more bits at the same clarity.
  bool transform_only = false;
  int frame_ms = 40;  // Opus: 20, 40 or 60 ms a packet
};

inline constexpr EncoderSettings kDefaultOpus{24, 48000};
inline constexpr EncoderSettings kDefaultMp3{16, 22050};

// Why these settings cannot be used ("" when they can): Opus takes 8000, 12000, 16000, 24000 or
// 48000 Hz at 6 to 256 kbit/s; MP3 the rates and bitrates of MPEG 1, 2 and 2.5 layer III.
std::string settings_problem(ListenFormat format, const EncoderSettings& s);

const char* format_name(ListenFormat format);  // "opus", "mp3"

class FormatEncoder {
 public:
  using Emit = std::function<void(std::span<const std::uint8_t> unit)>;
  virtual ~FormatEncoder() = default;
  // What a decoder needs before it can join: the Ogg identification and comment pages; nothing
  // for MP3.
  virtual const std::vector<std::vector<std::uint8_t>>& headers() const = 0;
  // PCM at `input_rate`; every finished page or frame goes to `emit`, whole. A new input rate
  // (the capture was started again at another rate) starts a new resampler; the stream goes on.
  virtual void encode(const std::int16_t* samples, std::size_t count, int input_rate, const Emit& emit) = 0;
  // Ends the stream: what is still held goes out (Ogg: the last page, marked as the end of the
  // stream). Nothing is encoded after it.
  virtual void finish(const Emit& emit) { (void)emit; }
};

// Throws std::runtime_error when the library refuses the settings.
std::unique_ptr<FormatEncoder> make_encoder(ListenFormat format, const EncoderSettings& s);

}  // namespace quillon::audio
