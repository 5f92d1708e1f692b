#include "scanner/linux_serial_port.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "core/asio_event_loop.hpp"
#include "core/errors.hpp"

namespace quillon {

namespace {

struct Speed {
  int baud;
  speed_t code;
};
constexpr Speed kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                             {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

// "19200,n,8,1": the speed must be one the line supports; parity, data and stop bits must be
// those the scanner uses (n, 8, 1).
bool parse_settings(std::string_view s, speed_t& code) {
  const auto c1 = s.find(',');
  if (c1 == std::string_view::npos) return false;
  if (s.substr(c1) != ",n,8,1" && s.substr(c1) != ",N,8,1") return false;
  const std::string baud(s.substr(0, c1));
  for (const auto& sp : kSpeeds)
    if (baud == std::to_string(sp.baud)) {
      code = sp.code;
      return true;
    }
  return false;
}

bool is_hangup(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE; }

[[noreturn]] void fail(int code, const std::string& what) { throw Error(code, what); }

}  // namespace

struct LinuxSerialPort::Impl {
  Impl(std::filesystem::path dir, boost::asio::io_context& io) : ports_dir(std::move(dir)), descriptor(io) {}

  std::filesystem::path ports_dir;
  boost::asio::posix::stream_descriptor descriptor;
  int number = 1;
  std::string settings = "9600,n,8,1";
  int fd = -1;
  bool failed = false;
  bool waiting_writable = false;
  std::deque<char> queue;
  std::uint64_t dropped = 0;
  std::uint64_t dropped_writes = 0;
  // Invalidates drain callbacks of an earlier open.
  std::shared_ptr<int> generation = std::make_shared<int>(0);

  void mark_failed() { failed = true; }

  void close_fd() {
    if (fd < 0) return;
    boost::system::error_code ec;
    descriptor.cancel(ec);
    if (descriptor.is_open()) descriptor.release();
    waiting_writable = false;
    generation = std::make_shared<int>(0);
    // On a pseudo-terminal the exclusive mode outlives the close while the other side is open.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    fd = -1;
    queue.clear();
    failed = false;
  }

  // Writes queued bytes while the device takes them.
  void flush_queue() {
    while (!queue.empty() && !failed) {
      char chunk[1024];
      std::size_t n = 0;
      for (auto it = queue.begin(); it != queue.end() && n < sizeof chunk; ++it) chunk[n++] = *it;
      const ssize_t w = ::write(fd, chunk, n);
      if (w > 0) {
        queue.erase(queue.begin(), queue.begin() + w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      mark_failed();
      queue.clear();
      return;
    }
    if (!queue.empty() && !failed) {
      arm_drain();
    } else if (!waiting_writable && descriptor.is_open()) {
      descriptor.release();
    }
  }

  // The device is known to the loop's reactor only while output waits: registered for good, every
  // byte the radio sends would wake the loop, although input is taken by polling.
  void arm_drain() {
    if (waiting_writable || fd < 0) return;
    if (!descriptor.is_open()) {
      boost::system::error_code ec;
      descriptor.assign(fd, ec);
      if (ec) return;
    }
    waiting_writable = true;
    std::weak_ptr<int> gen = generation;
    descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_write,
                          [this, gen](const boost::system::error_code& ec) {
                            if (gen.expired()) return;  // closed or reopened meanwhile
                            waiting_writable = false;
                            if (ec) return;
                            flush_queue();
                          });
  }
};

LinuxSerialPort::LinuxSerialPort(std::filesystem::path ports_dir, AsioEventLoop& loop)
    : impl_(std::make_unique<Impl>(std::move(ports_dir), loop.io())) {}

LinuxSerialPort::~LinuxSerialPort() { impl_->close_fd(); }

void LinuxSerialPort::set_comm_port(int number) {
  if (impl_->fd >= 0) fail(errc::port_already_open, "port already open");
  impl_->number = number;
}

int LinuxSerialPort::comm_port() const { return impl_->number; }

void LinuxSerialPort::set_settings(std::string_view s) {
  speed_t code;
  if (!parse_settings(s, code)) fail(errc::invalid_property_value, "invalid line settings");
  impl_->settings = std::string(s);
}

std::string LinuxSerialPort::settings() const { return impl_->settings; }

std::filesystem::path LinuxSerialPort::link_path(int number) const {
  return impl_->ports_dir / ("com" + std::to_string(number));
}

void LinuxSerialPort::set_port_open(bool open) {
  Impl& m = *impl_;
  if (!open) {
    if (m.fd < 0) fail(errc::port_not_open, "port not open");
    m.close_fd();
    return;
  }
  if (m.fd >= 0) fail(errc::port_already_open, "port already open");
  if (m.number < 1) fail(errc::port_not_available, "port not available");
  speed_t speed;
  if (!parse_settings(m.settings, speed)) fail(errc::invalid_property_value, "invalid line settings");

  const std::filesystem::path path = link_path(m.number);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT || e == ENXIO || e == ENODEV || e == ENOTDIR || e == ELOOP)
      fail(errc::port_not_available, path.string() + ": " + std::strerror(e));
    if (e == EBUSY) fail(errc::port_already_open, path.string() + ": " + std::strerror(e));
    fail(errc::port_failure, path.string() + ": " + std::strerror(e));
  }
  auto give_up = [&](int code, const char* step) {
    const int e = errno;
    ::close(fd);
    fail(code, path.string() + ": " + step + ": " + std::strerror(e));
  };

