#include "calls/calls_api.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>

#include "calls/call_json.hpp"

namespace quillon::calls {

namespace {

std::string dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

ApiReply json_reply(int status, const nlohmann::json& j) {
  ApiReply r;
  r.status = status;
  r.content_type = "application/json";
  r.headers.emplace_back("Cache-Control", "no-store");
  r.body = dump(j);
  return r;
}

ApiReply bad(const std::string& message) { return json_reply(400, {{"error", message}}); }

// The index could not answer: busy (held by another process) asks to come back shortly.
ApiReply unavailable(const CallStore& store, const StoreError& e) {
  if (!e.busy) return json_reply(503, {{"error", e.what()}});
  const auto since = store.busy_since_ms();
  ApiReply r = json_reply(503, {{"error", since ? "index busy since " + rfc3339_ms(*since) : std::string("index busy")}});
  r.headers.emplace_back("Retry-After", "5");
  return r;
}

// The characters of UTF-8 text; nothing when it is not UTF-8 or holds control characters (a NUL
// would cut the search short and find nothing).
std::optional<std::size_t> text_length(const std::string& s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++n) {
    const auto c = static_cast<unsigned char>(s[i]);
    // Tabs and line ends separate words as spaces do; other control characters are no text.
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) return std::nullopt;
    const std::size_t len = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return std::nullopt;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (cc & 0x3f);
    }
    // Overlong forms, surrogates and what lies past Unicode are not text.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return std::nullopt;
    i += len;
  }
  return n;
}

std::string decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::optional<std::int64_t> whole(const std::string& v, std::int64_t lo, std::int64_t hi) {
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || end != v.data() + v.size() || n < lo || n > hi) return std::nullopt;
  return n;
}

// Linked calls: per listed call, the channels its transmission was heard on, the recording
// played ("best") and the other recordings ("linked": id, channel, signal_max, audio), read in
// one query per page.
struct Links {
  std::map<std::int64_t, std::vector<LinkedRecording>> groups;  // by link id, best first
};

Links links_of(CallStore& store, const std::vector<CallRecord>& calls) {
  std::vector<std::int64_t> keys;
  for (const auto& c : calls)
    if (c.link_id > 0 && std::find(keys.begin(), keys.end(), c.link_id) == keys.end()) keys.push_back(c.link_id);
  Links l;
  for (auto& r : store.linked_recordings(keys)) l.groups[r.link_id].push_back(r);
  return l;
}

void add_links(nlohmann::json& j, const CallRecord& c, const Links& l) {
  std::vector<int> heard{c.channel};
  std::int64_t best = c.id;
  nlohmann::json others = nlohmann::json::array();
  const auto g = c.link_id > 0 ? l.groups.find(c.link_id) : l.groups.end();
  if (g != l.groups.end())
    for (const auto& r : g->second) {
      if (r.shown) best = r.id;
      if (r.id == c.id) continue;
      if (std::find(heard.begin(), heard.end(), r.channel) == heard.end()) heard.push_back(r.channel);
      others.push_back({{"id", r.id}, {"channel", r.channel}, {"signal_max", r.signal_max},
                        {"audio", "/api/calls/" + std::to_string(r.id) + "/audio"}});
    }
  std::sort(heard.begin(), heard.end());
  j["heard_on"] = heard;
  j["best"] = best;
  j["linked"] = std::move(others);
}

