// Connections: accepting and admission (limits per address and in all), the HTTP session of
// each connection, change streams (WebSocket) and live streams.
#include "console/console_internal.hpp"

#include <algorithm>
#include <cerrno>

#include "core/cloexec.hpp"

namespace quillon {

// One change stream: a read loop that keeps control frames flowing, and a write chain with
// one write in flight and a bounded queue.
class WsSession : public WsSessionBase, public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(const std::shared_ptr<ConsoleServer::Impl>& owner, AnyStream stream) : owner_(owner), ws_(std::move(stream)) {}

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

  void send_or_hold(const std::string& kind, std::shared_ptr<const std::string> msg,
                    std::shared_ptr<const std::string> held) override {
    if (closed_) return;
    if (queue_.size() < kBehind) {
      send_held();
      send(std::move(msg));
      return;
    }
    const auto it = std::find_if(held_.begin(), held_.end(), [&kind](const auto& h) { return h.first == kind; });
    if (it != held_.end()) it->second = std::move(held);
    else held_.emplace_back(kind, std::move(held));
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
      if (self->queue_.size() < kBehind / 2) self->send_held();
      if (!self->queue_.empty()) self->write_next();
      else if (self->finishing_) self->close();
    });
  }

  // Queued without starting a write: the caller's write goes on with them.
  void send_held() {
    for (auto& h : held_) {
      queued_bytes_ += h.second->size();
      queue_.push_back(std::move(h.second));
    }
    held_.clear();
  }

  // Weak: the server keeps its sessions, and a loop stopped with their operations pending
  // must not leave the two holding each other.
  std::weak_ptr<ConsoleServer::Impl> owner_;
  websocket::stream<AnyStream> ws_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t queued_bytes_ = 0;
  std::shared_ptr<const std::string> in_flight_;
  // What a page behind must still get, by kind (a few kinds at most).
  std::vector<std::pair<std::string, std::shared_ptr<const std::string>>> held_;
  bool closed_ = false;
  bool finishing_ = false;
};

const ConsoleServer::Impl::StreamRoute* ConsoleServer::Impl::stream_route(std::string_view path) const {
  for (const auto& r : stream_routes)
    if (path.substr(0, r.prefix.size()) == r.prefix) return &r;
  return nullptr;
}

asio::awaitable<void> ConsoleServer::Impl::stream_out(AnyStream& stream, const Request& req, ConsoleStream answer) {
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
    if (!f || f->ended || f->closing) return false;
    if (unit.empty()) {
      f->closing = true;
      f->wake.cancel();
      return true;
    }
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
      if (feed->closing) break;
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
    // Every connection is busy with a request: this one has to go, told so.
    say_unavailable(socket);
    socket.close(ec);
    return;
  }
  const std::uint64_t id = ++next_connection;
  ++per_address[address];
  connections.emplace(id, Connection{std::move(address), nullptr, true, ++wait_order});
  auto done = [](std::exception_ptr) {};
  if (tls)
    asio::co_spawn(io, http_session(AnyStream(PlainStream(std::move(socket)), *tls), id), done);
  else
    asio::co_spawn(io, http_session(AnyStream(PlainStream(std::move(socket))), id), done);
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

// A connection the console cannot serve hears why before it closes: a plain 503, written only
// as far as the socket takes it at once (the loop never waits for it).
void ConsoleServer::Impl::say_unavailable(tcp::socket& socket) {
  static constexpr std::string_view kBusy =
      "HTTP/1.1 503 Service Unavailable\r\nServer: quillon\r\nContent-Type: text/plain\r\nContent-Length: 20\r\n"
      "Connection: close\r\n\r\nthe server is busy\r\n";
  boost::system::error_code ec;
  socket.non_blocking(true, ec);
  if (!ec) socket.send(asio::buffer(kBusy.data(), kBusy.size()), 0, ec);
  socket.shutdown(tcp::socket::shutdown_send, ec);
}

