#include "audio/listen_encoder.hpp"

#include <lame/lame.h>
#include <ogg/ogg.h>
#include <opus/opus.h>

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>

#include "audio/pcm_resampler.hpp"

namespace quillon::audio {

namespace {

constexpr std::array<int, 5> kOpusRates{8000, 12000, 16000, 24000, 48000};

// Layer III: the rates of MPEG 1, 2 and 2.5 by sample-rate index, and the bitrates (kbit/s) by
// bitrate index of MPEG 1 and of MPEG 2 / 2.5.
constexpr std::array<int, 3> kMpeg1Rates{44100, 48000, 32000};
constexpr std::array<int, 3> kMpeg2Rates{22050, 24000, 16000};
constexpr std::array<int, 3> kMpeg25Rates{11025, 12000, 8000};
constexpr std::array<int, 15> kMpeg1Bitrates{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 15> kMpeg2Bitrates{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

template <class A>
bool contains(const A& a, int v) {
  return std::find(a.begin(), a.end(), v) != a.end();
}

void put_le(std::vector<std::uint8_t>& v, std::uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

// --- Ogg/Opus ------------------------------------------------------------------------------

class OpusOggEncoder final : public FormatEncoder {
 public:
  // 40 ms frames by default: half the packet overhead of 20 ms at the same cost; five to a page,
  // so a page is 200 ms of audio (about 600 bytes at 24 kbit/s).
  static constexpr int kFramesPerPage = 5;

  explicit OpusOggEncoder(const EncoderSettings& s) : rate_(s.rate), frame_(s.rate * s.frame_ms / 1000), resampler_(s.rate) {
    int err = 0;
    enc_ = opus_encoder_create(rate_, 1, s.transform_only ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_AUDIO, &err);
    if (err != OPUS_OK || !enc_) throw std::runtime_error(std::string("opus encoder: ") + opus_strerror(err));
    opus_encoder_ctl(enc_, OPUS_SET_BITRATE(s.bitrate_kbps * 1000));
    opus_encoder_ctl(enc_, OPUS_SET_COMPLEXITY(std::clamp(s.complexity, 0, 10)));
    opus_encoder_ctl(enc_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    opus_int32 lookahead = 0;
    opus_encoder_ctl(enc_, OPUS_GET_LOOKAHEAD(&lookahead));
    step48_ = 48000 / rate_ * frame_;  // granule positions count 48 kHz samples whatever the rate

    std::random_device rd;
    if (ogg_stream_init(&os_, static_cast<int>(rd() & 0x7fffffff)) != 0) {
      opus_encoder_destroy(enc_);
      throw std::runtime_error("ogg stream");
    }
    // Identification header: version 1, mono, pre-skip (48 kHz samples), input rate, no gain,
    // mapping family 0.
    std::vector<std::uint8_t> head{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 1};
    const auto preskip = static_cast<std::uint32_t>(lookahead * (48000 / rate_));
    put_le(head, preskip, 2);
    put_le(head, static_cast<std::uint32_t>(rate_), 4);
    put_le(head, 0, 2);
    head.push_back(0);
    std::vector<std::uint8_t> tags{'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    const std::string vendor = opus_get_version_string();
    put_le(tags, static_cast<std::uint32_t>(vendor.size()), 4);
    tags.insert(tags.end(), vendor.begin(), vendor.end());
    put_le(tags, 0, 4);  // no comments
    packet_in(head, 0, true);
    flush([this](std::span<const std::uint8_t> p) { headers_.emplace_back(p.begin(), p.end()); });
    packet_in(tags, 0, false);
    flush([this](std::span<const std::uint8_t> p) { headers_.emplace_back(p.begin(), p.end()); });
    granule_ = preskip;
  }

  ~OpusOggEncoder() override {
    ogg_stream_clear(&os_);
    opus_encoder_destroy(enc_);
  }

  const std::vector<std::vector<std::uint8_t>>& headers() const override { return headers_; }

  void encode(const std::int16_t* samples, std::size_t count, int input_rate, const Emit& emit) override {
    resampler_.process(samples, count, input_rate, pcm_);
    std::size_t pos = 0;
    const auto frame = static_cast<std::size_t>(frame_);
    while (pcm_.size() - pos >= frame) {
      std::array<unsigned char, 4000> packet;
      const opus_int32 n = opus_encode(enc_, pcm_.data() + pos, frame_, packet.data(), static_cast<opus_int32>(packet.size()));
      pos += frame;
      if (n < 0) continue;
      granule_ += static_cast<std::uint64_t>(step48_);
      packet_in(std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)), granule_, false);
      if (++in_page_ == kFramesPerPage) {
        in_page_ = 0;
        flush(emit);
      }
    }
    pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>(pos));
  }

  void finish(const Emit& emit) override {
    // The held samples, padded with silence to a whole frame, are the last packet.
    pcm_.resize(static_cast<std::size_t>(frame_), 0);
    std::array<unsigned char, 4000> packet;
    opus_int32 n = opus_encode(enc_, pcm_.data(), frame_, packet.data(), static_cast<opus_int32>(packet.size()));
    if (n < 0) n = 0;
    granule_ += static_cast<std::uint64_t>(step48_);
    packet_in(std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)), granule_, false, true);
    pcm_.clear();
    in_page_ = 0;
    flush(emit);
  }

 private:
  void packet_in(std::span<const std::uint8_t> data, std::uint64_t granule, bool first, bool last = false) {
    ogg_packet p{};
    p.packet = const_cast<unsigned char*>(data.data());
    p.bytes = static_cast<long>(data.size());
    p.b_o_s = first ? 1 : 0;
    p.e_o_s = last ? 1 : 0;
    p.granulepos = static_cast<ogg_int64_t>(granule);
    p.packetno = packetno_++;
    ogg_stream_packetin(&os_, &p);
  }
  template <class F>
  void flush(F&& out) {
    ogg_page page;
    while (ogg_stream_flush(&os_, &page) != 0) {
      page_.assign(page.header, page.header + page.header_len);
      page_.insert(page_.end(), page.body, page.body + page.body_len);
      out(std::span<const std::uint8_t>(page_));
    }
  }

  int rate_;
  int frame_;
  int step48_ = 0;
  OpusEncoder* enc_ = nullptr;
  ogg_stream_state os_{};
  std::int64_t packetno_ = 0;
  std::uint64_t granule_ = 0;
  int in_page_ = 0;
  Resampler resampler_;
  std::vector<std::int16_t> pcm_;
  std::vector<std::uint8_t> page_;
  std::vector<std::vector<std::uint8_t>> headers_;
};

// --- MP3 -----------------------------------------------------------------------------------

// Length in bytes of the layer III frame whose header starts at `h`, 0 when it is none.
std::size_t mp3_frame_length(const std::uint8_t* h) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
  const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = (h[1] >> 1) & 3;    // 1: layer III
  const int br = h[2] >> 4, sr = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
  if (version == 1 || layer != 1 || br == 0 || br == 15 || sr == 3) return 0;
  const bool v1 = version == 3;
  const int rate = v1 ? kMpeg1Rates[static_cast<std::size_t>(sr)]
                      : (version == 2 ? kMpeg2Rates : kMpeg25Rates)[static_cast<std::size_t>(sr)];
  const int kbps = (v1 ? kMpeg1Bitrates : kMpeg2Bitrates)[static_cast<std::size_t>(br)];
  return static_cast<std::size_t>((v1 ? 144000 : 72000) * kbps / rate + pad);
}

class Mp3Encoder final : public FormatEncoder {
 public:
  explicit Mp3Encoder(const EncoderSettings& s) : resampler_(s.rate) {
    gf_ = lame_init();
    if (!gf_) throw std::runtime_error("mp3 encoder");
    lame_set_num_channels(gf_, 1);
    lame_set_mode(gf_, MONO);
    lame_set_in_samplerate(gf_, s.rate);
    lame_set_out_samplerate(gf_, s.rate);
    lame_set_VBR(gf_, vbr_off);
    lame_set_brate(gf_, s.bitrate_kbps);
    lame_set_quality(gf_, 7);  // LAME's fast setting: a fraction of the default's cost
    lame_set_bWriteVbrTag(gf_, 0);
    // Every frame carries its own data, so a listener may start at any frame.
    lame_set_disable_reservoir(gf_, 1);
    if (lame_init_params(gf_) < 0 || lame_get_out_samplerate(gf_) != s.rate || lame_get_brate(gf_) != s.bitrate_kbps) {
      lame_close(gf_);
      throw std::runtime_error("mp3 encoder refuses " + std::to_string(s.bitrate_kbps) + " kbit/s at " +
                               std::to_string(s.rate) + " Hz");
    }
  }
  ~Mp3Encoder() override { lame_close(gf_); }

