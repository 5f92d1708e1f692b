#include "audio/audio_ip_server.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <list>
#include <map>
#include <random>

#include "core/cloexec.hpp"
#include "core/errors.hpp"
#include "audio/gsm_codec.hpp"

namespace quillon::audio {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kSendBufferBytes = 4096;  // keeps a stalled client's backlog in our bounded queue
// After a failed accept (out of descriptors and the like) the listener tries again after this
// pause instead of spinning on the failure.
constexpr std::chrono::milliseconds kAcceptRetry{200};

// Whole port number of a port text, rounded as the window rounds port fields (halves away from
// zero: "1011" -> 1011, "1010.5" -> 1011), so a text binds the same port on Apply and after a
// restart; -1 when the text does not start with a number.
long parse_port(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  long v = 0;
  std::size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 7) {
    v = v * 10 + (text[i] - '0');
    ++i;
    ++digits;
  }
  if (digits > 0 && i + 1 < text.size() && text[i] == '.' && text[i + 1] >= '5' && text[i + 1] <= '9') ++v;
  return digits == 0 ? -1 : v;
}

}  // namespace

struct AudioIpServer::Impl : std::enable_shared_from_this<AudioIpServer::Impl> {
  struct TcpClient {
    explicit TcpClient(tcp::socket s) : sock(std::move(s)) {}
    tcp::socket sock;
    GsmFrameEncoder encoder{true};  // this listener's own, started with its stream
    std::deque<std::shared_ptr<const std::string>> queue;
    bool writing = false;
    bool dead = false;
    std::array<char, 256> rbuf{};
  };

  explicit Impl(asio::io_context& ctx) : io(ctx), acceptor(ctx), udp_sock(ctx), accept_retry(ctx) {
    std::random_device rd;
    ssrc = rd();
  }

  asio::io_context& io;
  tcp::acceptor acceptor;
  udp::socket udp_sock;
  asio::steady_timer accept_retry;
  std::list<std::shared_ptr<TcpClient>> tcp_clients;
  struct UdpClient {
    SteadyClock::time_point seen;
    std::unique_ptr<GsmFrameEncoder> encoder = std::make_unique<GsmFrameEncoder>(false);
    std::uint16_t seq = 0;
    std::uint32_t timestamp = 0;
    bool first = true;
  };
  std::map<udp::endpoint, UdpClient> udp_clients;
  std::shared_ptr<UdpSendBudget> udp_budget = UdpSendBudget::shared();
  udp::endpoint udp_from;
  std::array<char, 1500> udp_buf{};
  std::shared_ptr<const std::string> header = std::make_shared<const std::string>(wav49_stream_header());
  int max_clients = 4;
  std::uint64_t generation = 0;
  std::uint64_t dropped = 0;
  bool port_failed = false;
  SteadyClock::time_point last_block{};
  bool sent_any = false;
  std::uint32_t ssrc = 0;

  bool listening() const { return acceptor.is_open() || udp_sock.is_open(); }

  void drop(const std::shared_ptr<TcpClient>& c, bool slow) {
    if (c->dead) return;
    c->dead = true;
    boost::system::error_code ec;
    c->sock.shutdown(tcp::socket::shutdown_both, ec);
    c->sock.close(ec);
    c->queue.clear();
    tcp_clients.remove(c);
    if (slow) ++dropped;
  }

