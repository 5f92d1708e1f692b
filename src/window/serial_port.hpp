#pragma once
// The serial-port contract the scanner link relies on (one object per channel, `comm1(k-1)`).
// Every operation may throw quillon::Error with 8002 (port number not valid or not available),
// 8005 (already open, here or by another program) or another code above 8000 (port failure,
// for instance an operation on a closed port).

#include <string>
#include <string_view>

namespace quillon {

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // 1-based port number and line settings ("19200,n,8,1"); both take effect at the next open.
  virtual void set_comm_port(int number) = 0;
  virtual int comm_port() const = 0;
  virtual void set_settings(std::string_view settings) = 0;
  virtual std::string settings() const = 0;

  // Setting true opens, false closes; reading gives the open state.
  virtual void set_port_open(bool open) = 0;
  virtual bool port_open() const = 0;

  // Everything received since the last take, one character per byte; never blocks.
  virtual std::string input() = 0;
  // Queues text for sending, nothing added; never blocks.
  virtual void output(std::string_view text) = 0;
};

}  // namespace quillon
