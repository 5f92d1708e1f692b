#pragma once
// The audio chains of the four channels: set-up, monitor, recovery, operator controls and the
// network Apply actions.

#include "app/frmserver.hpp"
#include "settings/registry.hpp"

namespace quillon {

class DataService;
class ExitLog;

class AudioService {
 public:
  AudioService(Frmserver& form, settings::SettingsStore& settings, DataService& data, ExitLog& log);
  AudioService(const AudioService&) = delete;
  AudioService& operator=(const AudioService&) = delete;

  void init_audio();
  void stopserver();

 private:
  Frmserver& f_;
  settings::SettingsStore& settings_;
  DataService& data_;
  ExitLog& log_;
};

}  // namespace quillon
