#pragma once
// The serial-port contract on Linux termios.
//
// Port numbers: port N is the device that the symbolic link DATA/ports/comN points to (for
// example /dev/serial/by-id/usb-... or /dev/ttyUSB0), the way Windows-compatibility layers map
// COM ports. There is no fallback: without the link (or with a link to nothing) the port is not
// available (8002). Port numbers below 1 are never available.
//
// Opening: O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, then an exclusive flock and TIOCEXCL, so a
// port open here or in another program gives 8005; then raw mode, 8 data bits, no parity, one
// stop bit, no flow control, VMIN 1 / VTIME 0 (reads never wait: O_NONBLOCK) at the speed of the settings text. Any other
// failure gives a code above 8000 (8015; 8018 for an operation on a closed port).
//
// Reading: input() takes what the kernel holds without waiting. Writing: output() writes what the
// device takes at once and queues the rest (at most kOutputQueueLimit bytes); the loop drains the
// queue when the device becomes writable. Each output() is one command or query and is taken
// whole or dropped whole (and counted) when the queue has no room for all of it.
//
// Unplug: a hang-up (read() returning 0, EIO, ENXIO, ENODEV) marks the port failed: it still
// reads as open, but input() and output() throw 8015 until it is closed. Reopening finds the
// device again once its link resolves.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "window/serial_port.hpp"

namespace quillon {

class AsioEventLoop;

class LinuxSerialPort final : public SerialPort {
 public:
  static constexpr std::size_t kOutputQueueLimit = 4096;
  static constexpr std::size_t kReadLimit = 65536;  // most bytes one input() takes

  LinuxSerialPort(std::filesystem::path ports_dir, AsioEventLoop& loop);
  ~LinuxSerialPort() override;
  LinuxSerialPort(const LinuxSerialPort&) = delete;
  LinuxSerialPort& operator=(const LinuxSerialPort&) = delete;

  void set_comm_port(int number) override;
  int comm_port() const override;
  void set_settings(std::string_view settings) override;
  std::string settings() const override;
  void set_port_open(bool open) override;
  bool port_open() const override;
  std::string input() override;
  void output(std::string_view text) override;

  // Bytes, and output() calls, dropped for want of room in the queue since the object was made.
  std::uint64_t dropped_bytes() const;
  std::uint64_t dropped_writes() const;
  // True after a hang-up until the port is closed.
  bool failed() const;
  // The device path port N maps to.
  std::filesystem::path link_path(int number) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon
