// The TCP socket layer on loopback, driven by the real event loop.

#include "netdata/asio_socket.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <filesystem>

#include "core/asio_event_loop.hpp"
#include "support/fakes.hpp"
#include "integration/netdata_tcp_client.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

struct RealLoop {
  boost::asio::io_context io;
  AsioEventLoop loop{io};

  // Runs the loop until pred holds (and calls tick between turns); false on timeout.
  template <class P, class T>
  bool run_until(P pred, T tick, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
      if (Clock::now() > deadline) return false;
      if (io.stopped()) io.restart();
      io.run_for(2ms);
      tick();
    }
    return true;
  }
  template <class P>
  bool run_until(P pred, std::chrono::milliseconds timeout = 10s) {
    return run_until(pred, [] {}, timeout);
  }
  void run_for(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    run_until([&] { return Clock::now() >= end; }, d + 1s);
  }
};

struct Pair {
  std::unique_ptr<Socket> listener;
  std::vector<std::unique_ptr<Socket>> slots;
  int port = 0;
};

// A listener on a free port whose requests go to the first slot not connected.
Pair listen_with_slots(AsioSocketFactory& factory, int slots) {
  Pair p;
  p.listener = factory.create();
  p.listener->set_local_port(0);
  p.listener->listen();
  p.port = p.listener->local_port();
  for (int i = 0; i < slots; ++i) p.slots.push_back(factory.create());
  p.listener->on_connection_request = [&s = p.slots](RequestId id) {
    for (auto& slot : s)
      if (slot->state() != sockstate::connected) {
        slot->close();
        slot->accept(id);
        return;
      }
  };
  return p;
}

TEST(AsioSocket, AcceptExchangeAndPeerHangUp) {
  RealLoop r;
  AsioSocketFactory factory(r.loop);
  Pair p = listen_with_slots(factory, 1);
  EXPECT_EQ(p.listener->state(), sockstate::listening);
  EXPECT_GT(p.port, 0);
  Socket& slot = *p.slots[0];
  EXPECT_EQ(slot.state(), sockstate::closed);

  test::TcpClient c(p.port);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(r.run_until([&] { return slot.state() == sockstate::connected; }));
  std::string got;
  slot.on_data_arrival = [&](std::size_t n) {
    EXPECT_GT(n, 0u);
    got += slot.get_data();
  };
  ASSERT_TRUE(c.send_all("ST#"));
  ASSERT_TRUE(r.run_until([&] { return got == "ST#"; }));
  slot.send_data("frame*1");
  ASSERT_TRUE(r.run_until([&] { return c.received() == "frame*1"; }, [&] { c.poll(); }));

  c.close();
  ASSERT_TRUE(r.run_until([&] { return slot.state() == sockstate::closing; }));
  EXPECT_THROW(slot.send_data("x"), Error);
  slot.close();
  EXPECT_EQ(slot.state(), sockstate::closed);
  EXPECT_EQ(p.listener->state(), sockstate::listening);
  p.listener->close();
  EXPECT_EQ(p.listener->state(), sockstate::closed);
}

// Descriptors of this process bound to the local TCP port: the listener and accepted sockets.
struct Bound {
  int fd;
  bool connected;
};
std::vector<Bound> descriptors_on_port(int port) {
  std::vector<Bound> out;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(e.path().filename().c_str());
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) continue;
    int local = 0;
    if (a.ss_family == AF_INET) local = ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6) local = ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    if (local != port) continue;
    len = sizeof a;
    out.push_back({fd, ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0});
  }
  return out;
}

int int_option(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  return ::getsockopt(fd, level, name, &v, &len) == 0 ? v : -1;
}

// A client that vanishes without closing must not hold its slot for ever, and no descriptor may
// leak into a program the server starts.
TEST(AsioSocket, AcceptedConnectionsDetectADeadPeerAndNothingIsInheritedByPrograms) {
  RealLoop r;
  AsioSocketFactory factory(r.loop);
  Pair p = listen_with_slots(factory, 1);
  test::TcpClient c(p.port);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(r.run_until([&] { return p.slots[0]->state() == sockstate::connected; }));
  const auto fds = descriptors_on_port(p.port);
  ASSERT_EQ(fds.size(), 2u);  // the listener and the accepted connection
  for (const auto& b : fds) {
    EXPECT_TRUE(::fcntl(b.fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << b.fd << (b.connected ? " (connection)" : " (listener)");
    if (!b.connected) continue;
    EXPECT_EQ(int_option(b.fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    const int idle = int_option(b.fd, IPPROTO_TCP, TCP_KEEPIDLE);
    const int interval = int_option(b.fd, IPPROTO_TCP, TCP_KEEPINTVL);
    const int count = int_option(b.fd, IPPROTO_TCP, TCP_KEEPCNT);
    const int user_timeout_ms = int_option(b.fd, IPPROTO_TCP, TCP_USER_TIMEOUT);
    // Found dead within about a minute whether the connection is idle or has data in flight.
    EXPECT_GT(idle, 0);
    EXPECT_LE(idle + interval * count, 60);
    EXPECT_GE(user_timeout_ms, 10000);  // a busy network's retransmissions are not a dead peer
    EXPECT_LE(user_timeout_ms, 60000);
  }
}

TEST(AsioSocket, RequestNobodyAcceptsIsClosedAtOnce) {
  RealLoop r;
  AsioSocketFactory factory(r.loop);
  Pair p = listen_with_slots(factory, 1);
  test::TcpClient first(p.port);
  ASSERT_TRUE(r.run_until([&] { return p.slots[0]->state() == sockstate::connected; }));
  test::TcpClient second(p.port);  // no free slot
  ASSERT_TRUE(second.connected());
  ASSERT_TRUE(r.run_until([&] { return second.ended(); }, [&] { second.poll(); }, 5s));
  EXPECT_EQ(factory.pending_requests(), 0u);
  EXPECT_TRUE(first.poll());
  EXPECT_FALSE(first.ended());
  EXPECT_THROW(p.slots[0]->accept(12345), Error);  // unknown request id
}

TEST(AsioSocket, PortInUseAndListenOnAnOpenSocket) {
  RealLoop r;
  AsioSocketFactory factory(r.loop);
  auto a = factory.create();
  a->set_local_port(0);
  a->listen();
  auto b = factory.create();
  b->set_local_port(a->local_port());
  try {
    b->listen();
    ADD_FAILURE() << "second listener on the same port";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), errc::address_in_use);
  }
  EXPECT_EQ(b->state(), sockstate::closed);
  try {
    a->listen();
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), 40020);
  }
  // After the first closes, the port is free again at once (address reuse).
  const int port = a->local_port();
  a->close();
  b->listen();
  EXPECT_EQ(b->local_port(), port);
}

TEST(AsioSocket, BindsAllAddressesOrTheOneGiven) {
  RealLoop r;
  {
    AsioSocketFactory factory(r.loop);
    Pair p = listen_with_slots(factory, 1);
    // Where the host has IPv6, the same listener takes IPv6 peers too.
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(p.port));
    a.sin6_addr = in6addr_loopback;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      EXPECT_TRUE(r.run_until([&] { return p.slots[0]->state() == sockstate::connected; }));
    }
    if (fd >= 0) ::close(fd);
  }
  AsioSocketFactory::Options o;
  o.bind_address = "127.0.0.1";
  AsioSocketFactory local(r.loop, o);
  Pair p = listen_with_slots(local, 1);
  test::TcpClient c(p.port);
  EXPECT_TRUE(r.run_until([&] { return p.slots[0]->state() == sockstate::connected; }));

  o.bind_address = "not-an-address";
  AsioSocketFactory bad(r.loop, o);
  auto s = bad.create();
  EXPECT_THROW(s->listen(), Error);
  EXPECT_EQ(s->state(), sockstate::closed);
}

TEST(AsioSocket, PeerThatNeverReadsFailsOnlyItsOwnSlot) {
  RealLoop r;
  AsioSocketFactory::Options o;
  o.send_limit = 64 * 1024;
  AsioSocketFactory factory(r.loop, o);
  Pair p = listen_with_slots(factory, 2);
  test::TcpClient stalled(p.port, 4096);
  ASSERT_TRUE(r.run_until([&] { return p.slots[0]->state() == sockstate::connected; }));
  test::TcpClient reader(p.port);
  ASSERT_TRUE(r.run_until([&] { return p.slots[1]->state() == sockstate::connected; }));
  std::vector<int> errors;
  p.slots[0]->on_error = [&](int number, const std::string&) { errors.push_back(number); };

  const std::string chunk(8192, 'f');
  std::size_t to_reader = 0;
  int failed_at = -1;
  for (int i = 0; i < 4000 && failed_at < 0; ++i) {
    try {
      p.slots[0]->send_data(chunk);
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), 10055);
      failed_at = i;
    }
    p.slots[1]->send_data("frame");
    to_reader += 5;
    r.io.poll();
    reader.poll();
  }
  ASSERT_GE(failed_at, 0) << "the stalled peer's queue never filled";
  EXPECT_EQ(p.slots[0]->state(), sockstate::error);
  EXPECT_EQ(p.slots[1]->state(), sockstate::connected);
  ASSERT_TRUE(r.run_until([&] { return reader.received().size() == to_reader; }, [&] { reader.poll(); }));
  ASSERT_TRUE(r.run_until([&] { return !errors.empty(); }));
  EXPECT_EQ(errors.front(), 10055);
  // The stalled peer sees its connection end; the slot is closed and reusable.
  ASSERT_TRUE(r.run_until([&] { return stalled.ended(); }, [&] { stalled.poll(); stalled.received().clear(); }));
  p.slots[0]->close();
  EXPECT_EQ(p.slots[0]->state(), sockstate::closed);
  test::TcpClient again(p.port);
  ASSERT_TRUE(r.run_until([&] { return p.slots[0]->state() == sockstate::connected; }));
}

