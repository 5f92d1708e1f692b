#pragma once
// Event counters of one channel, incremented by the logic where the event happens and read by
// the metrics page. Loop thread only; they only ever grow.

#include <cstdint>

namespace quillon {

struct ChannelCounters {
  std::uint64_t poll_rotations = 0;        // display queries sent: one per rotation of the poller
  std::uint64_t silences = 0;              // watchdog firings
  std::uint64_t frames_sent = 0;           // status frames handed to client sockets
  std::uint64_t send_failures = 0;         // frame sends that failed (queue overflow included)
  std::uint64_t send_queue_overflows = 0;  // clients cut off because they stopped reading
};

// A socket's send queue is full (the client stopped reading); the socket layer cuts it off.
inline constexpr int kSendQueueFull = 10055;

inline void count_send_failure(ChannelCounters& c, int code) {
  ++c.send_failures;
  if (code == kSendQueueFull) ++c.send_queue_overflows;
}

}  // namespace quillon
