#pragma once
// The channel relay: a scanner command put into Text1(k-1) is written to channel k's serial port
// with one carriage return; at each send tick the channel's stored status frame goes to every
// connected client slot (channel 1's followed by "*" and the slot number).

#include "window/frmserver.hpp"

namespace quillon::netdata {

class Relay {
 public:
  explicit Relay(Frmserver& form);

  void write_command(int channel);  // on a change of Text1(k-1)
  void send_tick(int channel);      // Timer30(k-1)

 private:
  Frmserver& f_;
};

}  // namespace quillon::netdata
