#include "core/log.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quillon::log {

namespace {

std::atomic<int> g_threshold{static_cast<int>(Level::info)};
std::atomic<bool> g_prefix{false};
std::atomic<int> g_fd{STDERR_FILENO};

// JOURNAL_STREAM is "DEVICE:INODE" of the stream systemd connected; a child that inherited the
// variable but writes elsewhere must not get the prefixes.
bool stderr_is_journal() {
  const char* v = std::getenv("JOURNAL_STREAM");
  if (!v || !*v) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(v, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace

std::optional<Level> parse_level(std::string_view text) {
  if (text == "error") return Level::error;
  if (text == "warning") return Level::warning;
  if (text == "info") return Level::info;
  if (text == "debug") return Level::debug;
  return std::nullopt;
}

void configure(Level threshold) {
  g_threshold = static_cast<int>(threshold);
  g_prefix = stderr_is_journal();
}

void set_output(int fd) { g_fd = fd; }

void write(Level level, std::string_view text) {
  if (static_cast<int>(level) > g_threshold.load()) return;
  std::string line;
  line.reserve(text.size() + 16);
  if (g_prefix.load()) {
    line += '<';
    line += std::to_string(static_cast<int>(level));
    line += '>';
  }
  line += "quillon: ";
  line += text;
  line += '\n';
  // One write per line, so lines from other threads never interleave inside a line.
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(g_fd.load(), line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace quillon::log
