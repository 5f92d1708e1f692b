#pragma once
// The console server's inner parts, shared by its files: limits, HTTP helpers, the server's
// state (ConsoleServer::Impl), change-stream sessions and live-stream feeds. Only the console's
// own .cpp files include this; Beast stays out of every other part of the program.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <map>
#include <set>
#include <vector>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "console/any_stream.hpp"
#include "console/console_changes.hpp"
#include "console/console_server.hpp"
#include "console/console_view.hpp"
#include "core/event_loop.hpp"

namespace quillon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using console::json;
using namespace std::chrono_literals;

namespace console_http {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kMaxHeader = 8 * 1024;
constexpr std::uint64_t kMaxBody = 64 * 1024;
constexpr auto kHeaderTimeout = 10s;
constexpr auto kIoTimeout = 30s;
constexpr std::size_t kMaxConnections = 128;
constexpr std::size_t kMaxPerAddress = 32;
constexpr std::size_t kMaxSessions = 16;
constexpr std::size_t kMaxClientMessage = 4 * 1024;
// Changes of one control within this interval reach the pages as one event.
constexpr Millis kChangeInterval{250};
constexpr std::size_t kMaxQueuedMessages = 1024;
constexpr std::size_t kMaxQueuedBytes = 8 * 1024 * 1024;
constexpr std::size_t kBehind = 16;  // queued messages past which published events are dropped
constexpr std::size_t kMaxDrain = 1024 * 1024;
constexpr std::size_t kMaxSignedIn = 64;
constexpr std::size_t kStreamSendBuffer = 8 * 1024;  // the kernel doubles it
constexpr auto kSignInLife = 12h;
constexpr auto kAcceptPauseMin = 50ms;
constexpr auto kAcceptPauseMax = 1000ms;
constexpr std::string_view kCookie = "quillon_session";

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using PlainStream = beast::tcp_stream;

// Sent with every answer: the page runs only its own scripts and styles, talks only to its own
// origin (WebSocket included), cannot be framed, and nothing is sniffed or leaks a referrer.
// Media may also come from blob: URLs, the page's own Media Source feeds (Listen).
constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; media-src 'self' blob:; "
    "connect-src 'self'; font-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

template <class Message>
void add_safety_headers(Message& m) {
  m.set("Content-Security-Policy", kContentSecurityPolicy);
  m.set("X-Content-Type-Options", "nosniff");
  m.set("Referrer-Policy", "no-referrer");
  m.set("X-Frame-Options", "DENY");
}

std::string lower(std::string_view s);
bool equal_constant_time(std::string_view a, std::string_view b);
std::string host_part(std::string_view hostport);
bool loopback_host(const std::string& host);
Response make_response(const Request& req, http::status status, const json& body);
Response error_response(const Request& req, http::status status, std::string message);
// An added route's answer as the response to `req` (not cached; the route's own headers last).
Response route_response(const Request& req, const ConsoleResponse& answer);
std::string_view content_type_of(std::string_view path);
bool etag_matches(std::string_view header, std::string_view etag);
bool accepts_gzip(std::string_view header);
std::optional<Response> asset_response(const Request& req, std::string_view path);
std::string with_port(std::string_view hostport, std::string_view default_port);
bool same_origin(std::string_view origin, std::string_view host, bool tls);
std::string session_cookie(const Request& req);
std::string random_id();
bool malformed(const boost::system::error_code& ec);
bool out_of_resources(const boost::system::error_code& ec);
// A header name or value without the control characters that would end it early.
std::string header_text(std::string_view s);

}  // namespace console_http

using namespace console_http;

// A change stream, whatever carries it (TCP or TLS).
struct WsSessionBase {
  virtual ~WsSessionBase() = default;
  bool timers = false;  // the page asked for the window timers' changes (its diagnostics view)
  virtual void send(std::shared_ptr<const std::string> msg) = 0;
  // Sends unless the peer is already behind: for events a later one replaces.
  virtual void send_unless_behind(std::shared_ptr<const std::string> msg) = 0;
  // Sends, or, while the peer is behind, holds as the newest message of its kind until it
  // has caught up.
  virtual void send_or_hold(const std::string& kind, std::shared_ptr<const std::string> msg,
                            std::shared_ptr<const std::string> held) = 0;
  virtual void finish(std::shared_ptr<const std::string> msg) = 0;
  virtual void close() = 0;
};

