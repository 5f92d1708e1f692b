#include "calls/call_json.hpp"

namespace quillon::calls {

nlohmann::json call_json(const CallRecord& r) {
  nlohmann::json j;
  j["id"] = r.id;
  j["site"] = r.site;
  j["channel"] = r.channel;
  j["start"] = rfc3339_ms(r.start_ms);
  j["duration_ms"] = r.duration_ms;
  j["frequency_hz"] = r.frequency_hz;
  j["modulation"] = r.modulation;
  j["tags"] = r.tags();
  j["display"] = r.display;
  j["signal_max"] = r.signal_max;
  j["tone"] = r.tone;
  j["part"] = r.part;
  j["previous_part"] = r.prev_id ? nlohmann::json(r.prev_id) : nlohmann::json(nullptr);
  j["audio"] = "/api/calls/" + std::to_string(r.id) + "/audio";
  // The same transmission was stored before, heard on another channel.
  j["duplicate"] = r.duplicate;
  return j;
}

std::string download_name(const CallRecord& r) {
  std::string t = rfc3339_ms(r.start_ms);  // 2026-12-08T02:41:07.250Z
  std::string name = "quillon-c" + std::to_string(r.channel) + "-";
  for (char c : t) {
    if (c == 'T') name += '-';
    else if (c == 'Z') continue;
    else if (c != '-' && c != ':') name += c;
  }
  return name + ".opus";
}

}  // namespace quillon::calls
