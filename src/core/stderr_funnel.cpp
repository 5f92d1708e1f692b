#include "core/stderr_funnel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "core/log.hpp"

namespace quillon {

namespace {

constexpr std::size_t kMaxLine = 512;
constexpr const char* kKind = "sound_library";

}  // namespace

StderrFunnel::StderrFunnel(FaultBook& book, std::chrono::milliseconds quiet) : book_(book), quiet_(quiet) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return;
  if (::pipe2(stop_, O_CLOEXEC) != 0) {
    ::close(p[0]);
    ::close(p[1]);
    return;
  }
  real_stderr_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (real_stderr_ < 0 || ::dup2(p[1], STDERR_FILENO) < 0) {
    for (int fd : {p[0], p[1], stop_[0], stop_[1], real_stderr_})
      if (fd >= 0) ::close(fd);
    real_stderr_ = -1;
    return;
  }
  ::close(p[1]);
  read_end_ = p[0];
  // A library that writes more than the pipe holds while the reader is slow loses its lines
  // rather than stopping its thread.
  ::fcntl(STDERR_FILENO, F_SETFL, ::fcntl(STDERR_FILENO, F_GETFL) | O_NONBLOCK);
  log::set_output(real_stderr_);
  reader_ = std::thread([this] { run(); });
}

StderrFunnel::~StderrFunnel() {
  if (!reader_.joinable()) return;
  ::dup2(real_stderr_, STDERR_FILENO);
  log::set_output(STDERR_FILENO);
  (void)!::write(stop_[1], "x", 1);
  reader_.join();
  for (int fd : {read_end_, stop_[0], stop_[1], real_stderr_}) ::close(fd);
}

void StderrFunnel::run() {
  std::string line;
  std::uint64_t held_back = 0;
  bool active = false;
  auto last = std::chrono::steady_clock::now();
  char buf[4096];
  for (;;) {
    pollfd fds[2] = {{read_end_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    const int timeout = active ? static_cast<int>(quiet_.count()) : -1;
    const int n = ::poll(fds, 2, timeout);
    if (n < 0) continue;
    if (fds[1].revents) return;
    const auto now = std::chrono::steady_clock::now();
    if (n == 0 || (active && now - last >= quiet_)) {
      if (active)
        book_.clear(kKind, 0, "no more complaints from the sound library (" + std::to_string(held_back) + " lines held back)");
      active = false;
      held_back = 0;
      if (n == 0) continue;
    }
    const ssize_t got = ::read(read_end_, buf, sizeof buf);
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buf[i];
      if (c != '\n') {
        if (line.size() < kMaxLine) line += (c >= ' ' && c != 127) || c == '\t' ? c : '?';
        continue;
      }
      if (line.empty()) continue;
      ++lines_;
      last = now;
      if (!active) {
        active = true;
        book_.fault(kKind, 0, "the sound library (or a plugin of it) says: " + line + " (said once; repeats are counted until it is quiet for " +
                                  std::to_string(quiet_.count() / 1000) + " s)");
      } else {
        ++held_back;
      }
      line.clear();
    }
  }
}

}  // namespace quillon
