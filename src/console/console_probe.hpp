#pragma once
// The console's answer to one request given as raw bytes, without a network: the request is
// parsed as a console connection parses it (same header and body limits), then checked for
// access and routed exactly as the server does. For the fuzz targets and tests; defined in
// console_server.cpp, next to what it calls.

#include <string>
#include <string_view>

#include "console/console_server.hpp"

namespace quillon {

struct ConsoleAnswer {
  int status = 0;    // HTTP status; 0: the bytes are not a whole, valid request (no answer)
  std::string body;  // the JSON body of the answer
};

ConsoleAnswer console_answer(ui::Window& window, const ConsoleConfig& config, std::string_view raw);

}  // namespace quillon
