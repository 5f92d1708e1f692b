#pragma once
// The client side of a data port: splitting the byte stream into status frames and replies,
// reading a frame's fields, and turning a typed line into what goes on the wire.
//
// Frames carry no delimiter or length. A frame ends with its "UDP:" line, whose value is "True"
// or "False"; on channel 1 the server appends "*" and the receiving slot's number (one digit,
// slots are 1..4). Since a bare frame (channels 2 to 4) cannot be told apart from a frame whose
// "*n" is still on its way, a frame that ends exactly where the received data ends is taken as
// complete only once the line has been quiet for a moment (the caller says so). The version
// reply "?VER=1.21" is sent between frames and is returned as an item of its own.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::client {

struct Item {
  enum class Kind { Frame, Reply };
  Kind kind = Kind::Frame;
  std::string text;  // the frame without its "*n", or the reply
  int slot = 0;      // the "*n" of channel 1; 0 when the frame came bare
};

class FrameSplitter {
 public:
  // Bytes kept while no frame end is in sight; a server that sends something else entirely is
  // dropped from the front rather than buffered without end.
  static constexpr std::size_t kMaxPending = 1 << 20;

  void feed(std::string_view bytes);
  // The next complete item, if any. quiet: nothing has arrived for a while.
  std::optional<Item> next(bool quiet);
  const std::string& pending() const { return buf_; }

 private:
  std::string buf_;
};

// A frame read into its parts: the display text and status lines before the "frame=" line, then
// one field per label in frame order ("frame", "seconds", "time", "delay1", "readout1", "port1",
// ..., "sample0", "clients", "maxclients", "VER", "SITENAME", "UDP").
struct ParsedFrame {
  std::vector<std::string> display;
  std::vector<std::pair<std::string, std::string>> fields;
  const std::string* field(std::string_view name) const;
};
ParsedFrame parse_frame(std::string_view frame);

// One JSON object per frame on one line: {"slot":n,"display":[...],"frame":"..",...}.
std::string frame_json(const Item& item);

// What a typed line sends:
// - empty line: nothing;
// - "!text": text exactly as typed after the "!";
// - lines that begin with "SET " or "GET ": as typed (server keywords; the setting commands
//   other than "SET AUDIO1=" need one extra final character, e.g. "SET DELAY7A=500#");
// - "CLR": "CLR#";
// - anything else is a scanner command: "#" appended unless it already ends in "#".
std::optional<std::string> wire_form(std::string_view line);

}  // namespace quillon::client
