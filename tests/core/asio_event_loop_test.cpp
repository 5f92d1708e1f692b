// The production loop's timed callbacks on a real clock: what falls due close together shares
// one wake-up, nothing runs early, and order and cancellation hold within a shared wake-up.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <vector>

#include "core/asio_event_loop.hpp"
#include "window/controls.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

TEST(AsioEventLoop, CallbacksDueCloseTogetherShareAWakeUpAndNoneRunsEarly) {
  boost::asio::io_context io;
  AsioEventLoop loop(io);
  const TimePoint t0 = loop.now() + 40ms;
  std::vector<int> order;
  int early = 0;
  EventLoop::TimerId doomed = 0;
  // Ten callbacks 0.1 ms apart, scheduled out of order; the first cancels the seventh.
  for (int i : {3, 9, 0, 5, 1, 7, 2, 8, 4, 6}) {
    const TimePoint when = t0 + std::chrono::microseconds(100 * i);
    const auto id = loop.call_at(when, [&, i, when] {
      if (loop.now() < when) ++early;
      order.push_back(i);
      if (i == 0) loop.cancel(doomed);
    });
    if (i == 7) doomed = id;
  }
  // Scheduled from a callback: waits for a wake-up of its own, even though already due.
  loop.call_at(t0 + 30ms, [&] { loop.call_at(loop.now(), [&] { order.push_back(100); }); });
  io.run();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 8, 9, 100}));
  EXPECT_EQ(early, 0);
  EXPECT_EQ(loop.timed_runs(), 11u);
  // The cluster shares one wake-up; the +30 ms one has its own unless the machine was slow
  // enough to find it due together with the cluster; its offspring always waits for the next.
  EXPECT_GE(loop.wakeups(), 2u);
  EXPECT_LE(loop.wakeups(), 3u);
  EXPECT_EQ(AsioEventLoop::slack_for(16ms), 2ms);
  EXPECT_EQ(AsioEventLoop::slack_for(1000ms), AsioEventLoop::kMaxSlack);
  EXPECT_EQ(AsioEventLoop::slack_for(-5ms), 0ms);
}

TEST(AsioEventLoop, WindowTimersOfDifferentPeriodsKeepTheirPeriodsWhileSharingWakeUps) {
  boost::asio::io_context io;
  AsioEventLoop loop(io);
  ui::Window w(loop, "w");
  const TimePoint t0 = loop.now();
  std::vector<TimePoint> fast, slow;
  auto& a = w.make<ui::Timer>("A", -1, 15, true);
  auto& b = w.make<ui::Timer>("B", -1, 25, true);
  a.on_tick([&] { fast.push_back(loop.now()); });
  b.on_tick([&] {
    slow.push_back(loop.now());
    if (slow.size() == 12) {
      a.set_timer_enabled(false);
      b.set_timer_enabled(false);
    }
  });
  io.run();
  ASSERT_EQ(slow.size(), 12u);
  // The n-th tick never comes before n periods: each timer counts from its due times.
  for (std::size_t n = 0; n < slow.size(); ++n) EXPECT_GE(slow[n], t0 + 25ms * static_cast<int>(n + 1));
  for (std::size_t n = 0; n < fast.size(); ++n) EXPECT_GE(fast[n], t0 + 15ms * static_cast<int>(n + 1));
  EXPECT_FALSE(fast.empty());
  EXPECT_LT(loop.wakeups(), fast.size() + slow.size());  // every 75 ms both fall due together
}

}  // namespace
}  // namespace quillon
