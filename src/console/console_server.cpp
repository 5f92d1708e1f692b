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
#include "console/console_server.hpp"

#include <sys/random.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "core/asio_event_loop.hpp"
#include "core/cloexec.hpp"
#include "console/console_changes.hpp"
#include "console/console_view.hpp"
#include "window/controls.hpp"
#include "core/private_file.hpp"
#include "console/web_assets.hpp"

namespace quillon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using console::json;
using namespace std::chrono_literals;

namespace {

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
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

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
  for (auto field = first; field != last; ++field) {
    std::string_view rest = field->value();
    while (!rest.empty()) {
      const auto semi = rest.find(';');
      std::string_view item = rest.substr(0, semi);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      if (item.size() > kCookie.size() && item.substr(0, kCookie.size()) == kCookie && item[kCookie.size()] == '=')
        return std::string(item.substr(kCookie.size() + 1));
      if (semi == std::string_view::npos) break;
      rest.remove_prefix(semi + 1);
    }
  }
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

}  // namespace

// A change stream, whatever carries it (TCP or TLS).
struct WsSessionBase {
  virtual ~WsSessionBase() = default;
  bool timers = false;  // the page asked for the window timers' changes (its diagnostics view)
  virtual void send(std::shared_ptr<const std::string> msg) = 0;
  // Sends unless the peer is already behind: for events a later one replaces.
  virtual void send_unless_behind(std::shared_ptr<const std::string> msg) = 0;
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

  // Live streams: routes by path prefix, and the connections streaming now.
  struct StreamRoute {
    std::string prefix;
    std::function<ConsoleStream(std::string_view path)> open;
  };
  std::vector<StreamRoute> stream_routes;
  struct Feed;
  std::set<Feed*> feeds;
  const StreamRoute* stream_route(std::string_view path) const;
  template <class Stream>
  asio::awaitable<void> stream_out(Stream& stream, const Request& req, ConsoleStream answer);

  void start();
  void stop();
  void drained();
  std::function<void()> on_drained;  // shutdown's caller, waiting for the streams to finish
  asio::steady_timer drain_limit{io};
  asio::awaitable<void> accept_loop();
  void admit(tcp::socket socket);
  template <class Stream>
  asio::awaitable<void> http_session(Stream stream, std::uint64_t id);
  void forget(std::uint64_t id);
  void set_waiting(std::uint64_t id, bool waiting);
  bool shed_longest_waiting(std::string_view address);

  bool bearer_ok(const Request& req) const;
  bool cookie_ok(const Request& req);
  std::optional<Response> refuse(const Request& req, bool api, bool credentials);
  Response session_endpoint(const Request& req);
  Response handle(const Request& req);
  void broadcast(const std::shared_ptr<const std::string>& msg, const ui::Control* about);
  void watch(WsSessionBase& session, std::string_view request);
};

