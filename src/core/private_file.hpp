#pragma once
// Reading a secret (the console token): like ssh with its keys, a file that the group or others
// may access is refused, and only its first few KiB are ever read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace quillon {

inline constexpr std::size_t kPrivateFileMaxBytes = 4096;

// The whole content of a private file of at most kPrivateFileMaxBytes; throws
// std::runtime_error naming `what` and the file otherwise.
inline std::string read_private_file(const std::filesystem::path& file, const std::string& what) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw std::runtime_error("cannot read the " + what + " " + file.string() + ": " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("the " + what + " " + file.string() + " is not a regular file");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw std::runtime_error("the " + what + " " + file.string() + " has permissions " + mode +
                             ": group and others must have no access to it (chmod 600)");
  }
  std::string text(kPrivateFileMaxBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("cannot read the " + what + " " + file.string() + ": " + std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kPrivateFileMaxBytes) throw std::runtime_error("the " + what + " " + file.string() + " is larger than 4 KiB");
  text.resize(got);
  return text;
}

}  // namespace quillon