  const std::vector<std::vector<std::uint8_t>>& headers() const override { return headers_; }

  void encode(const std::int16_t* samples, std::size_t count, int input_rate, const Emit& emit) override {
    pcm_.clear();
    resampler_.process(samples, count, input_rate, pcm_);
    if (pcm_.empty()) return;
    const std::size_t base = out_.size();
    out_.resize(base + pcm_.size() * 5 / 4 + 7200);  // the size LAME asks for
    const int n = lame_encode_buffer(gf_, pcm_.data(), pcm_.data(), static_cast<int>(pcm_.size()), out_.data() + base,
                                     static_cast<int>(out_.size() - base));
    out_.resize(base + static_cast<std::size_t>(std::max(n, 0)));
    // LAME hands over bytes as they are ready; only whole frames leave.
    std::size_t pos = 0;
    while (out_.size() - pos >= 4) {
      const std::size_t len = mp3_frame_length(out_.data() + pos);
      if (len == 0) {  // not at a frame: look for the next one
        ++pos;
        continue;
      }
      if (out_.size() - pos < len) break;
      emit(std::span<const std::uint8_t>(out_.data() + pos, len));
      pos += len;
    }
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(pos));
  }

 private:
  lame_global_flags* gf_ = nullptr;
  Resampler resampler_;
  std::vector<std::int16_t> pcm_;
  std::vector<std::uint8_t> out_;
  std::vector<std::vector<std::uint8_t>> headers_;
};

}  // namespace

