// The page's files, embedded at build time: content types, ETags, gzip.
#include "console/console_internal.hpp"

#include "console/web_assets.hpp"

namespace quillon {

namespace console_http {

std::string_view content_type_of(std::string_view path) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
      {".svg", "image/svg+xml"},                {".png", "image/png"},
      {".ico", "image/x-icon"},                 {".json", "application/json"},
      {".webmanifest", "application/manifest+json"}, {".txt", "text/plain; charset=utf-8"},
      {".woff2", "font/woff2"},
  };
  for (const auto& [ext, type] : kTypes)
    if (path.size() > ext.size() && path.substr(path.size() - ext.size()) == ext) return type;
  return "application/octet-stream";
}

// Whether an If-None-Match list names this entity tag (weak comparison, as for GET).
bool etag_matches(std::string_view header, std::string_view etag) {
  if (header.find('*') != std::string_view::npos) return true;
  while (!header.empty()) {
    const auto comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.substr(0, 2) == "W/") item.remove_prefix(2);
    if (item == etag) return true;
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return false;
}

// Whether the client takes gzip (a "gzip" coding without q=0).
bool accepts_gzip(std::string_view header) {
  const std::string h = lower(header);
  std::string_view rest = h;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    const auto semi = item.find(';');
    std::string_view coding = item.substr(0, semi);
    while (!coding.empty() && coding.back() == ' ') coding.remove_suffix(1);
    if (coding == "gzip" || coding == "x-gzip") {
      if (semi == std::string_view::npos) return true;
      std::string params(item.substr(semi + 1));
      params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
      return params.rfind("q=", 0) != 0 || std::strtod(params.c_str() + 2, nullptr) > 0;
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

// A file of the embedded page: "/" is index.html. Revalidated on every use (no-cache) with the
// content hash as ETag, so a new build is picked up at once and an unchanged one costs a 304.
std::optional<Response> asset_response(const Request& req, std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::string_view name = path.substr(1);
  if (name.empty()) name = "index.html";
  for (const web::Asset& a : web::assets()) {
    if (a.path != name) continue;
    const bool gz = !a.gzip.empty() && accepts_gzip(req[http::field::accept_encoding]);
    // The compressed variant is another representation: it has its own tag.
    const std::string etag = gz ? std::string(a.etag.substr(0, a.etag.size() - 1)) + "-gz\"" : std::string(a.etag);
    const bool fresh = req.find(http::field::if_none_match) != req.end() && etag_matches(req[http::field::if_none_match], etag);
    Response res{fresh ? http::status::not_modified : http::status::ok, req.version() == 10 ? 10u : 11u};
    res.set(http::field::server, "quillon");
    res.set(http::field::content_type, content_type_of(name));
    res.set(http::field::cache_control, "no-cache");
    res.set(http::field::etag, etag);
    res.set(http::field::vary, "Accept-Encoding");
    add_safety_headers(res);
    if (gz) res.set(http::field::content_encoding, "gzip");
    res.keep_alive(req.keep_alive());
    if (!fresh) {
      const std::string_view bytes = gz ? a.gzip : a.data;
      if (req.method() == http::verb::head) {
        res.content_length(bytes.size());
        return res;
      }
      res.body().assign(bytes.data(), bytes.size());
    }
    res.prepare_payload();
    return res;
  }
  return std::nullopt;
}

}  // namespace console_http

}  // namespace quillon
