#include "core/exit_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <system_error>

#include "core/file_modes.hpp"

namespace quillon {

void ExitLog::writeexitlog(std::string_view message) {
  const std::time_t t = WallClock::to_time_t(loop_.wall_now());
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d - %02d-%02d-%04d - 0 - ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
  std::string line = stamp;
  line.append(message);
  line.append("\r\n");
  // A handle of its own, opened and closed per line; any failure loses the line.
  const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, kDataFileMode);
  if (fd < 0) return;
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

void ExitLog::remove() {
  std::error_code ec;
  std::filesystem::remove(file_, ec);
}

}  // namespace quillon
