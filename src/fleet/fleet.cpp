#include "fleet/fleet.hpp"

#include "core/fault_book.hpp"

#include <nlohmann/json.hpp>

#include "netdata/channels.hpp"
#include "fleet/listen_service.hpp"
#include "fleet/listeners.hpp"
#include "audio/alsa_capture.hpp"
#include "scanner/channel_table.hpp"
#include "scanner/counting_serial_port.hpp"
#include "scanner/linux_serial_port.hpp"
#include "settings/registry.hpp"

namespace quillon {

namespace {

std::string lamp_word(const ui::Lamp& lamp) {
  const auto c = lamp.fill_color();
  if (!c) return "unknown";
  if (*c == ui::kGreen) return "ok";
  if (*c == ui::kRed) return "fault";
  return "unknown";
}

std::string trim_line_ends(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && (s[i] == '\r' || s[i] == '\n' || s[i] == ' ')) ++i;
  return s.substr(i);
}

// Text that is not valid UTF-8 (a radio's attribute bytes) is kept byte for byte as Latin-1.
std::string to_utf8(const std::string& s) {
  std::string r;
  r.reserve(s.size());
  for (unsigned char ch : s) {
    if (ch < 0x80) {
      r += static_cast<char>(ch < ' ' && ch != '\t' ? ' ' : ch);
    } else {
      r += static_cast<char>(0xC0 | (ch >> 6));
      r += static_cast<char>(0x80 | (ch & 0x3F));
    }
  }
  return r;
}

int data_clients(Frmserver& f, int channel) {
  int n = 0;
  ErrorScope err;
  err.step([&] {
    SocketArray& arr = netdata::winsock(f, channel);
    for (int i = 1; i <= f.clientslots && arr.exists(i); ++i)
      if (arr[i].state() == sockstate::connected) ++n;
  });
  return n;
}

int port_field(Frmserver& f, int field) {
  int v = 0;
  ErrorScope err;
  err.step([&] {
    const double d = settings::leading_number(f.portip1[field].text());
    if (d >= 0 && d <= 65535) v = static_cast<int>(d);
  });
  return v;
}

// A radio's line is "[text][attributes]": the text is what its display shows. Lines without
// brackets (the silence message) are text as they stand.
std::string line_text(std::string line) {
  line = trim_line_ends(std::move(line));
  if (!line.empty() && line.front() == '[') {
    const std::size_t close = line.find(']');
    line = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    while (!line.empty() && line.back() == ' ') line.pop_back();
  }
  return line;
}

}  // namespace

std::array<std::string, 4> display_lines(const std::string& lcd) {
  std::array<std::string, 4> out;
  const std::size_t first = lcd.find("LCD1");
  if (first == std::string::npos) {
    out[0] = trim_line_ends(lcd);
    return out;
  }
  std::size_t pos = first;
  for (int i = 0; i < 4 && pos != std::string::npos; ++i) {
    const std::size_t start = pos + 4;
    const std::size_t next = i < 3 ? lcd.find("LCD" + std::to_string(i + 2), start) : std::string::npos;
    out[static_cast<std::size_t>(i)] = line_text(lcd.substr(start, next == std::string::npos ? std::string::npos : next - start));
    pos = next;
  }
  return out;
}


bool channel_enabled(Frmserver& f, int channel) {
  if (channel == 1) return true;
  bool on = false;
  ErrorScope err;
  err.step([&] { on = f.Check1[channel - 2].value() == 1; });
  return on;
}

