#include "audio/paging_tones.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

namespace quillon::audio {

namespace {

constexpr double kFullScale = 32768.0;
// A run's frequency is measured over its whole length, so a block only has to be roughly on
// the frequency: the reach is the widest tolerance of the sets on it, half as much again, and a
// few hertz for the noise of a 20 ms measurement.
constexpr double kReachFactor = 1.5;
constexpr double kReachNoiseHz = 4.0;
// Each 10 ms value tells an offset without ambiguity up to half its filter's width (50 Hz);
// a block must stay inside most of that.
constexpr double kReachOfWidth = 0.4;
constexpr std::size_t kRunsKept = 3;

// dBFS of a mean square, a full-scale sine being 0 dBFS.
double level_of(double mean_square) {
  if (!(mean_square > 0)) return -200;
  return 10.0 * std::log10(2.0 * mean_square / (kFullScale * kFullScale));
}

bool finite_positive(double v) { return std::isfinite(v) && v > 0; }

std::int64_t ms_to_samples(int ms, int rate) {
  return static_cast<std::int64_t>(std::max(ms, 0)) * rate / 1000;
}

}  // namespace

PagingToneDetector::PagingToneDetector(std::vector<ToneSet> sets, int sample_rate)
    : sets_(std::move(sets)), plans_(sets_.size()), rate_(sample_rate) {
  if (rate_ < 1000 || rate_ > 768000) return;
  step_len_ = std::max<std::int64_t>(16, (static_cast<std::int64_t>(rate_) * kStepMs + 500) / 1000);
  block_len_ = step_len_ * kStepsPerBlock;
  max_gap_ = ms_to_samples(kMaxGapMs, rate_) + 2 * block_len_;
  hp_a_ = 1.0 - 2.0 * std::numbers::pi * 20.0 / rate_;  // DC and hum below 20 Hz out
  const double width_hz = static_cast<double>(rate_) / static_cast<double>(step_len_);
  const double max_reach = kReachOfWidth * width_hz;

  std::map<long long, std::size_t> by_key;  // frequency in centihertz -> tracker
  auto hearable = [&](double hz) { return finite_positive(hz) && hz + max_reach < rate_ / 2.0; };
  auto tracker_for = [&](double hz) -> std::size_t {
    const long long key = std::llround(hz * 100.0);
    if (auto it = by_key.find(key); it != by_key.end()) return it->second;
    Tracker t;
    t.hz = static_cast<double>(key) / 100.0;
    const double w = 2.0 * std::numbers::pi * t.hz / rate_;
    t.cos_w = std::cos(w);
    t.sin_w = std::sin(w);
    const double turn = w * static_cast<double>(step_len_);
    t.rot_re = std::cos(turn);
    t.rot_im = -std::sin(turn);
    t.min_level_dbfs = 1e9;
    trackers_.push_back(std::move(t));
    by_key.emplace(key, trackers_.size() - 1);
    return trackers_.size() - 1;
  };

  for (std::size_t i = 0; i < sets_.size(); ++i) {
    const ToneSet& s = sets_[i];
    SetPlan& p = plans_[i];
    if (!finite_positive(s.tolerance_pct) || !std::isfinite(s.min_level_dbfs)) continue;
    if (!hearable(s.a_hz) || (s.b_hz && !hearable(*s.b_hz))) continue;
    p.a = tracker_for(s.a_hz);
    p.two_tone = s.b_hz.has_value();
    p.b = p.two_tone ? tracker_for(*s.b_hz) : p.a;
    p.a_min = ms_to_samples(s.a_ms, rate_);
    p.b_min = ms_to_samples(s.b_ms, rate_);
    p.long_min = ms_to_samples(s.long_ms, rate_);
    p.tol_a_hz = trackers_[p.a].hz * s.tolerance_pct / 100.0;
    p.tol_b_hz = trackers_[p.b].hz * s.tolerance_pct / 100.0;
    for (const auto& [k, tol] : {std::pair{p.a, p.tol_a_hz}, std::pair{p.b, p.tol_b_hz}}) {
      Tracker& t = trackers_[k];
      t.widest_tol_hz = std::max(t.widest_tol_hz, tol);
      t.min_level_dbfs = std::min(t.min_level_dbfs, s.min_level_dbfs);
    }
    if (p.two_tone)
      trackers_[p.b].b_sets.push_back(i);
    else
      trackers_[p.a].long_sets.push_back(i);
  }

  // Neighbours closer than their reaches (tones of one group can be under 3 % apart) would both
  // take each other's tone into their runs, and a page from one to the other would look like one
  // long tone on both: each reach stops halfway to the nearest neighbour, or at the tolerance.
  std::vector<std::size_t> by_hz(trackers_.size());
  for (std::size_t k = 0; k < by_hz.size(); ++k) by_hz[k] = k;
  std::sort(by_hz.begin(), by_hz.end(), [&](std::size_t x, std::size_t y) { return trackers_[x].hz < trackers_[y].hz; });
  for (std::size_t i = 0; i < by_hz.size(); ++i) {
    Tracker& t = trackers_[by_hz[i]];
    double nearest = 1e12;
    if (i > 0) nearest = t.hz - trackers_[by_hz[i - 1]].hz;
    if (i + 1 < by_hz.size()) nearest = std::min(nearest, trackers_[by_hz[i + 1]].hz - t.hz);
    t.reach_hz = std::min(max_reach, kReachFactor * t.widest_tol_hz + kReachNoiseHz);
    if (t.reach_hz > nearest / 2) t.reach_hz = std::max(nearest / 2, std::min(t.widest_tol_hz, max_reach));
  }
  for (const Tracker& t : trackers_) {
    coef_.push_back(2.0 * t.cos_w);
    freq_.push_back(t.hz);
  }
  s1_.assign(trackers_.size(), 0.0);
  s2_.assign(trackers_.size(), 0.0);
  active_ = !trackers_.empty();
}

std::vector<ToneOut> PagingToneDetector::feed(const std::int16_t* samples, std::size_t count) {
  out_.clear();
  if (!active_ || samples == nullptr) {
    pos_ += static_cast<std::int64_t>(count);
    return {};
  }
  const std::size_t n = trackers_.size();
  const double* __restrict c = coef_.data();
  double* __restrict s1 = s1_.data();
  double* __restrict s2 = s2_.data();
  while (count > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(step_len_ - in_step_, static_cast<std::int64_t>(count)));
    double energy = 0;
    double hx = hp_x_, hy = hp_y_;
    for (std::size_t i = 0; i < take; ++i) {
      const double in = samples[i];
      const double x = in - hx + hp_a_ * hy;
      hx = in;
      hy = x;
      energy += x * x;
      for (std::size_t k = 0; k < n; ++k) {
        const double s0 = x + c[k] * s1[k] - s2[k];
        s2[k] = s1[k];
        s1[k] = s0;
      }
    }
    hp_x_ = hx;
    hp_y_ = hy;
    step_energy_ += energy;
    samples += take;
    count -= take;
    in_step_ += static_cast<std::int64_t>(take);
    pos_ += static_cast<std::int64_t>(take);
    if (in_step_ == step_len_) end_step();
  }
  return std::move(out_);
}

