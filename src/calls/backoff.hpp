#pragma once
// Back-off between tries of a delivery (call uploads, alerts).

#include <algorithm>
#include <cstdint>

namespace quillon::calls {

// The wait before the next try: between 3/4 and 5/4 of the back-off, so many boxes that lost a
// server together do not come back together; the back-off then doubles, up to `max_ms`.
inline int next_backoff(int& backoff_ms, int max_ms, std::uint32_t random) {
  const int spread = backoff_ms / 2;
  const int delay = backoff_ms - spread / 2 + static_cast<int>(random % static_cast<std::uint32_t>(spread + 1));
  backoff_ms = std::min(backoff_ms * 2, max_ms);
  return delay;
}

}  // namespace quillon::calls
