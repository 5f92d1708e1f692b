#pragma once
// The network side of every channel: data-port listeners and client slots, command
// interpreter, relay and status frame. Written once, wired per channel.

#include "app/frmserver.hpp"
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

 private:
  Frmserver& f_;
  settings::SettingsStore& settings_;
};

}  // namespace quillon
