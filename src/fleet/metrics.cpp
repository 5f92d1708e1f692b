#include "fleet/metrics.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace quillon::metrics {

namespace {

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  void family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  void sample(const char* name, const std::string& labels, const std::string& value) {
    out_ += name;
    if (!labels.empty()) out_ += "{" + labels + "}";
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }

 private:
  std::string& out_;
};

std::string channel_label(int channel) { return "channel=\"" + std::to_string(channel) + "\""; }

// Label values here are fixed words and numbers; the escaping keeps the format valid anyway.
std::string escape(const std::string& v) {
  std::string r;
  for (char c : v) {
    if (c == '\\' || c == '"') r += '\\';
    if (c == '\n') {
      r += "\\n";
      continue;
    }
    r += c;
  }
  return r;
}

struct ChannelMetric {
  const char* name;
  const char* type;
  const char* help;
  std::function<std::string(const ChannelFigures&)> value;
};

template <class T>
std::function<std::string(const ChannelFigures&)> field(T ChannelFigures::*m) {
  return [m](const ChannelFigures& c) {
    if constexpr (std::is_same_v<T, bool>)
      return std::string(c.*m ? "1" : "0");
    else
      return std::to_string(c.*m);
  };
}

const std::vector<ChannelMetric>& channel_metrics() {
  static const std::vector<ChannelMetric> m = {
      {"quillon_channel_enabled", "gauge", "Whether the channel runs (1) or is switched off (0).", field(&ChannelFigures::enabled)},
      {"quillon_poll_rotations_total", "counter", "Poll rotations started (display queries sent to the radio).",
       field(&ChannelFigures::poll_rotations)},
      {"quillon_serial_silences_total", "counter", "Times the silence watchdog found the radio not answering.",
       field(&ChannelFigures::silences)},
      {"quillon_serial_open_attempts_total", "counter", "Serial port opens asked for (start-up, apply, watchdog reopen).",
       field(&ChannelFigures::serial_open_attempts)},
      {"quillon_serial_open_failures_total", "counter", "Serial port opens that failed.", field(&ChannelFigures::serial_open_failures)},
      {"quillon_serial_received_bytes_total", "counter", "Bytes read from the radio.", field(&ChannelFigures::serial_bytes_in)},
      {"quillon_serial_sent_bytes_total", "counter", "Bytes queued for the radio.", field(&ChannelFigures::serial_bytes_out)},
      {"quillon_serial_dropped_bytes_total", "counter", "Bytes for the radio dropped because its output queue was full.",
       field(&ChannelFigures::serial_output_dropped_bytes)},
      {"quillon_data_clients", "gauge", "Connected data-port clients.", field(&ChannelFigures::data_clients)},
      {"quillon_frames_sent_total", "counter", "Status frames sent to data-port clients.", field(&ChannelFigures::frames_sent)},
      {"quillon_frame_send_failures_total", "counter", "Status frame sends that failed.", field(&ChannelFigures::send_failures)},
      {"quillon_send_queue_overflows_total", "counter", "Data-port clients cut off because their send queue was full.",
       field(&ChannelFigures::send_queue_overflows)},
      {"quillon_audio_capture_overruns_total", "counter", "Audio capture overruns recovered.", field(&ChannelFigures::capture_overruns)},
      {"quillon_audio_capture_reopens_total", "counter", "Audio capture devices reopened after a failure or a stall.",
       field(&ChannelFigures::capture_reopens)},
      {"quillon_audio_capture_lost_chunks_total", "counter", "Captured audio chunks dropped because the server fell behind.",
       field(&ChannelFigures::capture_chunks_lost)},
      {"quillon_listen_encoders", "gauge", "Listening-format encoders running (one per format, shared by its listeners).",
       field(&ChannelFigures::listen_encoders)},
  };
  return m;
}

long fd_count() {
  std::error_code ec;
  long n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
  return ec ? 0 : n;
}

}  // namespace

