#include "fleet/service_notify.hpp"

#include <systemd/sd-daemon.h>

#include "core/event_loop.hpp"

namespace quillon {

ServiceNotifier::ServiceNotifier(EventLoop& loop) : loop_(loop) {
  std::uint64_t usec = 0;
  // 0: the variables are kept, so helpers started later could still see them (none are).
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) watchdog_ = std::chrono::microseconds(usec);
}

ServiceNotifier::~ServiceNotifier() {
  if (timer_armed_) loop_.cancel(timer_);
}

void ServiceNotifier::ready() {
  if (ready_sent_) return;
  ready_sent_ = true;
  sd_notify(0, "READY=1");
  if (watchdog_) ping();
}

void ServiceNotifier::stopping() {
  if (stopping_sent_) return;
  stopping_sent_ = true;
  sd_notify(0, "STOPPING=1");
}

// Sent from a timer on the loop itself: a loop stuck in one event sends nothing.
void ServiceNotifier::ping() {
  sd_notify(0, "WATCHDOG=1");
  const auto half = std::chrono::duration_cast<Millis>(*watchdog_ / 2);
  timer_ = loop_.call_after(half.count() > 0 ? half : Millis(1), [this] { ping(); });
  timer_armed_ = true;
}

}  // namespace quillon
