#pragma once
// Plain blocking sockets for tests that talk to a real server on the loopback address.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quillon::test {

// The slot ctest gave this test (tests/resources.json: tests that run real processes hold one
// of three), or -1 outside ctest.
inline int test_slot() {
  const char* g = std::getenv("CTEST_RESOURCE_GROUP_0_PROCESSES");
  if (!g) return -1;
  const char* id = std::strstr(g, "id:");
  return id ? std::atoi(id + 3) : -1;
}

// A port of the given socket type that was free a moment ago. Under ctest each slot has ports of
// its own (below the kernel's ephemeral range, where port 0 binds land): a port handed out here
// and released is not taken by a test running beside this one before its server binds it. A
// process never gets the same port twice.
inline int free_port(int type = SOCK_STREAM) {
  auto bindable = [type](int port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ok ? static_cast<int>(ntohs(a.sin_port)) : 0;
  };
  const int slot = test_slot();
  if (slot < 0 || slot > 2) return bindable(0);
  constexpr int kFirst = 12000, kPerSlot = 6000;
  static int next = static_cast<int>(::getpid() % kPerSlot);
  for (int tries = 0; tries < kPerSlot; ++tries) {
    const int port = kFirst + slot * kPerSlot + next;
    next = (next + 1) % kPerSlot;
    if (bindable(port)) return port;
  }
  return bindable(0);
}

// Whether nothing listens on `port` (tried by binding it on all addresses; below 1024 that needs root).
inline bool port_free_as_root(int port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A connected TCP socket to the loopback port (reads give up after 20 s), or -1.
inline int connect_tcp(int port, int rcvbuf = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// Reads exactly n bytes, or less at the end of the stream or after the read time-out.
inline std::string read_n(int fd, std::size_t n) {
  std::string s;
  char buf[4096];
  while (s.size() < n) {
    const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - s.size()), 0);
    if (r <= 0) break;
    s.append(buf, static_cast<std::size_t>(r));
  }
  return s;
}

// One request on the loopback address, Connection: close; the whole response (status line,
// headers, body), or "" when nothing answered.
inline std::string http_exchange(int port, const std::string& method, const std::string& path, const std::string& body = "",
                                 const std::string& host = "127.0.0.1") {
  const int fd = connect_tcp(port);
  if (fd < 0) return "";
  std::string req = method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n";
  if (!body.empty()) req += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  (void)!::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string out;
  char buf[8192];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

inline std::string http_get(int port, const std::string& path, const std::string& host = "127.0.0.1") {
  return http_exchange(port, "GET", path, "", host);
}

inline int status_of(const std::string& response) { return response.size() > 12 ? std::atoi(response.c_str() + 9) : 0; }

inline std::string body_of(const std::string& response) {
  const auto at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

// The body of a 200 answer to a GET, or "".
inline std::string ok_body(int port, const std::string& path) {
  const std::string response = http_get(port, path);
  return status_of(response) == 200 ? body_of(response) : "";
}

}  // namespace quillon::test
