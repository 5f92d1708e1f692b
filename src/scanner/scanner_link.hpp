#pragma once
// The serial side of every channel: port set-up, poll cycle, reply parser, display frames,
// silence watchdog and autodetect. Written once, wired per channel from the channel table.

#include <functional>
#include <string_view>
#include <vector>

#include "window/frmserver.hpp"
#include "core/task.hpp"
#include "scanner/channel_table.hpp"
#include "settings/registry.hpp"

namespace quillon {

class ScannerLink {
 public:
  ScannerLink(Frmserver& form, settings::SettingsStore& settings);
  ScannerLink(const ScannerLink&) = delete;
  ScannerLink& operator=(const ScannerLink&) = delete;

  // --- Port set-up (port_setup.cpp)
  void init_comport();
  void STOPCOM(int poort);
  // The Apply action of channel n (Command2, Command1, Command4, Command5 for channels 1 to 4).
  Task apply(int channel);

  // --- Poll cycle, parser, display frames (poll_cycle.cpp)
  void poller_tick(int channel);
  void busy_release_tick(int channel);
  void parser_tick(int channel);
  void process_lcd(int channel);

  // --- Silence watchdog (watchdog.cpp)
  void watchdog_tick(int channel);

  // --- Autodetect (autodetect.cpp)
  struct ProbeResult {
    int port = 0;
    int speed = 0;
    bool found = false;
    int model = 0;  // 1: "785", 3: "796" (set by the 9600 and 19200 probes)
  };
  // Silences every channel and probes ports 1 to 8 with channel 1's port object. Channel 1's
  // watchdog, which STOPCOM leaves running, does not touch the port while its poller is stopped.
  Task Command11_Click();
  Task scanserialport(int& poort);
  const ProbeResult& probe_result() const { return probe_; }

  const scanner::ChannelWiring& channel(int n) const { return channels_[static_cast<std::size_t>(n - 1)]; }

  // Every reply that ends an exchange, with the poll step it answered (a display frame cut to
  // its start), for readers outside the window (the call recorder). Runs inside the parser tick.
  std::function<void(int channel, int step, std::string_view reply)> on_reply;

 private:
  scanner::ChannelWiring& row(int n) { return channels_[static_cast<std::size_t>(n - 1)]; }
  SerialPort& port(const scanner::ChannelWiring& w) { return *f_.comm1[w.k]; }
  void end_exchange(scanner::ChannelWiring& w);
  int read_position(const char* name, int highest);

  Frmserver& f_;
  settings::SettingsStore& settings_;
  std::vector<scanner::ChannelWiring> channels_;
  ProbeResult probe_;
  bool scanning_ = false;
};

}  // namespace quillon