TEST(AsioSocket, UnreadInputIsCappedAndReadingResumes) {
  RealLoop r;
  AsioSocketFactory::Options o;
  o.receive_limit = 16 * 1024;
  AsioSocketFactory factory(r.loop, o);
  Pair p = listen_with_slots(factory, 1);
  test::TcpClient c(p.port);
  Socket& slot = *p.slots[0];
  ASSERT_TRUE(r.run_until([&] { return slot.state() == sockstate::connected; }));
  std::size_t largest = 0;
  slot.on_data_arrival = [&](std::size_t n) { largest = std::max(largest, n); };  // nobody fetches

  // More than loopback's socket buffers on both sides can hold.
  const std::string flood(24 << 20, 'x');
  const std::string_view rest(flood);
  std::size_t written = 0;
  r.run_until([&] { return false; }, [&] { written += c.send_some(rest.substr(written)); }, 300ms);
  EXPECT_LE(largest, o.receive_limit);
  EXPECT_LT(written, flood.size());  // the peer is held back, not buffered without end

  std::size_t fetched = 0;
  slot.on_data_arrival = [&](std::size_t) { fetched += slot.get_data().size(); };
  fetched += slot.get_data().size();
  ASSERT_TRUE(r.run_until([&] { return fetched == flood.size(); },
                          [&] {
                            if (written < flood.size()) written += c.send_some(rest.substr(written));
                          }));
}

// The data service on real sockets: slots, the refused fifth client and frames on the wire.
TEST(AsioSocket, DataServiceAcceptsFourClientsAndRefusesTheFifth) {
  RealLoop r;
  AsioSocketFactory factory(r.loop);
  test::FakePlatform fakes;
  PlatformObjects objects = fakes.objects();
  objects.sockets = &factory;
  const auto dir = test::fresh_temp_dir("asio");
  const int port = test::free_port();
  {
    Server srv(r.loop, objects, dir);
    srv.settings.savereg("tcpport1", std::to_string(port) + "x");
    srv.start();
    Frmserver& f = srv.form;
    f.Timer6.set_timer_enabled(false);
    ASSERT_EQ(f.Winsock1[0].state(), sockstate::listening);

    std::vector<std::unique_ptr<test::TcpClient>> clients;
    for (int i = 1; i <= 4; ++i) {
      clients.push_back(std::make_unique<test::TcpClient>(port));
      ASSERT_TRUE(r.run_until([&] { return f.Winsock1[i].state() == sockstate::connected; })) << i;
    }
    test::TcpClient fifth(port);
    ASSERT_TRUE(r.run_until([&] { return fifth.ended(); }, [&] { fifth.poll(); }, 5s));
    srv.data.slot_upkeep();
    EXPECT_EQ(f.numcom[0], 4);

    auto poll_all = [&] {
      for (auto& c : clients) c->poll();
    };
    ASSERT_TRUE(r.run_until([&] { return clients[3]->received().ends_with("UDP:False*4"); }, poll_all, 5s));
    EXPECT_TRUE(clients[0]->received().ends_with("UDP:False*1"));

    // Slot 2's client leaves; the next one gets slot 2.
    clients[1]->close();
    ASSERT_TRUE(r.run_until([&] { return f.Winsock1[2].state() == sockstate::closing; }));
    test::TcpClient next(port);
    ASSERT_TRUE(r.run_until([&] { return next.received().ends_with("*2"); }, [&] { next.poll(); }, 5s));
    EXPECT_EQ(f.Winsock1[2].state(), sockstate::connected);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillon
