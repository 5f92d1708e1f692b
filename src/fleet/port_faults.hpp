#pragma once
// Listeners that cannot be opened (data, audio, console, public listening port): each fault is
// said once on standard error with the channel, the port, the reason and what to do, shown
// beside the channel's port lamps on the status page (lblPortFault) and counted in /metrics
// (through the FaultBook). A listener that opens again ends its fault, said once too.

#include <string>

#include "core/fault_book.hpp"
#include "window/frmserver.hpp"

namespace quillon {

// What a failure to listen says: "data port 1010 cannot listen: Permission denied; ports below
// 1024 need root or CAP_NET_BIND_SERVICE; ..." (the advice depends on the reason).
std::string listen_failure_text(const std::string& listener, int port, const std::string& failure);

// The reason in a listener's exception text ("console cannot bind 0.0.0.0:80: Permission
// denied" -> "Permission denied").
std::string listen_failure_reason(const std::string& what);

class PortFaults {
 public:
  // `form` may be null (no page to show faults on).
  PortFaults(Frmserver* form, FaultBook& book) : form_(form), book_(book) {}

  // The outcome of one attempt to open a listener: `listener` is "data", "audio", "console" or
  // "listening"; `failure` is "" when it listens.
  void result(const std::string& listener, int channel, int port, const std::string& failure);

 private:
  void show(int channel);

  Frmserver* form_;
  FaultBook& book_;
};

}  // namespace quillon
