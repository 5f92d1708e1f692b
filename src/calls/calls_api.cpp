#include "calls/calls_api.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>

#include "calls/call_json.hpp"
#include "calls/uploader.hpp"

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
    } else if (name == "from" || name == "to") {
      const auto t = parse_rfc3339(value);
      if (!t) return bad(name + ": expected a time such as 2026-12-08T02:41:07.250Z");
      (name == "from" ? q.from_ms : q.to_ms) = *t;
    } else if (name == "q") {
      if (value.size() > 200) return bad("q: expected at most 200 characters");
      q.text = value;
    } else if (name == "min_ms") {
      const auto n = whole(value, 0, 1'000'000'000);
      if (!n) return bad("min_ms: expected a whole number of milliseconds");
      q.min_ms = static_cast<int>(*n);
    } else if (name == "limit") {
      const auto n = whole(value, 1, 500);
      if (!n) return bad("limit: expected a whole number from 1 to 500");
      q.limit = static_cast<int>(*n);
    } else if (name == "before") {
      const auto n = whole(value, 1, INT64_MAX);
      if (!n) return bad("before: expected the \"next\" of an earlier answer");
      q.before = *n;
    }
    if (amp == query.size()) break;
  }
  CallPage page;
  try {
    page = store.find(q);
  } catch (const StoreError& e) {
    return json_reply(503, {{"error", e.what()}});
  }
  std::vector<std::int64_t> ids;
  for (const auto& c : page.calls) ids.push_back(c.id);
  auto uploads = upload_states(store, ids);
  nlohmann::json calls = nlohmann::json::array();
  for (const auto& c : page.calls) {
    auto j = call_json(c);
    const auto u = uploads.find(c.id);
    j["uploads"] = u != uploads.end() ? std::move(u->second) : nlohmann::json::array();
    calls.push_back(std::move(j));
  }
  return json_reply(200, {{"calls", calls}, {"next", page.next ? nlohmann::json(*page.next) : nlohmann::json(nullptr)}});
}

ApiReply not_found() { return json_reply(404, {{"error", "no such call"}}); }

ApiReply audio(CallStore& store, std::int64_t id, const ApiRequest& req) {
  const auto rec = store.get(id);
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
