// The audio streaming server on loopback, driven by its own io_context.

#include "audio/audio_ip_server.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <filesystem>
#include <vector>

namespace quillon::audio {
namespace {

using namespace std::chrono_literals;

int highest_open_descriptor() {
  int high = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) high = std::max(high, std::atoi(e.path().filename().c_str()));
  return high;
}

// Out of descriptors, a pending connection cannot be accepted; the listener must pause between
// attempts instead of burning a core, and take the connection once descriptors are back.
TEST(AudioIpServer, OutOfDescriptorsTheListenerBacksOffAndRecovers) {
  boost::asio::io_context io;
  AudioIpServer server(io);
  server.set_proto(0);
  server.set_port("0");
  server.bind_to = "127.0.0.1";
  server.chain_start(8000);
  const int port = server.bound_port();
  ASSERT_GT(port, 0);

  // One turn of the loop while descriptors are plenty: the sanitizers' type checks of the
  // loop's own calls then come from their cache (a first check needs a free descriptor).
  io.run_for(10ms);

  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(highest_open_descriptor() + 8);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = ::dup(client)) >= 0;) filler.push_back(fd);

  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int connected = ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);  // waits in the backlog
  // A spinning listener runs its accept handler thousands of times a second; one that pauses
  // a few times. The count does not depend on the machine's speed, only on the pause.
  const std::size_t handlers = io.run_for(1s);

  for (int fd : filler) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_EQ(connected, 0);
  EXPECT_LT(handlers, 50u);

  timeval tv{0, 20000};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string got;
  for (int i = 0; i < 500 && got.size() < 4; ++i) {
    io.run_for(20ms);
    char buf[64];
    const ssize_t n = ::recv(client, buf, sizeof buf, 0);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got.substr(0, 4), "RIFF");  // admitted: the stream starts with its WAV header
  ::close(client);
  server.chain_stop();
}

// The port text is rounded as the window rounds port fields, so "P-1.5" binds P on Apply just
// as it does after a restart (where the stored text is made whole first).
TEST(AudioIpServer, FractionalPortTextBindsTheRoundedPort) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const int free_port = probe.local_endpoint().port();
  probe.close();
  AudioIpServer server(io);
  server.set_proto(0);
  server.set_port(std::to_string(free_port - 1) + ".5");
  server.bind_to = "127.0.0.1";
  server.chain_start(8000);
  EXPECT_EQ(server.bound_port(), free_port);
  server.chain_stop();
}


// What all UDP audio servers send is bounded by their shared budget, whatever the registrations.
TEST(AudioIpServer, UdpSendsStayWithinTheSharedBudget) {
  boost::asio::io_context io;
  AudioIpServer server(io);
  server.set_proto(1);
  server.set_port("0");
  server.bind_to = "127.0.0.1";
  auto budget = std::make_shared<UdpSendBudget>(10 * (12 + 33));  // ten packets a second
  server.set_udp_budget(budget);
  server.chain_start(8000);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.bound_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
  for (int i = 0; i < 100 && server.client_count() == 0; ++i) io.run_for(10ms);
  ASSERT_EQ(server.client_count(), 1);
  for (int b = 0; b < 25; ++b) server.pcm_block(PcmBlock{});  // 50 packets at once
  io.run_for(50ms);
  std::size_t received = 0;
  char buf[256];
  while (::recv(fd, buf, sizeof buf, 0) > 0) ++received;
  ::close(fd);
  EXPECT_GT(received, 0u);
  EXPECT_LE(received, 20u);  // ten, or twenty when a second began between the blocks
  EXPECT_EQ(received + budget->refused(), 50u);
  server.chain_stop();
}

}  // namespace
}  // namespace quillon::audio
