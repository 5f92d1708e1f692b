// The operator console over HTTP and WebSocket (Boost.Beast), on the loop's io_context.
//
// Limits and timeouts, in one place:
// - request header 8 KiB, request body 64 KiB (413 beyond); 30 s to send a request or to take
//   a response, then the connection is closed; at most 64 connections at once.
// - WebSocket: at most 16 sessions; messages from the client are read (and ignored) up to 4 KiB;
//   idle peers are pinged and dropped by Beast's suggested server timeouts; each session has
//   exactly one write in flight and at most 1024 messages or 8 MiB queued behind it: a session
//   that falls further behind is closed (the console reconnects and takes a fresh snapshot).
//
// Cross-site safety without a token (loopback only): the Host header must name a loopback host
// (a DNS-rebinding page cannot pass it), an Origin header must be the console's own, and POST
// bodies must be application/json (a browser cannot send that cross-site without a preflight,
// which is never answered).
#include "platform/console_server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/asio_event_loop.hpp"
#include "platform/console_view.hpp"
#include "platform/controls.hpp"

namespace quillon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using console::json;

namespace {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kMaxHeader = 8 * 1024;
constexpr std::uint64_t kMaxBody = 64 * 1024;
constexpr auto kIoTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxSessions = 16;
constexpr std::size_t kMaxClientMessage = 4 * 1024;
constexpr std::size_t kMaxQueuedMessages = 1024;
constexpr std::size_t kMaxQueuedBytes = 8 * 1024 * 1024;
constexpr std::size_t kMaxDrain = 1024 * 1024;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

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
  res.keep_alive(req.keep_alive());
  res.body() = console::to_text(body) + "\n";
  res.prepare_payload();
  return res;
}

Response error_response(const Request& req, http::status status, std::string message) {
  return make_response(req, status, json{{"error", std::move(message)}});
}

}  // namespace

class WsSession;

struct ConsoleServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& io_, ui::Window& w, ConsoleConfig c) : io(io_), window(w), config(std::move(c)), acceptor(io_) {}

  asio::io_context& io;
  ui::Window& window;
  ConsoleConfig config;
  tcp::acceptor acceptor;
  bool stopped = false;
  int observer = 0, message_observer = 0;
  std::set<beast::tcp_stream*> streams;           // open HTTP connections
  std::set<std::shared_ptr<WsSession>> sessions;  // open change streams
  std::map<std::string, std::function<ConsoleResponse()>, std::less<>> get_routes;

  void start();
  void stop();
  asio::awaitable<void> accept_loop();
  asio::awaitable<void> http_session(tcp::socket socket);
  std::optional<Response> refuse(const Request& req) const;
  Response handle(const Request& req);
  void broadcast(const json& j);
};

// One change stream: a read loop that keeps control frames flowing, and a write chain with
// one write in flight and a bounded queue.
class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(std::shared_ptr<ConsoleServer::Impl> owner, beast::tcp_stream stream)
      : owner_(std::move(owner)), ws_(std::move(stream)) {}

  asio::awaitable<void> run(Request req) {
    auto self = shared_from_this();
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "quillon"); }));
    ws_.read_message_max(kMaxClientMessage);
    auto [ec] = co_await ws_.async_accept(req, kNoThrow);
    if (ec || owner_->stopped) co_return;
    owner_->sessions.insert(self);
    json hello = console::window_json(owner_->window);
    hello["type"] = "snapshot";
    send(std::make_shared<const std::string>(console::to_text(hello)));
    beast::flat_buffer buffer;
    for (;;) {
      auto [rec, n] = co_await ws_.async_read(buffer, kNoThrow);
      if (rec) break;
      buffer.consume(buffer.size());
    }
    close();
  }

  void send(std::shared_ptr<const std::string> msg) {
    if (closed_) return;
    if (queue_.size() >= kMaxQueuedMessages || queued_bytes_ + msg->size() > kMaxQueuedBytes) {
      close();  // too slow a reader: drop it rather than grow without bound
      return;
    }
    queued_bytes_ += msg->size();
    queue_.push_back(std::move(msg));
    if (!in_flight_) write_next();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    queued_bytes_ = 0;
    boost::system::error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).socket().close(ec);
    owner_->sessions.erase(shared_from_this());
  }

 private:
  void write_next() {
    in_flight_ = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= in_flight_->size();
    ws_.text(true);
    ws_.async_write(asio::buffer(*in_flight_), [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
      self->in_flight_.reset();
      if (ec) {
        self->close();
        return;
      }
      if (!self->closed_ && !self->queue_.empty()) self->write_next();
    });
  }

  std::shared_ptr<ConsoleServer::Impl> owner_;
  websocket::stream<beast::tcp_stream> ws_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t queued_bytes_ = 0;
  std::shared_ptr<const std::string> in_flight_;
  bool closed_ = false;
};

