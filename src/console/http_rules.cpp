// HTTP helpers of the console: answers, safety headers, host and origin rules, cookies.
#include "console/console_internal.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace quillon {

std::string cookie_value(std::string_view cookies, std::string_view name) {
  while (!cookies.empty()) {
    const auto semi = cookies.find(';');
    std::string_view part = cookies.substr(0, semi);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name && part[name.size()] == '=')
      return std::string(part.substr(name.size() + 1));
    if (semi == std::string_view::npos) break;
    cookies.remove_prefix(semi + 1);
  }
  return {};
}

namespace console_http {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool equal_constant_time(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// "host", "host:port", "[v6]:port" -> host, lower case, without brackets.
std::string host_part(std::string_view hostport) {
  if (!hostport.empty() && hostport.front() == '[') {
    const auto close = hostport.find(']');
    return close == std::string_view::npos ? std::string() : lower(hostport.substr(1, close - 1));
  }
  return lower(hostport.substr(0, hostport.find(':')));
}

bool loopback_host(const std::string& host) {
  if (host == "localhost") return true;
  boost::system::error_code ec;
  const auto a = asio::ip::make_address(host, ec);
  return !ec && a.is_loopback();
}

Response make_response(const Request& req, http::status status, const json& body) {
  Response res{status, req.version() == 10 ? 10u : 11u};  // 11 also when the request line was cut off
  res.set(http::field::server, "quillon");
  res.set(http::field::content_type, "application/json");
  res.set(http::field::cache_control, "no-store");
  add_safety_headers(res);
  res.keep_alive(req.keep_alive());
  res.body() = console::to_text(body) + "\n";
  res.prepare_payload();
  return res;
}

Response error_response(const Request& req, http::status status, std::string message) {
  return make_response(req, status, json{{"error", std::move(message)}});
}

// "host[:port]" in lower case with the scheme's port when none is given.
std::string with_port(std::string_view hostport, std::string_view default_port) {
  std::string h = lower(hostport);
  const auto bracket = h.rfind(']');
  const auto colon = h.rfind(':');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) h += ":" + std::string(default_port);
  return h;
}

// Whether an Origin names the console as the request reached it: same scheme, host and port.
bool same_origin(std::string_view origin, std::string_view host, bool tls) {
  const std::string_view scheme = tls ? "https://" : "http://";
  if (host.empty() || origin.size() <= scheme.size() || lower(origin.substr(0, scheme.size())) != scheme) return false;
  const std::string_view rest = origin.substr(scheme.size());
  if (rest.find_first_of("/?#@ \\") != std::string_view::npos) return false;
  const std::string_view port = tls ? "443" : "80";
  return with_port(rest, port) == with_port(host, port);
}

// The value of the session cookie, empty when the request has none.
std::string session_cookie(const Request& req) {
  const auto [first, last] = req.equal_range(http::field::cookie);
  for (auto field = first; field != last; ++field)
    if (std::string value = cookie_value(field->value(), kCookie); !value.empty()) return value;
  return {};
}

// 256 random bits from the kernel's generator, as hex.
std::string random_id() {
  unsigned char bytes[32];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("no random numbers for a session");
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// A parse error of the request itself (as opposed to the peer going away or a limit).
bool malformed(const boost::system::error_code& ec) {
  if (!ec || ec.category() != http::make_error_code(http::error::bad_method).category()) return false;
  return ec != http::error::end_of_stream && ec != http::error::partial_message && ec != http::error::header_limit &&
         ec != http::error::body_limit && ec != http::error::buffer_overflow;
}

bool out_of_resources(const boost::system::error_code& ec) {
  using boost::system::errc::errc_t;
  return ec == errc_t::too_many_files_open || ec == errc_t::too_many_files_open_in_system ||
         ec == errc_t::no_buffer_space || ec == errc_t::not_enough_memory;
}

// A header name or value without the control characters that would end it early.
Response route_response(const Request& req, const ConsoleResponse& answer) {
  Response res{static_cast<http::status>(answer.status), req.version() == 10 ? 10u : 11u};
  res.set(http::field::server, "quillon");
  if (!answer.content_type.empty()) res.set(http::field::content_type, answer.content_type);
  res.set(http::field::cache_control, "no-store");
  add_safety_headers(res);
  for (const auto& [name, value] : answer.headers) res.set(header_text(name), header_text(value));
  res.keep_alive(req.keep_alive());
  res.body() = answer.body;
  res.prepare_payload();
  return res;
}

std::string header_text(std::string_view s) {
  std::string out;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
  return out;
}

}  // namespace console_http

}  // namespace quillon
