#include "calls/delivery_lane.hpp"

#include "core/log.hpp"

namespace quillon::calls {

DeliveryLane::DeliveryLane(EventLoop& loop, std::string log_name, int min_backoff_ms, int max_backoff_ms)
    : loop_(loop), log_name_(std::move(log_name)), min_backoff_ms_(min_backoff_ms), max_backoff_ms_(max_backoff_ms),
      backoff_ms_(min_backoff_ms) {}

DeliveryLane::~DeliveryLane() { loop_.cancel(timer_); }

void DeliveryLane::wait(std::chrono::milliseconds delay, std::function<void()> again) {
  loop_.cancel(timer_);
  waiting = true;
  timer_ = loop_.call_after(delay, [this, again = std::move(again)] {
    timer_ = 0;
    waiting = false;
    again();
  });
}

void DeliveryLane::send(const HttpRequest& req, std::chrono::milliseconds timeout, std::function<void(const HttpAnswer&)> answered) {
  const auto gen = ++generation_;
  auto shared = std::make_shared<std::function<void(const HttpAnswer&)>>(std::move(answered));
  timer_ = loop_.call_after(timeout, [this, gen, shared, timeout] {
    if (gen != generation_) return;
    timer_ = 0;
    ++generation_;
    client->cancel();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(timeout).count();
    (*shared)({0, "", "no answer within " + std::to_string(s) + " s"});
  });
  client->send(req, [this, gen, shared](HttpAnswer a) {
    if (gen != generation_) return;
    loop_.cancel(timer_);
    timer_ = 0;
    (*shared)(a);
  });
}

void DeliveryLane::retry_later(const std::string& why, std::uint32_t random, std::function<void()> again) {
  last_error = why;
  if (!down_) log::warning(log_name_ + " fail: " + why + "; retrying in the background");
  down_ = true;
  const int delay = next_backoff(backoff_ms_, max_backoff_ms_, random);
  wait(std::chrono::milliseconds(delay), std::move(again));
  state = "retrying in " + std::to_string((delay + 999) / 1000) + " s: " + why;
}

void DeliveryLane::pause(const std::string& why, const std::string& what_to_check) {
  paused = why;
  last_error = why;
  state = "paused: " + why;
  log::warning(log_name_ + " paused: " + why + "; " + what_to_check);
}

void DeliveryLane::went_through() {
  backoff_ms_ = min_backoff_ms_;
  if (down_) log::info(log_name_ + " go through again");
  down_ = false;
}

void DeliveryLane::halt() {
  ++generation_;
  if (client) client->cancel();
  loop_.cancel(timer_);
  timer_ = 0;
  waiting = false;
}

}  // namespace quillon::calls
