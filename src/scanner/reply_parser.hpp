#pragma once
// The reply grammar of the scanner link: what a receive buffer means at a given poll step, and
// how a complete display frame is cut. Pure functions; the parser tick applies their result.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::scanner {

// Length of a display frame kept from the start of "LCD1".
inline constexpr std::size_t kDisplayFrameLimit = 167;

struct ReplyReading {
  bool ends_exchange = false;  // busy flag 0, buffer emptied, watchdog off
  bool display_frame = false;  // a complete display frame: process it before ending
  // New text of display field 1..9 at [0..8]; unset fields keep their text.
  std::array<std::optional<std::string>, 9> fields{};
};

// Reads the receive buffer as the reply to the query of poll step `step`.
ReplyReading read_reply(int step, std::string_view buf);

// The display frame from its first "LCD1" on, at most kDisplayFrameLimit characters; the buffer
// whole when it has no "LCD1".
std::string cut_display_frame(std::string_view buf);

}  // namespace quillon::scanner
