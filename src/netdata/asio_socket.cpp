#include "netdata/asio_socket.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>

#include "core/asio_event_loop.hpp"
#include "core/cloexec.hpp"
#include "core/errors.hpp"

namespace quillon {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// Codes the socket layer reports, as the window's socket control numbers them.
constexpr int kInvalidOperation = 40020;  // listen on a socket that is not closed
constexpr int kWrongState = 40006;        // send on a socket that is not connected
constexpr int kInvalidArgument = 10022;   // accept with an unknown request id, bad bind address
constexpr int kNoBufferSpace = 10055;     // send queue full
constexpr std::size_t kReadChunk = 4096;
// After a failed accept (out of descriptors and the like) the listener tries again after this
// pause instead of spinning on the failure.
constexpr Millis kAcceptRetry{200};
// A client that vanished without closing (cable pulled, laptop asleep) is found within about a
// minute: an idle connection is probed after 20 s, every 10 s, and given up after 3 unanswered
// probes; data the peer has not acknowledged for 50 s ends it too. A client that only listens
// acknowledges what it gets and is never affected.
constexpr int kKeepIdleSeconds = 20;
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 50000;

void detect_dead_peer(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

int socket_code(const error_code& ec) {
  if (ec == asio::error::address_in_use) return errc::address_in_use;
  if (ec == asio::error::access_denied) return 10013;
  if (ec == asio::error::address_family_not_supported) return 10047;
  if (ec == boost::system::errc::address_not_available) return 10049;
  if (ec == asio::error::connection_aborted) return 10053;
  if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe) return 10054;
  if (ec == asio::error::no_buffer_space) return kNoBufferSpace;
  if (ec == asio::error::timed_out) return 10060;
  if (ec == asio::error::no_descriptors) return 10024;
  return errc::generic;
}

// Event handlers belong to the logic; whatever escapes them must not stop the loop.
template <class F, class... A>
void raise(const F& fn, A&&... args) {
  if (!fn) return;
  try {
    fn(std::forward<A>(args)...);
  } catch (...) {
  }
}

}  // namespace

struct AsioSocketFactory::Shared {
  Shared(AsioEventLoop& l, Options o) : loop(l), options(std::move(o)) {}
  AsioEventLoop& loop;
  Options options;
  RequestId next_request = 1;
  // Connections accepted by a listener while its connection-request handler runs.
  std::unordered_map<RequestId, tcp::socket> pending;
};

namespace {

using Shared = AsioSocketFactory::Shared;

// The state of one element that outstanding operations keep alive. Every close, listen, accept
// and failure starts a new generation; a completion of an older generation is ignored.
struct Core : std::enable_shared_from_this<Core> {
  explicit Core(std::shared_ptr<Shared> s) : shared(std::move(s)) {}

  std::shared_ptr<Shared> shared;
  std::string array;  // the socket array's name, for Options::on_listen
  Socket* owner = nullptr;  // null once the element is gone
  int port = 0;
  std::string remote;  // the peer of a connected element
  int state = sockstate::closed;
  std::uint64_t gen = 0;
  std::optional<tcp::acceptor> acceptor;
  std::optional<tcp::socket> sock;
  std::array<char, kReadChunk> rbuf{};
  std::string rx;
  bool reading = false;
  std::deque<std::string> txq;
  std::size_t tx_bytes = 0;  // queued plus in flight
  bool writing = false;
  std::optional<EventLoop::TimerId> retry;

  asio::io_context& io() { return shared->loop.io(); }

  void drop_native() {
    error_code ec;
    if (acceptor) acceptor->close(ec);
    acceptor.reset();
    if (sock) {
      sock->shutdown(tcp::socket::shutdown_both, ec);
      sock->close(ec);
    }
    sock.reset();
    rx.clear();
    rx.shrink_to_fit();
    txq.clear();
    tx_bytes = 0;
    writing = false;
    reading = false;
    if (retry) shared->loop.cancel(*retry);
    retry.reset();
    ++gen;
  }

