#pragma once
// Paging tones on a channel's audio: two-tone sequential pages (tone A, then tone B at once) and
// long tones, as fire and rescue dispatch sends them to call crews out. Pure logic: PCM in,
// tone-outs out; the caller owns the audio tap and the clock.
//
// How it decides (docs/audio.md): every distinct frequency of the sets gets one Goertzel filter.
// Each 10 ms the filters give a complex value per frequency; every 20 ms (a block) a frequency
// counts as present when its share of the block's energy is high, the block is loud enough and
// the phase turn between the 10 ms values puts the tone within reach of the frequency. A run of
// such blocks is a tone; its frequency error is measured from the phase turn over the whole run
// (far finer than one block could tell), and each set judges the finished run: long enough, close
// enough, loud enough, and for a two-tone set, right after a run of its tone A.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::audio {

struct ToneSet {
  std::string name;
  double a_hz = 0;                 // required
  std::optional<double> b_hz;      // with b_hz: two-tone sequential; without: a long tone of a_hz
  int a_ms = 800;                  // two-tone: tone A for at least a_ms ...
  int b_ms = 2500;                 // ... then tone B for at least b_ms
  int long_ms = 2000;              // long tone: one tone for at least long_ms
  double tolerance_pct = 1.5;      // accepted frequency error, each side
  double min_level_dbfs = -30;     // a tone quieter than this is not a tone
};

struct ToneOut {
  std::size_t set;                 // index into the sets given to the detector
  std::int64_t end_sample;         // sample count (since the detector started) where the tones ended
};

class PagingToneDetector {
 public:
  // Ten milliseconds per filter value, two of them per decision.
  static constexpr int kStepMs = 10;
  static constexpr int kStepsPerBlock = 2;
  // A frequency is present in a block when its filter holds at least this share of the block's
  // energy (a clean tone on the frequency holds nearly all of it; white noise 2 % at most).
  static constexpr double kMinShare = 0.4;
  // Blocks a tone may miss (a fade, a click) without ending.
  static constexpr int kBridgeBlocks = 2;
  // Longest silence accepted between tone A and tone B.
  static constexpr int kMaxGapMs = 100;

  // Sets that cannot be detected (no frequency, a frequency at or above half the sample rate,
  // numbers that are not finite) are kept in sets() but never reported. A sample rate below
  // 1000 Hz detects nothing.
  PagingToneDetector(std::vector<ToneSet> sets, int sample_rate);

  // Feeds mono PCM; returns the tone-outs whose tones ended within these samples.
  std::vector<ToneOut> feed(const std::int16_t* samples, std::size_t count);
  const std::vector<ToneSet>& sets() const { return sets_; }

  int sample_rate() const { return rate_; }
  // Distinct frequencies the detector filters for (the cost grows with these, not with sets).
  std::size_t filters() const { return freq_.size(); }
  // Samples fed since the start.
  std::int64_t samples_fed() const { return pos_; }

 private:
  struct Run {
    std::int64_t start = 0;
    std::int64_t end = 0;
    double offset_hz = 0;          // measured frequency minus the filter's frequency
    double level_dbfs = -200;
  };
  struct Tracker {
    double hz = 0;
    double cos_w = 0, sin_w = 0;   // one sample's turn
    double rot_re = 0, rot_im = 0; // minus one step's turn, to cancel it
    double reach_hz = 0;           // farthest offset a block may show and still count
    double widest_tol_hz = 0;      // the widest tolerance of the sets on this frequency
    double min_level_dbfs = 0;     // the lowest any set on this frequency accepts
    // The previous step's value and the block being gathered.
    double prev_re = 0, prev_im = 0;
    bool have_prev = false;
    double block_mag2 = 0;
    double first_re = 0, first_im = 0;  // turn from the previous block's last step to this one's first
    double inner_re = 0, inner_im = 0;  // turns within the block
    // The run in progress.
    bool in_run = false;
    int misses = 0;
    std::int64_t run_start = 0, run_end = 0;
    double run_re = 0, run_im = 0, run_power = 0;
    std::int64_t run_blocks = 0;
    std::vector<Run> past;         // the latest finished runs, newest last
    std::vector<std::size_t> long_sets;  // long-tone sets on this frequency
    std::vector<std::size_t> b_sets;     // two-tone sets whose tone B is this frequency
  };
  struct SetPlan {
    std::size_t a = 0, b = 0;      // trackers
    bool two_tone = false;
    std::int64_t a_min = 0, b_min = 0, long_min = 0;  // shortest runs accepted, in samples
    double tol_a_hz = 0, tol_b_hz = 0;
  };

  void end_step();
  void end_block();
  void block_verdict(std::size_t k, bool present, double power);
  void finish_run(std::size_t k);
  std::optional<Run> run_before(const Tracker& t, std::int64_t start) const;
  bool run_fits(const Run& r, double tol_hz, std::int64_t min_len, double min_level) const;

  std::vector<ToneSet> sets_;
  std::vector<SetPlan> plans_;
  std::vector<Tracker> trackers_;
  // The filters' state, one entry per tracker, kept apart so the per-sample loop runs straight
  // through three arrays.
  std::vector<double> coef_, s1_, s2_, freq_;
  int rate_ = 0;
  bool active_ = false;
  std::int64_t step_len_ = 0;
  std::int64_t block_len_ = 0;
  std::int64_t max_gap_ = 0;
  std::int64_t pos_ = 0;
  std::int64_t in_step_ = 0;
  int steps_in_block_ = 0;
  double step_energy_ = 0;
  double block_energy_ = 0;
  // DC blocker
  double hp_a_ = 0, hp_x_ = 0, hp_y_ = 0;
  std::vector<ToneOut> out_;
};

}  // namespace quillon::audio
