// libFuzzer target for the UDP audio port: the input is a series of datagrams from one to four
// senders, received by the real streaming server through a real socket; then one block of audio
// is streamed. The target first moves into a network namespace of its own (when the system lets
// it), so that whatever the server streams can reach nobody else; without one it never streams.
//
// Input: byte 0 gives the client limit (bits 0-2), the number of senders (bits 3-4) and where the
// datagrams are cut (with byte 1); the rest is their text. Checked: the server never counts more
// clients than its limit, keeps receiving, and sends only well-formed RTP (version 2, GSM, one
// 33-byte frame) to the senders it admitted.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz_support.hpp"
#include "audio/audio_ip_server.hpp"

using namespace quillon;

namespace {

bool isolated = false;

// A network namespace with only a loopback interface, brought up.
bool isolate() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  up = up && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  ::close(s);
  return up;
}

struct Rig {
  boost::asio::io_context io;
  audio::AudioIpServer server{io};
  int senders[4] = {-1, -1, -1, -1};

  Rig() {
    server.bind_to = "127.0.0.1";
    server.set_proto(1);
    server.set_port("0");
    for (int& s : senders) {
      s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fuzz::fail("no sender socket");
    }
  }

  void send(int sender, std::string_view text) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(server.bound_port());
    ::sendto(senders[sender], text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    io.poll();
  }

  // Reads what a sender received: false when a packet is not one RTP GSM frame.
  bool drain(int sender, int& packets) {
    std::uint8_t buf[2048];
    for (;;) {
      const ssize_t n = ::recv(senders[sender], buf, sizeof buf, 0);
      if (n < 0) return true;
      ++packets;
      if (n != 12 + static_cast<ssize_t>(audio::kGsmFrameBytes) || buf[0] != 0x80 || (buf[1] & 0x7F) != 3) return false;
    }
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  isolated = isolate();
  if (!isolated) std::fprintf(stderr, "audio_register_fuzz: no private network namespace; nothing is streamed\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Rig& r = rig();
  const int limit = data[0] & 7;
  const int senders = 1 + ((data[0] >> 3) & 3);
  r.server.set_max_clients(limit);
  r.server.chain_stop();
  r.server.chain_start(8000);  // a fresh socket and no clients
  if (r.server.bound_port() == 0) fuzz::fail("audio port not listening");
  int packets = 0;
  for (int s = 0; s < 4; ++s) r.drain(s, packets);

  const std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
  fuzz::Pieces datagrams(stream, static_cast<std::uint8_t>((data[0] >> 5) | (data[1] << 3)), 24, 3);
  std::string_view text;
  int from = 0, n = 0;
  while (datagrams.next(text, from)) {
    r.send(from % senders, text);
    if (r.server.client_count() > limit) fuzz::fail("more clients than the limit");
    ++n;
  }
  // The server still hears a sender after whatever came before.
  // A refusal by the registration rate limit of the source network is the server's rule, not a fault.
  const int before = r.server.client_count();
  const auto refused = r.server.udp_registrations_refused();
  r.send(0, "");
  if (before == 0 && limit > 0 && r.server.client_count() == 0 && r.server.udp_registrations_refused() == refused)
    fuzz::fail("server stopped registering");

  if (isolated) {
    r.server.pcm_block(audio::PcmBlock{});
    packets = 0;
    for (int s = 0; s < senders; ++s)
      if (!r.drain(s, packets)) fuzz::fail("malformed RTP packet");
    if (packets > 2 * r.server.client_count()) fuzz::fail("more packets than two per client");
  }
  return 0;
}
