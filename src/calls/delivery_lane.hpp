#pragma once
// What a destination of the call uploads or of the alerts keeps between its tries, and what both
// do alike: one request at a time with a deadline, one wait at a time before the queue is pumped
// again, and a jittered back-off after a failure, the outage said once in the log.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "calls/upload_http.hpp"
#include "core/event_loop.hpp"

namespace quillon::calls {

// The wait before the next try: between 3/4 and 5/4 of the back-off, so many boxes that lost a
// server together do not come back together; the back-off then doubles, up to `max_ms`.
inline int next_backoff(int& backoff_ms, int max_ms, std::uint32_t random) {
  const int spread = backoff_ms / 2;
  const int delay = backoff_ms - spread / 2 + static_cast<int>(random % static_cast<std::uint32_t>(spread + 1));
  backoff_ms = std::min(backoff_ms * 2, max_ms);
  return delay;
}

class DeliveryLane {
 public:
  // `log_name` names the destination in the log: "uploads to club".
  DeliveryLane(EventLoop& loop, std::string log_name, int min_backoff_ms, int max_backoff_ms);
  ~DeliveryLane();
  DeliveryLane(const DeliveryLane&) = delete;
  DeliveryLane& operator=(const DeliveryLane&) = delete;

  // Runs `again` after `delay`; the destination is `waiting` meanwhile.
  void wait(std::chrono::milliseconds delay, std::function<void()> again);
  // Sends `req` through `client` (set by the owner); `answered` gets its answer or, once
  // `timeout` has passed, a status-0 answer saying that none came.
  void send(const HttpRequest& req, std::chrono::milliseconds timeout, std::function<void(const HttpAnswer&)> answered);
  // The try failed: `why` is kept and said once per outage; `again` runs after the back-off.
  void retry_later(const std::string& why, std::uint32_t random, std::function<void()> again);
  // A refused key or setting: nothing goes until a restart; the log says why and what to check.
  void pause(const std::string& why, const std::string& what_to_check);
  // The try went through: the back-off starts from its least again, and an outage's end is said.
  void went_through();
  // Nothing goes on: the wait ends and an answer still to come is ignored.
  void halt();

  std::unique_ptr<HttpClient> client;
  bool waiting = false;
  std::string paused;  // why nothing goes
  std::string state = "idle";
  std::string last_error;

 private:
  EventLoop& loop_;
  std::string log_name_;
  int min_backoff_ms_, max_backoff_ms_, backoff_ms_;
  EventLoop::TimerId timer_ = 0;  // the wait, or the request's deadline
  std::uint64_t generation_ = 0;  // answers of an abandoned request are ignored
  bool down_ = false;             // said so in the log
};

}  // namespace quillon::calls
