#pragma once
// Boost.Asio opens sockets without close-on-exec; every descriptor of the server gets it right
// after it is opened (on the loop thread, the only thread that starts programs), so a started
// program never holds a listener or a client connection of ours.

#include <fcntl.h>

namespace quillon {

inline void set_cloexec(int fd) {
  if (fd < 0) return;
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0 && !(flags & FD_CLOEXEC)) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace quillon
