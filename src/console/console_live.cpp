// Live sockets (WebSocket streams that keep only the newest units for a slow reader), open
// routes and page files added by the server's composition: what a listeners' page uses.
#include "console/console_internal.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio/detached.hpp>

#include <algorithm>
#include <array>

#include "console/ws_frames.hpp"

// GCC 12 takes Asio's coroutine frame allocator, whose operator new and delete match, for a
// mismatch when it inlines them into the live socket's frame (a known false alarm).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace quillon {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

void ConsoleServer::add_socket_route(std::string prefix, std::function<ConsoleStream(const ConsoleRequest&)> open) {
  impl_->socket_routes.push_back({std::move(prefix), std::move(open)});
}

void ConsoleServer::add_open_route(std::string path, std::function<ConsoleResponse(const ConsoleRequest&)> handler) {
  impl_->open_routes[std::move(path)] = std::move(handler);
}

void ConsoleServer::add_page(std::string path, std::string file) { impl_->pages[std::move(path)] = std::move(file); }

void ConsoleServer::add_deferred_route(std::string prefix, std::function<void(const ConsoleRequest&, Respond)> handler) {
  impl_->deferred_routes.push_back({std::move(prefix), std::move(handler)});
}

const ConsoleServer::Impl::DeferredRoute* ConsoleServer::Impl::deferred_route(std::string_view path) const {
  for (const auto& r : deferred_routes)
    if (path.substr(0, r.prefix.size()) == r.prefix) return &r;
  return nullptr;
}

// The connection waits (other events run) until the handler answers, or 10 s.
asio::awaitable<Response> ConsoleServer::Impl::deferred_answer(const Request& req, std::string address, const DeferredRoute& route) {
  if (auto refused = refuse_foreign(req)) co_return std::move(*refused);
  struct Slot {
    explicit Slot(asio::io_context& io) : timer(io) {}
    asio::steady_timer timer;
    std::optional<ConsoleResponse> answer;
  };
  auto slot = std::make_shared<Slot>(io);
  slot->timer.expires_after(std::chrono::seconds(10));
  route.handler(describe(req, address), [weak = std::weak_ptr<Slot>(slot)](ConsoleResponse r) {
    const auto s = weak.lock();
    if (!s || s->answer) return;
    s->answer = std::move(r);
    s->timer.cancel();
  });
  if (!slot->answer) {
    auto [ec] = co_await slot->timer.async_wait(kNoThrow);
    (void)ec;  // answered (the wait is cancelled) or out of time: the slot says which
  }
  if (!slot->answer) co_return error_response(req, http::status::gateway_timeout, "no answer in time");
  co_return route_response(req, *slot->answer);
}

const ConsoleServer::Impl::SocketRoute* ConsoleServer::Impl::socket_route(std::string_view path) const {
  for (const auto& r : socket_routes)
    if (path.substr(0, r.prefix.size()) == r.prefix) return &r;
  return nullptr;
}

// The console keeps its Host rule (a page of another site cannot reach it through a name that
// resolves to loopback); a public listening port answers to any host name. Both refuse requests
// from pages of other origins.
std::optional<Response> ConsoleServer::Impl::refuse_foreign(const Request& req) {
  if (!config.listen_only) return refuse(req, true, false);
  if (req.find(http::field::origin) != req.end() && !same_origin(req[http::field::origin], req[http::field::host], tls != nullptr))
    return error_response(req, http::status::forbidden, "requests from other sites are refused");
  return std::nullopt;
}

ConsoleRequest ConsoleServer::Impl::describe(const Request& req, const std::string& address) {
  ConsoleRequest r;
  const std::string_view target = req.target();
  const auto q = target.find('?');
  r.method = std::string(req.method_string());
  r.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));
  r.body = req.body();
  r.content_type = std::string(req[http::field::content_type]);
  r.cookies = std::string(req[http::field::cookie]);
  r.address = address;
  r.operator_ok = !config.listen_only && (config.token.empty() || bearer_ok(req) || cookie_ok(req));
  r.head = req.method() == http::verb::head;
  r.tls = tls != nullptr;
  r.header = [&req](std::string_view name) { return std::string(req[name]); };
  return r;
}