void PagingToneDetector::end_step() {
  const bool first = steps_in_block_ == 0;
  for (std::size_t k = 0; k < trackers_.size(); ++k) {
    Tracker& t = trackers_[k];
    const double yr = s1_[k] - s2_[k] * t.cos_w;
    const double yi = s2_[k] * t.sin_w;
    s1_[k] = 0;
    s2_[k] = 0;
    if (t.have_prev) {
      // This value against the previous one, less the turn of the filter's own frequency:
      // what remains is the tone's offset from it.
      const double dr = yr * t.prev_re + yi * t.prev_im;
      const double di = yi * t.prev_re - yr * t.prev_im;
      const double rr = dr * t.rot_re - di * t.rot_im;
      const double ri = dr * t.rot_im + di * t.rot_re;
      if (first) {
        t.first_re = rr;
        t.first_im = ri;
      } else {
        t.inner_re += rr;
        t.inner_im += ri;
      }
    }
    t.prev_re = yr;
    t.prev_im = yi;
    t.have_prev = true;
    t.block_mag2 += yr * yr + yi * yi;
  }
  block_energy_ += step_energy_;
  step_energy_ = 0;
  in_step_ = 0;
  if (++steps_in_block_ == kStepsPerBlock) end_block();
}

void PagingToneDetector::end_block() {
  const double energy = block_energy_;
  const double mean_square = energy / static_cast<double>(block_len_);
  const double level = level_of(mean_square);
  const double hz_per_radian = rate_ / (2.0 * std::numbers::pi * static_cast<double>(step_len_));
  for (std::size_t k = 0; k < trackers_.size(); ++k) {
    Tracker& t = trackers_[k];
    bool present = false;
    if (energy > 0 && level >= t.min_level_dbfs) {
      // A tone of amplitude A on the frequency gives |y| = A * step / 2 per step; its power is
      // A^2 / 2, the block's power energy / block: the share is 1 for a clean tone.
      const double share = 2.0 * t.block_mag2 / (static_cast<double>(step_len_) * energy);
      const double tr = t.first_re + t.inner_re, ti = t.first_im + t.inner_im;
      const double offset = std::atan2(ti, tr) * hz_per_radian;
      present = share >= kMinShare && (tr != 0 || ti != 0) && std::abs(offset) <= t.reach_hz;
    }
    block_verdict(k, present, mean_square);
    t.block_mag2 = 0;
    t.first_re = t.first_im = t.inner_re = t.inner_im = 0;
  }
  block_energy_ = 0;
  steps_in_block_ = 0;
}

