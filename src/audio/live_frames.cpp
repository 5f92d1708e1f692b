#include "audio/live_frames.hpp"

#include <opus/opus.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "audio/pcm_resampler.hpp"

namespace quillon::audio {

namespace {
constexpr std::size_t kFrameSamples = kLiveRate * kLiveFrameMs / 1000;
}

struct LiveFrames::Encoder {
  explicit Encoder(int bitrate_kbps) : resampler(kLiveRate, true) {
    int err = 0;
    // The low-delay mode: 2.5 ms of look-ahead instead of 6.5, and speech is all it carries.
    opus = opus_encoder_create(kLiveRate, 1, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &err);
    if (err != OPUS_OK || !opus) throw std::runtime_error(std::string("opus encoder: ") + opus_strerror(err));
    opus_encoder_ctl(opus, OPUS_SET_BITRATE(bitrate_kbps * 1000));
    opus_encoder_ctl(opus, OPUS_SET_COMPLEXITY(5));
    opus_encoder_ctl(opus, OPUS_GET_LOOKAHEAD(&lookahead));
  }
  ~Encoder() { opus_encoder_destroy(opus); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  OpusEncoder* opus = nullptr;
  opus_int32 lookahead = 0;  // a decoded frame starts this many samples before its input
  Resampler resampler;
  std::vector<std::int16_t> pcm;  // 48 kHz samples not yet in a frame
  std::uint32_t number = 0;
  double end_ms = 0;  // capture time of the end of the last chunk
  std::vector<std::vector<std::uint8_t>> frames;  // made by this chunk (storage kept between chunks)
  bool held = false;                              // frames[0] waits for the next chunk
};

LiveFrames::LiveFrames(Source source, Clock clock, int bitrate_kbps)
    : source_(std::move(source)), clock_(std::move(clock)), bitrate_kbps_(bitrate_kbps) {}

LiveFrames::~LiveFrames() {
  sinks_.clear();
  stop();
}

int LiveFrames::subscribe(Sink sink) {
  if (!encoder_) {
    try {
      encoder_ = std::make_unique<Encoder>(bitrate_kbps_);
    } catch (const std::exception&) {
      return 0;
    }
    tap_ = source_.add_tap([this](const std::int16_t* s, std::size_t n, int rate) { pcm(s, n, rate); });
  }
  stop_pending_ = false;
  const int id = ++next_id_;
  sinks_.emplace_back(id, std::make_shared<const Sink>(std::move(sink)));
  return id;
}

void LiveFrames::unsubscribe(int id) {
  std::erase_if(sinks_, [id](const auto& s) { return s.first == id; });
  if (sinks_.empty() && encoder_) {
    if (encoding_)
      stop_pending_ = true;
    else
      stop();
  }
}

void LiveFrames::stop() {
  if (tap_) source_.remove_tap(tap_);
  tap_ = 0;
  encoder_.reset();
  stop_pending_ = false;
}

void LiveFrames::pcm(const std::int16_t* samples, std::size_t count, int rate) {
  if (!encoder_ || stop_pending_ || rate <= 0) return;
  Encoder& e = *encoder_;
  // The chunk follows the one before it without a gap, and it cannot end after now: chunks that
  // waited in the capture queue and are taken together are not all stamped with the same moment.
  // Pulled gently towards the clock (the sound card's clock drifts from this one), and set to
  // it after a gap (a restarted capture).
  // When the capture says when it read the newest sample, that is the moment, not when the
  // loop got to it (a second old or more: it is not this capture's).
  double now = clock_();
  if (source_.captured_until) {
    const double read = source_.captured_until();
    if (read < now && read > now - 1000.0) now = read;
  }
  double end = e.end_ms > 0 ? e.end_ms + static_cast<double>(count) * 1000.0 / rate : now;
  if (end > now || now - end > 2000.0)
    end = now;
  else
    end += (now - end) * 0.001;
  e.end_ms = end;
  try {
    e.resampler.process(samples, count, rate, e.pcm);
  } catch (const std::exception&) {
    return;  // a rate the resampler cannot take: nothing until it changes
  }
  encoding_ = true;
  std::size_t pos = 0;
  std::size_t ready = e.held ? 1 : 0;  // frames to go out: the one held back, then the new ones
  while (e.pcm.size() - pos >= kFrameSamples) {
    // What a frame decodes to was heard this long before the newest input: the samples after
    // it, those the resampler still holds, and the encoder's look-ahead.
    const double behind = static_cast<double>(e.pcm.size() - pos) + e.resampler.delay() + static_cast<double>(e.lookahead);
    const double captured = end - behind * 1000.0 / kLiveRate;
    std::array<unsigned char, 1500> packet;
    const opus_int32 n =
        opus_encode(e.opus, e.pcm.data() + pos, static_cast<int>(kFrameSamples), packet.data(), static_cast<opus_int32>(packet.size()));
    pos += kFrameSamples;
    if (n < 0) continue;
    if (e.frames.size() <= ready) e.frames.emplace_back();
    std::vector<std::uint8_t>& frame = e.frames[ready++];
    frame.assign(kLiveHeaderBytes, 0);
    frame[0] = kLiveAudioTag;
    const std::uint32_t number = e.number++;
    for (int i = 0; i < 4; ++i) frame[1 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(number >> (8 * i));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &captured, sizeof bits);
    for (int i = 0; i < 8; ++i) frame[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
    frame.insert(frame.end(), packet.begin(), packet.begin() + n);
    ++frames_;
  }
  // Many listeners: a frame never goes alone if it can help it (each turn's frames are one write
  // to each listener). A lone frame made now waits for the next chunk; one that waited already
  // goes, with whatever that chunk made. Two or more go at once.
  const bool made_now = ready > (e.held ? 1u : 0u);
  e.held = sinks_.size() >= kPairedListeners && ready == 1 && made_now;
  const std::size_t out = ready - (e.held ? 1 : 0);
  for (std::size_t f = 0; f < out && !stop_pending_; ++f) {
    // By id: a sink may unsubscribe itself or another while it runs.
    const int last = next_id_;
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
      const int id = sinks_[i].first;
      if (id > last) break;
      const auto sink = sinks_[i].second;
      (*sink)(std::span<const std::uint8_t>(e.frames[f]));
      if (i < sinks_.size() && sinks_[i].first != id) --i;
    }
  }
  if (e.held) std::swap(e.frames[0], e.frames[out]);
  encoding_ = false;
  if (stop_pending_) {
    stop();
    return;
  }
  e.pcm.erase(e.pcm.begin(), e.pcm.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace quillon::audio
