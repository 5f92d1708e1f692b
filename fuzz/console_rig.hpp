#pragma once
// A whole server on fakes in virtual time, started, whose window the console targets drive. It
// records which controls and message boxes change, so that a target can tell whether a request
// changed anything and check only what changed.
//
// Every input starts from a server just as start-up left it: an input that was carried out (or
// changed the window) gets a fresh server before the next one, so each input runs alone and a
// failing input replays by itself. Inputs that were refused change nothing (the targets check
// that) and keep the server, which is what makes the targets fast: building and starting a
// server costs far more than one refused request.
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_support.hpp"
#include "console/console_view.hpp"
#include "support/fakes.hpp"

namespace quillon::fuzz {

class ConsoleRig {
 public:
  std::size_t changes = 0;  // window changes and message boxes since begin()

  ConsoleRig() { build(); }

  ui::Window& window() { return ts_->f().window; }

  // Before each input.
  void begin() {
    changes = 0;
    changed_.clear();
  }

  // Runs one POST /api/action body and checks the answer: one of the documented statuses, a
  // JSON body that reads back, and nothing changed in the window when it was refused (4xx).
  // True when it was carried out.
  bool action(std::string_view body) {
    const std::size_t before = changes;
    const console::Reply reply = console::run_action(window(), body);
    switch (reply.status) {
      case 200: case 400: case 404: case 409: case 500: break;
      default: fail("status outside the documented ones");
    }
    if (reply.status >= 400 && reply.status < 500 && changes != before) fail("refused action changed the window");
    const auto back = console::json::parse(console::to_text(reply.body), nullptr, false);
    if (back.is_discarded() || !back.is_object()) fail("answer does not read back as JSON");
    return reply.status == 200 || reply.status == 500;
  }

  // Between the actions of one input: virtual time moves on by d (what the last action posted runs
  // first). Message boxes stay up, so that a later action can land while a handler waits on one.
  void step(Millis d) { ts_->loop.advance(d); }

  // After each input: what the request set going runs and message boxes are answered. When it
  // was carried out, virtual time moves on, a second at a time, until the loop holds nothing
  // but the timers' next turns, so that handlers waiting on time or boxes (Apply, autodetect)
  // finish before their server goes. Then a fresh server replaces it, within the
  // same input, so that libFuzzer's leak check sees the old one's memory freed.
  void finish(bool carried_out) {
    settle();
    const bool used = carried_out || changes != 0;
    for (int step = 0; used && step < kMaxWaitSeconds; ++step) {
      ts_->loop.advance(Millis{1000});
      ts_->acknowledge_all();
      if (idle()) break;
    }
    check_changed_read_back();
    if (used) build();
  }

 private:
  // Every control that changed serialises as the console sends it (the others are as the
  // start-up check saw them; message boxes are checked as they come and go).
  void check_changed_read_back() const {
    for (const ui::Control* c : changed_) reads_back(console::control_json(*c));
    reads_back(console::json{{"caption", ts_->f().window.caption()}});
  }

  static void reads_back(const console::json& j) {
    const auto back = console::json::parse(console::to_text(j), nullptr, false);
    if (back.is_discarded() || !back.is_object()) fail("window does not read back as JSON");
  }

  bool idle() const {
    std::size_t turns = 0;
    for (const ui::Timer* t : timers_) {
      if (t->running()) return false;
      if (t->timer_enabled() && t->interval() > 0) ++turns;
    }
    return ts_->loop.pending() <= turns;
  }

  void settle() {
    ts_->loop.run_ready();
    ts_->acknowledge_all();
  }

  void build() {
    changed_.clear();
    ts_.reset();  // the old server and its folder go first
    ts_ = std::make_unique<test::TestServer>("fuzz-console");
    // Clicking "Setup Recording Volume" would start the mixer program.
    ts_->server.audio.start_program = [](const std::vector<std::string>&) { return true; };
    ts_->server.start();
    settle();
    timers_.clear();
    for (ui::Control* c : window().controls())
      if (auto* t = dynamic_cast<ui::Timer*>(c)) timers_.push_back(t);
    if (!checked_start_) {
      // The whole window once; afterwards only what inputs change.
      const auto w = console::json::parse(console::to_text(console::window_json(window())), nullptr, false);
      if (w.is_discarded() || !w["controls"].is_array()) fail("window does not read back as JSON");
      checked_start_ = true;
    }
    window().add_observer([this](const ui::Control& c, std::string_view) {
      ++changes;
      changed_.insert(&c);
    });
    window().add_message_observer([this](const ui::MessageBox& m, bool shown) {
      ++changes;
      reads_back(console::message_json(m, shown));
    });
  }

  std::unique_ptr<test::TestServer> ts_;
  std::unordered_set<const ui::Control*> changed_;
  static constexpr int kMaxWaitSeconds = 120;  // autodetect probes every port at three speeds
  std::vector<const ui::Timer*> timers_;
  bool checked_start_ = false;
};

}  // namespace quillon::fuzz
