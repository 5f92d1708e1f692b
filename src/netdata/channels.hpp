#pragma once
// The network side of each channel as data: one row per channel names its socket array, port
// settings and port fields, its enable switch and its socket-state panel. The logic of the data
// service is written once and reads this table.

#include <array>
#include <string_view>

#include "window/frmserver.hpp"

namespace quillon::netdata {

struct NetChannel {
  int channel;                     // 1..4
  std::string_view data_setting;   // data port setting, its portip1 field and fallback
  int data_field;
  std::string_view audio_setting;  // audio port setting and its portip1 field
  int audio_field;
  int enable_switch;               // Check1 index; -1: the channel always runs
  ControlArray<ui::TextBox> Frmserver::*state_panel;  // socket states, element 0 the listener
};

inline constexpr std::array<NetChannel, kChannels> kNetChannels{{
    {1, "tcpport1", 0, "tcpport3", 2, -1, &Frmserver::Text24},
    {2, "tcpport4", 4, "tcpport5", 5, 0, &Frmserver::Text15},
    {3, "tcpport6", 6, "tcpport7", 7, 1, &Frmserver::Text19},
    {4, "tcpport8", 8, "tcpport9", 9, 2, &Frmserver::Text25},
}};

// Timing of the data service (periods are those of the window's timers):
// - Timer1(k-1)  25 ms: command interpreter of channel k; one tick looks at one receive buffer.
// - Timer7(k-1)  25 ms: status frame rebuild of channel k, so a send never carries a frame older
//                than one tick.
// - Timer30(k-1) 1000/2000/1000/1000 ms: frame send of channel k; channel 1 is set to 100..2000
//                ms by "SET DELAY7A=".
// - Timer25      1000 ms: socket-state panel.
// - slot upkeep  1000 ms: run by the audio monitor tick (Timer6).

// Texts of the wire protocol.
inline constexpr std::string_view kVersionQuery = "GET VER?";
inline constexpr std::string_view kVersionReply = "?VER=1.21";
inline constexpr std::string_view kClear = "CLR#";
inline constexpr std::string_view kCommandEnd = "#";

// Limits of "SET DELAY7A=": channel 1's send period in ms.
inline constexpr int kMinSendPeriod = 100;
inline constexpr int kMaxSendPeriod = 2000;

// A platform object the window may lack (nullptr): a missing one fails the step that needs it.
template <class T>
T& need(T* p) {
  if (!p) throw Error(errc::generic, "component not available");
  return *p;
}

// Channel k's socket array (k = 1..4).
inline SocketArray& winsock(Frmserver& f, int channel) { return *f.winsock[static_cast<std::size_t>(channel - 1)]; }

}  // namespace quillon::netdata