ApiReply list(CallStore& store, const std::string& query) {
  CallQuery q;
  std::size_t pos = 0;
  while (pos <= query.size() && !query.empty()) {
    std::size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    const std::string_view pair(query.data() + pos, amp - pos);
    pos = amp + 1;
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const std::string name = decode(pair.substr(0, eq));
    const std::string value = eq == std::string_view::npos ? "" : decode(pair.substr(eq + 1));
    if (name == "channel") {
      const auto n = whole(value, 1, 4);
      if (!n) return bad("channel: expected 1, 2, 3 or 4");
      q.channel = static_cast<int>(*n);
    } else if (name == "frequency_hz") {
      const auto n = whole(value, 1, 100'000'000'000LL);
      if (!n) return bad("frequency_hz: expected a frequency in Hz such as 156800000");
      q.frequency_hz = *n;
    } else if (name == "from" || name == "to") {
      const auto t = parse_rfc3339(value);
      if (!t) return bad(name + ": expected a time such as 2026-12-08T02:41:07.250Z");
      (name == "from" ? q.from_ms : q.to_ms) = *t;
    } else if (name == "q") {
      const auto length = text_length(value);
      if (!length) return bad("q: expected text without control characters (UTF-8)");
      if (*length > 200) return bad("q: expected at most 200 characters");
      q.text = value;
    } else if (name == "min_ms") {
      const auto n = whole(value, 0, 1'000'000'000);
      if (!n) return bad("min_ms: expected a whole number of milliseconds");
      q.min_ms = static_cast<int>(*n);
    } else if (name == "limit") {
      const auto n = whole(value, 1, 500);
      if (!n) return bad("limit: expected a whole number from 1 to 500");
      q.limit = static_cast<int>(*n);
    } else if (name == "alerts") {
      if (value != "1" && value != "0") return bad("alerts: expected 1 (only calls an alert named) or 0");
      q.alerted = value == "1";
    } else if (name == "before") {
      const auto n = whole(value, 1, INT64_MAX);
      if (!n) return bad("before: expected the \"next\" of an earlier answer");
      q.before = *n;
    }
    if (amp == query.size()) break;
  }
  CallPage page;
  std::map<std::int64_t, nlohmann::json> uploads;
  Links links;
  std::vector<std::int64_t> alerted;
  try {
    page = store.find(q);
    links = links_of(store, page.calls);
    std::vector<std::int64_t> ids;
    for (const auto& c : page.calls) ids.push_back(c.id);
    for (const auto& e : store.upload_entries(ids))
      uploads[e.call_id].push_back({{"destination", e.destination}, {"state", upload_state_name(e.state)}, {"reason", e.reason}});
    alerted = store.alerted_calls(ids);
  } catch (const StoreError& e) {
    return unavailable(store, e);
  }
  nlohmann::json calls = nlohmann::json::array();
  for (const auto& c : page.calls) {
    auto j = call_json(c);
    add_links(j, c, links);
    const auto u = uploads.find(c.id);
    j["uploads"] = u != uploads.end() ? std::move(u->second) : nlohmann::json::array();
    j["alerted"] = std::find(alerted.begin(), alerted.end(), c.id) != alerted.end();
    calls.push_back(std::move(j));
  }
  return json_reply(200, {{"calls", calls}, {"next", page.next ? nlohmann::json(*page.next) : nlohmann::json(nullptr)}});
}

ApiReply not_found() { return json_reply(404, {{"error", "no such call"}}); }

ApiReply audio(CallStore& store, std::int64_t id, const ApiRequest& req) {
  std::optional<CallRecord> rec;
  try {
    rec = store.get(id);
  } catch (const StoreError& e) {
    return unavailable(store, e);
  }
  if (!rec) return not_found();
  const int fd = ::open((store.dir() / rec->file).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return not_found();
  struct stat st {};
  ::fstat(fd, &st);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::string etag = "\"" + std::to_string(id) + "-" + std::to_string(size) + "\"";
  ApiReply r;
  r.content_type = "audio/ogg";
  r.headers = {{"ETag", etag},
               {"Accept-Ranges", "bytes"},
               {"Cache-Control", "private, max-age=86400"},
               {"Content-Disposition", "inline; filename=\"" + download_name(*rec) + "\""}};
  if (!req.if_none_match.empty() && req.if_none_match.find(etag) != std::string::npos) {
    ::close(fd);
    r.status = 304;
    return r;
  }
  std::uint64_t first = 0, last = size ? size - 1 : 0;
  bool partial = false;
  if (!req.range.empty()) {
    // One range only ("bytes=A-B", "bytes=A-", "bytes=-N"); anything else is served whole.
    const std::string_view spec(req.range);
    const bool one = spec.rfind("bytes=", 0) == 0 && spec.find(',') == std::string_view::npos;
    const auto dash = spec.find('-');
    if (one && dash != std::string_view::npos) {
      const std::string a(spec.substr(6, dash - 6)), b(spec.substr(dash + 1));
      const auto fa = a.empty() ? std::optional<std::int64_t>() : whole(a, 0, INT64_MAX);
      const auto fb = b.empty() ? std::optional<std::int64_t>() : whole(b, 0, INT64_MAX);
      if ((!a.empty() && !fa) || (!b.empty() && !fb) || (a.empty() && b.empty())) {
        // not a range this server reads: the whole file
      } else if (a.empty()) {
        if (*fb == 0 || size == 0) {
          ::close(fd);
          r.status = 416;
          r.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
          r.body.clear();
          return r;
        }
        first = size - std::min<std::uint64_t>(size, static_cast<std::uint64_t>(*fb));
        partial = true;
      } else {
        if (static_cast<std::uint64_t>(*fa) >= size || (fb && *fb < *fa)) {
          ::close(fd);
          r.status = 416;
          r.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
          return r;
        }
        first = static_cast<std::uint64_t>(*fa);
        if (fb) last = std::min<std::uint64_t>(last, static_cast<std::uint64_t>(*fb));
        partial = true;
      }
    }
  }
  const std::uint64_t length = size ? last - first + 1 : 0;
  if (length > kMaxAudioBytes) {
    ::close(fd);
    return json_reply(500, {{"error", "call audio too large"}});
  }
  if (partial) {
    r.status = 206;
    r.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
  }
  if (!req.head) {
    r.body.resize(length);
    std::size_t got = 0;
    while (got < length) {
      const ssize_t n = ::pread(fd, r.body.data() + got, length - got, static_cast<off_t>(first + got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    r.body.resize(got);
  }
  ::close(fd);
  return r;
}

}  // namespace

ApiReply handle_unlink_request(CallStore& store, const std::string& body) {
  const auto j = nlohmann::json::parse(body, nullptr, false);
  const auto id = j.is_object() ? j.find("id") : j.end();
  if (!j.is_object() || id == j.end() || !id->is_number_integer() || id->get<std::int64_t>() < 1)
    return bad("send {\"id\": CALL}, the id of one of the linked calls");
  std::vector<std::int64_t> ids;
  try {
    if (!store.get(id->get<std::int64_t>())) return not_found();
    ids = store.unlink(id->get<std::int64_t>());
  } catch (const StoreError& e) {
    return unavailable(store, e);
  }
  return json_reply(200, {{"unlinked", ids}});
}

std::string query_decode(std::string_view s) { return decode(s); }
std::optional<std::size_t> query_text_length(const std::string& s) { return text_length(s); }

ApiReply handle_calls_request(CallStore& store, const ApiRequest& req) {
  const std::string& p = req.path;
  if (p == "/api/calls" || p == "/api/calls/") return list(store, req.query);
  const std::string prefix = "/api/calls/";
  const std::string suffix = "/audio";
  if (p.size() > prefix.size() + suffix.size() && p.rfind(prefix, 0) == 0 && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0) {
    const std::string id = p.substr(prefix.size(), p.size() - prefix.size() - suffix.size());
    if (const auto n = whole(id, 1, INT64_MAX)) return audio(store, *n, req);
  }
  return not_found();
}

}  // namespace quillon::calls