// One change stream: a read loop that keeps control frames flowing, and a write chain with
// one write in flight and a bounded queue.
template <class Stream>
class WsSession : public WsSessionBase, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  WsSession(const std::shared_ptr<ConsoleServer::Impl>& owner, Stream stream) : owner_(owner), ws_(std::move(stream)) {}

  // The handshake slot was taken by the caller (Impl::upgrading); it is given back here.
  asio::awaitable<void> run(Request req) {
    auto self = this->shared_from_this();
    const auto owner = owner_.lock();  // the caller holds it for as long as this runs
    if (!owner) co_return;
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
      res.set(http::field::server, "quillon");
      add_safety_headers(res);
    }));
    ws_.read_message_max(kMaxClientMessage);
    auto [ec] = co_await ws_.async_accept(req, kNoThrow);
    --owner->upgrading;
    if (ec || owner->stopped) co_return;
    // What the other pages are still to get goes out first: from here on this page gets
    // every change after its snapshot.
    if (owner->change_feed) owner->change_feed->flush();
    owner->sessions.insert(self);
    json hello = console::window_json(owner->window);
    hello["type"] = "snapshot";
    send(std::make_shared<const std::string>(console::to_text(hello)));
    owner->streams_changed();
    beast::flat_buffer buffer;
    for (;;) {
      auto [rec, n] = co_await ws_.async_read(buffer, kNoThrow);
      if (rec || owner->stopped) break;
      owner->watch(*this, std::string_view(static_cast<const char*>(buffer.data().data()), buffer.size()));
      buffer.consume(buffer.size());
    }
    close();
  }

  void send(std::shared_ptr<const std::string> msg) override {
    if (closed_) return;
    if (queue_.size() >= kMaxQueuedMessages || queued_bytes_ + msg->size() > kMaxQueuedBytes) {
      close();  // too slow a reader: drop it rather than grow without bound
      return;
    }
    queued_bytes_ += msg->size();
    queue_.push_back(std::move(msg));
    if (!in_flight_) write_next();
  }

  void send_unless_behind(std::shared_ptr<const std::string> msg) override {
    if (queue_.size() < kBehind) send(std::move(msg));
  }

  // The last word before the server goes: queued behind everything already on its way, and
  // the stream closes once it is written.
  void finish(std::shared_ptr<const std::string> msg) override {
    if (closed_) return;
    finishing_ = true;
    send(std::move(msg));
  }

  void close() override {
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    queued_bytes_ = 0;
    boost::system::error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).socket().close(ec);
    if (const auto owner = owner_.lock()) {
      owner->sessions.erase(this->shared_from_this());
      owner->streams_changed();
      if (owner->sessions.empty()) owner->drained();
    }
  }

 private:
  void write_next() {
    in_flight_ = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= in_flight_->size();
    ws_.text(true);
    ws_.async_write(asio::buffer(*in_flight_), [self = this->shared_from_this()](boost::system::error_code ec, std::size_t) {
      self->in_flight_.reset();
      if (ec) {
        self->close();
        return;
      }
      if (self->closed_) return;
      if (!self->queue_.empty()) self->write_next();
      else if (self->finishing_) self->close();
    });
  }

  // Weak: the server keeps its sessions, and a loop stopped with their operations pending
  // must not leave the two holding each other.
  std::weak_ptr<ConsoleServer::Impl> owner_;
  websocket::stream<Stream> ws_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t queued_bytes_ = 0;
  std::shared_ptr<const std::string> in_flight_;
  bool closed_ = false;
  bool finishing_ = false;
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

const ConsoleServer::Impl::StreamRoute* ConsoleServer::Impl::stream_route(std::string_view path) const {
  for (const auto& r : stream_routes)
    if (path.substr(0, r.prefix.size()) == r.prefix) return &r;
  return nullptr;
}

namespace {
// A header name or value without the control characters that would end it early.
std::string header_text(std::string_view s) {
  std::string out;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
  return out;
}
}  // namespace