  void accept_next() {
    auto self = weak_from_this();
    const auto gen = generation;
    acceptor.async_accept([self, gen](const boost::system::error_code& ec, tcp::socket sock) {
      auto me = self.lock();
      if (!me || gen != me->generation || !me->acceptor.is_open()) return;
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        me->accept_retry.expires_after(kAcceptRetry);
        me->accept_retry.async_wait([self, gen](const boost::system::error_code& wec) {
          auto again = self.lock();
          if (wec || !again || gen != again->generation || !again->acceptor.is_open()) return;
          again->accept_next();
        });
        return;
      }
      set_cloexec(sock.native_handle());
      me->admit(std::move(sock));
      me->accept_next();
    });
  }

  void admit(tcp::socket sock) {
    boost::system::error_code ec;
    if (static_cast<int>(tcp_clients.size()) >= max_clients) {  // full: close at once
      sock.close(ec);
      return;
    }
    sock.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ec);
    sock.set_option(tcp::no_delay(true), ec);
    auto c = std::make_shared<TcpClient>(std::move(sock));
    tcp_clients.push_back(c);
    read_loop(c);
    send(c, header);
  }

  // Clients send nothing we need; reading tells us when they go away.
  void read_loop(const std::shared_ptr<TcpClient>& c) {
    auto self = weak_from_this();
    c->sock.async_read_some(asio::buffer(c->rbuf), [self, c](const boost::system::error_code& ec, std::size_t) {
      auto me = self.lock();
      if (!me || c->dead) return;
      if (ec) {
        me->drop(c, false);
        return;
      }
      me->read_loop(c);
    });
  }

  void send(const std::shared_ptr<TcpClient>& c, std::shared_ptr<const std::string> data) {
    if (c->dead) return;
    if (c->queue.size() >= kMaxQueuedBlocks) {  // cannot keep up: drop it rather than buffer
      drop(c, true);
      return;
    }
    c->queue.push_back(std::move(data));
    if (!c->writing) write_next(c);
  }

  void write_next(const std::shared_ptr<TcpClient>& c) {
    if (c->dead || c->queue.empty()) {
      c->writing = false;
      return;
    }
    c->writing = true;
    auto self = weak_from_this();
    auto buf = c->queue.front();
    asio::async_write(c->sock, asio::buffer(*buf), [self, c, buf](const boost::system::error_code& ec, std::size_t) {
      auto me = self.lock();
      if (!me || c->dead) return;
      if (ec) {
        me->drop(c, false);
        return;
      }
      c->queue.pop_front();
      me->write_next(c);
    });
  }

  void receive_next() {
    auto self = weak_from_this();
    const auto gen = generation;
    udp_sock.async_receive_from(asio::buffer(udp_buf), udp_from, [self, gen](const boost::system::error_code& ec, std::size_t) {
      auto me = self.lock();
      if (!me || gen != me->generation || !me->udp_sock.is_open()) return;
      if (!ec) {
        const auto now = SteadyClock::now();
        // Only the sender itself is registered, never an address a datagram names: a forged
        // datagram must not turn the stream on a third party.
        const udp::endpoint dest = me->udp_from;
        auto it = me->udp_clients.find(dest);
        if (it != me->udp_clients.end()) {
          it->second.seen = now;
        } else {
          me->prune_udp(now);
          // The sender may be forged: new addresses from one network come at a bounded rate.
          if (static_cast<int>(me->udp_clients.size()) < me->max_clients && me->admit_registration(dest.address(), now))
            me->udp_clients[dest].seen = now;
        }
      }
      me->receive_next();
    });
  }

  // Source networks (IPv4 /24, IPv6 /64) and the new registrations each made in its window.
  struct Registrations {
    SteadyClock::time_point since;
    int count = 0;
  };
  std::map<std::array<std::uint8_t, 8>, Registrations> registrations;
  std::uint64_t registrations_refused = 0;

  static std::array<std::uint8_t, 8> network_of(const asio::ip::address& a) {
    std::array<std::uint8_t, 8> key{};
    if (a.is_v6() && !a.to_v6().is_v4_mapped()) {
      const auto b = a.to_v6().to_bytes();
      std::copy(b.begin(), b.begin() + 8, key.begin());
    } else {
      const auto b = a.is_v6() ? asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_bytes() : a.to_v4().to_bytes();
      key[0] = 4;
      std::copy(b.begin(), b.begin() + 3, key.begin() + 1);
    }
    return key;
  }

  bool admit_registration(const asio::ip::address& from, SteadyClock::time_point now) {
    for (auto it = registrations.begin(); it != registrations.end();)
      it = now - it->second.since >= kUdpRegistrationWindow ? registrations.erase(it) : std::next(it);
    const auto key = network_of(from);
    auto it = registrations.find(key);
    if (it == registrations.end()) {
      if (registrations.size() >= kMaxUdpNetworks) {
        ++registrations_refused;
        return false;
      }
      it = registrations.emplace(key, Registrations{now, 0}).first;
    }
    if (it->second.count >= kUdpRegistrationsPerNetwork) {
      ++registrations_refused;
      return false;
    }
    ++it->second.count;
    return true;
  }

  void prune_udp(SteadyClock::time_point now) {
    for (auto it = udp_clients.begin(); it != udp_clients.end();) {
      if (now - it->second.seen > kUdpIdle)
        it = udp_clients.erase(it);
      else
        ++it;
    }
  }

  void send_rtp(const PcmBlock& b) {
    prune_udp(SteadyClock::now());
    for (auto& [ep, client] : udp_clients) {
      std::array<std::uint8_t, 2 * kGsmFrameBytes> frames{};
      client.encoder->encode(b, frames.data());
      for (std::size_t f = 0; f < 2; ++f) {
        std::array<std::uint8_t, 12 + kGsmFrameBytes> pkt{};
        pkt[0] = 0x80;                                                               // version 2
        pkt[1] = static_cast<std::uint8_t>((client.first ? 0x80 : 0x00) | 3);        // marker, GSM
        client.first = false;
        pkt[2] = static_cast<std::uint8_t>(client.seq >> 8);
        pkt[3] = static_cast<std::uint8_t>(client.seq & 0xFF);
        for (std::size_t i = 0; i < 4; ++i) pkt[4 + i] = static_cast<std::uint8_t>(client.timestamp >> (24 - 8 * i));
        for (std::size_t i = 0; i < 4; ++i) pkt[8 + i] = static_cast<std::uint8_t>(ssrc >> (24 - 8 * i));
        std::copy(frames.begin() + static_cast<std::ptrdiff_t>(f * kGsmFrameBytes),
                  frames.begin() + static_cast<std::ptrdiff_t>((f + 1) * kGsmFrameBytes), pkt.begin() + 12);
        ++client.seq;
        client.timestamp += 160;
        if (!udp_budget->take(pkt.size(), SteadyClock::now())) continue;  // over the shared budget: lost
        boost::system::error_code ec;
        udp_sock.send_to(asio::buffer(pkt), ep, 0, ec);  // non-blocking; a full buffer loses the packet
      }
    }
  }
};

