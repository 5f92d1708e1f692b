#pragma once
// The application shell of `frmserver`: start-up, the close request and shutdown with their
// exit-log markers, the channel enable switches and the settings save.

#include "core/exit_log.hpp"
#include "window/frmserver.hpp"
#include "settings/registry.hpp"

namespace quillon {

class ScannerLink;
class DataService;
class AudioService;

class Shell {
 public:
  Shell(Frmserver& form, settings::SettingsStore& settings, ExitLog& log, ScannerLink& scanner, DataService& data,
        AudioService& audio);
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  void Form_Load();
  void init_ids();
  void init_now();

  // Close request and shutdown; `closed` runs when the window is gone.
  void Form_QueryUnload();
  void Form_Unload();
  void stoptimers();
  void stopwinsock(int waarde);
  void schrijfregister();

  void Check1_Click(int index);

  bool closing() const { return closing_; }
  // The close path of every source (signal, menu "Exit"): runs once.
  void close_window();
  std::function<void()> on_closed;
  // Why the last settings save failed; empty after a save that worked.
  std::string save_error;

 private:
  Frmserver& f_;
  settings::SettingsStore& settings_;
  ExitLog& log_;
  ScannerLink& scanner_;
  DataService& data_;
  AudioService& audio_;
  bool closing_ = false;
};

}  // namespace quillon
