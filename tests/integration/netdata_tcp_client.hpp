#pragma once
// A plain TCP client for tests against real sockets: blocking connect, non-blocking reads.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/net.hpp"

namespace quillon::test {

class TcpClient {
 public:
  // rcvbuf > 0 shrinks the receive buffer before connecting (a peer that reads slowly).
  explicit TcpClient(int port, int rcvbuf = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~TcpClient() { close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return connected_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Reads what is waiting into received(); false once the peer has ended the connection.
  bool poll() {
    if (fd_ < 0) return false;
    char buf[16384];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received_.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        ended_ = true;
        return false;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      ended_ = true;  // reset
      return false;
    }
  }
  // Writes as much of data as the socket takes now; returns the count written.
  std::size_t send_some(std::string_view data) {
    const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  bool send_all(const std::string& data) {
    std::size_t done = 0;
    for (int spins = 0; done < data.size() && spins < 100000; ++spins) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) done += static_cast<std::size_t>(n);
      else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      else ::usleep(1000);
    }
    return done == data.size();
  }
  std::string& received() { return received_; }
  bool ended() const { return ended_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool ended_ = false;
  std::string received_;
};

}  // namespace quillon::test
