#include "calls/alert_protocols.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <ctime>
#include <random>

#include <nlohmann/json.hpp>

#include "calls/call_json.hpp"

namespace quillon::calls {

namespace {

std::string dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string kind_word(const std::string& kind) { return kind == "tones" ? " page" : ""; }

// "23 s, 154.4300 MHz, Fire Dispatch"
std::string call_summary(const CallRecord& r) {
  char mhz[32];
  std::snprintf(mhz, sizeof mhz, "%.4f MHz", static_cast<double>(r.frequency_hz) / 1e6);
  std::string s = local_clock(r.start_ms) + ", " + std::to_string((r.duration_ms + 500) / 1000) + " s";
  if (r.frequency_hz > 0) s += std::string(", ") + mhz;
  for (const auto& t : r.tags()) s += ", " + t;
  return s;
}

// The answer's text for a log line: short, one line.
std::string short_text(const HttpAnswer& a) {
  std::string t = a.status == 0 ? a.error : "HTTP " + std::to_string(a.status);
  std::string body = a.body.substr(0, 200);
  for (char& c : body)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  if (a.status != 0 && !body.empty()) t += ": " + body;
  return t;
}

}  // namespace

void local_day_minute(std::int64_t ms, int& weekday, int& minute) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  weekday = (tm.tm_wday + 6) % 7;
  minute = tm.tm_hour * 60 + tm.tm_min;
}

std::string local_clock(std::int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

AlertMessage alert_message(const AlertRow& a, const std::optional<CallRecord>& call, const std::string& link) {
  AlertMessage m;
  m.kind = a.kind;
  m.name = a.name;
  m.channel = a.channel;
  m.at_ms = a.at_ms;
  m.call = call;
  m.title = a.name + kind_word(a.kind);
  m.text = m.title + ", channel " + std::to_string(a.channel) + ", " + local_clock(a.at_ms);
  if (call) {
    m.text += "; call " + call_summary(*call);
    if (!link.empty()) {
      m.audio_link = link;
      for (auto at = m.audio_link.find("{id}"); at != std::string::npos; at = m.audio_link.find("{id}"))
        m.audio_link.replace(at, 4, std::to_string(call->id));
    }
  }
  return m;
}

std::string webhook_body(const AlertMessage& m) {
  nlohmann::json call = nullptr;
  if (m.call) {
    const auto full = call_json(*m.call);
    call = {{"id", m.call->id},
            {"start", full["start"]},
            {"duration_ms", m.call->duration_ms},
            {"frequency_hz", m.call->frequency_hz},
            {"tags", full["tags"]},
            {"audio", m.audio_link.empty() ? full["audio"] : nlohmann::json(m.audio_link)}};
  }
  return dump({{"kind", m.kind}, {"name", m.name}, {"channel", m.channel}, {"at", rfc3339_ms(m.at_ms)}, {"text", m.text}, {"call", call}});
}

std::string hmac_sha256_hex(const std::string& secret, const std::string& body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac,
       &len);
  static const char* const hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[mac[i] >> 4];
    out += hex[mac[i] & 15];
  }
  return out;
}

bool attaches(const config::AlertSend& dest, std::int64_t bytes) {
  if (bytes <= 0) return false;
  if (dest.type == "ntfy") return bytes <= kNtfyAttachMax;
  if (dest.type == "pushover") return bytes <= kPushoverAttachMax;
  return dest.type == "apprise";
}

HttpRequest alert_request(const config::AlertSend& d, const AlertMessage& m, const std::string& audio, const std::string& audio_path) {
  HttpRequest r;
  const std::string file_name = m.call ? download_name(*m.call) : "";
  if (d.type == "ntfy") {
    r.url = d.url;
    r.headers.emplace_back("Title", m.title);
    r.headers.emplace_back("Tags", m.kind == "tones" ? "rotating_light" : m.kind == "test" ? "white_check_mark" : "radio");
    if (d.priority > 0) r.headers.emplace_back("Priority", std::to_string(d.priority));
    if (!m.audio_link.empty()) r.headers.emplace_back("Click", m.audio_link);
    if (!d.token.empty()) r.headers.emplace_back("Authorization", "Bearer " + d.token);
    if (!audio.empty()) {
      // The file is the body; the text goes in a header.
      r.method = "PUT";
      r.content_type = "audio/ogg";
      r.headers.emplace_back("Filename", file_name);
      r.headers.emplace_back("Message", m.text);
      r.body = audio;
    } else {
      r.method = "POST";
      r.content_type = "text/plain; charset=utf-8";
      r.body = m.text;
    }
  } else if (d.type == "pushover") {
    r.method = "POST";
    r.url = d.url.empty() ? "https://api.pushover.net/1/messages.json" : d.url;
    std::mt19937 rng(static_cast<std::uint32_t>(m.at_ms) ^ static_cast<std::uint32_t>(m.channel));
    const std::string boundary = "quillon-" + std::to_string(rng()) + std::to_string(rng());
    r.content_type = "multipart/form-data; boundary=" + boundary;
    auto field = [&](const std::string& name, const std::string& value) {
      r.body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    };
    field("token", d.token);
    field("user", d.user);
    field("title", m.title);
    field("message", m.text);
    field("timestamp", std::to_string(m.at_ms / 1000));
    if (d.priority != 0) field("priority", std::to_string(d.priority));
    if (!m.audio_link.empty()) {
      field("url", m.audio_link);
      field("url_title", "Play the call");
    }
    if (!audio.empty()) {
      r.body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"attachment\"; filename=\"" + file_name +
                "\"\r\nContent-Type: audio/ogg\r\n\r\n" + audio + "\r\n";
    }
    r.body += "--" + boundary + "--\r\n";
  } else if (d.type == "webhook") {
    r.method = "POST";
    r.url = d.url;
    r.content_type = "application/json";
    r.body = webhook_body(m);
    if (!d.secret.empty()) r.headers.emplace_back("X-Quillon-Signature", "sha256=" + hmac_sha256_hex(d.secret, r.body));
  } else if (d.type == "apprise") {
    r.method = "RUN";
    r.url = d.url;
    r.body = m.text + (m.audio_link.empty() ? "" : "\n" + m.audio_link);
    r.headers.emplace_back("title", m.title);
    if (!audio_path.empty()) r.headers.emplace_back("attach", audio_path);
  }
  return r;
}

AlertVerdict judge_alert(const std::string& type, const HttpAnswer& a, bool attached) {
  const std::string text = short_text(a);
  if (a.status == 0) return {AlertVerdict::Retry, text};
  if (a.status >= 200 && a.status < 300) {
    // Pushover answers {"status":1} when it took the message.
    if (type == "pushover") {
      const auto j = nlohmann::json::parse(a.body, nullptr, false);
      if (j.is_object() && j.value("status", 0) != 1) return {AlertVerdict::Refused, text};
    }
    return {AlertVerdict::Done, ""};
  }
  if (a.status == 401 || a.status == 403) return {AlertVerdict::Pause, text};
  if (a.status == 408 || a.status == 429 || a.status >= 500) return {AlertVerdict::Retry, text};
  if (type == "pushover") {
    // A wrong application token or user key is answered 400 with what was wrong.
    const auto j = nlohmann::json::parse(a.body, nullptr, false);
    if (j.is_object() && (j.contains("token") || j.contains("user")) && j.value("status", 1) == 0) return {AlertVerdict::Pause, text};
  }
  if (attached && (a.status == 413 || a.status == 400)) return {AlertVerdict::WithoutAttachment, text};
  return {AlertVerdict::Refused, text};
}

}  // namespace quillon::calls
