// Live sockets (WebSocket streams that keep only the newest units for a slow reader), open
// routes and page files added by the server's composition: what a listeners' page uses.
#include "console/console_internal.hpp"

#include <boost/asio/detached.hpp>

#include <algorithm>

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

template <class Stream>
asio::awaitable<void> ConsoleServer::Impl::live_socket(Stream stream, Request req, std::string address, const SocketRoute& route) {
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
  auto ws = std::make_shared<websocket::stream<Stream>>(std::move(stream));
  beast::tcp_stream& tcp_layer = beast::get_lowest_layer(*ws);
  tcp_layer.expires_never();
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
  // What the kernel holds for a listener is audio it is behind by.
  boost::system::error_code ec;
  tcp_layer.socket().set_option(asio::socket_base::send_buffer_size(static_cast<int>(kStreamSendBuffer)), ec);

  auto feed = std::make_shared<Feed>(io, tcp_layer);
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
    f->queue.emplace_back(std::vector<std::uint8_t>(unit.begin(), unit.end()), std::chrono::steady_clock::now());
    f->bytes += unit.size();
    f->wake.cancel();
    return true;
  });
  // The reader answers pings and notices the page going away; what the page says is ignored.
  asio::co_spawn(
      io,
      [ws, feed]() -> asio::awaitable<void> {
        beast::flat_buffer buffer;
        for (;;) {
          auto [read_ec, read_n] = co_await ws->async_read(buffer, kNoThrow);
          if (read_ec) break;
          buffer.consume(buffer.size());
        }
        feed->end();
      },
      asio::detached);
  while (!feed->ended && !stopped) {
    if (feed->queue.empty()) {
      if (feed->closing) {
        tcp_layer.expires_after(kIoTimeout);
        co_await ws->async_close(websocket::close_code::policy_error, kNoThrow);
        break;
      }
      feed->wake.expires_at(std::chrono::steady_clock::time_point::max());
      co_await feed->wake.async_wait(kNoThrow);
      continue;
    }
    const std::vector<std::uint8_t> unit = std::move(feed->queue.front().first);
    feed->queue.pop_front();
    feed->bytes -= unit.size();
    ws->binary(unit.empty() || unit.front() != '{');
    auto [wec, wn] = co_await ws->async_write(asio::buffer(unit), kNoThrow);
    if (wec) break;
  }
  feeds.erase(feed.get());
  --live_sockets;
  if (!feed->ended) feed->end();
}

template asio::awaitable<void> ConsoleServer::Impl::live_socket<PlainStream>(PlainStream, Request, std::string, const SocketRoute&);
template asio::awaitable<void> ConsoleServer::Impl::live_socket<TlsStream>(TlsStream, Request, std::string, const SocketRoute&);

}  // namespace quillon
