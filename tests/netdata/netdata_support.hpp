#pragma once
// Helpers for the data-service tests: a started server on fakes and its sockets by channel.

#include <string>

#include "support/fakes.hpp"

namespace quillon::test {

inline FakeSocket& sock(TestServer& t, int channel, int index) {
  return dynamic_cast<FakeSocket&>((*t.f().winsock[static_cast<std::size_t>(channel - 1)])[index]);
}

// A peer connects to channel k's listener; returns the slot that took it, 0 when none did.
inline int connect_client(TestServer& t, int channel) {
  static RequestId next = 1000;
  const RequestId id = ++next;
  FakeSocket& listener = sock(t, channel, 0);
  if (listener.on_connection_request) listener.on_connection_request(id);
  for (int i = 1; i <= t.f().clientslots; ++i) {
    const auto& acc = sock(t, channel, i).accepted;
    if (!acc.empty() && acc.back() == id) return i;
  }
  return 0;
}

// A client of channel k's slot i sends text (one arrival).
inline void client_sends(TestServer& t, int channel, int slot, const std::string& text) {
  sock(t, channel, slot).receive(text);
}

inline FakeSerialPort& open_port(TestServer& t, int channel) {
  FakeSerialPort& p = t.fakes.ports[static_cast<std::size_t>(channel - 1)];
  if (!p.port_open()) p.set_port_open(true);
  return p;
}

inline long count_of(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<long>(std::count(v.begin(), v.end(), s));
}

}  // namespace quillon::test
