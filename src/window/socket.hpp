#pragma once
// The socket contract of the data ports: one element of a socket array (`Winsock1(i)`).
// Element 0 listens; elements 1..clientslots are client slots. All calls are made on the loop
// thread and never block it. Events are delivered as events of their own on the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quillon {

namespace sockstate {
inline constexpr int closed = 0, open = 1, listening = 2, connection_pending = 3, resolving_host = 4,
                     host_resolved = 5, connecting = 6, connected = 7, closing = 8, error = 9;
}

using RequestId = std::uint64_t;

class Socket {
 public:
  virtual ~Socket() = default;

  virtual void set_local_port(int port) = 0;
  virtual int local_port() const = 0;
  // Throws quillon::Error (10048 when the port is in use).
  virtual void listen() = 0;
  virtual void accept(RequestId request) = 0;
  virtual int state() const = 0;
  virtual std::string get_data() = 0;
  virtual void send_data(std::string_view data) = 0;
  virtual void close() = 0;
  // The connected peer's address ("192.0.2.7"), "" when unknown.
  virtual std::string remote_address() const { return {}; }

  std::function<void(RequestId)> on_connection_request;
  std::function<void(std::size_t bytes)> on_data_arrival;
  std::function<void(int number, const std::string& description)> on_error;
};

// Creates the elements of socket arrays ("create element").
class SocketFactory {
 public:
  virtual ~SocketFactory() = default;
  virtual std::unique_ptr<Socket> create() = 0;
  // Element `index` of the socket array `array` ("Winsock1"), for adapters that tell arrays apart.
  virtual std::unique_ptr<Socket> create_element(const std::string& array, int index) {
    (void)array;
    (void)index;
    return create();
  }
};

}  // namespace quillon