struct ConsoleServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& io_, ui::Window& w, ConsoleConfig c, EventLoop* l = nullptr)
      : io(io_), loop(l), window(w), config(std::move(c)), acceptor(io_), accept_pause(io_) {}

  asio::io_context& io;
  EventLoop* loop;  // null for a console that only answers single requests (console_probe.hpp)
  ui::Window& window;
  ConsoleConfig config;
  tcp::acceptor acceptor;
  asio::steady_timer accept_pause;
  std::unique_ptr<ssl::context> tls;  // set when the console speaks TLS
  bool stopped = false;
  std::unique_ptr<console::ChangeFeed> change_feed;  // the window's changes, for the event streams

  // HTTP connections by accept order; `waiting` while a request header is awaited.
  struct Connection {
    std::string address;
    beast::tcp_stream* stream = nullptr;  // set once its session runs
    bool waiting = true;
    std::uint64_t waiting_since = 0;
  };
  std::map<std::uint64_t, Connection> connections;
  std::map<std::string, std::size_t> per_address;
  std::uint64_t next_connection = 0, wait_order = 0;

  std::set<std::shared_ptr<WsSessionBase>> sessions;  // open change streams
  std::size_t upgrading = 0;                          // handshakes under way
  std::function<void(std::size_t)> stream_watcher;    // told the number of open streams
  void streams_changed() {
    if (stream_watcher && !stopped) stream_watcher(sessions.size());
  }

  struct SignedIn {
    std::string id;
    std::chrono::steady_clock::time_point expires;
  };
  std::deque<SignedIn> signed_in;
  std::map<std::string, std::function<ConsoleResponse()>, std::less<>> routes;
  std::vector<std::pair<std::string, std::function<ConsoleResponse(const ConsoleRequest&)>>> request_routes;

  // Live streams: routes by path prefix, and the connections streaming now.
  struct StreamRoute {
    std::string prefix;
    std::function<ConsoleStream(const ConsoleRequest&)> open;
  };
  std::vector<StreamRoute> stream_routes;
  struct Feed;
  std::set<Feed*> feeds;
  const StreamRoute* stream_route(std::string_view path) const;
  asio::awaitable<void> stream_out(AnyStream& stream, const Request& req, ConsoleStream answer);

  // Live sockets, open routes and pages added by the composition (console_live.cpp).
  struct SocketRoute {
    std::string prefix;
    std::function<ConsoleStream(const ConsoleRequest&)> open;
  };
  std::vector<SocketRoute> socket_routes;
  std::map<std::string, std::function<ConsoleResponse(const ConsoleRequest&)>, std::less<>> open_routes;
  std::map<std::string, std::string, std::less<>> pages;
  struct DeferredRoute {
    std::string prefix;
    std::function<void(const ConsoleRequest&, ConsoleServer::Respond)> handler;
  };
  std::vector<DeferredRoute> deferred_routes;
  const DeferredRoute* deferred_route(std::string_view path) const;
  asio::awaitable<Response> deferred_answer(const Request& req, std::string address, const DeferredRoute& route);
  std::size_t live_sockets = 0;
  const SocketRoute* socket_route(std::string_view path) const;
  std::optional<Response> refuse_foreign(const Request& req);
  ConsoleRequest describe(const Request& req, const std::string& address);
  std::optional<Response> open_answer(const Request& req, const std::string& address);
  asio::awaitable<void> live_socket(AnyStream stream, Request req, std::string address, const SocketRoute& route);

  void start();
  void stop();
  void drained();
  std::function<void()> on_drained;  // shutdown's caller, waiting for the streams to finish
  asio::steady_timer drain_limit{io};
  asio::awaitable<void> accept_loop();
  void admit(tcp::socket socket);
  asio::awaitable<void> http_session(AnyStream stream, std::uint64_t id);
  void forget(std::uint64_t id);
  void set_waiting(std::uint64_t id, bool waiting);
  bool shed_longest_waiting(std::string_view address);
  static void say_unavailable(tcp::socket& socket);

  bool bearer_ok(const Request& req) const;
  bool cookie_ok(const Request& req);
  // A token is required and the request has it, or a signed-in session.
  bool credentialed(const Request& req) { return !config.token.empty() && (bearer_ok(req) || cookie_ok(req)); }
  std::optional<Response> refuse(const Request& req, bool api, bool credentials);
  Response session_endpoint(const Request& req);
  Response handle(const Request& req);
  void broadcast(const std::shared_ptr<const std::string>& msg, const ui::Control* about);
  void watch(WsSessionBase& session, std::string_view request);
};

// One streaming connection's queue. The source pushes units; the connection's coroutine writes
// them one at a time and sleeps on `wake` while there are none.
struct ConsoleServer::Impl::Feed {
  Feed(asio::io_context& io, beast::tcp_stream& t) : wake(io), tcp(&t) {}
  asio::steady_timer wake;
  beast::tcp_stream* tcp;  // the connection's, valid while its coroutine runs
  std::deque<std::pair<std::vector<std::uint8_t>, std::chrono::steady_clock::time_point>> queue;
  std::size_t bytes = 0;
  bool ended = false;
  bool closing = false;  // the source said it is done: what is queued goes, then the end
  std::function<void()> stop_source;

  // Ends the stream from either side: the source is let go at once (it may be the caller),
  // and the connection's pending write or wait returns.
  void end() {
    if (ended) return;
    ended = true;
    boost::system::error_code ec;
    tcp->socket().close(ec);
    wake.cancel();
    if (auto stop = std::move(stop_source)) {
      stop_source = nullptr;
      stop();
    }
  }
};

}  // namespace quillon
