// libFuzzer target for operator actions: the input is the body of POST /api/action, run against
// the window of a whole server on fakes (real handlers: Apply actions, check boxes, lists, text
// fields that parse numbers).
//
// Checked: the answer is one of the documented statuses with a JSON body that reads back; an
// action refused with a 4xx changes nothing in the window; every control the action (or what it
// set going) changed, with every text a handler or a radio put there, still serialises to JSON
// that reads back. Each input runs against a freshly started server (see console_rig.hpp).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "console_rig.hpp"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ConsoleRig rig;
  rig.begin();
  rig.finish(rig.action(std::string_view(reinterpret_cast<const char*>(data), size)));
  return 0;
}
