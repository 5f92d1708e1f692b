#pragma once
// One row per channel: which controls, timers, lamps, fields, texts and rotation belong to it.
// The scanner link is written once and reads everything channel-specific from this table.
//
// Timing of the serial side (the periods are those the window gives its timers):
//   poller          Timer4 50 ms, Timer15/16/20 30 ms  one query at a time; a reply noticed by the
//                                                       parser goes out as the next query at the
//                                                       poller's next tick
//   reply parser    Timer5 25 ms, Timer14/17/21 15 ms  shorter than the poller, so a complete reply
//                                                       is seen before the next poller tick
//   watchdog        Timer2/3/19/23 1000 ms              a radio that has not completed its reply a
//                                                       second after the query counts as silent; the
//                                                       port is closed and reopened every second
//   busy release    Timer8 5000 ms, Timer13/18/22 6000  frees a poller left busy with its watchdog off
//   probe wait      kProbeWait 0.2 s                    the autodetect's wait after each "SI" query

#include <array>
#include <string>
#include <vector>

#include "window/frmserver.hpp"

namespace quillon::scanner {

inline constexpr float kProbeWait = 0.2f;
// Longest receive buffer kept per channel. The longest reply (the display frame) is 168 bytes and
// a second of line time at 19200 baud is about 1920 bytes; text beyond this without an end of
// reply is a broken line or a runaway radio: the oldest characters are dropped.
inline constexpr std::size_t kScanbufLimit = 4096;

inline constexpr const char* kLineSettings[3] = {"4800,n,8,1", "9600,n,8,1", "19200,n,8,1"};
inline constexpr const char* kDefaultLineSettings = "19200,n,8,1";

// One entry of a rotation: the step that was sent last, the step that follows and its query.
struct RotationStep {
  int current;
  int next;
  const char* query;
};
using Rotation = std::vector<RotationStep>;

// Channels 1, 3 and 4: LCD, ST, SQ, SG, MD, RM, AT, CS, DL. Channel 2: the first seven.
const Rotation& full_rotation();
const Rotation& short_rotation();
// The step that follows `current` in a rotation, or nullptr when the rotation has no such step.
const RotationStep* next_step(const Rotation& r, int current);

// How the Apply action reports the last error code.
enum class ApplyReport {
  ErrorPrefix,  // "Selected comport not available" clears the code; then "error: " + code
  BareCode,     // "Selected comport not available" / "... already open", then the code alone
};

struct ChannelWiring {
  int channel = 0;  // 1..4
  std::size_t k = 0;  // channel - 1

  ui::ComboBox* port_list = nullptr;
  ui::ComboBox* speed_list = nullptr;
  ui::CheckBox* enable = nullptr;  // none for channel 1 (always on)
  ui::CommandButton* apply = nullptr;

  ui::Timer* poller = nullptr;
  ui::Timer* parser = nullptr;
  ui::Timer* watchdog = nullptr;
  ui::Timer* busy_release = nullptr;
  std::vector<ui::Timer*> stopcom_timers;  // in the order STOPCOM stops them

  std::array<ui::Label*, 9> fields{};  // display field 1..9 at [0..8]
  ui::TextBox* status_lines = nullptr;  // Text6(k)
  ui::TextBox* lcd = nullptr;           // text5(k)
  ui::Label* step_label = nullptr;      // Label5(k)
  ui::Lamp* lamp_first = nullptr;       // comdata(k), status page
  ui::Lamp* lamp_second = nullptr;      // comdata(k + 4), channel page

  const Rotation* rotation = nullptr;
  bool watchdog_resets_step = false;
  bool disables_on_port_failure = false;
  ApplyReport apply_report = ApplyReport::BareCode;
  std::string ngx;      // last status line, before its digit
  std::string silence;  // the watchdog's 72-character message

  const char* port_setting = nullptr;
  const char* speed_setting = nullptr;
  const char* switch_setting = nullptr;  // none for channel 1
};

// Index in Label4 of display field f (1..9) of channel n (1..4).
int field_index(int channel, int field);
// The watchdog's message for channel n.
std::string silence_message(int channel);

std::vector<ChannelWiring> build_channel_table(Frmserver& f);

}  // namespace quillon::scanner
