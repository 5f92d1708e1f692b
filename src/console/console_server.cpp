// The operator console over HTTP and WebSocket (Boost.Beast), optionally over TLS, on the
// loop's io_context.
//
// Limits and timeouts, in one place:
// - request header 8 KiB, request body 64 KiB (413 beyond); a request header (and the TLS
//   handshake) must arrive within 10 s of the connection or of the previous answer, however it
//   trickles in; a body or an answer gets 30 s. Malformed HTTP is answered 400, then closed.
// - connections: at most 128, at most 32 from one address. A connection past either limit takes
//   the place of the one that has waited longest for its request header, so connections that
//   never finish a request cannot keep a real one out. Out of descriptors, accepting pauses
//   (50 ms, doubling to 1 s) instead of spinning on the listener.
// - WebSocket: at most 16 sessions, handshakes under way included; messages from the client are
//   read (and ignored) up to 4 KiB; idle peers are pinged and dropped by Beast's suggested
//   server timeouts; each session has exactly one write in flight and at most 1024 messages or
//   8 MiB queued behind it: a session that falls further behind is closed (the page reconnects
//   and takes a fresh snapshot). Published events (audio levels) skip a session with 16
//   messages waiting: the next one replaces them.
// - live streams (stream routes): the answer's head, then the source's units as they come, with
//   no length (the end of the connection ends the stream); a listener whose queue holds units
//   older than the route's limit (a few seconds) or more bytes than its limit is dropped, and
//   the kernel's send buffer is kept small so that what the listener is behind by is in the
//   queue. Their number is bounded by the route's source, not by the connection limits.
// - sign-in sessions: at most 64 (the oldest goes first), each for 12 hours; a restart ends all.
//
// Access. The page's files and /api/session are open to every client; everything else needs,
// when a token is configured, "Authorization: Bearer TOKEN" or the session cookie that
// POST /api/session gives for the token. Without a token (loopback only) the Host header must
// name a loopback host, so a DNS-rebinding page cannot pass. An Origin header on an API request
// must be the console's own (scheme, host and port, as the request's Host names them); a
// cookie-authenticated request that changes something (POST, DELETE, WebSocket) must carry one.
// POST bodies must be application/json, which a browser cannot send cross-site without a
// preflight, and preflights are never answered.

#include "console/console_internal.hpp"

#include <fstream>
#include <stdexcept>

#include "core/asio_event_loop.hpp"
#include "core/cloexec.hpp"
#include "core/private_file.hpp"

