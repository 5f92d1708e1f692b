#pragma once
// Virtual time for tests and benchmarks: nothing sleeps; advance() moves the clock and runs
// every due callback in time order (callbacks due at the same instant run in the order they
// were scheduled). Posted events run at the current instant.

#include <map>
#include <utility>

#include "core/event_loop.hpp"

namespace quillon {

class VirtualEventLoop final : public EventLoop {
 public:
  VirtualEventLoop();

  TimePoint now() const override { return now_; }
  WallClock::time_point wall_now() const override;
  TimerId call_at(TimePoint when, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;

  // Runs everything due up to now + d, moving the clock to each callback's time.
  void advance(Millis d);
  // Runs what is due at the current instant (posted events included).
  void run_ready() { advance(Millis{0}); }
  // Sets the wall clock that corresponds to the current virtual instant.
  void set_wall_time(WallClock::time_point t);
  std::size_t pending() const { return queue_.size(); }

 private:
  using Key = std::pair<TimePoint, TimerId>;
  TimePoint now_;
  WallClock::time_point wall_base_;
  TimePoint wall_base_at_;
  TimerId next_id_ = 1;
  std::map<Key, std::function<void()>> queue_;
  std::map<TimerId, TimePoint> when_;
};

}  // namespace quillon
