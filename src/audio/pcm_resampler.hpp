#pragma once
// Capture rate to an encoder's rate with libsoxr, shared by the listening encoders.

#include <soxr.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::audio {

// Capture rate to the encoder's rate. The low-quality recipe is flat over the band a scanner
// delivers and costs little; no dither, so the same input gives the same stream.
class Resampler {
 public:
  // `low_delay`: small processing blocks, for a live listener: the default blocks hold back up
  // to 60 ms (capture rate to 48000 Hz), these about 12 ms, for a little more work per sample.
  explicit Resampler(int out_rate, bool low_delay = false) : out_rate_(out_rate), low_delay_(low_delay) {}
  ~Resampler() { drop(); }
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Output samples the resampler holds back (its filter's delay): the newest output sample is
  // this much older than the newest input.
  double delay() const { return soxr_ ? soxr_delay(soxr_) : 0.0; }

  // Appends `count` samples at `in_rate`, converted, to `out`.
  void process(const std::int16_t* samples, std::size_t count, int in_rate, std::vector<std::int16_t>& out) {
    if (in_rate != in_rate_) start(in_rate);
    if (!soxr_) {
      out.insert(out.end(), samples, samples + count);
      return;
    }
    const std::size_t room = count * static_cast<std::size_t>(out_rate_) / static_cast<std::size_t>(in_rate_) + 64;
    while (count > 0) {
      const std::size_t base = out.size();
      out.resize(base + room);
      std::size_t used = 0, made = 0;
      const soxr_error_t err = soxr_process(soxr_, samples, count, &used, out.data() + base, room, &made);
      out.resize(base + made);
      if (err || (used == 0 && made == 0)) return;  // the rest of this chunk is lost; the next goes on
      samples += used;
      count -= used;
    }
  }

 private:
  void drop() {
    if (soxr_) soxr_delete(soxr_);
    soxr_ = nullptr;
  }
  void start(int in_rate) {
    drop();
    in_rate_ = in_rate;
    if (in_rate <= 0 || in_rate == out_rate_) return;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    if (low_delay_) {
      runtime.log2_min_dft_size = 7;
      runtime.log2_large_dft_size = 8;
    }
    soxr_error_t err = nullptr;
    soxr_ = soxr_create(in_rate, out_rate_, 1, &err, &io, &quality, &runtime);
    if (err) drop();
    if (!soxr_) throw std::runtime_error(std::string("resampler: ") + (err ? err : "cannot start"));
  }

  int out_rate_;
  bool low_delay_;
  int in_rate_ = 0;
  soxr_t soxr_ = nullptr;
};

}  // namespace quillon::audio
