#pragma once
// The client command interpreter: every 25 ms per channel it looks at the text last received
// from the channel's clients and handles the buffer clear, the version query, the server
// settings and scanner commands, in a fixed order of steps.

#include <string_view>

#include "window/frmserver.hpp"
#include "core/task.hpp"

namespace quillon::netdata {

class CommandInterpreter {
 public:
  explicit CommandInterpreter(Frmserver& form);

  // One tick of channel k (Timer1(k-1)). A coroutine: "SET AUDIO1=" waits for channel 1's
  // audio apply action.
  Task tick(int channel);

 private:
  void answer_version();
  Frmserver& f_;
};

// A whole text read as a 16-bit integer: blanks around it allowed, a fraction made whole as every
// typed number is (settings::whole_number). Throws Error(13) for text that is not a number,
// Error(6) outside -32768..32767.
int parse_int16(std::string_view text);

// The value of "SET DELAY7A=<value><any>": the value without the final character, read as a
// number, rounded down and limited to 100..2000 (missing or unreadable counts as 0).
int send_period_value(std::string_view buffer);

}  // namespace quillon::netdata
