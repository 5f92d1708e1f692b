#pragma once
// Data-port listeners and client slots: start-up of ports and listeners (init_ip), placing a
// connection request into the lowest free slot, handing received data to the channel's receive
// buffer, the once-a-second slot upkeep and the socket-state panel.

#include <optional>

#include "window/frmserver.hpp"
#include "settings/registry.hpp"

namespace quillon::netdata {

struct NetChannel;

class DataPorts {
 public:
  DataPorts(Frmserver& form, settings::SettingsStore& settings);

  void init_ip();
  // Lowest slot 1..clientslots of the channel that is not connected; empty when all are.
  std::optional<int> findfreeindexwinsock(int channel) const;
  void slot_upkeep();
  void show_socket_states();  // Timer25

  // A stored port number, or the setting's default when it is outside 81..65000 or not a number.
  int read_port(std::string_view setting);

 private:
  void connection_request(int channel, int index, RequestId request);
  void data_arrival(int channel, int index);
  void init_channel(const NetChannel& row);

  Frmserver& f_;
  settings::SettingsStore& settings_;
};

}  // namespace quillon::netdata
