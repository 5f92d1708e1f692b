// quillon-client: connects to a channel's data port, prints the status frames as they arrive
// and sends what the user types.

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "frame_reader.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: quillon-client [options] [HOST] PORT\n"
    "Connects to a Quillon data port (HOST defaults to 127.0.0.1), prints every status frame\n"
    "as it arrives and sends each line typed on standard input.\n"
    "\n"
    "Options:\n"
    "  --once          print one frame, then exit\n"
    "  --json          print each frame as one JSON object per line, a field per label\n"
    "  --send TEXT     send TEXT (as a typed line) after connecting; may be repeated\n"
    "  --timeout SEC   with --once: give up after SEC seconds without a frame (default 10)\n"
    "  --help          show this text\n"
    "\n"
    "Typed lines:\n"
    "  ST              a scanner command: sent as \"ST#\" (a line that ends in \"#\" is sent as is)\n"
    "  GET VER?        lines beginning with \"SET \" or \"GET \" are sent exactly as typed;\n"
    "  SET DELAY7A=500#  setting commands other than SET AUDIO1= need one extra final character\n"
    "  CLR             sent as \"CLR#\"\n"
    "  !TEXT           TEXT sent exactly as typed\n"
    "\n"
    "Frames carry no delimiter: a frame ends with its \"UDP:\" line (\"True\" or \"False\"),\n"
    "followed on channel 1 by \"*\" and the client's slot number. A frame that ends where the\n"
    "received data ends is printed once nothing more has arrived for 50 ms.\n"
    "\n"
    "The client runs until the server closes the connection or it is interrupted (Ctrl-C).\n"
    "Exit status: 0 after --once printed a frame; 2 usage; 3 cannot connect; 4 the server\n"
    "closed the connection; 5 no frame within the --once timeout.\n";

constexpr int kQuietMs = 50;

struct Options {
  std::string host = "127.0.0.1";
  std::string port;
  bool once = false;
  bool json = false;
  double timeout_s = 10;
  std::vector<std::string> sends;
};

int fail(int code, const std::string& message) {
  std::cerr << "quillon-client: " << message << "\n";
  return code;
}

int connect_to(const Options& o, std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  addrinfo* res = nullptr;
  if (int rc = ::getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &res); rc != 0) {
    error = ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = res; a; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    error = std::strerror(errno);
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  return fd;
}

bool send_line(int fd, const std::string& line) {
  auto wire = quillon::client::wire_form(line);
  if (!wire) return true;
  std::size_t done = 0;
  while (done < wire->size()) {
    const ssize_t n = ::send(fd, wire->data() + done, wire->size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void print(const quillon::client::Item& item, bool json) {
  using quillon::client::Item;
  if (json) {
    std::cout << quillon::client::frame_json(item) << "\n";
  } else if (item.kind == Item::Kind::Reply) {
    std::cout << item.text << "\n";
  } else {
    // Lines end in LF on a terminal. Built by appending: GCC 12 at -O3 warns falsely
    // (-Wrestrict) on replace() in a loop.
    std::string text;
    text.reserve(item.text.size());
    for (std::size_t i = 0; i < item.text.size(); ++i)
      if (item.text[i] != '\r' || i + 1 >= item.text.size() || item.text[i + 1] != '\n') text.push_back(item.text[i]);
    std::cout << text;
    if (item.slot) std::cout << "*" << item.slot;
    std::cout << "\n\n";
  }
  std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "quillon-client: " << a << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--once") {
      o.once = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--send") {
      o.sends.push_back(value());
    } else if (a == "--timeout") {
      try {
        o.timeout_s = std::stod(value());
      } catch (const std::exception&) {
        return fail(2, "--timeout needs a number of seconds");
      }
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "quillon-client: unknown option " << a << "\n" << kUsage;
      return 2;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() == 1) {
    o.port = positional[0];
  } else if (positional.size() == 2) {
    o.host = positional[0];
    o.port = positional[1];
  } else {
    std::cerr << kUsage;
    return 2;
  }

  std::string error;
  const int fd = connect_to(o, error);
  if (fd < 0) return fail(3, "cannot connect to " + o.host + ":" + o.port + ": " + error);
  for (const auto& s : o.sends)
    if (!send_line(fd, s)) return fail(4, "the server closed the connection");

  quillon::client::FrameSplitter splitter;
  bool stdin_open = true;
  bool anything = false;
  std::string typed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(o.timeout_s * 1000));
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    const int n = ::poll(fds, stdin_open ? 2 : 1, kQuietMs);
    if (n < 0 && errno != EINTR) return fail(4, std::string("poll: ") + std::strerror(errno));
    const bool quiet = n == 0;
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[8192];
      const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got <= 0) {
        // Whatever complete frame is still held is shown before going.
        while (auto item = splitter.next(true)) print(*item, o.json);
        return fail(4, anything ? "the server closed the connection"
                                : "the server closed the connection at once (all client slots taken?)");
      }
      anything = true;
      splitter.feed(std::string_view(buf, static_cast<std::size_t>(got)));
    }
    if (stdin_open && n > 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      const ssize_t got = ::read(0, buf, sizeof buf);
      if (got <= 0) {
        stdin_open = false;
      } else {
        typed.append(buf, static_cast<std::size_t>(got));
        for (std::size_t p; (p = typed.find('\n')) != std::string::npos;) {
          if (!send_line(fd, typed.substr(0, p))) return fail(4, "the server closed the connection");
          typed.erase(0, p + 1);
        }
        if (typed.size() > 65536) typed.clear();  // a line without end is not a command
      }
    }
    while (auto item = splitter.next(quiet)) {
      print(*item, o.json);
      if (o.once && item->kind == quillon::client::Item::Kind::Frame) {
        ::close(fd);
        return 0;
      }
    }
    if (o.once && o.timeout_s > 0 && std::chrono::steady_clock::now() > deadline)
      return fail(5, "no frame within " + std::to_string(o.timeout_s) + " s");
  }
}
