#pragma once
// Puts a serial port's notable events on the diagnostics line (standard error, so a service
// manager's journal shows them): a port that cannot be opened, and the port opening again
// afterwards. The watchdog retries a missing port every second, so a failure is reported when
// it starts or changes, not on every retry.

#include <functional>
#include <string>
#include <utility>

#include "core/errors.hpp"
#include "window/serial_port.hpp"

namespace quillon {

class ReportingSerialPort final : public SerialPort {
 public:
  ReportingSerialPort(SerialPort& port, std::string name, std::function<void(const std::string&)> notice)
      : port_(port), name_(std::move(name)), notice_(std::move(notice)) {}

  void set_comm_port(int n) override { port_.set_comm_port(n); }
  int comm_port() const override { return port_.comm_port(); }
  void set_settings(std::string_view s) override { port_.set_settings(s); }
  std::string settings() const override { return port_.settings(); }
  bool port_open() const override { return port_.port_open(); }
  std::string input() override { return port_.input(); }
  void output(std::string_view text) override { port_.output(text); }

  void set_port_open(bool open) override {
    if (!open) {
      port_.set_port_open(false);
      return;
    }
    const std::string where = name_ + " (port " + std::to_string(port_.comm_port()) + ")";
    try {
      port_.set_port_open(true);
    } catch (const Error& e) {
      const std::string why = where + " cannot be opened: " + e.what() + " [" + std::to_string(e.code()) + "]";
      if (why != last_failure_) notice_(why);
      last_failure_ = why;
      throw;
    }
    if (!last_failure_.empty()) notice_(where + " open");
    last_failure_.clear();
  }

 private:
  SerialPort& port_;
  std::string name_;
  std::function<void(const std::string&)> notice_;
  std::string last_failure_;
};

}  // namespace quillon
