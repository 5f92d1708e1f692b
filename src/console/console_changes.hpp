#pragma once
// What the console's event streams carry, between the window's observers and the pages.
//
// The logic changes controls far more often than a page can show: display fields are rewritten
// on every frame, busy timers and lamps flick off and on within one step. A page only needs
// where a control ended up, so the changes of a control within one interval go out as one
// event with its latest state, and a control whose state is back to what the pages last got is
// not sent at all. Message boxes go out at once, after the changes that came before them, so a
// page always sees a box after the state that led to it.
//
// Each event is serialised once for every page. Runs on the loop thread; no networking here.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "window/controls.hpp"
#include "core/event_loop.hpp"

namespace quillon::console {

class ChangeFeed {
 public:
  using Message = std::shared_ptr<const std::string>;
  // Gets every event, in order, ready for the wire, with the control it is about (null for a
  // message box).
  using Sink = std::function<void(const Message&, const ui::Control*)>;
  // Whether any page listens: while none does, nothing is kept.
  using Listening = std::function<bool()>;

  ChangeFeed(EventLoop& loop, ui::Window& window, Millis interval, Listening listening, Sink sink);
  ~ChangeFeed();
  ChangeFeed(const ChangeFeed&) = delete;
  ChangeFeed& operator=(const ChangeFeed&) = delete;

  // Sends the pending changes now: before a snapshot for a new page (it must not miss a change
  // that came back to an older state), after an operator's action (its effect shows at once),
  // before the stream's last word.
  void flush();
  // Stops observing the window; nothing is sent afterwards.
  void close();

  struct Counters {
    std::uint64_t changes = 0;    // notifications from the window while someone listened
    std::uint64_t sent = 0;       // change events sent
    std::uint64_t unchanged = 0;  // controls that changed and came back within an interval
  };
  const Counters& counters() const { return counters_; }

 private:
  struct Pending {
    std::vector<std::string> properties;  // in the order they first changed
  };
  void changed(const ui::Control& c, std::string_view property);
  void message(const ui::MessageBox& m, bool shown);
  void forget();

  EventLoop& loop_;
  ui::Window* window_;  // null once closed
  Millis interval_;
  Listening listening_;
  Sink sink_;
  int observer_ = 0, message_observer_ = 0;
  std::optional<EventLoop::TimerId> due_;
  std::vector<const ui::Control*> order_;  // pending controls, by their first change
  std::unordered_map<const ui::Control*, Pending> pending_;
  std::unordered_map<const ui::Control*, std::string> sent_;  // each control's state as last sent
  Counters counters_;
};

}  // namespace quillon::console