template <class Stream>
asio::awaitable<void> ConsoleServer::Impl::stream_out(Stream& stream, const Request& req, ConsoleStream answer) {
  beast::tcp_stream& tcp_layer = beast::get_lowest_layer(stream);
  // Close-delimited: no length, no chunking; every player and browser takes that.
  http::response<http::empty_body> head{http::status::ok, req.version() == 10 ? 10u : 11u};
  head.set(http::field::server, "quillon");
  head.set(http::field::content_type, header_text(answer.content_type));
  head.set(http::field::cache_control, "no-cache, no-store");
  add_safety_headers(head);
  for (const auto& [name, value] : answer.headers) head.set(header_text(name), header_text(value));
  head.keep_alive(false);
  http::response_serializer<http::empty_body> serializer{head};
  tcp_layer.expires_after(kIoTimeout);
  auto [hec, hn] = co_await http::async_write_header(stream, serializer, kNoThrow);
  if (hec || stopped || req.method() == http::verb::head || !answer.start) co_return;
  // A small send buffer: what the kernel holds for a listener is audio it is behind by.
  boost::system::error_code ec;
  tcp_layer.socket().set_option(asio::socket_base::send_buffer_size(static_cast<int>(kStreamSendBuffer)), ec);

  auto feed = std::make_shared<Feed>(io, tcp_layer);
  feeds.insert(feed.get());
  std::weak_ptr<Feed> weak = feed;
  const auto max_behind = answer.max_behind;
  const std::size_t max_bytes = answer.max_queued_bytes;
  feed->stop_source = answer.start([weak, max_behind, max_bytes](std::span<const std::uint8_t> unit) {
    const auto f = weak.lock();
    if (!f || f->ended) return false;
    const auto now = std::chrono::steady_clock::now();
    if ((!f->queue.empty() && now - f->queue.front().second > max_behind) || f->bytes + unit.size() > max_bytes) {
      f->end();  // too far behind: dropped, the others go on
      return false;
    }
    f->queue.emplace_back(std::vector<std::uint8_t>(unit.begin(), unit.end()), now);
    f->bytes += unit.size();
    f->wake.cancel();
    return true;
  });
  while (!feed->ended && !stopped) {
    if (feed->queue.empty()) {
      tcp_layer.expires_never();
      feed->wake.expires_at(std::chrono::steady_clock::time_point::max());
      co_await feed->wake.async_wait(kNoThrow);
      continue;
    }
    const std::vector<std::uint8_t> unit = std::move(feed->queue.front().first);
    feed->queue.pop_front();
    feed->bytes -= unit.size();
    tcp_layer.expires_after(kIoTimeout);
    auto [wec, wn] = co_await asio::async_write(stream, asio::buffer(unit), kNoThrow);
    if (wec) break;
  }
  feeds.erase(feed.get());
  if (!feed->ended) feed->end();
}

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

asio::awaitable<void> ConsoleServer::Impl::accept_loop() {
  auto self = shared_from_this();
  auto pause = kAcceptPauseMin;
  while (!stopped) {
    auto [ec, socket] = co_await acceptor.async_accept(kNoThrow);
    if (stopped) break;
    if (ec) {
      if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) break;
      if (out_of_resources(ec)) {
        // The connection stays in the backlog, so accepting again at once fails again at once:
        // give up the longest-idle connection's descriptor and wait, longer each time.
        shed_longest_waiting({});
        accept_pause.expires_after(pause);
        co_await accept_pause.async_wait(kNoThrow);
        pause = std::min(pause * 2, std::chrono::duration_cast<decltype(pause)>(kAcceptPauseMax));
      }
      continue;  // otherwise a connection that failed before it was accepted
    }
    pause = kAcceptPauseMin;
    admit(std::move(socket));
  }
}

void ConsoleServer::Impl::admit(tcp::socket socket) {
  set_cloexec(socket.native_handle());
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return;  // already gone
  std::string address = remote.address().to_string();
  const auto count = per_address.find(address);
  if ((count != per_address.end() && count->second >= kMaxPerAddress && !shed_longest_waiting(address)) ||
      (connections.size() >= kMaxConnections && !shed_longest_waiting({}))) {
    socket.close(ec);  // every connection is busy with a request: this one has to go
    return;
  }
  const std::uint64_t id = ++next_connection;
  ++per_address[address];
  connections.emplace(id, Connection{std::move(address), nullptr, true, ++wait_order});
  auto done = [](std::exception_ptr) {};
  if (tls)
    asio::co_spawn(io, http_session(TlsStream(PlainStream(std::move(socket)), *tls), id), done);
  else
    asio::co_spawn(io, http_session(PlainStream(std::move(socket)), id), done);
}

void ConsoleServer::Impl::forget(std::uint64_t id) {
  const auto it = connections.find(id);
  if (it == connections.end()) return;
  const auto count = per_address.find(it->second.address);
  if (count != per_address.end() && --count->second == 0) per_address.erase(count);
  connections.erase(it);
}

void ConsoleServer::Impl::set_waiting(std::uint64_t id, bool waiting) {
  const auto it = connections.find(id);
  if (it == connections.end()) return;
  it->second.waiting = waiting;
  if (waiting) it->second.waiting_since = ++wait_order;
}

