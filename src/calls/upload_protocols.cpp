#include "calls/upload_protocols.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

namespace quillon::calls {

UploadKind upload_kind(const config::CallUpload& d) {
  if (d.type == "openmhz") return UploadKind::OpenMhz;
  if (d.type == "broadcastify") return UploadKind::Broadcastify;
  return UploadKind::RdioScanner;
}

bool takes_mp3(const config::CallUpload& d) { return upload_kind(d) != UploadKind::RdioScanner; }

std::pair<int, std::string> talkgroup_of(const config::CallUpload& d, const CallRecord& r) {
  const auto tags = r.tags();
  for (const auto& g : d.talkgroups) {
    if (g.channel != 0 && g.channel != r.channel) continue;
    if (!g.tag.empty() && std::find(tags.begin(), tags.end(), g.tag) == tags.end()) continue;
    return {g.number, g.label.empty() ? (tags.empty() ? "Channel " + std::to_string(r.channel) : tags.front()) : g.label};
  }
  return {r.channel, tags.empty() ? "Channel " + std::to_string(r.channel) : tags.front()};
}

std::string said_text(const std::string& body) {
  std::string out;
  for (const char c : body) {
    if (c == '\r' || c == '\n') {
      if (out.empty()) continue;
      break;
    }
    out += (c >= ' ' && c < 127) ? c : '?';
    if (out.size() >= 120) break;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::pair<std::string, std::string> multipart(const std::vector<FormPart>& parts, unsigned seed) {
  std::mt19937 rng(seed);
  std::string boundary;
  for (;;) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "quillon%08x%08x%08x", static_cast<unsigned>(rng()), static_cast<unsigned>(rng()),
                  static_cast<unsigned>(rng()));
    boundary = buf;
    if (std::none_of(parts.begin(), parts.end(), [&](const FormPart& p) { return p.value.find(boundary) != std::string::npos; })) break;
  }
  std::string body;
  std::size_t size = 0;
  for (const auto& p : parts) size += p.value.size() + 200;
  body.reserve(size);
  for (const auto& p : parts) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
    if (!p.file_name.empty()) body += "; filename=\"" + p.file_name + "\"";
    body += "\r\n";
    if (!p.content_type.empty()) body += "Content-Type: " + p.content_type + "\r\n";
    body += "\r\n" + p.value + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return {std::move(body), "multipart/form-data; boundary=" + boundary};
}

namespace {

// What rdio-scanner answers a call it imported ("Call imported successfully.").
constexpr const char* kRdioTookIt = "Call imported successfully";

std::string base_url(const std::string& url) {
  std::string u = url;
  while (!u.empty() && u.back() == '/') u.pop_back();
  return u;
}

// Names without anything a header could take for syntax.
std::string safe_name(std::string s) {
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') c = '_';
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool about_the_key(const std::string& text) {
  const std::string t = lower(text);
  return t.find("key") != std::string::npos || t.find("auth") != std::string::npos || t.find("not allowed") != std::string::npos;
}

std::string mhz(std::int64_t hz) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(hz / 1000000), static_cast<long long>(hz % 1000000));
  return buf;
}

}  // namespace

HttpRequest first_request(const config::CallUpload& d, const CallRecord& r, const std::string& audio, unsigned seed) {
  const auto [tg, tg_label] = talkgroup_of(d, r);
  const std::int64_t start_s = r.start_ms / 1000;
  const std::int64_t stop_s = (r.start_ms + r.duration_ms) / 1000;
  const std::string seconds = std::to_string((r.duration_ms + 500) / 1000);
  const auto tags = r.tags();
  std::vector<FormPart> parts;
  HttpRequest req;
  req.method = "POST";
  switch (upload_kind(d)) {
    case UploadKind::RdioScanner: {
      const std::string name = safe_name(r.file.substr(r.file.rfind('/') + 1));
      parts = {{"key", d.api_key, "", ""},
               {"audio", audio, name, "audio/ogg"},
               {"audioName", name, "", ""},
               {"audioType", "audio/ogg", "", ""},
               {"dateTime", std::to_string(start_s), "", ""},
               {"timestamp", std::to_string(r.start_ms), "", ""},
               {"system", d.system, "", ""},
               {"systemLabel", r.site, "", ""},
               {"talkgroup", std::to_string(tg), "", ""},
               {"talkgroupLabel", tg_label, "", ""},
               {"talkgroupTag", tags.empty() ? "" : tags.front(), "", ""},
               {"talkgroupGroup", tags.size() > 1 ? tags[1] : "", "", ""},
               {"frequency", std::to_string(r.frequency_hz), "", ""},
               {"source", "-1", "", ""}};
      req.url = base_url(d.url) + "/api/call-upload";
      break;
    }
    case UploadKind::OpenMhz:
      parts = {{"call", audio, std::to_string(tg) + "-" + std::to_string(start_s) + ".mp3", "audio/mpeg"},
               {"api_key", d.api_key, "", ""},
               {"talkgroup_num", std::to_string(tg), "", ""},
               {"freq", std::to_string(r.frequency_hz), "", ""},
               {"start_time", std::to_string(start_s), "", ""},
               {"stop_time", std::to_string(stop_s), "", ""},
               {"call_length", seconds, "", ""},
               {"emergency", "0", "", ""},
               {"error_count", "0", "", ""},
               {"spike_count", "0", "", ""},
               {"source_list", "[]", "", ""},
               {"patch_list", "[]", "", ""}};
      req.url = base_url(d.url) + "/" + d.system + "/upload";
      break;
    case UploadKind::Broadcastify:
      parts = {{"apiKey", d.api_key, "", ""},
               {"systemId", d.system, "", ""},
               {"callDuration", seconds, "", ""},
               {"ts", std::to_string(start_s), "", ""},
               {"tg", std::to_string(tg), "", ""},
               {"src", "0", "", ""},
               {"freq", mhz(r.frequency_hz), "", ""},
               {"enc", "mp3", "", ""}};
      req.url = base_url(d.url) + "/call-upload";
      break;
  }
  auto [body, type] = multipart(parts, seed);
  req.body = std::move(body);
  req.content_type = std::move(type);
  return req;
}

