#pragma once
// wait_seconds: the caller waits while every other event (timer ticks, socket events, operator
// actions) keeps running. 0 or less returns at once; more than 5 becomes 5, and the caller sees
// 5. It waits the full time on the monotonic clock (midnight does not cut it short) and sleeps.

#include <cmath>

#include "core/event_loop.hpp"
#include "core/task.hpp"

namespace quillon {

inline Task wait_seconds(EventLoop& loop, float& seconds) {
  if (!(seconds > 0.0f)) co_return;
  if (seconds > 5.0f) seconds = 5.0f;
  co_await loop.sleep(Millis(static_cast<long>(std::lround(static_cast<double>(seconds) * 1000.0))));
}

}  // namespace quillon
