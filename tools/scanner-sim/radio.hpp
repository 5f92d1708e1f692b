#pragma once
// One simulated BC785/BC796: what it answers to each command, its changing display and the
// faults a test or demo switches on. No I/O here; sim.cpp puts it on a pseudo-terminal.

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quillon::sim {

enum class Model { BC785, BC796 };

struct Faults {
  bool silent = false;      // answers nothing
  bool no_cr = false;       // replies lose their carriage returns
  int late_ms = 0;          // extra delay before each reply starts
  double slow = 1.0;        // transmit time multiplied by this
  int ng_count = 0;         // the next N replies are "NG"
  int err_count = 0;        // the next N replies are "ERR"
  std::string shown;        // when set, the display text, 16 characters a line, instead of the scan
};

class Radio {
 public:
  Radio(Model model, int baud, std::uint32_t seed);

  Model model() const { return model_; }
  void set_model(Model m) { model_ = m; }
  int baud() const { return baud_; }
  void set_baud(int b) { baud_ = b; }
  Faults& faults() { return faults_; }

  // The reply to one command line (without its carriage return); empty when it answers nothing.
  std::string answer(const std::string& command);
  // Bytes a mismatched line speed turns `n` bytes into.
  std::string garbage(std::size_t n);
  // Moves the display on: scanning, stopping on a channel, the signal level wandering.
  void step_display();

  using Clock = std::chrono::steady_clock;
  // Stops on channel `n` (1..channels(), the squelch open) for `ms`, then scans on; another
  // opening meanwhile moves straight to its channel. While a scripted opening runs the radio
  // does not stop or scan by itself.
  void open_for(std::size_t n, int ms, Clock::time_point now);
  // Ends a scripted opening that is due; when one runs, the time it ends.
  std::optional<Clock::time_point> tick(Clock::time_point now);
  // A page as a fire station's dispatcher sends it: the squelch opens on the first channel, the
  // tones sound one after the other from `start` (the first one also before it, while the
  // squelch is already open), then `call_ms` of the channel's usual sound (the message after the
  // tones), then the radio scans on. Like `open_for`, it replaces any opening under way.
  struct PageTone {
    double hz;
    int ms;
  };
  void page(std::vector<PageTone> tones, int call_ms, Clock::time_point start, Clock::time_point now);
  // What the loudspeaker sounds at `t` while the squelch is open: the page's tone, or the tone
  // of the channel it stopped on (400 Hz + 100 Hz per channel).
  double sound_hz(Clock::time_point t) const;
  // Whether the radio stops on channels by itself (on by default).
  void set_auto_stops(bool on) { auto_stops_ = on; }
  bool squelch_open() const { return !scanning_ && !tuned_; }
  bool held() const { return held_ || tuned_.has_value(); }
  std::size_t current_channel() const { return current_; }
  std::size_t channels() const { return channels_.size(); }

  // The display as the radio shows it: four lines of 16 characters each and their attributes.
  std::string display_frame() const;
  std::uint64_t commands() const { return commands_; }

 private:
  struct Channel {
    long freq;  // 100 Hz units
    const char* mode;
    const char* tag1;
    const char* tag2;
    int number;
  };
  std::string plain_answer(const std::string& command);
  std::string control_answer(const std::string& command);
  std::string press(int key);
  void tune(long freq);
  void go_to_channel(std::size_t index);
  void advance_scan();

  Model model_;
  int baud_;
  Faults faults_;
  std::mt19937 rng_;
  std::vector<Channel> channels_;
  std::size_t current_ = 0;
  bool scanning_ = true;
  int bank_ = 1;
  int signal_ = 0;
  int hold_ = 0;
  bool auto_stops_ = true;
  std::optional<Clock::time_point> scripted_until_;
  std::vector<PageTone> page_;       // the tones of the page under way
  Clock::time_point page_start_{};
  std::uint64_t commands_ = 0;

  // What an operator set from the front panel or a remote head.
  bool held_ = false;                // HOLD/MAN: stays on the current channel
  std::optional<long> tuned_;        // RF: a frequency of its own (100 Hz units), held there
  std::string tuned_mode_ = "NFM";
  std::vector<bool> locked_;         // L/O per channel: left out of the scan
  bool attenuator_ = false;
  bool delay_ = false;
  bool priority_ = false;
  std::string mute_ = "F";           // MUN / MUF / MUA
  std::string word_ = "SCAN";        // the mode word while not held: SCAN, SRCH, LIM, TRNK, MENU
  std::string entry_;                // digits typed on the keypad, until E
};

// A display line: "LCDn [" + 16 characters + "][" + 16 attribute characters + "]".
std::string display_line(int n, const std::string& text, const std::string& attributes);

}  // namespace quillon::sim