HttpRequest audio_put(const std::string& url, const std::string& mp3) { return {"PUT", url, "audio/mpeg", mp3}; }

Verdict judge_first(UploadKind kind, const HttpAnswer& a) {
  const std::string text = said_text(a.body);
  const std::string status = "answered " + std::to_string(a.status) + (text.empty() ? "" : ": " + text);
  if (a.status == 0) return {Verdict::Retry, a.error, ""};
  if (a.status == 401 || a.status == 403) return {Verdict::Pause, status, ""};
  if (a.status == 404) return {Verdict::Pause, status + " (is the URL right?)", ""};
  switch (kind) {
    case UploadKind::RdioScanner:
      // Only its success text says it took the call: a 2xx page from something else in front of
      // it (a proxy, a captive portal, another web application) has not.
      if (a.status >= 200 && a.status < 300) {
        if (lower(text).rfind(lower(kRdioTookIt), 0) == 0) return {Verdict::Done, text, ""};
        return {Verdict::Retry, status + " (not \"" + std::string(kRdioTookIt) + "\")", ""};
      }
      if (a.status >= 400 && a.status < 500 && a.status != 408 && a.status != 429) return {Verdict::Refused, status, ""};
      return {Verdict::Retry, status, ""};
    case UploadKind::OpenMhz:
      if (a.status >= 200 && a.status < 300) return {Verdict::Done, text, ""};
      // A refusal comes as 500 with its reason; an empty 500 is the server's own trouble.
      if (a.status == 500 && !text.empty()) return {about_the_key(text) ? Verdict::Pause : Verdict::Refused, status, ""};
      if (a.status >= 400 && a.status < 500 && a.status != 408 && a.status != 429) return {Verdict::Refused, status, ""};
      return {Verdict::Retry, status, ""};
    case UploadKind::Broadcastify:
      if (a.status >= 200 && a.status < 300) {
        if (text.rfind("0 ", 0) == 0 && text.size() > 2) {
          // The URL itself, unshortened, from the body's first line.
          std::string url = a.body.substr(a.body.find_first_not_of("\r\n"));
          url = url.substr(2, url.find_first_of("\r\n") - 2);
          while (!url.empty() && url.front() == ' ') url.erase(url.begin());
          while (!url.empty() && url.back() == ' ') url.pop_back();
          // The URL goes into our next request line as it stands: printable ASCII without blanks only.
          const bool clean = std::all_of(url.begin(), url.end(), [](char ch) { return ch > ' ' && ch < 127; });
          ParsedUrl parsed;
          if (!clean || !parse_url(url, parsed)) return {Verdict::Retry, "answered an unusable upload URL", ""};
          return {Verdict::PutAudio, "", url};
        }
        if (text.rfind("1", 0) == 0) {
          const std::string why = text.size() > 2 ? text.substr(2) : "refused";
          return {about_the_key(why) ? Verdict::Pause : Verdict::Refused, "refused: " + why, ""};
        }
        return {Verdict::Retry, "answered neither \"0\" nor \"1\": " + text, ""};
      }
      if (a.status >= 400 && a.status < 500 && a.status != 408 && a.status != 429) return {Verdict::Refused, status, ""};
      return {Verdict::Retry, status, ""};
  }
  return {Verdict::Retry, status, ""};
}

Verdict judge_put(const HttpAnswer& a) {
  if (a.status == 0) return {Verdict::Retry, a.error, ""};
  if (a.status >= 200 && a.status < 300) return {Verdict::Done, "", ""};
  const std::string text = said_text(a.body);
  const std::string status = "the upload URL answered " + std::to_string(a.status) + (text.empty() ? "" : ": " + text);
  // A one-time URL used or expired: ask for another.
  if (a.status >= 400 && a.status < 500) return {Verdict::Again, status, ""};
  return {Verdict::Retry, status, ""};
}

}  // namespace quillon::calls
