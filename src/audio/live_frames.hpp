#pragma once
// The live path to browsers: a channel's audio as short Opus packets, each sent as one message
// with the moment its first sample was captured, so that a page can play it a few tens of
// milliseconds behind the radio and show how far behind it is. One encoder per channel, shared
// by all its listeners, tapping the codec's PCM only while someone listens.
//
// A frame: byte 0 kLiveAudioTag, bytes 1..4 the frame's number (u32, little-endian), bytes
// 5..12 its capture time (f64, milliseconds since the Unix epoch, little-endian), then one
// Opus packet of 20 ms, mono, 48000 Hz. The frames made from one chunk of the capture go to each
// sink one after another within one call, so a sink that sends what it got when the loop next
// turns sends them together.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace quillon::audio {

inline constexpr std::uint8_t kLiveAudioTag = 1;
inline constexpr std::size_t kLiveHeaderBytes = 13;
inline constexpr int kLiveRate = 48000;
inline constexpr int kLiveFrameMs = 20;
// From this many listeners of a channel on, a frame does not go out alone (one write to each
// listener for two messages or more): a lone frame waits for the next chunk of the capture, and
// none waits when the capture delivers 40 ms or more at a time (two frames are made together).
inline constexpr std::size_t kPairedListeners = 8;

class LiveFrames {
 public:
  using PcmTap = std::function<void(const std::int16_t* samples, std::size_t count, int rate)>;
  struct Source {  // where the channel's captured PCM can be tapped (its codec)
    std::function<int(PcmTap)> add_tap;
    std::function<void(int)> remove_tap;
    // When the newest tapped sample was read from the device (wall clock, ms; 0 or missing: the
    // clock when it comes).
    std::function<double()> captured_until;
  };
  using Clock = std::function<double()>;  // the wall clock, milliseconds since the Unix epoch
  using Sink = std::function<void(std::span<const std::uint8_t> frame)>;

  LiveFrames(Source source, Clock clock, int bitrate_kbps);
  ~LiveFrames();
  LiveFrames(const LiveFrames&) = delete;
  LiveFrames& operator=(const LiveFrames&) = delete;

  // Starts the encoder with the first subscriber; 0 when it cannot start. A sink may
  // unsubscribe itself or another from inside.
  int subscribe(Sink sink);
  void unsubscribe(int id);
  int subscribers() const { return static_cast<int>(sinks_.size()); }
  bool running() const { return encoder_ != nullptr; }
  std::uint64_t frames_out() const { return frames_; }

 private:
  struct Encoder;
  void pcm(const std::int16_t* samples, std::size_t count, int rate);
  void stop();

  Source source_;
  Clock clock_;
  int bitrate_kbps_;
  std::unique_ptr<Encoder> encoder_;
  int tap_ = 0;
  // Shared so that a frame's round holds a sink without copying it (it may unsubscribe).
  std::vector<std::pair<int, std::shared_ptr<const Sink>>> sinks_;
  int next_id_ = 0;
  bool encoding_ = false;
  bool stop_pending_ = false;
  std::uint64_t frames_ = 0;
};

}  // namespace quillon::audio
