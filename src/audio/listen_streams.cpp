#include "audio/listen_streams.hpp"

#include <algorithm>
#include <exception>

#include "audio/gsm_codec.hpp"

namespace quillon::audio {

TappedStream::TappedStream(GsmCodec& codec, ListenFormat format, const EncoderSettings& settings)
    : codec_(codec), format_(format), settings_(settings) {}

TappedStream::~TappedStream() {
  sinks_.clear();
  stop();
}

int TappedStream::subscribe(Sink sink) {
  if (!encoder_) {
    try {
      encoder_ = make_encoder(format_, settings_);
    } catch (const std::exception&) {
      return 0;
    }
    ++starts_;
    stop_pending_ = false;
    tap_ = codec_.add_pcm_tap([this](const std::int16_t* s, std::size_t n, int rate) { pcm(s, n, rate); });
  }
  stop_pending_ = false;
  const int id = ++next_id_;
  sinks_.emplace_back(id, std::move(sink));
  // Copied: the sink may unsubscribe (and so stop the encoder) while it takes them.
  const auto headers = encoder_->headers();
  for (const auto& h : headers) {
    auto it = std::find_if(sinks_.begin(), sinks_.end(), [id](const auto& s) { return s.first == id; });
    if (it == sinks_.end()) break;
    const Sink s = it->second;
    s(std::span<const std::uint8_t>(h));
  }
  return id;
}

void TappedStream::unsubscribe(int id) {
  std::erase_if(sinks_, [id](const auto& s) { return s.first == id; });
  if (sinks_.empty() && encoder_) {
    if (encoding_)
      stop_pending_ = true;
    else
      stop();
  }
}

void TappedStream::stop() {
  if (tap_) codec_.remove_pcm_tap(tap_);
  tap_ = 0;
  encoder_.reset();
  stop_pending_ = false;
}

void TappedStream::pcm(const std::int16_t* samples, std::size_t count, int rate) {
  if (!encoder_ || stop_pending_) return;
  encoding_ = true;
  try {
    encoder_->encode(samples, count, rate, [this](std::span<const std::uint8_t> unit) {
      ++units_;
      // By id: a sink may unsubscribe itself or another while it runs; one that subscribes
      // meanwhile starts with the next unit, after its headers.
      const int last = next_id_;
      for (std::size_t i = 0; i < sinks_.size(); ++i) {
        const int id = sinks_[i].first;
        if (id > last) break;
        const Sink sink = sinks_[i].second;
        sink(unit);
        if (i < sinks_.size() && sinks_[i].first != id) --i;
      }
    });
  } catch (const std::exception&) {
    // A resampler that cannot start at this rate: nothing is sent until the rate changes.
  }
  encoding_ = false;
  if (stop_pending_) stop();
}

TappedListenStreams::TappedListenStreams(const std::array<GsmCodec*, 4>& codecs, const EncoderSettings& opus,
                                         const EncoderSettings& mp3)
    : codecs_(codecs) {
  for (auto* codec : codecs_) {
    streams_.push_back(std::make_unique<TappedStream>(*codec, ListenFormat::Opus, opus));
    streams_.push_back(std::make_unique<TappedStream>(*codec, ListenFormat::Mp3, mp3));
  }
}

TappedStream* TappedListenStreams::find(int channel, ListenFormat format) const {
  if (channel < 1 || channel > 4) return nullptr;
  return streams_[static_cast<std::size_t>(2 * (channel - 1) + (format == ListenFormat::Mp3 ? 1 : 0))].get();
}

EncodedStream* TappedListenStreams::stream(int channel, ListenFormat format) { return find(channel, format); }

bool TappedListenStreams::running(int channel, ListenFormat format) const {
  const TappedStream* s = find(channel, format);
  return s && s->running();
}

bool TappedListenStreams::capturing(int channel) const {
  return channel >= 1 && channel <= 4 && codecs_[static_cast<std::size_t>(channel - 1)]->active();
}

int TappedListenStreams::encoders_running() const {
  return static_cast<int>(std::count_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->running(); }));
}

std::uint64_t TappedListenStreams::encoders_started() const {
  std::uint64_t n = 0;
  for (const auto& s : streams_) n += s->starts();
  return n;
}

}  // namespace quillon::audio
