#pragma once
// A whole server on fakes in virtual time, started, whose window the console targets drive; it
// counts every change of the window so that a target can tell whether a request changed
// anything.
#include <string>
#include <vector>

#include "support/fakes.hpp"

namespace quillon::fuzz {

struct ConsoleRig {
  test::TestServer ts{"fuzz-console"};
  std::size_t changes = 0;
  std::size_t runs = 0;

  ConsoleRig() {
    // Clicking "Setup Recording Volume" would start the mixer program.
    ts.server.audio.start_program = [](const std::vector<std::string>&) { return true; };
    ts.server.start();
    settle();
    ts.f().window.add_observer([this](const ui::Control&, std::string_view) { ++changes; });
    ts.f().window.add_message_observer([this](const ui::MessageBox&, bool) { ++changes; });
  }

  ui::Window& window() { return ts.f().window; }

  // After each input: what the action set going runs; message boxes are answered so that none
  // pile up; now and then virtual time moves on so that handlers waiting on it finish.
  void settle() {
    ts.loop.run_ready();
    ts.acknowledge_all();
    if (++runs % 512 == 0) {
      ts.loop.advance(Millis{6000});
      ts.acknowledge_all();
    }
  }
};

}  // namespace quillon::fuzz