std::shared_ptr<UdpSendBudget> UdpSendBudget::shared() {
  static const auto budget = std::make_shared<UdpSendBudget>(kDefaultBytesPerSecond);
  return budget;
}

bool UdpSendBudget::take(std::size_t bytes, std::chrono::steady_clock::time_point now) {
  if (now - window_ >= std::chrono::seconds(1)) {
    window_ = now;
    spent_ = 0;
  }
  if (spent_ + bytes > per_second_) {
    ++refused_;
    return false;
  }
  spent_ += bytes;
  return true;
}

AudioIpServer::AudioIpServer(asio::io_context& io) : impl_(std::make_shared<Impl>(io)) {}

void AudioIpServer::set_udp_budget(std::shared_ptr<UdpSendBudget> budget) {
  if (budget) impl_->udp_budget = std::move(budget);
}

std::uint64_t AudioIpServer::udp_registrations_refused() const { return impl_->registrations_refused; }

AudioIpServer::~AudioIpServer() { stop_listening(); }

void AudioIpServer::set_max_clients(int n) {
  if (n < 0) throw Error(errc::invalid_property_value, "invalid client limit");
  max_clients_ = n;
  impl_->max_clients = n;
}

void AudioIpServer::set_proto(int proto) {
  if (proto != 0 && proto != 1) throw Error(errc::invalid_property_value, "invalid protocol");
  proto_ = proto;
}

void AudioIpServer::set_active(bool active) {
  if (!active) {
    stop_listening();
  } else if (chain_running_ && !impl_->listening()) {
    start_listening();
  }
}