  void close() {
    drop_native();
    state = sockstate::closed;
  }

  // The connection failed: state 9 until the logic closes the element; the peer sees the end.
  void fail(int number, std::string description) {
    drop_native();
    state = sockstate::error;
    shared->loop.post([weak = weak_from_this(), number, description = std::move(description)] {
      auto self = weak.lock();
      if (self && self->owner) raise(self->owner->on_error, number, description);
    });
  }

  void listen() {
    if (state != sockstate::closed) throw Error(kInvalidOperation, "Invalid operation at current state");
    tcp::acceptor a(io());
    error_code ec;
    const auto p = static_cast<unsigned short>(port);
    auto bind_on = [&](const tcp::endpoint& ep) {
      ec.clear();
      if (a.is_open()) a.close(ec);
      a.open(ep.protocol(), ec);
      if (ec) return;
      set_cloexec(a.native_handle());
      if (ep.address().is_v6() && shared->options.bind_address.empty()) a.set_option(asio::ip::v6_only(false), ec);
      if (ec) return;
      a.set_option(asio::socket_base::reuse_address(true), ec);
      if (ec) return;
      a.bind(ep, ec);
    };
    if (shared->options.bind_address.empty()) {
      // Dual-stack where the host has IPv6; plain IPv4 where it has not.
      bind_on(tcp::endpoint(tcp::v6(), p));
      if (ec && ec != asio::error::address_in_use && ec != asio::error::access_denied) bind_on(tcp::endpoint(tcp::v4(), p));
    } else {
      const auto addr = asio::ip::make_address(shared->options.bind_address, ec);
      if (ec) throw Error(kInvalidArgument, "Invalid bind address " + shared->options.bind_address);
      bind_on(tcp::endpoint(addr, p));
    }
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      if (shared->options.on_listen) shared->options.on_listen(array, p, ec.message());
      throw Error(socket_code(ec), ec == asio::error::address_in_use ? "Address in use" : ec.message());
    }
    if (shared->options.on_listen) shared->options.on_listen(array, p, "");
    port = a.local_endpoint(ec).port();
    drop_native();
    acceptor.emplace(std::move(a));
    state = sockstate::listening;
    start_accept(gen);
  }