  // Another program (or another port object here) holding the device: flock catches every
  // process, root included; TIOCEXCL keeps out programs that do not lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) give_up(errc::port_already_open, "locked");
    give_up(errc::port_failure, "flock");
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) give_up(errc::port_failure, "not a terminal");
  if (::ioctl(fd, TIOCEXCL) != 0) give_up(errc::port_failure, "TIOCEXCL");

  ::cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // With O_NONBLOCK and VMIN 1 an empty line reads as EAGAIN, so read() == 0 only means hang-up
  // (with VMIN 0 the two could not be told apart).
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    ::ioctl(fd, TIOCNXCL);
    give_up(errc::port_failure, "tcsetattr");
  }
  ::tcflush(fd, TCIOFLUSH);

  m.fd = fd;
  m.failed = false;
  m.queue.clear();
}

bool LinuxSerialPort::port_open() const { return impl_->fd >= 0; }

std::string LinuxSerialPort::input() {
  Impl& m = *impl_;
  if (m.fd < 0) fail(errc::port_not_open, "port not open");
  if (m.failed) fail(errc::port_failure, "device gone");
  std::string out;
  char chunk[4096];
  while (out.size() < kReadLimit) {
    // A read of a terminal whose input is empty waits until the bytes the line is still
    // passing on have arrived, which lasts as long as the radio goes on sending, and the loop
    // would stall for milliseconds at a time. So once something has come in, only what is
    // already there is read. (The first read stays unconditional: it also reports a hang-up.)
    std::size_t want = sizeof chunk;
    if (!out.empty()) {
      int ready = 0;
      if (::ioctl(m.fd, FIONREAD, &ready) == 0) {
        if (ready <= 0) break;
        want = std::min(want, static_cast<std::size_t>(ready));
      }
    }
    const ssize_t r = ::read(m.fd, chunk, want);
    if (r > 0) {
      out.append(chunk, static_cast<std::size_t>(r));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // read() == 0 (or EIO) on this non-blocking terminal means the line hung up.
    if (r == 0 || is_hangup(errno)) {
      m.mark_failed();
      m.queue.clear();
      if (out.empty()) fail(errc::port_failure, "device gone");
      break;
    }
    fail(errc::port_failure, std::string("read: ") + std::strerror(errno));
  }
  return out;
}

void LinuxSerialPort::output(std::string_view text) {
  Impl& m = *impl_;
  if (m.fd < 0) fail(errc::port_not_open, "port not open");
  if (m.failed) fail(errc::port_failure, "device gone");
  // One call is one command or query: it goes out whole or not at all. Cutting it would lose
  // its carriage return and glue the next query onto its first part.
  const std::size_t room = kOutputQueueLimit - std::min(kOutputQueueLimit, m.queue.size());
  if (text.size() > room) {
    m.dropped += text.size();
    ++m.dropped_writes;
    return;
  }
  std::size_t done = 0;
  if (m.queue.empty()) {
    while (done < text.size()) {
      const ssize_t w = ::write(m.fd, text.data() + done, text.size() - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      m.mark_failed();
      fail(errc::port_failure, std::string("write: ") + std::strerror(errno));
    }
  }
  m.queue.insert(m.queue.end(), text.begin() + static_cast<std::ptrdiff_t>(done), text.end());
  if (!m.queue.empty()) m.arm_drain();
}

std::uint64_t LinuxSerialPort::dropped_bytes() const { return impl_->dropped; }
std::uint64_t LinuxSerialPort::dropped_writes() const { return impl_->dropped_writes; }
bool LinuxSerialPort::failed() const { return impl_->failed; }

}  // namespace quillon