void PagingToneDetector::block_verdict(std::size_t k, bool present, double power) {
  Tracker& t = trackers_[k];
  const std::int64_t block_end = pos_;
  if (present) {
    if (!t.in_run) {
      t.in_run = true;
      t.run_start = block_end - block_len_;
      t.run_re = t.run_im = t.run_power = 0;
      t.run_blocks = 0;
    } else if (t.misses == 0) {
      // The turn into this block is the tone's own only when the block before was the tone too.
      t.run_re += t.first_re;
      t.run_im += t.first_im;
    }
    t.run_re += t.inner_re;
    t.run_im += t.inner_im;
    t.run_power += power;
    ++t.run_blocks;
    t.run_end = block_end;
    t.misses = 0;
  } else if (t.in_run && ++t.misses > kBridgeBlocks) {
    finish_run(k);
  }
}

std::optional<PagingToneDetector::Run> PagingToneDetector::run_before(const Tracker& t, std::int64_t start) const {
  if (t.in_run && t.run_start < start) {
    Run r;
    r.start = t.run_start;
    r.end = t.run_end;
    r.offset_hz = std::atan2(t.run_im, t.run_re) * rate_ / (2.0 * std::numbers::pi * static_cast<double>(step_len_));
    r.level_dbfs = level_of(t.run_power / static_cast<double>(std::max<std::int64_t>(t.run_blocks, 1)));
    return r;
  }
  for (auto it = t.past.rbegin(); it != t.past.rend(); ++it)
    if (it->start < start) return *it;
  return std::nullopt;
}

bool PagingToneDetector::run_fits(const Run& r, double tol_hz, std::int64_t min_len, double min_level) const {
  // Runs are measured in whole blocks, so one block less than asked still counts.
  return r.end - r.start >= min_len - block_len_ && std::abs(r.offset_hz) <= tol_hz && r.level_dbfs >= min_level;
}

void PagingToneDetector::finish_run(std::size_t k) {
  Tracker& t = trackers_[k];
  Run r;
  r.start = t.run_start;
  r.end = t.run_end;
  r.offset_hz = std::atan2(t.run_im, t.run_re) * rate_ / (2.0 * std::numbers::pi * static_cast<double>(step_len_));
  r.level_dbfs = level_of(t.run_power / static_cast<double>(std::max<std::int64_t>(t.run_blocks, 1)));
  t.in_run = false;
  t.misses = 0;
  // A few runs are kept: a two-tone set whose B is this frequency looks back at the run of its
  // A, and a short stray run on A's frequency during B must not hide it.
  if (t.past.size() == kRunsKept) t.past.erase(t.past.begin());
  t.past.push_back(r);

  bool paged = false;
  for (const std::size_t i : t.b_sets) {
    const SetPlan& p = plans_[i];
    const ToneSet& s = sets_[i];
    bool hit = false;
    if (p.a == p.b) {
      // A and B on one frequency: one run as long as both.
      hit = run_fits(r, p.tol_b_hz, p.a_min + p.b_min, s.min_level_dbfs);
    } else if (run_fits(r, p.tol_b_hz, p.b_min, s.min_level_dbfs)) {
      const auto a = run_before(trackers_[p.a], r.start);
      hit = a && a->end <= r.start + block_len_ && r.start - a->end <= max_gap_ &&
            run_fits(*a, p.tol_a_hz, p.a_min, s.min_level_dbfs);
    }
    if (hit) {
      out_.push_back({i, r.end});
      paged = true;
    }
  }
  // A tone that ended a two-tone page is that page's B, not a long tone of its own.
  if (paged) return;
  for (const std::size_t i : t.long_sets) {
    const SetPlan& p = plans_[i];
    if (run_fits(r, p.tol_a_hz, p.long_min, sets_[i].min_level_dbfs)) out_.push_back({i, r.end});
  }
}

}  // namespace quillon::audio
