#pragma once
// The metrics page (GET /metrics on the console listener) in the Prometheus text format: per
// channel counters and states, the fleet links, and the process figures under the usual
// process_* names. Rendering is a pure function of a snapshot; the snapshot is gathered on the
// loop thread from the window's counters and the adapters.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::metrics {

struct ChannelFigures {
  int channel = 0;  // 1..4
  bool enabled = false;
  std::uint64_t poll_rotations = 0;
  std::uint64_t silences = 0;
  std::uint64_t serial_open_attempts = 0;
  std::uint64_t serial_open_failures = 0;
  std::uint64_t serial_bytes_in = 0;
  std::uint64_t serial_bytes_out = 0;
  std::uint64_t serial_output_dropped_bytes = 0;
  int data_clients = 0;
  std::uint64_t frames_sent = 0;
  std::uint64_t send_failures = 0;
  std::uint64_t send_queue_overflows = 0;
  std::uint64_t capture_overruns = 0;
  std::uint64_t capture_reopens = 0;
  std::uint64_t capture_chunks_lost = 0;
  // Connected listeners per audio output ("gsm": the channel's own audio port; "opus", "mp3":
  // HTTP listeners).
  std::vector<std::pair<std::string, int>> audio_clients;
  int listen_encoders = 0;  // listening-format encoders running (each shared by its listeners)
};

// A channel's Icecast source, when one is configured.
struct IcecastFigures {
  int channel = 0;
  bool connected = false;
  std::uint64_t bytes_sent = 0;
  std::uint64_t units_dropped = 0;
  std::uint64_t connections = 0;
};

// A channel's call recorder, when recording is on.
struct CallFigures {
  int channel = 0;
  std::uint64_t stored = 0;         // calls stored since start
  double seconds = 0;               // audio seconds of those calls
  std::uint64_t dropped_short = 0;  // openings shorter than the minimum
  std::uint64_t errors = 0;         // calls lost to write or index failures
  std::uint64_t bytes_on_disk = 0;  // the channel's kept calls
};

// A call server the calls are uploaded to.
struct UploadFigures {
  std::string destination;
  std::uint64_t uploaded = 0;  // calls the server took
  std::uint64_t failures = 0;  // attempts that failed and are retried
  std::uint64_t refused = 0;   // calls the server refused
  std::uint64_t given_up = 0;  // calls removed by retention before they went
  std::uint64_t backlog = 0;   // calls waiting
  bool paused = false;         // the server refused the key: nothing goes until restart
};

struct CallsFigures {
  std::vector<CallFigures> channels;
  std::vector<UploadFigures> uploads;
  bool stopped_disk_full = false;
  double index_busy_since_seconds = 0;  // Unix time another process took the index; 0: free
  std::uint64_t waiting_for_index = 0;  // finished calls kept until the index takes them
};

// Alerts raised, and their deliveries per destination.
struct AlertDeliveryFigures {
  std::string destination;
  std::uint64_t delivered = 0;
  std::uint64_t failures = 0;  // attempts that failed and are retried
  std::uint64_t refused = 0;   // alerts a service refused
  std::uint64_t backlog = 0;
  bool paused = false;
};
struct AlertFigures {
  std::vector<std::pair<std::string, std::uint64_t>> raised;  // per tone set or rule
  std::vector<AlertDeliveryFigures> deliveries;
};

// Commands operators sent to the radios, and the command log.
struct CommandFigures {
  std::array<std::uint64_t, 4> sent{};     // per channel: commands that reached the radio (page, data port, MQTT)
  std::array<std::uint64_t, 4> refused{};  // per channel: page commands refused
  std::uint64_t logged = 0;                // entries written to the log
  std::uint64_t log_dropped = 0;           // entries the log lost (its queue overflowed)
};

// A persisting fault (a port that cannot listen, the sound library complaining).
struct FaultFigures {
  std::string kind;
  int channel = 0;  // 0: belongs to no channel
  bool active = false;
  std::uint64_t starts = 0;
};

struct ProcessFigures {
  double cpu_seconds = 0;
  double resident_memory_bytes = 0;
  double virtual_memory_bytes = 0;
  double open_fds = 0;
  double max_fds = 0;
  double start_time_seconds = 0;  // since the Unix epoch
};

struct Snapshot {
  std::vector<ChannelFigures> channels;
  ProcessFigures process;
  std::optional<bool> mqtt_connected;  // nothing when no broker is configured
  std::vector<IcecastFigures> icecast;  // configured sources only
  std::optional<CallsFigures> calls;     // nothing when recording is off
  std::optional<AlertFigures> alerts;      // nothing when no alert is configured
  std::optional<CommandFigures> commands;  // nothing without radio control
  std::vector<FaultFigures> faults;     // faults that ever started
  std::string version;
};

std::string render(const Snapshot& s);

// This process's figures from /proc/self; `start_time` is taken at start-up by the caller.
ProcessFigures read_process(double start_time_seconds);

}  // namespace quillon::metrics