void ConsoleServer::Impl::start() {
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(config.address == "localhost" ? "127.0.0.1" : config.address, ec);
  if (ec) throw std::runtime_error("console address " + config.address + " is not an IP address");
  if (!address.is_loopback() && config.token.empty())
    throw std::runtime_error("console address " + config.address + " is not a loopback address: an access token is required");
  const tcp::endpoint ep(address, config.port);
  auto fail = [&](const char* what) {
    throw std::runtime_error(std::string("console cannot ") + what + " " + config.address + ":" + std::to_string(config.port) + ": " + ec.message());
  };
  if (acceptor.open(ep.protocol(), ec)) fail("open");
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (acceptor.bind(ep, ec)) fail("bind");
  if (acceptor.listen(asio::socket_base::max_listen_connections, ec)) fail("listen on");

  observer = window.add_observer([this](const ui::Control& c, std::string_view property) {
    if (!sessions.empty()) broadcast(console::change_json(c, property));
  });
  message_observer = window.add_message_observer([this](const ui::MessageBox& m, bool shown) {
    if (!sessions.empty()) broadcast(console::message_json(m, shown));
  });
  asio::co_spawn(io, accept_loop(), [](std::exception_ptr) {});
}

void ConsoleServer::Impl::stop() {
  if (stopped) return;
  stopped = true;
  window.remove_observer(observer);
  window.remove_message_observer(message_observer);
  boost::system::error_code ec;
  acceptor.close(ec);
  for (auto* s : std::vector<beast::tcp_stream*>(streams.begin(), streams.end())) s->socket().close(ec);
  for (auto& s : std::vector<std::shared_ptr<WsSession>>(sessions.begin(), sessions.end())) s->close();
}

void ConsoleServer::Impl::broadcast(const json& j) {
  const auto msg = std::make_shared<const std::string>(console::to_text(j));
  for (auto& s : std::vector<std::shared_ptr<WsSession>>(sessions.begin(), sessions.end())) s->send(msg);
}

asio::awaitable<void> ConsoleServer::Impl::accept_loop() {
  auto self = shared_from_this();
  while (!stopped) {
    auto [ec, socket] = co_await acceptor.async_accept(kNoThrow);
    if (stopped) break;
    if (ec) {
      if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) break;
      continue;  // a connection that failed before it was accepted (or out of descriptors)
    }
    if (streams.size() >= kMaxConnections) {
      socket.close(ec);
      continue;
    }
    asio::co_spawn(io, http_session(std::move(socket)), [](std::exception_ptr) {});
  }
}

std::optional<Response> ConsoleServer::Impl::refuse(const Request& req) const {
  if (!config.token.empty()) {
    const std::string_view auth = req[http::field::authorization];
    const std::string_view scheme = "Bearer ";
    if (auth.size() <= scheme.size() || lower(auth.substr(0, scheme.size())) != "bearer " ||
        !equal_constant_time(auth.substr(scheme.size()), config.token)) {
      auto res = error_response(req, http::status::unauthorized, "an access token is required: Authorization: Bearer TOKEN");
      res.set(http::field::www_authenticate, "Bearer");
      return res;
    }
    return std::nullopt;
  }
  const std::string host = host_part(req[http::field::host]);
  if (req.find(http::field::host) != req.end() && !loopback_host(host))
    return error_response(req, http::status::forbidden, "the console answers to loopback host names only");
  const std::string_view origin = req[http::field::origin];
  if (req.find(http::field::origin) != req.end()) {
    const auto scheme_end = origin.find("://");
    if (scheme_end == std::string_view::npos || !loopback_host(host_part(origin.substr(scheme_end + 3))))
      return error_response(req, http::status::forbidden, "requests from other sites are refused");
  }
  return std::nullopt;
}

Response ConsoleServer::Impl::handle(const Request& req) {
  if (auto refused = refuse(req)) return *refused;
  const std::string_view target = req.target();
  const std::string_view path = target.substr(0, target.find('?'));
  if (path == "/api/window") {
    if (req.method() != http::verb::get) return error_response(req, http::status::method_not_allowed, "use GET");
    return make_response(req, http::status::ok, console::window_json(window));
  }
  if (path == "/api/action") {
    if (req.method() != http::verb::post) return error_response(req, http::status::method_not_allowed, "use POST");
    const std::string type = lower(req[http::field::content_type]);
    if (type.substr(0, type.find(';')) != "application/json")
      return error_response(req, http::status::unsupported_media_type, "the body must be sent as Content-Type: application/json");
    const console::Reply reply = console::run_action(window, req.body());
    return make_response(req, static_cast<http::status>(reply.status), reply.body);
  }
  if (path == "/api/events") return error_response(req, http::status::upgrade_required, "/api/events is a WebSocket");
  if (const auto route = get_routes.find(path); route != get_routes.end()) {
    if (req.method() != http::verb::get) return error_response(req, http::status::method_not_allowed, "use GET");
    const ConsoleResponse answer = route->second();
    Response res{static_cast<http::status>(answer.status), req.version() == 10 ? 10u : 11u};
    res.set(http::field::server, "quillon");
    res.set(http::field::content_type, answer.content_type);
    res.set(http::field::cache_control, "no-store");
    res.keep_alive(req.keep_alive());
    res.body() = answer.body;
    res.prepare_payload();
    return res;
  }
  return error_response(req, http::status::not_found, "no such resource (GET /api/window, GET /api/events, POST /api/action)");
}