bool AudioIpServer::active() const { return impl_->listening(); }

int AudioIpServer::client_count() const {
  return static_cast<int>(impl_->tcp_clients.size() + impl_->udp_clients.size());
}

int AudioIpServer::status_value() const {
  if (!impl_->listening()) return impl_->port_failed ? status::port_failed : status::stopped;
  if (impl_->sent_any && SteadyClock::now() - impl_->last_block < std::chrono::seconds(2)) return status::streaming;
  return status::waiting;
}

std::uint64_t AudioIpServer::clients_dropped() const { return impl_->dropped; }

std::uint16_t AudioIpServer::bound_port() const {
  boost::system::error_code ec;
  if (impl_->acceptor.is_open()) return impl_->acceptor.local_endpoint(ec).port();
  if (impl_->udp_sock.is_open()) return impl_->udp_sock.local_endpoint(ec).port();
  return 0;
}

void AudioIpServer::chain_start(int) {
  chain_running_ = true;
  stop_listening();
  start_listening();
}

void AudioIpServer::chain_stop() {
  chain_running_ = false;
  stop_listening();
}

void AudioIpServer::start_listening() {
  auto& m = *impl_;
  ++m.generation;
  m.port_failed = false;
  m.sent_any = false;
  const long port = parse_port(port_);
  if (port < 0 || port > 65535) {
    m.port_failed = true;
    throw Error(errc::invalid_property_value, "invalid audio port '" + port_ + "'");
  }
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(bind_to, ec);
  if (ec) {
    m.port_failed = true;
    throw Error(errc::generic, "invalid bind address '" + bind_to + "'");
  }
  auto fail = [&](const boost::system::error_code& e) {
    m.port_failed = true;
    if (on_listen) on_listen(static_cast<int>(port), e.message());
    boost::system::error_code ignored;
    m.acceptor.close(ignored);
    m.udp_sock.close(ignored);
    if (e == asio::error::address_in_use) throw Error(errc::address_in_use, "Address in use");
    throw Error(errc::generic, e.message());
  };
  if (proto_ == 0) {
    tcp::endpoint ep(address, static_cast<std::uint16_t>(port));
    m.acceptor.open(ep.protocol(), ec);
    if (!ec) set_cloexec(m.acceptor.native_handle());
    if (!ec) m.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) m.acceptor.bind(ep, ec);
    if (!ec) m.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) fail(ec);
    if (on_listen) on_listen(static_cast<int>(port), "");
    m.accept_next();
  } else {
    udp::endpoint ep(address, static_cast<std::uint16_t>(port));
    m.udp_sock.open(ep.protocol(), ec);
    if (!ec) set_cloexec(m.udp_sock.native_handle());
    if (!ec) m.udp_sock.bind(ep, ec);
    if (!ec) m.udp_sock.non_blocking(true, ec);
    if (ec) fail(ec);
    if (on_listen) on_listen(static_cast<int>(port), "");
    m.receive_next();
  }
}

void AudioIpServer::stop_listening() {
  auto& m = *impl_;
  ++m.generation;
  boost::system::error_code ec;
  m.acceptor.close(ec);
  m.accept_retry.cancel();
  m.udp_sock.close(ec);
  m.udp_clients.clear();
  while (!m.tcp_clients.empty()) m.drop(m.tcp_clients.front(), false);
}

void AudioIpServer::pcm_block(const PcmBlock& block) {
  auto& m = *impl_;
  if (!m.listening()) return;
  m.last_block = SteadyClock::now();
  m.sent_any = true;
  if (m.acceptor.is_open()) {
    auto clients = m.tcp_clients;  // drop() edits the list
    for (auto& c : clients) {
      auto data = std::make_shared<std::string>(kWav49BlockBytes, '\0');
      c->encoder.encode(block, reinterpret_cast<std::uint8_t*>(data->data()));
      m.send(c, std::move(data));
    }
  } else {
    m.send_rtp(block);
  }
}

}  // namespace quillon::audio
