#pragma once
// The serial side of every channel: port set-up, poll cycle, reply parser, display frames,
// silence watchdog and autodetect. Written once, wired per channel from the channel table.

#include <array>
#include <deque>
#include <functional>
#include <optional>
#include <string>
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

  // --- Commands from the page (page_commands.cpp)
  // Unlike a data-port client's text, which goes straight to the port, a page command is a step
  // of the rotation of its own: sent at the poller's next free tick, its reply (up to the first
  // carriage return, without it) read as its answer, "" when the watchdog ends the exchange
  // first. The display query goes next, so the page sees the command's effect at once.
  static constexpr int kCommandStep = 20;
  static constexpr std::size_t kMaxWaitingCommands = 8;
  using CommandDone = std::function<void(const std::string& reply)>;
  // False when the channel already has kMaxWaitingCommands waiting.
  bool queue_command(int channel, std::string text, CommandDone done);
  std::size_t commands_waiting(int channel) const { return commands_[static_cast<std::size_t>(channel - 1)].size(); }

  // Every reply that ends an exchange, with the poll step it answered (a display frame cut to
  // its start), for readers outside the window (the call recorder). Runs inside the parser tick.
  std::function<void(int channel, int step, std::string_view reply)> on_reply;

 private:
  scanner::ChannelWiring& row(int n) { return channels_[static_cast<std::size_t>(n - 1)]; }
  SerialPort& port(const scanner::ChannelWiring& w) { return *f_.comm1[w.k]; }
  void end_exchange(scanner::ChannelWiring& w);
  int read_position(const char* name, int highest);
  bool send_page_command(scanner::ChannelWiring& w);
  void finish_page_command(scanner::ChannelWiring& w, const std::string& reply);

  struct PageCommand {
    std::string text;
    CommandDone done;
  };
  std::array<std::deque<PageCommand>, 4> commands_;
  std::array<std::optional<PageCommand>, 4> sent_;  // the page command whose reply is awaited

  Frmserver& f_;
  settings::SettingsStore& settings_;
  std::vector<scanner::ChannelWiring> channels_;
  ProbeResult probe_;
  bool scanning_ = false;
};

}  // namespace quillon