namespace quillon {

void ConsoleServer::Impl::start() {
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(config.address == "localhost" ? "127.0.0.1" : config.address, ec);
  if (ec) throw std::runtime_error("console address " + config.address + " is not an IP address");
  if (!address.is_loopback() && config.token.empty() && !config.listen_only)
    throw std::runtime_error("console address " + config.address + " is not a loopback address: an access token is required");
  if (config.tls_cert.empty() != config.tls_key.empty())
    throw std::invalid_argument("TLS needs both a certificate and a key");
  if (!config.tls_cert.empty()) {
    tls = std::make_unique<ssl::context>(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    tls->use_certificate_chain_file(config.tls_cert.string(), ec);
    if (ec) throw std::invalid_argument("cannot use the TLS certificate " + config.tls_cert.string() + ": " + ec.message());
    tls->use_private_key_file(config.tls_key.string(), ssl::context::pem, ec);
    if (ec) throw std::invalid_argument("cannot use the TLS key " + config.tls_key.string() + ": " + ec.message());
  }
  const tcp::endpoint ep(address, config.port);
  auto fail = [&](const char* what) {
    throw std::runtime_error(std::string("console cannot ") + what + " " + config.address + ":" + std::to_string(config.port) + ": " + ec.message());
  };
  if (acceptor.open(ep.protocol(), ec)) fail("open");
  set_cloexec(acceptor.native_handle());  // a started program (the mixer) must not inherit it
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (acceptor.bind(ep, ec)) fail("bind");
  if (acceptor.listen(asio::socket_base::max_listen_connections, ec)) fail("listen on");

  if (loop && !config.listen_only)
    change_feed = std::make_unique<console::ChangeFeed>(
        *loop, window, kChangeInterval, [this] { return !sessions.empty(); },
        [this](const std::shared_ptr<const std::string>& msg, const ui::Control* about) { broadcast(msg, about); });
  asio::co_spawn(io, accept_loop(), [](std::exception_ptr) {});
}

void ConsoleServer::flush_changes() {
  if (impl_->change_feed && !impl_->stopped) impl_->change_feed->flush();
}

void ConsoleServer::Impl::stop() {
  if (stopped) return;
  stopped = true;
  stream_watcher = nullptr;  // its owner may be gone before the streams have closed
  if (change_feed) {
    change_feed->flush();  // the pages see the state the window ended in
    change_feed->close();
  }
  for (Feed* f : std::vector<Feed*>(feeds.begin(), feeds.end())) f->end();
  feeds.clear();
  boost::system::error_code ec;
  acceptor.close(ec);
  accept_pause.cancel();
  // Idle connections go now; one busy with a request finishes its answer (the operator's Exit).
  for (auto& [id, c] : connections)
    if (c.stream && c.waiting) c.stream->socket().close(ec);
  const auto goodbye = std::make_shared<const std::string>(console::to_text(console::stopped_json()));
  for (auto& s : std::vector<std::shared_ptr<WsSessionBase>>(sessions.begin(), sessions.end())) s->finish(goodbye);
  if (sessions.empty()) drained();
}

void ConsoleServer::Impl::drained() {
  if (!on_drained) return;
  auto done = std::move(on_drained);
  on_drained = nullptr;
  drain_limit.cancel();
  done();
}

void ConsoleServer::Impl::broadcast(const std::shared_ptr<const std::string>& msg, const ui::Control* about) {
  // Timers change many times a second and only a diagnostics view shows them.
  const bool timer = about && about->kind() == ui::Kind::Timer;
  for (auto& s : std::vector<std::shared_ptr<WsSessionBase>>(sessions.begin(), sessions.end()))
    if (!timer || s->timers) s->send(msg);
}

// A page's message on its stream: {"watch": ["timers"]} asks for the timers' changes (and gets
// every timer's state at once), {"watch": []} stops them. Anything else is ignored.
void ConsoleServer::Impl::watch(WsSessionBase& session, std::string_view request) {
  const json j = json::parse(request, nullptr, false);
  if (!j.is_object()) return;
  const auto it = j.find("watch");
  if (it == j.end() || !it->is_array()) return;
  const bool timers = std::find(it->begin(), it->end(), json("timers")) != it->end();
  if (timers == session.timers) return;
  session.timers = timers;
  if (!timers || !change_feed) return;
  change_feed->flush();  // from here on the page gets every timer change after the state below
  for (const ui::Control* c : window.controls())
    if (c->kind() == ui::Kind::Timer) session.send(std::make_shared<const std::string>(console::to_text(console::change_json(*c, "timer"))));
}

// --- Public face -------------------------------------------------------------------------------

std::optional<ConsoleConfig> parse_console_option(std::string_view value) {
  if (value == "off") return std::nullopt;
  const auto colon = value.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == value.size())
    throw std::invalid_argument("--console needs ADDR:PORT or off, not \"" + std::string(value) + "\"");
  std::string address(value.substr(0, colon));
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
  const std::string_view port = value.substr(colon + 1);
  unsigned long p = 0;
  for (char c : port) {
    if (c < '0' || c > '9' || p > 65535) throw std::invalid_argument("--console port \"" + std::string(port) + "\" is not a port number");
    p = p * 10 + static_cast<unsigned long>(c - '0');
  }
  if (p > 65535) throw std::invalid_argument("--console port \"" + std::string(port) + "\" is not a port number");
  boost::system::error_code ec;
  if (address != "localhost") {
    asio::ip::make_address(address, ec);
    if (ec) throw std::invalid_argument("--console address \"" + address + "\" is not an IP address");
  }
  ConsoleConfig c;
  c.address = address;
  c.port = static_cast<std::uint16_t>(p);
  return c;
}

bool is_loopback(const ConsoleConfig& config) { return loopback_host(lower(config.address)); }

std::string console_url(const ConsoleConfig& config, std::uint16_t port) {
  const bool v6 = config.address.find(':') != std::string::npos;
  return (config.tls_cert.empty() ? "http://" : "https://") + (v6 ? "[" + config.address + "]" : config.address) + ":" + std::to_string(port) + "/";
}

std::string read_console_token(const std::filesystem::path& file) {
  std::string line = read_private_file(file, "console token file");
  line.erase(std::min(line.find('\n'), line.size()));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  std::size_t start = 0;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  line.erase(0, start);
  if (line.size() < 16) throw std::runtime_error("the console token in " + file.string() + " is shorter than 16 characters");
  if (line.size() > 1024) throw std::runtime_error("the console token in " + file.string() + " is longer than 1024 characters");
  for (char c : line)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      throw std::runtime_error("the console token in " + file.string() + " holds blanks or control characters");
  return line;
}

ConsoleServer::ConsoleServer(AsioEventLoop& loop, ui::Window& window, const ConsoleConfig& config)
    : impl_(std::make_shared<Impl>(loop.io(), window, config, &loop)) {
  impl_->start();
}

ConsoleServer::~ConsoleServer() { impl_->stop(); }

std::uint16_t ConsoleServer::port() const {
  boost::system::error_code ec;
  const auto ep = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : ep.port();
}

void ConsoleServer::stop() { impl_->stop(); }

void ConsoleServer::shutdown(std::function<void()> done, std::chrono::milliseconds limit) {
  impl_->on_drained = std::move(done);
  impl_->drain_limit.expires_after(limit);
  impl_->drain_limit.async_wait([impl = impl_](boost::system::error_code ec) {
    if (!ec) impl->drained();  // a stream that cannot take its last message in time is left
  });
  impl_->stop();
}

void ConsoleServer::add_get_route(std::string path, std::function<ConsoleResponse()> handler) {
  impl_->routes[std::move(path)] = std::move(handler);
}

void ConsoleServer::add_request_route(std::string prefix, std::function<ConsoleResponse(const ConsoleRequest&)> handler) {
  impl_->request_routes.emplace_back(std::move(prefix), std::move(handler));
}

void ConsoleServer::publish(std::string text) {
  if (impl_->stopped || impl_->sessions.empty()) return;
  const auto msg = std::make_shared<const std::string>(std::move(text));
  for (auto& s : std::vector<std::shared_ptr<WsSessionBase>>(impl_->sessions.begin(), impl_->sessions.end())) s->send_unless_behind(msg);
}

void ConsoleServer::publish_state(const std::string& kind, std::string text, std::string instead) {
  if (impl_->stopped || impl_->sessions.empty()) return;
  const auto msg = std::make_shared<const std::string>(std::move(text));
  const auto held = instead.empty() ? msg : std::make_shared<const std::string>(std::move(instead));
  for (auto& s : std::vector<std::shared_ptr<WsSessionBase>>(impl_->sessions.begin(), impl_->sessions.end()))
    s->send_or_hold(kind, msg, held);
}

void ConsoleServer::on_event_streams(std::function<void(std::size_t)> watcher) {
  impl_->stream_watcher = std::move(watcher);
  impl_->streams_changed();
}

void ConsoleServer::add_stream_route(std::string prefix, std::function<ConsoleStream(const ConsoleRequest&)> open) {
  impl_->stream_routes.push_back({std::move(prefix), std::move(open)});
}

std::size_t ConsoleServer::streams() const { return impl_->feeds.size(); }

}  // namespace quillon

// --- Without a network (console_probe.hpp) ------------------------------------------------------

#include "console/console_probe.hpp"

namespace quillon {

ConsoleAnswer console_answer(ui::Window& window, const ConsoleConfig& config, std::string_view raw) {
  static asio::io_context io;  // never run: the acceptor below is never opened
  ConsoleServer::Impl impl(io, window, config);
  http::request_parser<http::string_body> parser;
  parser.header_limit(kMaxHeader);
  parser.body_limit(kMaxBody);
  parser.eager(true);
  beast::error_code ec;
  while (!raw.empty() && !parser.is_done()) {
    const std::size_t used = parser.put(asio::buffer(raw.data(), raw.size()), ec);
    if (ec || used == 0) break;
    raw.remove_prefix(used);
  }
  if (ec == http::error::body_limit) return {413, {}};
  if (ec == http::error::header_limit) return {431, {}};
  if (ec || !parser.is_done()) return {};
  const Response res = impl.handle(parser.get());
  return {static_cast<int>(res.result_int()), res.body()};
}

}  // namespace quillon