std::string render(const Snapshot& s) {
  std::string out;
  out.reserve(8192);
  Writer w(out);
  w.family("quillon_build_info", "gauge", "The running version (always 1).");
  w.sample("quillon_build_info", "version=\"" + escape(s.version) + "\"", "1");
  for (const ChannelMetric& m : channel_metrics()) {
    w.family(m.name, m.type, m.help);
    for (const ChannelFigures& c : s.channels) w.sample(m.name, channel_label(c.channel), m.value(c));
  }
  w.family("quillon_audio_clients", "gauge", "Connected audio listeners per channel and output.");
  for (const ChannelFigures& c : s.channels)
    for (const auto& [output, count] : c.audio_clients)
      w.sample("quillon_audio_clients", channel_label(c.channel) + ",output=\"" + escape(output) + "\"", std::to_string(count));
  if (s.mqtt_connected) {
    w.family("quillon_mqtt_connected", "gauge", "Whether the MQTT bridge is connected to its broker.");
    w.sample("quillon_mqtt_connected", "", *s.mqtt_connected ? "1" : "0");
  }
  if (!s.icecast.empty()) {
    const struct {
      const char* name;
      const char* type;
      const char* help;
      std::function<std::string(const IcecastFigures&)> value;
    } families[] = {
        {"quillon_icecast_connected", "gauge", "Whether the channel's Icecast source is connected to its server.",
         [](const IcecastFigures& i) { return std::string(i.connected ? "1" : "0"); }},
        {"quillon_icecast_sent_bytes_total", "counter", "Stream bytes sent to Icecast.",
         [](const IcecastFigures& i) { return std::to_string(i.bytes_sent); }},
        {"quillon_icecast_dropped_total", "counter", "Ogg pages or MP3 frames dropped because Icecast was slow.",
         [](const IcecastFigures& i) { return std::to_string(i.units_dropped); }},
        {"quillon_icecast_connections_total", "counter", "Connections Icecast accepted from the channel's source.",
         [](const IcecastFigures& i) { return std::to_string(i.connections); }},
    };
    for (const auto& f : families) {
      w.family(f.name, f.type, f.help);
      for (const IcecastFigures& i : s.icecast) w.sample(f.name, channel_label(i.channel), f.value(i));
    }
  }
  if (s.commands) {
    w.family("quillon_radio_commands_total", "counter", "Commands sent to the channel's radio from the page, data ports and MQTT.");
    for (std::size_t k = 0; k < 4; ++k)
      w.sample("quillon_radio_commands_total", channel_label(static_cast<int>(k) + 1), std::to_string(s.commands->sent[k]));
    w.family("quillon_radio_commands_refused_total", "counter", "Commands from the page the server refused.");
    for (std::size_t k = 0; k < 4; ++k)
      w.sample("quillon_radio_commands_refused_total", channel_label(static_cast<int>(k) + 1), std::to_string(s.commands->refused[k]));
    w.family("quillon_command_log_written_total", "counter", "Entries written to the command log.");
    w.sample("quillon_command_log_written_total", "", std::to_string(s.commands->logged));
    w.family("quillon_command_log_dropped_total", "counter", "Entries the command log lost because its queue was full.");
    w.sample("quillon_command_log_dropped_total", "", std::to_string(s.commands->log_dropped));
  }
  if (s.calls) {
    const struct {
      const char* name;
      const char* type;
      const char* help;
      std::function<std::string(const CallFigures&)> value;
    } families[] = {
        {"quillon_calls_stored_total", "counter", "Calls recorded and stored.",
         [](const CallFigures& c) { return std::to_string(c.stored); }},
        {"quillon_calls_recorded_seconds_total", "counter", "Seconds of audio in the calls stored.",
         [](const CallFigures& c) { return number(c.seconds); }},
        {"quillon_calls_dropped_short_total", "counter", "Squelch openings dropped as shorter than the minimum.",
         [](const CallFigures& c) { return std::to_string(c.dropped_short); }},
        {"quillon_calls_errors_total", "counter", "Calls lost to a failed write or index update.",
         [](const CallFigures& c) { return std::to_string(c.errors); }},
        {"quillon_calls_disk_bytes", "gauge", "Bytes of the channel's kept calls on disk.",
         [](const CallFigures& c) { return std::to_string(c.bytes_on_disk); }},
    };
    for (const auto& f : families) {
      w.family(f.name, f.type, f.help);
      for (const CallFigures& c : s.calls->channels) w.sample(f.name, channel_label(c.channel), f.value(c));
    }
    w.family("quillon_calls_disk_full", "gauge", "Whether call recording stopped because the disk is full.");
    w.sample("quillon_calls_disk_full", "", s.calls->stopped_disk_full ? "1" : "0");
    w.family("quillon_calls_index_busy_since_seconds", "gauge",
             "Since when the call index is busy (another process holds it), as a Unix time; 0 while it is free.");
    w.sample("quillon_calls_index_busy_since_seconds", "", number(s.calls->index_busy_since_seconds));
    w.family("quillon_calls_waiting_for_index", "gauge", "Finished calls kept on disk until the busy call index takes them.");
    w.sample("quillon_calls_waiting_for_index", "", std::to_string(s.calls->waiting_for_index));
    if (!s.calls->uploads.empty()) {
      const struct {
        const char* name;
        const char* type;
        const char* help;
        std::function<std::string(const UploadFigures&)> value;
      } uploads[] = {
          {"quillon_uploads_total", "counter", "Calls a call server took.", [](const UploadFigures& u) { return std::to_string(u.uploaded); }},
          {"quillon_upload_failures_total", "counter", "Upload attempts that failed and are retried.",
           [](const UploadFigures& u) { return std::to_string(u.failures); }},
          {"quillon_upload_refused_total", "counter", "Calls a call server refused.", [](const UploadFigures& u) { return std::to_string(u.refused); }},
          {"quillon_upload_given_up_total", "counter", "Calls removed by retention before they were uploaded.",
           [](const UploadFigures& u) { return std::to_string(u.given_up); }},
          {"quillon_upload_backlog", "gauge", "Calls waiting for upload.", [](const UploadFigures& u) { return std::to_string(u.backlog); }},
          {"quillon_upload_paused", "gauge", "Whether uploads stopped because the server refused the key.",
           [](const UploadFigures& u) { return std::string(u.paused ? "1" : "0"); }},
      };
      for (const auto& f : uploads) {
        w.family(f.name, f.type, f.help);
        for (const UploadFigures& u : s.calls->uploads) w.sample(f.name, "destination=\"" + escape(u.destination) + "\"", f.value(u));
      }
    }
  }
  if (s.alerts) {
    w.family("quillon_alerts_raised_total", "counter", "Alerts raised, by tone set or rule.");
    for (const auto& [name, n] : s.alerts->raised) w.sample("quillon_alerts_raised_total", "rule=\"" + escape(name) + "\"", std::to_string(n));
    const struct {
      const char* name;
      const char* type;
      const char* help;
      std::function<std::string(const AlertDeliveryFigures&)> value;
    } deliveries[] = {
        {"quillon_alert_deliveries_total", "counter", "Alerts a destination took.", [](const AlertDeliveryFigures& d) { return std::to_string(d.delivered); }},
        {"quillon_alert_failures_total", "counter", "Alert deliveries that failed and are retried.",
         [](const AlertDeliveryFigures& d) { return std::to_string(d.failures); }},
        {"quillon_alert_refused_total", "counter", "Alerts a destination refused.", [](const AlertDeliveryFigures& d) { return std::to_string(d.refused); }},
        {"quillon_alert_backlog", "gauge", "Alerts waiting for delivery.", [](const AlertDeliveryFigures& d) { return std::to_string(d.backlog); }},
        {"quillon_alert_paused", "gauge", "Whether deliveries stopped because the destination refused the key.",
         [](const AlertDeliveryFigures& d) { return std::string(d.paused ? "1" : "0"); }},
    };
    for (const auto& f : deliveries) {
      w.family(f.name, f.type, f.help);
      for (const AlertDeliveryFigures& d : s.alerts->deliveries) w.sample(f.name, "destination=\"" + escape(d.destination) + "\"", f.value(d));
    }
  }
  w.family("quillon_faults_total", "counter", "Persisting faults started (each said once on standard error), by kind and channel.");
  for (const FaultFigures& f : s.faults)
    w.sample("quillon_faults_total", "kind=\"" + escape(f.kind) + "\"," + channel_label(f.channel), std::to_string(f.starts));
  w.family("quillon_fault_active", "gauge", "Whether the fault holds now.");
  for (const FaultFigures& f : s.faults)
    w.sample("quillon_fault_active", "kind=\"" + escape(f.kind) + "\"," + channel_label(f.channel), f.active ? "1" : "0");
  const ProcessFigures& p = s.process;
  w.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
  w.sample("process_cpu_seconds_total", "", number(p.cpu_seconds));
  w.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  w.sample("process_resident_memory_bytes", "", number(p.resident_memory_bytes));
  w.family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
  w.sample("process_virtual_memory_bytes", "", number(p.virtual_memory_bytes));
  w.family("process_open_fds", "gauge", "Number of open file descriptors.");
  w.sample("process_open_fds", "", number(p.open_fds));
  w.family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
  w.sample("process_max_fds", "", number(p.max_fds));
  w.family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
  w.sample("process_start_time_seconds", "", number(p.start_time_seconds));
  return out;
}

ProcessFigures read_process(double start_time_seconds) {
  ProcessFigures p;
  p.start_time_seconds = start_time_seconds;
  rusage ru{};
  if (::getrusage(RUSAGE_SELF, &ru) == 0)
    p.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  std::ifstream statm("/proc/self/statm");
  double size = 0, resident = 0;
  if (statm >> size >> resident) {
    const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
    p.virtual_memory_bytes = size * page;
    p.resident_memory_bytes = resident * page;
  }
  // The directory listing holds its own descriptor for the time of the count.
  p.open_fds = static_cast<double>(std::max(0L, fd_count() - 1));
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) p.max_fds = static_cast<double>(rl.rlim_cur);
  return p;
}

}  // namespace quillon::metrics
