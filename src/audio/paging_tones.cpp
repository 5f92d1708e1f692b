#include "audio/paging_tones.hpp"

#include <algorithm>
#include <cmath>

namespace quillon::audio {

namespace {

constexpr int kBlockMs = 20;
// Dropouts this long inside a tone (a capture that missed a few blocks) do not end it.
constexpr int kGapBlocks = 6;

// The frequency of a block from its rising zero crossings (interpolated), or 0 when the block
// is not mostly one steady tone. A capture chain's glitch (a lost or repeated piece) breaks a
// period or two: the periods near the median count, the rest are left out.
double steady_frequency(const std::vector<std::int16_t>& b, int rate) {
  std::vector<double> crossings;
  for (std::size_t i = 1; i < b.size(); ++i)
    if (b[i - 1] < 0 && b[i] >= 0) crossings.push_back(static_cast<double>(i - 1) + static_cast<double>(-b[i - 1]) / (b[i] - b[i - 1]));
  if (crossings.size() < 5) return 0;
  std::vector<double> periods;
  for (std::size_t i = 1; i < crossings.size(); ++i) periods.push_back(crossings[i] - crossings[i - 1]);
  std::vector<double> sorted = periods;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  double sum = 0;
  std::size_t steady = 0;
  for (double p : periods)
    if (std::abs(p - median) <= median * 0.05) {
      sum += p;
      ++steady;
    }
  if (steady * 10 < periods.size() * 7) return 0;
  return rate / (sum / static_cast<double>(steady));
}

double level_dbfs(const std::vector<std::int16_t>& b) {
  double sum = 0;
  for (auto s : b) sum += static_cast<double>(s) * s;
  const double rms = std::sqrt(sum / static_cast<double>(b.size())) / 32768.0;
  return rms > 0 ? 20 * std::log10(rms) + 3.0103 : -200;  // a full-scale sine reads 0 dBFS
}

bool near(double f, double target, double pct) { return f > 0 && std::abs(f - target) <= target * pct / 100; }

}  // namespace

PagingToneDetector::PagingToneDetector(std::vector<ToneSet> sets, int sample_rate)
    : sets_(std::move(sets)), rate_(sample_rate > 0 ? sample_rate : 8000), tracks_(sets_.size()) {
  block_size_ = static_cast<std::size_t>(rate_ * kBlockMs / 1000);
  buf_.reserve(block_size_);
}

const std::vector<ToneSet>& PagingToneDetector::sets() const { return sets_; }

std::vector<ToneOut> PagingToneDetector::feed(const std::int16_t* samples, std::size_t count) {
  out_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    buf_.push_back(samples[i]);
    ++samples_;
    if (buf_.size() == block_size_) {
      block();
      buf_.clear();
    }
  }
  return out_;
}

void PagingToneDetector::block() {
  const double level = level_dbfs(buf_);
  const double f = steady_frequency(buf_, rate_);
  for (std::size_t k = 0; k < sets_.size(); ++k) {
    const ToneSet& s = sets_[k];
    Track& t = tracks_[k];
    const bool loud = level >= s.min_level_dbfs;
    const bool is_a = loud && near(f, s.a_hz, s.tolerance_pct);
    const bool is_b = loud && s.b_hz && near(f, *s.b_hz, s.tolerance_pct);
    // A tone is taken at three quarters of its length or more: a radio's squelch eats its start.
    const int need_a = (s.b_hz ? s.a_ms : s.long_ms) * 3 / 4 / kBlockMs;
    const int need_b = s.b_ms * 3 / 4 / kBlockMs;
    if (!s.b_hz) {
      if (is_a) {
        ++t.a_blocks;
        t.gap = 0;
      } else if (t.a_blocks > 0 && ++t.gap > kGapBlocks) {
        if (t.a_blocks >= need_a) out_.push_back({k, samples_ - static_cast<std::int64_t>(block_size_) * t.gap});
        t = {};
      }
      continue;
    }
    if (!t.in_b) {
      if (is_a) {
        ++t.a_blocks;
        t.gap = 0;
      } else if (is_b && t.a_blocks >= need_a) {
        t.in_b = true;
        t.b_blocks = 1;
        t.gap = 0;
      } else if (t.a_blocks > 0 && ++t.gap > kGapBlocks) {
        t = {};
      }
    } else if (is_b) {
      ++t.b_blocks;
      t.gap = 0;
    } else if (++t.gap > kGapBlocks) {
      if (t.b_blocks >= need_b) out_.push_back({k, samples_ - static_cast<std::int64_t>(block_size_) * t.gap});
      t = {};
    }
  }
}

}  // namespace quillon::audio
