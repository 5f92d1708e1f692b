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
#include "fuzz_support.hpp"
#include "platform/console_view.hpp"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ConsoleRig rig;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  rig.begin();
  const console::Reply reply = console::run_action(rig.window(), body);
  const std::size_t changes = rig.changes;
  switch (reply.status) {
    case 200: case 400: case 404: case 409: case 500: break;
    default: fuzz::fail("status outside the documented ones");
  }
  if (reply.status >= 400 && reply.status < 500 && changes != 0) fuzz::fail("refused action changed the window");
  const auto back = console::json::parse(console::to_text(reply.body), nullptr, false);
  if (back.is_discarded() || !back.is_object()) fuzz::fail("answer does not read back as JSON");
  rig.finish(reply.status == 200 || reply.status == 500);
  return 0;
}
