#pragma once
// The composition of one server: the window model, the settings store, the exit log and the
// subsystems, wired to the platform objects it is given (real adapters in production, fakes in
// tests). Everything runs on the loop it is given.

#include <filesystem>

#include "core/exit_log.hpp"
#include "window/frmserver.hpp"
#include "app/shell.hpp"
#include "audio/audio_service.hpp"
#include "netdata/data_service.hpp"
#include "scanner/scanner_link.hpp"
#include "settings/registry.hpp"

namespace quillon {

class Server {
 public:
  Server(EventLoop& loop, const PlatformObjects& platform, const std::filesystem::path& data_dir);

  // Runs the start-up sequence; the timers take over when it returns.
  void start() { shell.Form_Load(); }

  Frmserver form;
  settings::RegistryStore registry;
  settings::SettingsStore settings;
  ExitLog exitlog;
  ScannerLink scanner;
  DataService data;
  AudioService audio;
  Shell shell;
};

}  // namespace quillon