asio::awaitable<void> ConsoleServer::Impl::http_session(tcp::socket socket) {
  auto self = shared_from_this();
  beast::tcp_stream stream(std::move(socket));
  streams.insert(&stream);
  struct Unregister {
    Impl& impl;
    beast::tcp_stream* s;
    ~Unregister() { impl.streams.erase(s); }
  } unregister{*this, &stream};

  beast::flat_buffer buffer;
  bool drain = false;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxHeader);
    parser.body_limit(kMaxBody);
    stream.expires_after(kIoTimeout);
    auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, kNoThrow);
    if (stopped) co_return;
    std::optional<Response> early;
    if (hec == http::error::body_limit) {
      early = error_response(parser.get(), http::status::payload_too_large, "the body is larger than 64 KiB");
    } else if (hec == http::error::header_limit) {
      early = error_response(parser.get(), http::status::request_header_fields_too_large, "the request header is larger than 8 KiB");
    } else if (hec) {
      break;
    } else {
      if (lower(parser.get()[http::field::expect]) == "100-continue") {
        http::response<http::empty_body> cont{http::status::continue_, parser.get().version()};
        auto [cec, cn] = co_await http::async_write(stream, cont, kNoThrow);
        if (cec || stopped) break;
      }
      auto [bec, bn] = co_await http::async_read(stream, buffer, parser, kNoThrow);
      if (stopped) co_return;
      if (bec == http::error::body_limit) early = error_response(parser.get(), http::status::payload_too_large, "the body is larger than 64 KiB");
      else if (bec) break;
    }
    if (early) {
      early->keep_alive(false);
      co_await http::async_write(stream, *early, kNoThrow);
      drain = true;
      break;
    }

    Request req = parser.release();
    if (websocket::is_upgrade(req)) {
      std::optional<Response> no;
      if (auto refused = refuse(req)) no = std::move(refused);
      else if (req.target().substr(0, req.target().find('?')) != "/api/events")
        no = error_response(req, http::status::not_found, "the change stream is at /api/events");
      else if (sessions.size() >= kMaxSessions)
        no = error_response(req, http::status::service_unavailable, "too many change streams open");
      if (no) {
        no->keep_alive(false);
        co_await http::async_write(stream, *no, kNoThrow);
        break;
      }
      streams.erase(&stream);  // the session owns the connection from here on
      auto session = std::make_shared<WsSession>(self, std::move(stream));
      co_await session->run(std::move(req));
      co_return;
    }

    Response res = handle(req);
    const bool keep = res.keep_alive();
    stream.expires_after(kIoTimeout);
    auto [wec, wn] = co_await http::async_write(stream, res, kNoThrow);
    if (wec || !keep || stopped) break;
  }
  if (stopped) co_return;
  boost::system::error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_send, ec);
  if (drain) {
    // Read what the client still sends so that closing does not reset the connection before
    // it has read the answer.
    std::vector<char> sink(16 * 1024);
    std::size_t drained = 0;
    stream.expires_after(std::chrono::seconds(2));
    while (drained < kMaxDrain && !stopped) {
      auto [dec, dn] = co_await stream.async_read_some(asio::buffer(sink), kNoThrow);
      if (dec) break;
      drained += dn;
    }
  }
  if (!stopped) stream.socket().close(ec);
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
  return "http://" + (v6 ? "[" + config.address + "]" : config.address) + ":" + std::to_string(port) + "/";
}

std::string read_console_token(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the console token file " + file.string());
  std::string line;
  std::getline(in, line);
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
    : impl_(std::make_shared<Impl>(loop.io(), window, config)) {
  impl_->start();
}

ConsoleServer::~ConsoleServer() { impl_->stop(); }

std::uint16_t ConsoleServer::port() const {
  boost::system::error_code ec;
  const auto ep = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : ep.port();
}

void ConsoleServer::stop() { impl_->stop(); }

void ConsoleServer::add_get_route(std::string path, std::function<ConsoleResponse()> handler) {
  impl_->get_routes[std::move(path)] = std::move(handler);
}

}  // namespace quillon
