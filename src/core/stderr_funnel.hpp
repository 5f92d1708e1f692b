#pragma once
// Code the server only links (the sound library's plugins, a sound-server client) writes its
// complaints straight to standard error, once per attempt of whatever fails: a capture retried
// every second would say the same thing for ever. The funnel puts a pipe in front of standard
// error: the server's own lines (log.hpp) go to the real standard error as before; a line from
// anyone else starts a fault in the FaultBook (said once, with that first line) and further
// lines are only counted, until `quiet` passes without one, which ends the fault (said once,
// with the count). Lines are cut at 512 bytes; reading never waits on the rest of the server.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "core/fault_book.hpp"

namespace quillon {

class StderrFunnel {
 public:
  // Does nothing (and says why in ok()) when the pipe cannot be made.
  StderrFunnel(FaultBook& book, std::chrono::milliseconds quiet);
  // Puts the real standard error back and stops the reader.
  ~StderrFunnel();
  StderrFunnel(const StderrFunnel&) = delete;
  StderrFunnel& operator=(const StderrFunnel&) = delete;

  bool ok() const { return reader_.joinable(); }
  std::uint64_t lines() const { return lines_; }  // foreign lines seen

 private:
  void run();

  FaultBook& book_;
  std::chrono::milliseconds quiet_;
  int real_stderr_ = -1;
  int read_end_ = -1;
  int stop_[2] = {-1, -1};
  std::atomic<std::uint64_t> lines_{0};
  std::thread reader_;
};

}  // namespace quillon
