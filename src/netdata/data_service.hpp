#pragma once
// The network side of every channel: data-port listeners and client slots, command
// interpreter, relay and status frame. Written once, wired per channel.

#include <optional>

#include "window/frmserver.hpp"
#include "netdata/data_ports.hpp"
#include "netdata/interpreter.hpp"
#include "netdata/relay.hpp"
#include "netdata/status_frame.hpp"
#include "settings/registry.hpp"

namespace quillon {

class DataService {
 public:
  DataService(Frmserver& form, settings::SettingsStore& settings);
  DataService(const DataService&) = delete;
  DataService& operator=(const DataService&) = delete;

  void init_ip();
  // Once a second, run by the audio monitor tick.
  void slot_upkeep();
  // findfreeindexwinsock1..4: the lowest free client slot of channel 1..4, empty when none.
  std::optional<int> findfreeindexwinsock(int channel) const { return ports_.findfreeindexwinsock(channel); }

 private:
  netdata::DataPorts ports_;
  netdata::CommandInterpreter interpreter_;
  netdata::Relay relay_;
  netdata::StatusFrame frame_;
};

}  // namespace quillon
