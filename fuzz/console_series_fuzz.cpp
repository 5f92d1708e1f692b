// libFuzzer target for a short series of operator actions, so that an action lands while an
// earlier one still waits (an Apply in its one-second pause or on a message box), which one
// action alone cannot express. Same checks as console_action_fuzz for every action, and the leak
// check sees whether a waiting handler is ever lost.
//
// Input: POST /api/action bodies separated by a NUL byte (which JSON never holds); the byte after
// each NUL is how long virtual time moves on before the next action, in tenths of a second (its
// low five bits: up to 3.1 s, past an Apply's pause; longer steps only cost time).
// Message boxes stay up between actions (an "acknowledge" action answers one). Each input runs
// against a freshly started server (see console_rig.hpp).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "console_rig.hpp"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ConsoleRig rig;
  constexpr int kMaxActions = 8;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  rig.begin();
  bool carried_out = false;
  for (int n = 0; n < kMaxActions; ++n) {
    const std::size_t end = rest.find('\0');
    carried_out = rig.action(rest.substr(0, end)) || carried_out;
    if (end == std::string_view::npos || end + 1 >= rest.size()) break;
    rig.step(Millis{100 * (static_cast<unsigned char>(rest[end + 1]) & 31)});
    rest.remove_prefix(end + 2);
  }
  rig.finish(carried_out);
  return 0;
}