// Closes the connection (of this address, or of any when empty) that has waited longest for a
// request header; false when there is none.
bool ConsoleServer::Impl::shed_longest_waiting(std::string_view address) {
  auto victim = connections.end();
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    const Connection& c = it->second;
    if (!c.waiting || !c.stream || (!address.empty() && c.address != address)) continue;
    if (victim == connections.end() || c.waiting_since < victim->second.waiting_since) victim = it;
  }
  if (victim == connections.end()) return false;
  boost::system::error_code ec;
  victim->second.stream->socket().close(ec);
  forget(victim->first);
  return true;
}

bool ConsoleServer::Impl::bearer_ok(const Request& req) const {
  const std::string_view auth = req[http::field::authorization];
  const std::string_view scheme = "Bearer ";
  return !config.token.empty() && auth.size() > scheme.size() && lower(auth.substr(0, scheme.size())) == "bearer " &&
         equal_constant_time(auth.substr(scheme.size()), config.token);
}

bool ConsoleServer::Impl::cookie_ok(const Request& req) {
  const std::string value = session_cookie(req);
  if (value.empty()) return false;
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(signed_in, [&](const SignedIn& s) { return s.expires <= now; });
  bool found = false;
  for (const SignedIn& s : signed_in) found |= equal_constant_time(s.id, value);
  return found;
}

// Nothing when the request may go on, else the answer that refuses it. `api`: an /api/ path
// (the page's own files are public); `credentials`: it needs the token or a sign-in.
std::optional<Response> ConsoleServer::Impl::refuse(const Request& req, bool api, bool credentials) {
  const std::string_view host = req[http::field::host];
  if (config.token.empty() && req.find(http::field::host) != req.end() && !loopback_host(host_part(host)))
    return error_response(req, http::status::forbidden, "the console answers to loopback host names only");
  if (!api) return std::nullopt;
  const bool has_origin = req.find(http::field::origin) != req.end();
  if (has_origin && !same_origin(req[http::field::origin], host, tls != nullptr))
    return error_response(req, http::status::forbidden, "requests from other sites are refused");
  if (!credentials || config.token.empty() || bearer_ok(req)) return std::nullopt;
  if (cookie_ok(req)) {
    const bool changes = (req.method() != http::verb::get && req.method() != http::verb::head) || websocket::is_upgrade(req);
    if (changes && !has_origin) return error_response(req, http::status::forbidden, "a signed-in request must name its origin");
    return std::nullopt;
  }
  auto res = error_response(req, http::status::unauthorized,
                            "sign in first (POST /api/session) or send the access token: Authorization: Bearer TOKEN");
  res.set(http::field::www_authenticate, "Bearer");
  return res;
}