const char* format_name(ListenFormat format) { return format == ListenFormat::Opus ? "opus" : "mp3"; }

std::string settings_problem(ListenFormat format, const EncoderSettings& s) {
  if (format == ListenFormat::Opus) {
    if (!contains(kOpusRates, s.rate)) return "Opus takes 8000, 12000, 16000, 24000 or 48000 Hz";
    if (s.frame_ms != 20 && s.frame_ms != 40 && s.frame_ms != 60) return "Opus frames of 20, 40 or 60 ms";
    if (s.bitrate_kbps < 6 || s.bitrate_kbps > 256) return "Opus takes 6 to 256 kbit/s";
    return "";
  }
  const bool v1 = contains(kMpeg1Rates, s.rate);
  if (!v1 && !contains(kMpeg2Rates, s.rate) && !contains(kMpeg25Rates, s.rate))
    return "MP3 takes 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 or 48000 Hz";
  const bool v25 = contains(kMpeg25Rates, s.rate);
  if (s.bitrate_kbps <= 0 || !contains(v1 ? kMpeg1Bitrates : kMpeg2Bitrates, s.bitrate_kbps) || (v25 && s.bitrate_kbps > 64))
    return v1 ? "MP3 at 32000 Hz and above takes 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256 or 320 kbit/s"
              : (v25 ? "MP3 at 12000 Hz and below takes 8, 16, 24, 32, 40, 48, 56 or 64 kbit/s"
                     : "MP3 at 16000 to 24000 Hz takes 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144 or 160 kbit/s");
  return "";
}

std::unique_ptr<FormatEncoder> make_encoder(ListenFormat format, const EncoderSettings& s) {
  if (auto why = settings_problem(format, s); !why.empty()) throw std::runtime_error(why);
  if (format == ListenFormat::Opus) return std::make_unique<OpusOggEncoder>(s);
  return std::make_unique<Mp3Encoder>(s);
}

}  // namespace quillon::audio