// The answer of an open route or an added page, or nothing when `req` is for neither.
std::optional<Response> ConsoleServer::Impl::open_answer(const Request& req, const std::string& address) {
  const std::string_view target = req.target();
  const std::string_view path = target.substr(0, target.find('?'));
  const auto route = open_routes.find(path);
  const auto page = pages.find(path);
  if (route == open_routes.end() && page == pages.end()) return std::nullopt;
  if (auto refused = refuse_foreign(req)) return refused;
  if (page != pages.end()) {
    if (req.method() != http::verb::get && req.method() != http::verb::head) return error_response(req, http::status::method_not_allowed, "use GET");
    return asset_response(req, "/" + page->second);
  }
  return route_response(req, route->second(describe(req, address)));
}

namespace {

// What a live socket's reader hands its writer: control frames to go out before the next
// messages (a pong, the answer to the page's close).
struct LiveControl {
  std::vector<std::vector<std::uint8_t>> frames;
  bool peer_closed = false;  // the page closed: the answer goes, then the connection ends
};

}  // namespace

asio::awaitable<void> ConsoleServer::Impl::live_socket(AnyStream stream, Request req, std::string address, const SocketRoute& route) {
  auto self = shared_from_this();
  std::optional<Response> no = refuse_foreign(req);
  ConsoleStream answer;
  std::optional<std::string> refusal;  // said on the socket: a page cannot read a refused handshake
  if (!no) {
    answer = route.open(describe(req, address));
    if (answer.status != 200 || !answer.start)
      refusal = json{{"type", "refused"}, {"status", answer.status == 200 ? 500 : answer.status}, {"message", answer.message}}.dump();
  }
  if (no) {
    no->keep_alive(false);
    beast::get_lowest_layer(stream).expires_after(kIoTimeout);
    co_await http::async_write(stream, *no, kNoThrow);
    boost::system::error_code ec;
    beast::get_lowest_layer(stream).socket().close(ec);
    co_return;
  }
  auto ws = std::make_shared<websocket::stream<AnyStream>>(std::move(stream));
  beast::tcp_stream& tcp_layer = beast::get_lowest_layer(*ws);
  ws->set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws->set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(http::field::server, "quillon");
    add_safety_headers(res);
  }));
  ws->read_message_max(kMaxClientMessage);
  auto [aec] = co_await ws->async_accept(req, kNoThrow);
  if (aec || stopped) co_return;
  if (refusal) {
    tcp_layer.expires_after(kIoTimeout);
    ws->text(true);
    auto [rec, rn] = co_await ws->async_write(asio::buffer(*refusal), kNoThrow);
    if (!rec && !stopped) co_await ws->async_close(websocket::close_code::policy_error, kNoThrow);
    co_return;
  }
  // From here on the messages are framed here rather than by Beast (ws_frames.hpp): whatever
  // waits for this listener when its writer wakes goes out in one write, however many messages
  // it is (a few frames of audio, 50 a second, to each of many listeners). The reader below
  // answers the page's pings and its close through the same writer, so nothing else writes.
  tcp_layer.expires_never();
  // Beast's own timer would ping and time the socket out through writes of its own.
  websocket::stream_base::timeout off;
  off.handshake_timeout = websocket::stream_base::none();
  off.idle_timeout = websocket::stream_base::none();
  off.keep_alive_pings = false;
  ws->set_option(off);
  // What the kernel holds for a listener is audio it is behind by. A listener gone without a
  // word (no reader at its end, nothing acknowledged for 30 s) is ended by the kernel.
  boost::system::error_code ec;
  auto& sock = tcp_layer.socket();
  sock.set_option(asio::socket_base::send_buffer_size(static_cast<int>(kStreamSendBuffer)), ec);
  sock.set_option(asio::socket_base::keep_alive(true), ec);
  const int user_timeout_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kIoTimeout).count());
  ::setsockopt(sock.native_handle(), IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
  // The wire under the WebSocket: the socket itself on a plain connection, or the TLS stream.
  auto& wire = ws->next_layer();
  wire.bypass_timeouts();

  auto feed = std::make_shared<Feed>(io, tcp_layer);
  auto control = std::make_shared<LiveControl>();
  feeds.insert(feed.get());
  ++live_sockets;
  std::weak_ptr<Feed> weak = feed;
  const std::size_t keep = std::max<std::size_t>(1, answer.keep_newest);
  feed->stop_source = answer.start([weak, keep](std::span<const std::uint8_t> unit) {
    const auto f = weak.lock();
    if (!f || f->ended || f->closing) return false;
    if (unit.empty()) {
      f->closing = true;
      f->wake.cancel();
      return true;
    }
    while (f->queue.size() >= keep) {  // behind: the oldest goes, the reader stays at the newest
      f->bytes -= f->queue.front().first.size();
      f->queue.pop_front();
    }
    std::vector<std::uint8_t> message;
    message.reserve(unit.size() + 10);
    ws::append_frame(message, unit.front() == '{' ? ws::kText : ws::kBinary, unit);
    f->bytes += message.size();
    f->queue.emplace_back(std::move(message), std::chrono::steady_clock::time_point{});
    // The writer wakes once for everything pushed before it runs (the wake is a posted event).
    f->wake.cancel();
    return true;
  });
  // The reader notices the page going away and answers its pings and its close; what else the
  // page says is ignored.
  asio::co_spawn(
      io,
      [ws, feed, control, &wire]() -> asio::awaitable<void> {
        std::string in;
        std::array<char, 1024> buf;
        while (!feed->ended && !control->peer_closed) {
          auto [read_ec, n] = co_await wire.async_read_some(asio::buffer(buf), kNoThrow);
          if (read_ec) break;
          in.append(buf.data(), n);
          bool bad = false;
          for (auto& f : ws::read_client_frames(in, kMaxClientMessage, bad)) {
            if (f.op == ws::kPing) {
              std::vector<std::uint8_t> pong;
              ws::append_frame(pong, ws::kPong, std::span(reinterpret_cast<const std::uint8_t*>(f.control.data()), f.control.size()));
              control->frames.push_back(std::move(pong));
            } else if (f.op == ws::kClose) {
              control->peer_closed = true;
              break;
            }
          }
          if (bad) break;
          if (!control->frames.empty() || control->peer_closed) feed->wake.cancel();
        }
        if (control->peer_closed && !feed->ended) co_return;  // the writer answers, then ends
        feed->end();
      },
      asio::detached);
  std::vector<std::vector<std::uint8_t>> sending;
  std::vector<asio::const_buffer> buffers;
  std::optional<std::chrono::steady_clock::time_point> said_close;  // when this side's close went
  while (!feed->ended && !stopped) {
    if (control->peer_closed) {
      // The page closed: no more messages, its close is answered in kind (after the pongs owed).
      if (!said_close) {
        sending = std::move(control->frames);
        sending.push_back(ws::close_frame(1000));
        buffers.clear();
        for (const auto& m : sending) buffers.push_back(asio::buffer(m));
        co_await asio::async_write(wire, buffers, kNoThrow);
      }
      break;
    }
    if (said_close) {
      // Waits for the page's answer to this side's close (checked above), for the I/O timeout.
      control->frames.clear();
      feed->wake.expires_at(*said_close + kIoTimeout);
      auto [tec] = co_await feed->wake.async_wait(kNoThrow);
      if (!tec) break;  // no answer in time
      continue;
    }
    if (feed->queue.empty() && control->frames.empty()) {
      if (feed->closing) {
        // The source is done: what was queued is out; a policy close says so.
        const auto close = ws::close_frame(1008);
        auto [cec, cn] = co_await asio::async_write(wire, asio::buffer(close), kNoThrow);
        if (cec) break;
        said_close = std::chrono::steady_clock::now();
        continue;
      }
      feed->wake.expires_at(std::chrono::steady_clock::time_point::max());
      co_await feed->wake.async_wait(kNoThrow);
      continue;
    }
    // Everything waiting, in one write.
    sending.clear();
    buffers.clear();
    for (auto& c : control->frames) sending.push_back(std::move(c));
    control->frames.clear();
    for (auto& u : feed->queue) sending.push_back(std::move(u.first));
    feed->queue.clear();
    feed->bytes = 0;
    for (const auto& m : sending) buffers.push_back(asio::buffer(m));
    auto [wec, wn] = co_await asio::async_write(wire, buffers, kNoThrow);
    if (wec) break;
  }
  feeds.erase(feed.get());
  --live_sockets;
  if (!feed->ended) feed->end();
}

}  // namespace quillon