  void start_accept(std::uint64_t g) {
    acceptor->async_accept([self = shared_from_this(), g](const error_code& ec, tcp::socket s) {
      if (g != self->gen || !self->acceptor) return;
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        self->retry = self->shared->loop.call_after(kAcceptRetry, [weak = self->weak_from_this(), g] {
          auto me = weak.lock();
          if (!me || g != me->gen || !me->acceptor) return;
          me->retry.reset();
          me->start_accept(g);
        });
        if (self->owner) raise(self->owner->on_error, socket_code(ec), ec.message());
        return;
      }
      set_cloexec(s.native_handle());
      const RequestId id = self->shared->next_request++;
      self->shared->pending.emplace(id, std::move(s));
      if (self->owner) raise(self->owner->on_connection_request, id);
      // Not taken by any element: end it now rather than leave the peer hanging.
      auto it = self->shared->pending.find(id);
      if (it != self->shared->pending.end()) {
        error_code ignored;
        it->second.shutdown(tcp::socket::shutdown_both, ignored);
        it->second.close(ignored);
        self->shared->pending.erase(it);
      }
      if (g == self->gen && self->acceptor) self->start_accept(g);
    });
  }

  void accept(RequestId request) {
    auto it = shared->pending.find(request);
    if (it == shared->pending.end()) throw Error(kInvalidArgument, "No such connection request");
    tcp::socket s = std::move(it->second);
    shared->pending.erase(it);
    drop_native();
    error_code ec;
    s.set_option(tcp::no_delay(true), ec);  // frames are small and should go out at once
    detect_dead_peer(s.native_handle());
    port = s.local_endpoint(ec).port();
    const auto peer = s.remote_endpoint(ec).address();
    remote = ec ? std::string() : (peer.is_v6() && peer.to_v6().is_v4_mapped() ? asio::ip::address(asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6())) : peer).to_string();
    sock.emplace(std::move(s));
    state = sockstate::connected;
    start_read(gen);
  }

  void start_read(std::uint64_t g) {
    const std::size_t limit = shared->options.receive_limit;
    if (reading || state != sockstate::connected || !sock || rx.size() >= limit) return;
    reading = true;
    const std::size_t room = std::min(rbuf.size(), limit - rx.size());
    sock->async_read_some(asio::buffer(rbuf.data(), room), [self = shared_from_this(), g](const error_code& ec, std::size_t n) {
      if (g != self->gen) return;
      self->reading = false;
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        if (ec == asio::error::eof) {
          self->state = sockstate::closing;  // the peer hung up; the logic closes the element
          return;
        }
        self->fail(socket_code(ec), ec.message());
        return;
      }
      self->rx.append(self->rbuf.data(), n);
      if (self->owner) raise(self->owner->on_data_arrival, self->rx.size());
      if (g == self->gen) self->start_read(g);
    });
  }

  std::string get_data() {
    std::string out = std::move(rx);
    rx.clear();
    start_read(gen);  // reading stopped if the buffer was full
    return out;
  }

  void send_data(std::string_view data) {
    if (state != sockstate::connected || !sock)
      throw Error(kWrongState, "Wrong protocol or connection state for the requested transaction or request");
    if (data.empty()) return;
    if (tx_bytes + data.size() > shared->options.send_limit) {
      fail(kNoBufferSpace, "Send queue full: the peer does not read");
      throw Error(kNoBufferSpace, "No buffer space available");
    }
    txq.emplace_back(data);
    tx_bytes += data.size();
    if (!writing) start_write(gen);
  }

  void start_write(std::uint64_t g) {
    writing = true;
    auto out = std::make_shared<std::string>(std::move(txq.front()));
    txq.pop_front();
    asio::async_write(*sock, asio::buffer(*out), [self = shared_from_this(), g, out](const error_code& ec, std::size_t) {
      if (g != self->gen) return;
      self->writing = false;
      self->tx_bytes -= out->size();
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        self->fail(socket_code(ec), ec.message());
        return;
      }
      if (!self->txq.empty()) self->start_write(g);
    });
  }
};

class AsioSocket final : public Socket {
 public:
  AsioSocket(std::shared_ptr<Shared> shared, std::string array) : core_(std::make_shared<Core>(std::move(shared))) {
    core_->owner = this;
    core_->array = std::move(array);
  }
  ~AsioSocket() override {
    core_->owner = nullptr;
    core_->close();
  }
  AsioSocket(const AsioSocket&) = delete;
  AsioSocket& operator=(const AsioSocket&) = delete;

  void set_local_port(int port) override { core_->port = port; }
  int local_port() const override { return core_->port; }
  void listen() override { core_->listen(); }
  void accept(RequestId request) override { core_->accept(request); }
  int state() const override { return core_->state; }
  std::string get_data() override { return core_->get_data(); }
  void send_data(std::string_view data) override { core_->send_data(data); }
  void close() override { core_->close(); }
  std::string remote_address() const override { return core_->remote; }

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace

AsioSocketFactory::AsioSocketFactory(AsioEventLoop& loop) : AsioSocketFactory(loop, Options{}) {}

AsioSocketFactory::AsioSocketFactory(AsioEventLoop& loop, Options options)
    : shared_(std::make_shared<Shared>(loop, std::move(options))) {}

AsioSocketFactory::~AsioSocketFactory() {
  error_code ec;
  for (auto& [id, s] : shared_->pending) s.close(ec);
  shared_->pending.clear();
}

std::unique_ptr<Socket> AsioSocketFactory::create() { return std::make_unique<AsioSocket>(shared_, ""); }

std::unique_ptr<Socket> AsioSocketFactory::create_element(const std::string& array, int) {
  return std::make_unique<AsioSocket>(shared_, array);
}

std::size_t AsioSocketFactory::pending_requests() const { return shared_->pending.size(); }

}  // namespace quillon