// GET: whether a token is needed and this client is signed in; POST {"token": "..."}: sign in
// (a session cookie); DELETE: sign out.
Response ConsoleServer::Impl::session_endpoint(const Request& req) {
  const bool needs_token = !config.token.empty();
  const std::string secure = tls ? "; Secure" : "";
  if (req.method() == http::verb::get || req.method() == http::verb::head)
    return make_response(req, http::status::ok,
                         json{{"token_required", needs_token}, {"signed_in", !needs_token || bearer_ok(req) || cookie_ok(req)}, {"tls", tls != nullptr}});
  if (req.method() == http::verb::delete_) {
    const std::string value = session_cookie(req);
    std::erase_if(signed_in, [&](const SignedIn& s) { return !value.empty() && equal_constant_time(s.id, value); });
    auto res = make_response(req, http::status::ok, json{{"signed_in", !needs_token}});
    res.set(http::field::set_cookie, std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" + secure);
    return res;
  }
  if (req.method() != http::verb::post) return error_response(req, http::status::method_not_allowed, "use GET, POST or DELETE");
  const std::string type = lower(req[http::field::content_type]);
  if (type.substr(0, type.find(';')) != "application/json")
    return error_response(req, http::status::unsupported_media_type, "the body must be sent as Content-Type: application/json");
  const json body = json::parse(req.body(), nullptr, false);
  const auto token = body.is_object() ? body.find("token") : body.end();
  if (!body.is_object() || token == body.end() || !token->is_string())
    return error_response(req, http::status::bad_request, "send {\"token\": \"...\"}");
  if (!needs_token) return make_response(req, http::status::ok, json{{"signed_in", true}});
  if (!equal_constant_time(token->get<std::string>(), config.token))
    return error_response(req, http::status::unauthorized, "that is not the access token");
  if (signed_in.size() >= kMaxSignedIn) signed_in.pop_front();
  SignedIn s{random_id(), std::chrono::steady_clock::now() + kSignInLife};
  auto res = make_response(req, http::status::ok, json{{"signed_in", true}});
  res.set(http::field::set_cookie, std::string(kCookie) + "=" + s.id + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                       std::to_string(std::chrono::seconds(kSignInLife).count()) + secure);
  signed_in.push_back(std::move(s));
  return res;
}

Response ConsoleServer::Impl::handle(const Request& req) {
  const std::string_view target = req.target();
  const std::string_view path = target.substr(0, target.find('?'));
  if (config.listen_only) return error_response(req, http::status::not_found, "no such stream");
  const auto route = routes.find(path);
  const bool api = path.substr(0, 5) == "/api/" || route != routes.end();
  if (auto refused = refuse(req, api, path != "/api/session")) return std::move(*refused);
  if (path == "/api/session") return session_endpoint(req);
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
    if (change_feed) change_feed->flush();  // the operator sees the action's effect at once
    return make_response(req, static_cast<http::status>(reply.status), reply.body);
  }
  if (path == "/api/events") return error_response(req, http::status::upgrade_required, "/api/events is a WebSocket");
  if (route != routes.end()) {
    if (req.method() != http::verb::get && req.method() != http::verb::head) return error_response(req, http::status::method_not_allowed, "use GET");
    const ConsoleResponse answer = route->second();
    Response res{static_cast<http::status>(answer.status), req.version() == 10 ? 10u : 11u};
    res.set(http::field::server, "quillon");
    res.set(http::field::content_type, answer.content_type);
    res.set(http::field::cache_control, "no-store");
    add_safety_headers(res);
    res.keep_alive(req.keep_alive());
    res.body() = answer.body;
    res.prepare_payload();
    return res;
  }
  if (!api) {
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      return error_response(req, http::status::method_not_allowed, "use GET");
    if (auto asset = asset_response(req, path)) return std::move(*asset);
  }
  return error_response(req, http::status::not_found, "no such resource (GET /, GET /api/window, GET /api/events, POST /api/action)");
}

