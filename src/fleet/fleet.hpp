#pragma once
// What the fleet services (metrics page, MQTT bridge) read from a running server: a channel's
// status as plain data, and the metrics snapshot. Read on the loop thread from the window and
// the adapters; nothing here changes the server.

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "window/frmserver.hpp"
#include "fleet/metrics.hpp"

namespace quillon {

class CountingSerialPort;
class FaultBook;
class ListenService;
class LiveListeners;
class LinuxSerialPort;
namespace audio {
class AlsaCapture;
}

struct ChannelStatus {
  int channel = 0;
  bool enabled = false;
  std::array<std::string, 4> display;    // the radio's display lines (LCD1..LCD4), or the silence message
  std::array<std::string, 9> readings;   // display fields 1..9 as shown
  std::optional<int> signal;             // from the signal-level reading
  std::string serial;                    // "ok", "fault", "unknown"
  std::string audio;                     // "ok", "fault", "unknown"
  int data_clients = 0;
  int audio_clients = 0;
  int data_port = 0;
  int audio_port = 0;
};

ChannelStatus channel_status(Frmserver& f, int channel);
// The retained state message of a channel (JSON, one line).
std::string state_json(const ChannelStatus& s);
// The display text split at its LCD1..LCD4 markers; text without markers is line 1.
std::array<std::string, 4> display_lines(const std::string& lcd);
bool channel_enabled(Frmserver& f, int channel);

// The adapters whose own counters the metrics page shows; entries may be null.
struct MetricSources {
  std::array<const CountingSerialPort*, kChannels> serial{};
  std::array<const LinuxSerialPort*, kChannels> ports{};
  std::array<const audio::AlsaCapture*, kChannels> capture{};
  const ListenService* listen = nullptr;
  const LiveListeners* live = nullptr;
  const FaultBook* faults = nullptr;
  double start_time_seconds = 0;
  // The call recorder's figures, filled by whoever records (empty: recording is off).
  std::function<std::optional<metrics::CallsFigures>()> calls;
  // The alerts' figures, filled by whoever raises them (empty: no alerts).
  std::function<std::optional<metrics::AlertFigures>()> alerts;
  // The radio control's figures (empty: none).
  std::function<std::optional<metrics::CommandFigures>()> commands;
};

metrics::Snapshot gather_metrics(Frmserver& f, const MetricSources& src, std::optional<bool> mqtt_connected);

}  // namespace quillon
