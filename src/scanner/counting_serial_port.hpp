#pragma once
// Counts what passes through a serial port for the metrics page: bytes each way, opens asked
// for and opens that failed. Everything else goes straight to the port it wraps.

#include <cstdint>

#include "window/serial_port.hpp"

namespace quillon {

struct SerialCounters {
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t open_attempts = 0;
  std::uint64_t open_failures = 0;
};

class CountingSerialPort final : public SerialPort {
 public:
  explicit CountingSerialPort(SerialPort& port) : port_(port) {}

  const SerialCounters& counters() const { return c_; }

  void set_comm_port(int n) override { port_.set_comm_port(n); }
  int comm_port() const override { return port_.comm_port(); }
  void set_settings(std::string_view s) override { port_.set_settings(s); }
  std::string settings() const override { return port_.settings(); }
  bool port_open() const override { return port_.port_open(); }
  std::string input() override {
    std::string s = port_.input();
    c_.bytes_in += s.size();
    return s;
  }
  void output(std::string_view text) override {
    port_.output(text);
    c_.bytes_out += text.size();  // queued; what the queue could not take is counted by the port
  }
  void set_port_open(bool open) override {
    if (!open) {
      port_.set_port_open(false);
      return;
    }
    ++c_.open_attempts;
    try {
      port_.set_port_open(true);
    } catch (...) {
      ++c_.open_failures;
      throw;
    }
  }

 private:
  SerialPort& port_;
  SerialCounters c_;
};

}  // namespace quillon
