#pragma once
// The one event loop as the logic sees it: a monotonic clock, one-shot timed callbacks, posted
// events, a wall clock for time-of-day texts and a sleep awaitable. Production runs it on
// Boost.Asio (asio_event_loop.hpp); tests run the same logic on VirtualEventLoop in virtual time.

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>

namespace quillon {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;
using WallClock = std::chrono::system_clock;

class EventLoop {
 public:
  using TimerId = std::uint64_t;
  virtual ~EventLoop() = default;

  virtual TimePoint now() const = 0;
  virtual WallClock::time_point wall_now() const = 0;
  // Runs fn once at `when` (or as soon after as the loop gets to it) as an event of its own.
  virtual TimerId call_at(TimePoint when, std::function<void()> fn) = 0;
  // Forgets a pending callback; unknown or already run ids are ignored.
  virtual void cancel(TimerId id) = 0;
  // Runs fn as a separate event, after the current one.
  virtual void post(std::function<void()> fn) = 0;

  TimerId call_after(Millis delay, std::function<void()> fn) { return call_at(now() + delay, std::move(fn)); }

  struct SleepAwaiter {
    EventLoop& loop;
    Millis delay;
    bool await_ready() const noexcept { return delay.count() <= 0; }
    void await_suspend(std::coroutine_handle<> h) { loop.call_after(delay, [h] { h.resume(); }); }
    void await_resume() const noexcept {}
  };
  // Suspends the calling coroutine; other events run meanwhile. No busy loop, no nested pumping.
  SleepAwaiter sleep(Millis delay) { return SleepAwaiter{*this, delay}; }
};

}  // namespace quillon
