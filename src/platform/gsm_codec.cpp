#include "platform/gsm_codec.hpp"

#include <gsm.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>

#include "platform/errors.hpp"

namespace quillon::audio {

namespace {

void put_le(std::string& s, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string wav49_stream_header() {
  std::string h;
  h += "RIFF";
  put_le(h, 0xFFFFFFFFu, 4);
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
  put_le(h, 0xFFFFFFFFu, 4);              // sample count unknown: live stream
  h += "data";
  put_le(h, 0xFFFFFFFFu, 4);
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
  SRC_STATE* src = nullptr;
  std::vector<float> in, out;
  ~Impl() {
    if (src) src_delete(src);
  }
};

BlockResampler::BlockResampler(int input_rate) : impl_(std::make_unique<Impl>()), rate_(input_rate) {
  if (input_rate <= 0) throw Error(errc::invalid_property_value, "invalid sample rate");
  if (input_rate != kGsmRate) {
    int err = 0;
    impl_->src = src_new(SRC_SINC_FASTEST, 1, &err);
    if (!impl_->src) throw Error(errc::generic, std::string("resampler: ") + src_strerror(err));
  }
}

BlockResampler::~BlockResampler() = default;

void BlockResampler::resample(const std::int16_t* samples, std::size_t count) {
  if (count == 0) return;
  if (!impl_->src) {
    pending_.insert(pending_.end(), samples, samples + count);
    return;
  }
  const double ratio = static_cast<double>(kGsmRate) / rate_;
  impl_->in.resize(count);
  src_short_to_float_array(samples, impl_->in.data(), static_cast<int>(count));
  impl_->out.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(count) * ratio)) + 64);
  SRC_DATA d{};
  d.data_in = impl_->in.data();
  d.input_frames = static_cast<long>(count);
  d.end_of_input = 0;
  d.src_ratio = ratio;
  while (d.input_frames > 0) {
    d.data_out = impl_->out.data();
    d.output_frames = static_cast<long>(impl_->out.size());
    if (src_process(impl_->src, &d) != 0) return;  // drop the chunk; the next one goes on
    const std::size_t produced = static_cast<std::size_t>(d.output_frames_gen);
    const std::size_t base = pending_.size();
    pending_.resize(base + produced);
    for (std::size_t i = 0; i < produced; ++i) {
      float v = impl_->out[i] * 32768.0f;
      v = std::clamp(v, -32768.0f, 32767.0f);
      pending_[base + i] = static_cast<std::int16_t>(std::lrint(v));
    }
    if (d.input_frames_used == 0 && produced == 0) break;
    d.data_in += d.input_frames_used * 1;
    d.input_frames -= d.input_frames_used;
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
  if (consumer_) consumer_->chain_stop();
}

void GsmCodec::pcm(const std::int16_t* samples, std::size_t count) {
  if (!resampler_) return;
  resampler_->feed(samples, count, [&](const PcmBlock& b) {
    ++blocks_;
    if (consumer_) consumer_->pcm_block(b);
  });
}

}  // namespace quillon::audio
