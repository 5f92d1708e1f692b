#pragma once
// The production event loop: one io_context, run by the one thread that owns the window model.
//
// Timed callbacks share one Asio timer. Each callback may run a little after its time (its
// slack: an eighth of its delay, at most kMaxSlack); the loop wakes at the earliest moment some
// callback's slack runs out and then runs every callback that is due, so callbacks that fall due
// close together (the many window timers) cost one wake-up instead of one each. Never early;
// a periodic window timer keeps its period, since it counts from its due time, not from when
// it ran. Callbacks due at the same time run in the order they were scheduled.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <map>
#include <set>
#include <unordered_map>

#include "core/event_loop.hpp"

namespace quillon {

class AsioEventLoop final : public EventLoop {
 public:
  static constexpr Millis kMaxSlack{3};

  explicit AsioEventLoop(boost::asio::io_context& io);
  ~AsioEventLoop() override;

  TimePoint now() const override { return Clock::now(); }
  WallClock::time_point wall_now() const override { return WallClock::now(); }
  TimerId call_at(TimePoint when, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;
  // The window is gone: nothing scheduled or posted through this loop runs any more (a timer,
  // a pending wait), while the io_context may still run for others (the console saying
  // goodbye to its pages).
  void close();

  boost::asio::io_context& io() { return io_; }

  // How late a callback scheduled `delay` ahead may run.
  static Clock::duration slack_for(Clock::duration delay);
  // Diagnostics: times the timer woke the loop, callbacks it ran.
  std::uint64_t wakeups() const { return wakeups_; }
  std::uint64_t timed_runs() const { return timed_runs_; }

 private:
  using Key = std::pair<TimePoint, TimerId>;
  struct Entry {
    TimePoint latest;
    std::function<void()> fn;
  };
  void arm();
  void run_due();

  boost::asio::io_context& io_;
  boost::asio::steady_timer timer_;
  TimerId next_id_ = 1;
  std::map<Key, Entry> due_;            // by due time, then scheduling order
  std::multiset<Key> latest_;           // by latest acceptable time
  std::unordered_map<TimerId, TimePoint> when_;
  TimePoint armed_ = TimePoint::max();
  bool in_batch_ = false;
  std::uint64_t wakeups_ = 0, timed_runs_ = 0;
  std::shared_ptr<bool> closed_ = std::make_shared<bool>(false);
};

}  // namespace quillon