template <class Stream>
asio::awaitable<void> ConsoleServer::Impl::http_session(Stream stream, std::uint64_t id) {
  auto self = shared_from_this();
  beast::tcp_stream& tcp_layer = beast::get_lowest_layer(stream);
  const auto entry = connections.find(id);
  if (entry == connections.end() || stopped) co_return;  // shed before it started
  entry->second.stream = &tcp_layer;
  struct Unregister {
    Impl& impl;
    std::uint64_t id;
    ~Unregister() { impl.forget(id); }
  } unregister{*this, id};

  if constexpr (std::is_same_v<Stream, TlsStream>) {
    tcp_layer.expires_after(kHeaderTimeout);
    auto [ec] = co_await stream.async_handshake(ssl::stream_base::server, kNoThrow);
    if (stopped) co_return;
    if (ec) {
      boost::system::error_code ignored;
      tcp_layer.socket().close(ignored);
      co_return;
    }
  }

  beast::flat_buffer buffer;
  bool drain = false;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxHeader);
    parser.body_limit(kMaxBody);
    set_waiting(id, true);
    tcp_layer.expires_after(kHeaderTimeout);
    auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, kNoThrow);
    if (stopped) co_return;
    set_waiting(id, false);
    std::optional<Response> early;
    if (hec == http::error::body_limit) {
      early = error_response(parser.get(), http::status::payload_too_large, "the body is larger than 64 KiB");
    } else if (hec == http::error::header_limit) {
      early = error_response(parser.get(), http::status::request_header_fields_too_large, "the request header is larger than 8 KiB");
    } else if (malformed(hec)) {
      early = error_response(parser.get(), http::status::bad_request, "the request is not well-formed HTTP/1.1");
    } else if (hec) {
      break;
    } else {
      tcp_layer.expires_after(kIoTimeout);
      if (lower(parser.get()[http::field::expect]) == "100-continue") {
        http::response<http::empty_body> cont{http::status::continue_, parser.get().version()};
        auto [cec, cn] = co_await http::async_write(stream, cont, kNoThrow);
        if (cec || stopped) break;
      }
      auto [bec, bn] = co_await http::async_read(stream, buffer, parser, kNoThrow);
      if (stopped) co_return;
      if (bec == http::error::body_limit) early = error_response(parser.get(), http::status::payload_too_large, "the body is larger than 64 KiB");
      else if (malformed(bec)) early = error_response(parser.get(), http::status::bad_request, "the request body is not well-formed");
      else if (bec) break;
    }
    if (early) {
      early->keep_alive(false);
      tcp_layer.expires_after(kIoTimeout);
      co_await http::async_write(stream, *early, kNoThrow);
      drain = true;
      break;
    }

    Request req = parser.release();
    if (websocket::is_upgrade(req)) {
      std::optional<Response> no;
      if (auto refused = refuse(req, true, true)) no = std::move(refused);
      else if (req.target().substr(0, req.target().find('?')) != "/api/events")
        no = error_response(req, http::status::not_found, "the change stream is at /api/events");
      else if (sessions.size() + upgrading >= kMaxSessions)
        no = error_response(req, http::status::service_unavailable, "too many change streams open");
      if (no) {
        no->keep_alive(false);
        co_await http::async_write(stream, *no, kNoThrow);
        break;
      }
      forget(id);  // the session owns the connection from here on
      ++upgrading;
      auto session = std::make_shared<WsSession<Stream>>(self, std::move(stream));
      co_await session->run(std::move(req));
      co_return;
    }

    const std::string_view path = req.target().substr(0, req.target().find('?'));
    const StreamRoute* live = req.method() == http::verb::get || req.method() == http::verb::head ? stream_route(path) : nullptr;
    std::optional<Response> refused;
    if (live && !config.listen_only) refused = refuse(req, true, true);
    if (live && !refused) {
      ConsoleStream answer = live->open(path);
      if (answer.status == 200) {
        forget(id);  // counted by its source's limit from here on, not among the requests
        co_await stream_out(stream, req, std::move(answer));
        if (stopped) co_return;
        break;
      }
      refused = error_response(req, static_cast<http::status>(answer.status), answer.message);
    }
    Response res = refused ? std::move(*refused) : handle(req);
    const bool keep = res.keep_alive();
    tcp_layer.expires_after(kIoTimeout);
    auto [wec, wn] = co_await http::async_write(stream, res, kNoThrow);
    if (wec || !keep || stopped) break;
  }
  if (stopped) co_return;
  boost::system::error_code ec;
  tcp_layer.socket().shutdown(tcp::socket::shutdown_send, ec);
  if (drain) {
    // Read what the client still sends so that closing does not reset the connection before
    // it has read the answer.
    std::vector<char> sink(16 * 1024);
    std::size_t drained = 0;
    tcp_layer.expires_after(std::chrono::seconds(2));
    while (drained < kMaxDrain && !stopped) {
      auto [dec, dn] = co_await tcp_layer.async_read_some(asio::buffer(sink), kNoThrow);
      if (dec) break;
      drained += dn;
    }
  }
  if (!stopped) tcp_layer.socket().close(ec);
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

void ConsoleServer::publish(std::string text) {
  if (impl_->stopped || impl_->sessions.empty()) return;
  const auto msg = std::make_shared<const std::string>(std::move(text));
  for (auto& s : std::vector<std::shared_ptr<WsSessionBase>>(impl_->sessions.begin(), impl_->sessions.end())) s->send_unless_behind(msg);
}

void ConsoleServer::on_event_streams(std::function<void(std::size_t)> watcher) {
  impl_->stream_watcher = std::move(watcher);
  impl_->streams_changed();
}

void ConsoleServer::add_stream_route(std::string prefix, std::function<ConsoleStream(std::string_view path)> open) {
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
