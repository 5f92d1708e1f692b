#pragma once
// The listening streams of the four channels, each fed from its channel's codec through a PCM
// tap: one encoder per channel and format, started with the first subscriber and stopped with
// the last, shared by all of them.

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "audio/encoded_stream.hpp"
#include "audio/listen_encoder.hpp"

namespace quillon::audio {

class GsmCodec;

class TappedStream final : public EncodedStream {
 public:
  TappedStream(GsmCodec& codec, ListenFormat format, const EncoderSettings& settings);
  ~TappedStream() override;
  TappedStream(const TappedStream&) = delete;
  TappedStream& operator=(const TappedStream&) = delete;

  ListenFormat format() const override { return format_; }
  // 0 when the encoder cannot start (the library refused the settings).
  int subscribe(Sink sink) override;
  void unsubscribe(int id) override;
  int subscribers() const override { return static_cast<int>(sinks_.size()); }

  bool running() const { return encoder_ != nullptr; }
  std::uint64_t starts() const { return starts_; }       // encoders started so far
  std::uint64_t units_out() const { return units_; }     // pages or frames made

 private:
  void pcm(const std::int16_t* samples, std::size_t count, int rate);
  void stop();

  GsmCodec& codec_;
  ListenFormat format_;
  EncoderSettings settings_;
  std::unique_ptr<FormatEncoder> encoder_;
  int tap_ = 0;
  std::vector<std::pair<int, Sink>> sinks_;
  int next_id_ = 0;
  bool encoding_ = false;      // inside the encoder: it is not destroyed before it returns
  bool stop_pending_ = false;  // the last subscriber left meanwhile
  std::uint64_t starts_ = 0;
  std::uint64_t units_ = 0;
};

class TappedListenStreams final : public ListenStreams {
 public:
  // `codecs[c-1]` is channel c's codec.
  TappedListenStreams(const std::array<GsmCodec*, 4>& codecs, const EncoderSettings& opus, const EncoderSettings& mp3);

  EncodedStream* stream(int channel, ListenFormat format) override;
  // Whether channel c captures now (its chain runs).
  bool capturing(int channel) const;
  bool running(int channel, ListenFormat format) const;
  int encoders_running() const;
  std::uint64_t encoders_started() const;

 private:
  std::array<GsmCodec*, 4> codecs_;
  TappedStream* find(int channel, ListenFormat format) const;
  std::vector<std::unique_ptr<TappedStream>> streams_;  // channel-major: opus, mp3
};

}  // namespace quillon::audio