ChannelStatus channel_status(Frmserver& f, int channel) {
  const auto k = static_cast<std::size_t>(channel - 1);
  ChannelStatus s;
  s.channel = channel;
  s.enabled = channel_enabled(f, channel);
  ErrorScope err;
  err.step([&] { s.display = display_lines(f.text5[channel - 1].text()); });
  for (int i = 0; i < 9; ++i)
    err.step([&] { s.readings[static_cast<std::size_t>(i)] = trim_line_ends(f.Label4[scanner::field_index(channel, i + 1)].caption()); });
  constexpr std::string_view kSignal = "SIGLVL$=";
  if (s.readings[1].rfind(kSignal, 0) == 0) {
    const double v = settings::leading_number(std::string_view(s.readings[1]).substr(kSignal.size()));
    if (v >= 0 && v <= 1000) s.signal = static_cast<int>(v);
  }
  for (auto& r : s.readings) r = to_utf8(r);
  for (auto& d : s.display) d = to_utf8(d);
  s.serial = "unknown";
  s.audio = "unknown";
  err.step([&] { s.serial = lamp_word(f.comdata[channel - 1]); });
  err.step([&] { s.audio = lamp_word(f.AUDIOlink[channel - 1]); });
  s.data_clients = data_clients(f, channel);
  err.step([&] { s.audio_clients = netdata::need(f.ipserv[k]).client_count(); });
  const auto& row = netdata::kNetChannels[k];
  s.data_port = port_field(f, row.data_field);
  s.audio_port = port_field(f, row.audio_field);
  return s;
}

std::string state_json(const ChannelStatus& s) {
  nlohmann::json j = {
      {"channel", s.channel},
      {"enabled", s.enabled},
      {"display", s.display},
      {"readings", s.readings},
      {"signal", s.signal ? nlohmann::json(*s.signal) : nlohmann::json(nullptr)},
      {"serial", s.serial},
      {"audio", s.audio},
      {"data_clients", s.data_clients},
      {"audio_clients", s.audio_clients},
      {"data_port", s.data_port},
      {"audio_port", s.audio_port},
  };
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

metrics::Snapshot gather_metrics(Frmserver& f, const MetricSources& src, std::optional<bool> mqtt_connected) {
  metrics::Snapshot snap;
  snap.version = "1.300";
  snap.mqtt_connected = mqtt_connected;
  if (src.faults)
    for (const FaultBook::Entry& e : src.faults->entries()) snap.faults.push_back({e.kind, e.channel, e.active, e.starts});
  for (int ch = 1; ch <= kChannels; ++ch) {
    const auto k = static_cast<std::size_t>(ch - 1);
    metrics::ChannelFigures c;
    c.channel = ch;
    c.enabled = channel_enabled(f, ch);
    const ChannelCounters& n = f.counters[k];
    c.poll_rotations = n.poll_rotations;
    c.silences = n.silences;
    c.frames_sent = n.frames_sent;
    c.send_failures = n.send_failures;
    c.send_queue_overflows = n.send_queue_overflows;
    if (const auto* p = src.serial[k]) {
      c.serial_open_attempts = p->counters().open_attempts;
      c.serial_open_failures = p->counters().open_failures;
      c.serial_bytes_in = p->counters().bytes_in;
      c.serial_bytes_out = p->counters().bytes_out;
    }
    if (const auto* p = src.ports[k]) c.serial_output_dropped_bytes = p->dropped_bytes();
    if (const auto* a = src.capture[k]) {
      c.capture_overruns = a->overruns();
      c.capture_reopens = a->reopens();
      c.capture_chunks_lost = a->chunks_lost();
    }
    c.data_clients = data_clients(f, ch);
    int audio_clients = 0;
    ErrorScope err;
    err.step([&] { audio_clients = netdata::need(f.ipserv[k]).client_count(); });
    c.audio_clients.emplace_back("gsm", audio_clients);
    if (src.listen) {
      c.audio_clients.emplace_back("opus", src.listen->listeners(ch, audio::ListenFormat::Opus));
      c.audio_clients.emplace_back("mp3", src.listen->listeners(ch, audio::ListenFormat::Mp3));
      c.listen_encoders = src.listen->encoders_running(ch);
    }
    if (src.live) {
      c.audio_clients.emplace_back("live", src.live->listening(ch));
      c.listen_encoders += src.live->encoder_running(ch) ? 1 : 0;
    }
    snap.channels.push_back(std::move(c));
  }
  snap.process = metrics::read_process(src.start_time_seconds);
  return snap;
}

}  // namespace quillon
