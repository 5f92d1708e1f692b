#pragma once
// Cutting one channel's audio into calls, on the loop: a call opens with the squelch (or the
// audio level), keeps a pre-roll of the audio before the opening was seen, ends after the hang
// time with the gate closed, and is split where the radio moved to another frequency or tag or
// ran past the hard maximum. The cutter only decides; a CallOutput encodes and stores.

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/event_loop.hpp"

namespace quillon::calls {

// What opens a call: the radio's squelch ("SQ" reply), the audio level, both together, or
// "auto": the squelch while the radio answers "SQ", the level while it does not.
enum class Gate { Auto, Squelch, Level, Both };

struct CutSettings {
  int hang_ms = 2000;
  int pre_roll_ms = 800;
  int min_ms = 1000;  // open gate needed, pre-roll and hang not counted
  int soft_max_s = 60;
  int max_s = 300;
  Gate gate = Gate::Auto;
  double level_dbfs = -45;
};

// What the radio shows; frequency 0 and empty texts are unknown.
struct RadioView {
  std::int64_t frequency_hz = 0;
  std::string modulation;
  std::array<std::string, 4> display{};  // lines 3 and 4 are the channel and bank tags
  int signal = 0;
  std::string tone;  // CTCSS/DCS reading
};

struct CallStart {
  std::int64_t start_ms = 0;  // UTC, of the first sample kept (pre-roll included)
  int part = 1;               // > 1: continues the call the hard maximum cut
};

struct CallEnd {
  bool keep = false;      // false: shorter than the minimum, dropped
  // Begun at a split on a squelch reading from before it, and the next reading found the
  // squelch closed: the radio had scanned on, there was no next call. Not counted as dropped.
  bool abandoned = false;
  int open_ms = 0;        // time the gate was open
  RadioView radio;        // at the start, unknowns filled in from later readings
  int signal_max = 0;
};

class CallOutput {
 public:
  virtual ~CallOutput() = default;
  virtual void begin(const CallStart& start) = 0;
  virtual void audio(const std::int16_t* samples, std::size_t count, int rate) = 0;
  virtual void end(const CallEnd& end) = 0;
};

class CallCutter {
 public:
  // Seconds without an "SQ" reading after which the radio counts as giving no squelch state.
  static constexpr int kSquelchStaleMs = 3000;

  CallCutter(EventLoop& loop, const CutSettings& settings, CallOutput& out);

  // One "SQ" reading: open, closed, or a reply that says neither.
  void squelch(std::optional<bool> open);
  // Which reading brought a radio view up to date.
  enum class Reading { Display, Frequency, Mode, Other };
  // What the radio shows now; a different frequency or tag ends a running call. The first
  // display and frequency read after an opening was seen describe the call rather than split it
  // (the earlier ones may be from before the radio stopped).
  void radio(const RadioView& view, Reading reading = Reading::Other);
  // Captured audio at `rate`.
  void pcm(const std::int16_t* samples, std::size_t count, int rate);
  // Ends what the hang time, soft or hard maximum ends; called on a timer.
  void tick();
  // Ends a running call now, kept when long enough (shutdown, recording stopped).
  void stop();
  // Recording is allowed (false: nothing opens, pre-roll still kept).
  void set_enabled(bool on);

  bool in_call() const { return in_call_; }
  bool gate_open() const;

 private:
  void update();
  void begin_call(bool with_pre_roll, int part);
  void end_call(bool continue_part);
  void account();

  EventLoop& loop_;
  CutSettings s_;
  CallOutput& out_;
  bool enabled_ = true;

  std::optional<bool> sq_;
  TimePoint sq_at_{};
  bool level_open_ = false;
  RadioView view_;

  // Pre-roll: the newest audio, as chunks, at most pre_roll_ms of it.
  std::deque<std::vector<std::int16_t>> ring_;
  std::size_t ring_samples_ = 0;
  int rate_ = 0;

  bool in_call_ = false;
  TimePoint call_at_{};       // when the gate was seen open
  TimePoint last_update_{};
  bool was_open_ = false;
  std::optional<TimePoint> closed_at_;
  std::int64_t open_ms_ = 0;
  int part_ = 1;
  RadioView call_view_;
  int signal_max_ = 0;
  bool confirm_display_ = false;
  bool confirm_frequency_ = false;
  bool confirm_mode_ = false;
  bool provisional_ = false;  // begun at a split: the next squelch reading confirms it
};

// Parses "LCDn [text][attributes]" lines of a display frame into their four texts, trimmed.
std::array<std::string, 4> display_lines(const std::string& frame);
// RMS level of the samples in dBFS (-120 for silence).
double level_dbfs(const std::int16_t* samples, std::size_t count);

}  // namespace quillon::calls
