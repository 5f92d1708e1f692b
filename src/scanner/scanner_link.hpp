#pragma once
// The serial side of every channel: port set-up, poll cycle, reply parser, display frames,
// silence watchdog and autodetect. Written once, wired per channel from the channel table.

#include "app/frmserver.hpp"
#include "settings/registry.hpp"

namespace quillon {

class ScannerLink {
 public:
  ScannerLink(Frmserver& form, settings::SettingsStore& settings);
  ScannerLink(const ScannerLink&) = delete;
  ScannerLink& operator=(const ScannerLink&) = delete;

  void init_comport();
  void STOPCOM(int poort);

 private:
  Frmserver& f_;
  settings::SettingsStore& settings_;
};

}  // namespace quillon
