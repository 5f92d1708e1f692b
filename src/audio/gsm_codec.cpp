#include "audio/gsm_codec.hpp"

#include <gsm.h>
#include <soxr.h>

#include <algorithm>

#include "core/errors.hpp"

namespace quillon::audio {

namespace {

void put_le(std::string& s, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string wav49_stream_header() {
  std::string h;
  h += "RIFF";
  put_le(h, kWav49RiffSize, 4);
  h += "WAVE";
  h += "fmt ";
  put_le(h, 20, 4);                       // chunk size
  put_le(h, 0x31, 2);                     // WAVE_FORMAT_GSM610
  put_le(h, 1, 2);                        // mono
  put_le(h, kGsmRate, 4);                 // samples per second
  put_le(h, 1625, 4);                     // bytes per second: 65 * 8000 / 320
  put_le(h, kWav49BlockBytes, 2);         // block align
  put_le(h, 0, 2);                        // bits per sample
  put_le(h, 2, 2);                        // extra bytes
  put_le(h, kSamplesPerBlock, 2);         // samples per block
  h += "fact";
  put_le(h, 4, 4);
  // Sample count not given: no 32-bit count can match that data size, and players check.
  put_le(h, 0, 4);
  h += "data";
  put_le(h, kWav49DataSize, 4);
  return h;
}

GsmFrameEncoder::GsmFrameEncoder(bool wav49) : handle_(gsm_create()), wav49_(wav49) {
  if (!handle_) throw Error(errc::generic, "gsm encoder");
  int one = 1;
  if (wav49) gsm_option(static_cast<gsm>(handle_), GSM_OPT_WAV49, &one);
}

GsmFrameEncoder::~GsmFrameEncoder() { gsm_destroy(static_cast<gsm>(handle_)); }

void GsmFrameEncoder::encode(const PcmBlock& block, std::uint8_t* out) {
  gsm_signal buf[kSamplesPerBlock];
  std::copy(block.samples.begin(), block.samples.end(), buf);
  auto h = static_cast<gsm>(handle_);
  // Microsoft framing: the first call writes 32 bytes and half a byte, the second the rest.
  gsm_encode(h, buf, out);
  gsm_encode(h, buf + 160, out + (wav49_ ? 32 : kGsmFrameBytes));
}

struct BlockResampler::Impl {
  soxr_t soxr = nullptr;
  ~Impl() {
    if (soxr) soxr_delete(soxr);
  }
};

BlockResampler::BlockResampler(int input_rate) : impl_(std::make_unique<Impl>()), rate_(input_rate) {
  if (input_rate <= 0) throw Error(errc::invalid_property_value, "invalid sample rate");
  if (input_rate != kGsmRate) {
    // The low-quality recipe: a short filter that still keeps 0 to 3.5 kHz flat and stops what
    // would fold back from above 4 kHz, which is all an 8 kHz GSM stream can carry. About a
    // twentieth of the cost of a sinc converter.
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;  // GSM's own quantisation is far coarser; and the same input gives the same blocks
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // on the calling thread only
    soxr_error_t err = nullptr;
    impl_->soxr = soxr_create(input_rate, kGsmRate, 1, &err, &io, &quality, &runtime);
    if (!impl_->soxr || err) throw Error(errc::generic, std::string("resampler: ") + (err ? err : "cannot start"));
  }
}

BlockResampler::~BlockResampler() = default;

void BlockResampler::reset() {
  if (impl_->soxr) soxr_clear(impl_->soxr);
  pending_.clear();
  pending_pos_ = 0;
}

void BlockResampler::resample(const std::int16_t* samples, std::size_t count) {
  if (count == 0) return;
  if (!impl_->soxr) {
    pending_.insert(pending_.end(), samples, samples + count);
    return;
  }
  const std::size_t room = count * kGsmRate / static_cast<std::size_t>(rate_) + 64;
  while (count > 0) {
    const std::size_t base = pending_.size();
    pending_.resize(base + room);
    std::size_t used = 0, made = 0;
    const soxr_error_t err = soxr_process(impl_->soxr, samples, count, &used, pending_.data() + base, room, &made);
    pending_.resize(base + made);
    if (err || (used == 0 && made == 0)) return;  // drop the rest of the chunk; the next one goes on
    samples += used;
    count -= used;
  }
}

GsmCodec::GsmCodec() = default;
GsmCodec::~GsmCodec() = default;

void GsmCodec::attach_consumer(AudioConsumer& consumer) {
  auto* c = dynamic_cast<BlockInput*>(&consumer);
  if (!c) throw Error(errc::generic, "consumer does not take audio blocks");
  consumer_ = c;
}

void GsmCodec::chain_start(int input_rate) {
  resampler_ = std::make_unique<BlockResampler>(input_rate);
  if (consumer_) consumer_->chain_start(kGsmRate);
}

void GsmCodec::chain_stop() {
  resampler_.reset();
  captured_until_ms_ = 0;
  if (consumer_) consumer_->chain_stop();
}

int GsmCodec::add_pcm_tap(PcmTap tap) {
  taps_.emplace_back(++next_tap_, std::move(tap));
  return next_tap_;
}

void GsmCodec::remove_pcm_tap(int id) {
  std::erase_if(taps_, [id](const auto& t) { return t.first == id; });
}

void GsmCodec::pcm(const std::int16_t* samples, std::size_t count) {
  if (!resampler_) return;
  if (!taps_.empty()) {
    // By id: a tap may remove itself or another while it runs.
    const int rate = resampler_->input_rate();
    const int last = next_tap_;
    for (std::size_t i = 0; i < taps_.size(); ++i) {
      const int id = taps_[i].first;
      if (id > last) break;  // added during this round: from the next chunk on
      const PcmTap tap = taps_[i].second;
      tap(samples, count, rate);
      if (i < taps_.size() && taps_[i].first != id) --i;  // this one went: the next moved here
    }
    if (!resampler_) return;  // a tap stopped the chain
  }
  auto emit = [&](const PcmBlock& b) {
    ++blocks_;
    if (consumer_) consumer_->pcm_block(b);
  };
  // Converting costs most of the chain's time; with nobody to hear it only the pace is kept.
  if (consumer_ && !consumer_->has_listeners()) {
    resampler_->skip(count, emit);
    return;
  }
  converted_ += count;
  resampler_->feed(samples, count, emit);
}

}  // namespace quillon::audio
