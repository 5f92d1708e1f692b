#pragma once
// The data-port socket layer on TCP: every element of a socket array is an AsioSocket created by
// AsioSocketFactory. All of it runs on the loop thread; nothing blocks.
//
// Behaviour the logic can rely on besides the Socket contract:
// - listen() binds all addresses (dual-stack IPv6 where the host has it, otherwise IPv4) or the
//   one address given in Options::bind_address, with address reuse so a restart does not fail on
//   a lingering port. A port in use throws Error(10048). listen() on a socket that is not closed
//   throws Error(40020). Listening on port 0 takes a free port; local_port() then reports it.
// - A connection request is raised on the listener with a request id; the accepted connection is
//   held until the handler returns. accept(id) on any element of the factory binds it there; a
//   request that no element accepted by then is closed at once, so the peer sees the end of the
//   connection instead of waiting in a backlog.
// - Send queue per socket: at most Options::send_limit bytes not yet taken by the peer. A send
//   that would go beyond it puts the socket in the error state (9), drops its queue, ends the
//   connection and throws Error(10055); the next close() returns it to 0. Other sockets are not
//   affected.
// - Receive buffer per socket: at most Options::receive_limit bytes not yet fetched by
//   get_data(). When it is full the socket stops reading; TCP flow control then holds the peer
//   back. Reading resumes after get_data().
// - Peer hang-up gives state 8 (closing); a read or write failure state 9 and an error event.
// - A peer that vanished without closing is a read failure (10060) within about a minute: TCP
//   keepalive and TCP_USER_TIMEOUT on every accepted connection.
// - Every descriptor is close-on-exec.
// - Events (connection request, data arrival, error) run as events of their own on the loop,
//   never inside a call the logic makes.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "window/socket.hpp"

namespace quillon {

class AsioEventLoop;

class AsioSocketFactory final : public SocketFactory {
 public:
  struct Options {
    std::size_t send_limit = 256 * 1024;
    std::size_t receive_limit = 64 * 1024;
    // Empty: all addresses. Otherwise an IPv4 or IPv6 address literal to listen on.
    std::string bind_address;
    // After every listen(): the array's name, the port asked for, and why it failed ("" when
    // it listens). Runs inside listen(), on the loop thread.
    std::function<void(const std::string& array, int port, const std::string& failure)> on_listen;
  };

  explicit AsioSocketFactory(AsioEventLoop& loop);
  AsioSocketFactory(AsioEventLoop& loop, Options options);
  ~AsioSocketFactory() override;
  AsioSocketFactory(const AsioSocketFactory&) = delete;
  AsioSocketFactory& operator=(const AsioSocketFactory&) = delete;

  std::unique_ptr<Socket> create() override;
  std::unique_ptr<Socket> create_element(const std::string& array, int index) override;

  // Connections accepted by a listener and not yet bound to an element (0 outside a handler).
  std::size_t pending_requests() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace quillon
