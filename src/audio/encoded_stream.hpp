#pragma once
// A channel's audio in one listening format (Ogg/Opus or MP3), encoded once and shared by every
// consumer of that format (HTTP listeners, an Icecast source). The encoder runs only while
// something is subscribed. Everything happens on the loop thread.

#include <cstdint>
#include <functional>
#include <span>

namespace quillon::audio {

enum class ListenFormat { Opus, Mp3 };

class EncodedStream {
 public:
  // Receives whole units only: Ogg pages, or MP3 frames.
  using Sink = std::function<void(std::span<const std::uint8_t> bytes)>;

  virtual ~EncodedStream() = default;
  virtual ListenFormat format() const = 0;
  // Starts the encoder with the first subscriber. A new subscriber first gets what a decoder
  // needs before it can join (Ogg: the identification and comment header pages; MP3: nothing),
  // then the stream from the next whole page or frame. The sink may unsubscribe from inside.
  virtual int subscribe(Sink sink) = 0;
  // The encoder stops with the last subscriber.
  virtual void unsubscribe(int id) = 0;
  virtual int subscribers() const = 0;
};

// Every channel's listening streams.
class ListenStreams {
 public:
  virtual ~ListenStreams() = default;
  // Channel 1..4; null when that channel has no such stream.
  virtual EncodedStream* stream(int channel, ListenFormat format) = 0;
};

}  // namespace quillon::audio
