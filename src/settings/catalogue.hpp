#pragma once
// Every stored setting in save order: its name and the default text a reader passes to getreg
// (with the trailing "x" marker; nullptr when nothing reads it). One table, no defaults scattered
// through the code.

#include <array>
#include <string_view>

namespace quillon::settings {

struct SettingRow {
  std::string_view name;
  const char* default_text;  // nullptr: saved, never read back
};

inline constexpr std::array<SettingRow, 36> kCatalogue{{
    {"udppacket", "Falsex"},
    {"comport", "0x"},      {"baudrate", "2x"},  {"comport2", "1x"}, {"baudrate2", "2x"},
    {"comport3", "2x"},     {"baudrate3", "2x"}, {"comport4", "3x"}, {"baudrate4", "2x"},
    {"serverID1", "x"},
    {"tcpport1", "1010x"},  {"tcpport2", nullptr}, {"tcpport3", "1011x"}, {"tcpport4", "1012x"},
    {"tcpport5", "1013x"},  {"tcpport6", "1014x"}, {"tcpport7", "1015x"}, {"tcpport8", "1016x"},
    {"tcpport9", "1017x"},
    {"timer1", nullptr},    {"timer2", nullptr},   {"timer4", nullptr},   {"timer5", nullptr},
    {"timer6", nullptr},    {"timer7", nullptr},
    {"audiodevice1", "0x"}, {"audiodevice2", "0x"}, {"audiodevice3", "0x"}, {"audiodevice4", "0x"},
    {"channel2ena", "0x"},  {"channel3ena", "0x"},  {"channel4ena", "0x"},
    {"audioset1", "1x"},    {"audioset2", "1x"},    {"audioset3", "1x"},    {"audioset4", "1x"},
}};

// The default text of a setting that is read at start-up ("" for the others).
constexpr std::string_view default_of(std::string_view name) {
  for (const auto& r : kCatalogue)
    if (r.name == name) return r.default_text ? std::string_view(r.default_text) : std::string_view();
  return {};
}

// Range a port setting must fall in at start-up; outside it the port's default number is used.
inline constexpr int kMinPort = 81;
inline constexpr int kMaxPort = 65000;

}  // namespace quillon::settings
