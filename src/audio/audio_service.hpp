#pragma once
// The audio chains of the four channels: set-up, monitor, recovery, operator controls and the
// network Apply actions. One table row per channel; the logic is written once.

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "window/frmserver.hpp"
#include "settings/registry.hpp"

namespace quillon {

class DataService;
class ExitLog;

// Mixer program of the "Setup Recording Volume" buttons, unless QUILLON_MIXER names another.
inline constexpr const char* kDefaultMixer = "x-terminal-emulator -e alsamixer -V capture -c";

// The recording-volume command line for device-list position `list_position` (-1 without a
// selection): the mixer command followed directly by the device number n = position - 1, with a
// blank before n when n >= 0 ("... -c 0") and none before a minus sign ("... -c-1").
std::string volume_command_line(const std::string& mixer, int list_position);
// Splits a command line on blanks into program and arguments (no shell, no quoting).
std::vector<std::string> split_command_line(const std::string& line);
// Starts a program without a shell and without waiting for it; false when it cannot be started.
bool start_program_detached(const std::vector<std::string>& argv);

// Sample rate of a rate-list position (8000, 11025, 22050, 44100); 0 for any other position.
int rate_of_position(int position);

class AudioService {
 public:
  AudioService(Frmserver& form, settings::SettingsStore& settings, DataService& data, ExitLog& log);
  AudioService(const AudioService&) = delete;
  AudioService& operator=(const AudioService&) = delete;

  void init_audio();
  void stopserver();
  static void connectaudio(AudioProvider& provider, AudioConsumer& consumer) { provider.attach_consumer(consumer); }

  // The monitor, count and recovery ticks (Timer6, Timer12, Timer28).
  void monitor_tick();
  void count_tick();
  Task recovery_tick();

  // Operator actions.
  Task Command12_Click(int index);
  void Command13_Click(int index);
  Task Command9_Click();
  Task network_apply(int channel_index);

  // How the volume button starts its program; replaceable (tests record the command line).
  std::string mixer;
  std::function<bool(const std::vector<std::string>&)> start_program = start_program_detached;

 private:
  struct Channel {
    int k;                       // channel - 1
    ui::CommandButton* apply;    // network Apply: Command3, Command6, Command7, Command8
    int enable_switch;           // Check1 index, -1 for channel 1 (always on)
    int data_port_field;         // portip1 index
    int audio_port_field;
    ui::TextBox* socket_state;   // first client slot's socket state: Text24(1), Text15(1), ...
    const char* device_setting;  // audiodevice1..4
    const char* rate_setting;    // audioset1..4
  };

  bool switched_on(const Channel& ch) const;
  CaptureDevice& capture(const Channel& ch) const { return *f_.wavein[static_cast<std::size_t>(ch.k)]; }
  Codec& codec(const Channel& ch) const { return *f_.wavec[static_cast<std::size_t>(ch.k)]; }
  IpServer& server(const Channel& ch) const { return *f_.ipserv[static_cast<std::size_t>(ch.k)]; }
  Socket& listener(const Channel& ch) const { return (*f_.winsock[static_cast<std::size_t>(ch.k)])[0]; }
  void rearm_listener(const Channel& ch);
  Task restart_capture(const Channel& ch);

  Frmserver& f_;
  settings::SettingsStore& settings_;
  DataService& data_;
  ExitLog& log_;
  std::array<Channel, kChannels> ch_;
};

}  // namespace quillon