// Closes the connection (of this address, or of any when empty) that has waited longest while
// reading a request that carries no credentials; false when there is none.
bool ConsoleServer::Impl::shed_longest_waiting(std::string_view address) {
  auto victim = connections.end();
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    const Connection& c = it->second;
    if (!c.waiting || !c.stream || (!address.empty() && c.address != address)) continue;
    if (victim == connections.end() || c.waiting_since < victim->second.waiting_since) victim = it;
  }
  if (victim == connections.end()) return false;
  boost::system::error_code ec;
  say_unavailable(victim->second.stream->socket());
  victim->second.stream->socket().close(ec);
  forget(victim->first);
  return true;
}

asio::awaitable<void> ConsoleServer::Impl::http_session(AnyStream stream, std::uint64_t id) {
  auto self = shared_from_this();
  beast::tcp_stream& tcp_layer = beast::get_lowest_layer(stream);
  const auto entry = connections.find(id);
  if (entry == connections.end() || stopped) co_return;  // shed before it started
  entry->second.stream = &tcp_layer;
  const std::string address = entry->second.address;
  struct Unregister {
    Impl& impl;
    std::uint64_t id;
    ~Unregister() { impl.forget(id); }
  } unregister{*this, id};

  if (auto* tls_layer = stream.tls()) {
    tcp_layer.expires_after(kHeaderTimeout);
    auto [ec] = co_await tls_layer->async_handshake(ssl::stream_base::server, kNoThrow);
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
    // Header and body together get one deadline: a body sent a byte at a time is no cheaper to
    // hold than a header sent so.
    const auto deadline = std::chrono::steady_clock::now() + kHeaderTimeout;
    tcp_layer.expires_at(deadline);
    auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, kNoThrow);
    if (stopped) co_return;
    // Until its body is in, a request may still give way to a new connection, unless it carries
    // valid credentials (a token is set and it has it, or a signed-in session).
    if (hec || credentialed(parser.get())) set_waiting(id, false);
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
      tcp_layer.expires_at(deadline);
      if (lower(parser.get()[http::field::expect]) == "100-continue") {
        http::response<http::empty_body> cont{http::status::continue_, parser.get().version()};
        auto [cec, cn] = co_await http::async_write(stream, cont, kNoThrow);
        if (cec || stopped) break;
      }
      auto [bec, bn] = co_await http::async_read(stream, buffer, parser, kNoThrow);
      if (stopped) co_return;
      set_waiting(id, false);
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
      if (const SocketRoute* socket = socket_route(req.target().substr(0, req.target().find('?')))) {
        forget(id);  // counted by its source's limit from here on
        co_await live_socket(std::move(stream), std::move(req), address, *socket);
        co_return;
      }
      std::optional<Response> no;
      if (config.listen_only) no = error_response(req, http::status::not_found, "no such stream");
      else if (auto refused = refuse(req, true, true)) no = std::move(refused);
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
      auto session = std::make_shared<WsSession>(self, std::move(stream));
      co_await session->run(std::move(req));
      co_return;
    }

    const std::string_view path = req.target().substr(0, req.target().find('?'));
    const StreamRoute* live = req.method() == http::verb::get || req.method() == http::verb::head ? stream_route(path) : nullptr;
    std::optional<Response> refused;
    if (live && !config.listen_only) refused = refuse(req, true, true);
    if (live && !refused) {
      ConsoleStream answer = live->open(describe(req, address));
      if (answer.status == 200) {
        forget(id);  // counted by its source's limit from here on, not among the requests
        co_await stream_out(stream, req, std::move(answer));
        if (stopped) co_return;
        break;
      }
      refused = error_response(req, static_cast<http::status>(answer.status), answer.message);
    }
    std::optional<Response> deferred;
    if (!refused && !live)
      if (const DeferredRoute* route = deferred_route(path)) deferred = co_await deferred_answer(req, address, *route);
    if (stopped) co_return;
    std::optional<Response> opened = refused || live || deferred ? std::nullopt : open_answer(req, address);
    Response res = refused ? std::move(*refused) : deferred ? std::move(*deferred) : opened ? std::move(*opened) : handle(req);
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

}  // namespace quillon
