#pragma once
// Supervision by the service manager (systemd Type=notify): READY=1 once start-up has finished,
// STOPPING=1 when shutdown begins, and WATCHDOG=1 from the event loop at half the watchdog
// interval, so a loop that hangs stops the pings and systemd restarts the service. Without a
// service manager (no NOTIFY_SOCKET) every call does nothing.

#include <chrono>
#include <optional>

namespace quillon {

class EventLoop;

class ServiceNotifier {
 public:
  explicit ServiceNotifier(EventLoop& loop);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // The watchdog interval the manager asked for (WATCHDOG_USEC), if any.
  std::optional<std::chrono::microseconds> watchdog_interval() const { return watchdog_; }

  // Sends READY=1 and starts the watchdog pings on the loop.
  void ready();
  // Sends STOPPING=1 the first time; later calls do nothing. The pings go on until the loop ends.
  void stopping();

 private:
  void ping();

  EventLoop& loop_;
  std::optional<std::chrono::microseconds> watchdog_;
  bool ready_sent_ = false;
  bool stopping_sent_ = false;
  unsigned long long timer_ = 0;
  bool timer_armed_ = false;
};

}  // namespace quillon
