// quillon-scanner-sim: plays one or more BC785/BC796 scanners on pseudo-terminals, each linked
// where the server looks for its ports.
//
//   quillon-scanner-sim [--control FIFO] [--seed N] [--display-ms MS]
//                       --link PATH [--model BC785|BC796] [--baud 4800|9600|19200] [--latency MS]
//                       [--audio FIFO [--audio-rate HZ]] [--link PATH ...]
//
// Every --link starts a radio; the options after it set that radio up. Commands are read from
// standard input and, with --control, from a FIFO (made if missing), one per line:
//
//   [N|all] silent on|off     answer nothing                  [N|all] nocr on|off   drop the CRs
//   [N|all] late MS           start every reply MS later      [N|all] slow F        F times slower
//   [N|all] ng K | err K      answer the next K queries with NG / ERR
//   [N|all] garbage K         send K bytes of line noise now
//   [N|all] say TEXT          send TEXT and a CR unprompted (for example "say W107 F08680875")
//   [N|all] show TEXT         the display shows TEXT (16 characters a line) until "normal"
//   [N|all] unplug | replug   the device disappears (link removed, pty closed) / comes back
//   [N|all] baud B | model M  change the radio's line speed or model
//   [N|all] open MS [C]       stop on channel C (1..5) with the squelch open for MS, then scan on
//   [N|all] auto on|off       stop on channels by itself (on) or only when told to open
//   [N|all] page A [B]        page on channel 1: tone A then tone B (Hz, two-tone: 0.8 s and
//                             2.5 s) or one long tone A (2 s), then 4 s of the channel's sound;
//                             HZ:MS gives a tone its own length (page 853.2:1000 1083:3000)
//   [N|all] normal            clear every fault
//   [N|all] stats             one line per radio on standard output
//   [N|all] heard             the last commands the radio received, each in brackets
//   quit
//
// With --audio, a radio sounds into FIFO (see Device) and says "radio N: sounding at MS" when a
// tone starts, MS being the wall-clock time of its first sample in milliseconds since the epoch.
//
// N is the radio number (1 for the first --link); without it a command applies to every radio.
// A radio answers only at its own line speed, read from the terminal settings the server made;
// at another speed every byte it gets comes back as line noise. Replies leave at the radio's
// line speed (ten bit times per byte) in the pieces a real line would deliver.

#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "radio.hpp"

namespace {

using namespace quillon::sim;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

speed_t speed_code(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
  }
}

struct Device {
  std::string link;
  std::string tty;
  int master = -1;
  int slave = -1;  // kept open so the pty survives the server's close and reopen
  Radio radio;
  int latency_ms = 3;
  std::string line;     // command being received
  std::string pending;  // reply bytes not yet on the wire
  Clock::time_point next_byte{};
  std::uint64_t garbled = 0;
  std::deque<std::string> heard;  // the last commands received, empty ones included

  // The radio's loudspeaker as 16-bit mono PCM into a FIFO (--audio): a tone of the channel it
  // stopped on while the squelch is open, silence otherwise. Written at the pace of the clock,
  // 10 ms at a time and 20 ms ahead of it, as a sound card would hear it: a FIFO filled as fast
  // as it drains would hold a few hundred milliseconds that the reader cannot tell from live.
  // What nobody reads is thrown away (the loudspeaker does not wait), oldest first.
  // The first sample of every tone is announced on standard output with its wall-clock time
  // ("radio N: sounding at MS", milliseconds since the epoch), so that a listener can measure
  // how far behind it plays.
  static constexpr auto kAudioLead = std::chrono::milliseconds(20);
  static constexpr auto kAudioTrim = std::chrono::milliseconds(250);  // how often a backlog is cut
  std::string audio_path;
  int audio_rate = 11025;
  int audio_fd = -1;
  double phase = 0;
  Clock::time_point audio_epoch{};  // the clock time of sample 0
  std::int64_t audio_samples = 0;   // samples written (or thrown away) since then
  bool sounding = false;
  int queue_min = -1;               // the fewest bytes waiting in the FIFO since the last trim
  Clock::time_point next_trim{};
  std::size_t number = 0;           // radio number, for the announcement

  Device(std::string l, Model m, int baud, std::uint32_t seed) : link(std::move(l)), radio(m, baud, seed) {}

  bool open_audio() {
    ::mkfifo(audio_path.c_str(), 0600);
    // Both directions: opening never waits for a reader, a reader going away is no error, and
    // the backlog can be read back and thrown away.
    audio_fd = ::open(audio_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (audio_fd < 0) {
      std::perror(audio_path.c_str());
      return false;
    }
    ::fcntl(audio_fd, F_SETPIPE_SZ, 65536);
    return true;
  }

  Clock::time_point audio_time(std::int64_t sample) const {
    return audio_epoch + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(sample * 1000000000 / audio_rate));
  }

  // Writes the chunks due by now; returns when the next one is due.
  std::optional<Clock::time_point> pump_audio(Clock::time_point now) {
    if (audio_fd < 0) return std::nullopt;
    // At the start, or after this process stalled: no catching up on the missed audio.
    if (audio_epoch == Clock::time_point{} || now - audio_time(audio_samples) > std::chrono::milliseconds(200)) {
      audio_epoch = now + kAudioLead;
      audio_samples = 0;
    }
    const std::size_t per_chunk = static_cast<std::size_t>(audio_rate / 100);
    std::vector<std::int16_t> chunk(per_chunk);
    while (audio_time(audio_samples) <= now + kAudioLead) {
      int queued = 0;
      if (::ioctl(audio_fd, FIONREAD, &queued) == 0) queue_min = queue_min < 0 ? queued : std::min(queue_min, queued);
      const bool open = radio.squelch_open();
      for (std::size_t i = 0; i < per_chunk; ++i) {
        const double freq = open ? radio.sound_hz(audio_time(audio_samples + static_cast<std::int64_t>(i))) : 0;
        chunk[i] = open ? static_cast<std::int16_t>(8000 * std::sin(phase)) : 0;
        phase += 2 * M_PI * freq / audio_rate;
        if (phase > 2 * M_PI) phase -= 2 * M_PI;
      }
      if (open && !sounding) {
        const auto at = std::chrono::system_clock::now() + (audio_time(audio_samples) - Clock::now());
        std::cout << "radio " << number << ": sounding at "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() << std::endl;
      }
      sounding = open;
      const ssize_t w = ::write(audio_fd, chunk.data(), chunk.size() * 2);  // full: the chunk is lost
      (void)w;
      audio_samples += static_cast<std::int64_t>(per_chunk);
    }
    // A reader keeps little waiting between its reads; more than the lead at every look is
    // audio nobody took in time (or nobody reads): the oldest goes.
    if (now >= next_trim) {
      // Whole samples only: cutting an odd byte count would shift every later sample by a byte,
      // and the reader would hear loud noise instead of the radio.
      const int keep = static_cast<int>(audio_rate * (kAudioLead.count() + 10) / 1000) * 2;
      if (queue_min > keep + 1) {
        std::vector<char> junk(static_cast<std::size_t>((queue_min - keep) & ~1));
        const ssize_t r = ::read(audio_fd, junk.data(), junk.size());
        (void)r;
      }
      queue_min = -1;
      next_trim = now + kAudioTrim;
    }
    return audio_time(audio_samples) - kAudioLead;
  }

  bool plugged() const { return master >= 0; }

  bool plug() {
    char name[128];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      return false;
    }
    tty = name;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);  // no echo before the server configures the line
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    ::tcsetattr(slave, TCSANOW, &t);
    const std::string tmp = link + ".tmp";
    ::unlink(tmp.c_str());
    if (::symlink(tty.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
      std::perror(("link " + link).c_str());
      unplug();
      return false;
    }
    line.clear();
    pending.clear();
    return true;
  }

  void unplug() {
    char target[256];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == tty) ::unlink(link.c_str());
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
    pending.clear();
    line.clear();
  }

  // The speed the server set on its side of the line.
  int line_speed_matches() const {
    termios t{};
    if (::tcgetattr(master, &t) != 0) return true;
    return ::cfgetospeed(&t) == speed_code(radio.baud());
  }

  void queue(const std::string& bytes, int delay_ms) {
    if (bytes.empty() || !plugged()) return;
    const auto now = Clock::now();
    if (pending.empty() || next_byte < now) next_byte = now + std::chrono::milliseconds(delay_ms);
    pending += bytes;
    if (pending.size() > 65536) pending.erase(0, pending.size() - 65536);  // a stuck reader
  }

  std::chrono::nanoseconds byte_time() {
    return std::chrono::nanoseconds(static_cast<long>(1e10 / radio.baud() * radio.faults().slow));
  }

  void on_readable() {
    char buf[512];
    for (;;) {
      const ssize_t r = ::read(master, buf, sizeof buf);
      if (r <= 0) break;  // EAGAIN, or no one has the terminal open
      if (!line_speed_matches()) {
        // At the wrong speed the radio hears noise and its answer is noise too.
        garbled += static_cast<std::uint64_t>(r);
        queue(radio.garbage(static_cast<std::size_t>(r)), latency_ms);
        line.clear();
        continue;
      }
      for (ssize_t i = 0; i < r; ++i) {
        const char c = buf[i];
        if (c == '\r') {
          if (heard.size() >= 64) heard.pop_front();
          heard.push_back(line);
          const std::string reply = radio.answer(line);
          line.clear();
          queue(reply, latency_ms + radio.faults().late_ms);
        } else if (c != '\n' && line.size() < 256) {
          line.push_back(c);
        }
      }
    }
  }

  // Puts on the wire what the line speed allows by now; returns when the next byte is due.
  std::optional<Clock::time_point> transmit() {
    if (pending.empty() || !plugged()) return std::nullopt;
    const auto now = Clock::now();
    std::size_t n = 0;
    const auto bt = byte_time();
    while (n < pending.size() && next_byte <= now) {
      ++n;
      next_byte += bt;
    }
    if (n > 0) {
      // Bytes sent while the other side listens at another speed arrive as noise, whatever
      // speed they were asked at (a slow answer to an earlier probe).
      if (!line_speed_matches()) pending.replace(0, n, radio.garbage(n));
      const ssize_t w = ::write(master, pending.data(), n);
      if (w > 0) pending.erase(0, static_cast<std::size_t>(w));
      if (w < static_cast<ssize_t>(n)) next_byte = now + bt;  // the reader fell behind: retry
    }
    if (pending.empty()) return std::nullopt;
    return next_byte;
  }
};

std::optional<Model> parse_model(const std::string& s) {
  if (s == "BC785" || s == "785") return Model::BC785;
  if (s == "BC796" || s == "796") return Model::BC796;
  return std::nullopt;
}

// The message after a page's tones, in the channel's usual sound.
constexpr int kPageCallMs = 4000;

// "A [B]": one long tone or two tones in sequence, each "HZ" or "HZ:MS"; empty when it is not.
std::vector<Radio::PageTone> page_tones(const std::vector<std::string>& words) {
  if (words.empty() || words.size() > 2) return {};
  std::vector<Radio::PageTone> tones;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    const std::size_t colon = w.find(':');
    Radio::PageTone t{0, words.size() == 1 ? 2000 : (i == 0 ? 800 : 2500)};
    try {
      std::size_t used = 0;
      t.hz = std::stod(w.substr(0, colon), &used);
      if (used != std::min(colon, w.size())) return {};
      if (colon != std::string::npos) {
        t.ms = std::stoi(w.substr(colon + 1), &used);
        if (used != w.size() - colon - 1) return {};
      }
    } catch (...) {
      return {};
    }
    if (!(t.hz >= 20 && t.hz <= 3500) || t.ms < 1 || t.ms > 600000) return {};
    tones.push_back(t);
  }
  return tones;
}

struct Simulator {
  std::vector<std::unique_ptr<Device>> devices;
  std::string control_path;
  int control_fd = -1;
  bool stdin_open = true;
  std::string stdin_buf, control_buf;
  bool quit = false;

  void report(Device& d, std::size_t i) {
    std::cout << "radio " << i + 1 << ": " << (d.radio.model() == Model::BC785 ? "BC785" : "BC796") << " at "
              << d.radio.baud() << " baud, " << (d.plugged() ? "on " + d.tty : std::string("unplugged")) << ", link "
              << d.link << ", commands " << d.radio.commands() << ", garbled bytes " << d.garbled << std::endl;
  }

  void command(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return;
    if (words[0] == "quit") {
      quit = true;
      return;
    }
    std::vector<std::size_t> targets;
    std::size_t at = 0;
    if (words[0] == "all") {
      at = 1;
    } else if (std::isdigit(static_cast<unsigned char>(words[0][0]))) {
      const std::size_t n = std::stoul(words[0]);
      if (n < 1 || n > devices.size()) {
        std::cout << "error: no radio " << n << std::endl;
        return;
      }
      targets.push_back(n - 1);
      at = 1;
    }
    if (targets.empty())
      for (std::size_t i = 0; i < devices.size(); ++i) targets.push_back(i);
    if (at >= words.size()) return;
    const std::string verb = words[at];
    const std::string arg = at + 1 < words.size() ? words[at + 1] : "";
    const std::string rest = text.substr(std::min(text.size(), text.find(verb) + verb.size() + 1));
    auto number = [&](double fallback) {
      try {
        return arg.empty() ? fallback : std::stod(arg);
      } catch (...) {
        return fallback;
      }
    };
    std::vector<Radio::PageTone> page;
    if (verb == "page") {
      page = page_tones(std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(at) + 1, words.end()));
      if (page.empty()) {
        std::cout << "error: page A [B], tones in Hz (20..3500), each with :MS for its length if wanted" << std::endl;
        return;
      }
    }
    for (std::size_t i : targets) {
      Device& d = *devices[i];
      Faults& f = d.radio.faults();
      if (verb == "silent") f.silent = arg != "off";
      else if (verb == "nocr") f.no_cr = arg != "off";
      else if (verb == "late") f.late_ms = static_cast<int>(number(0));
      else if (verb == "slow") f.slow = std::max(1.0, number(1));
      else if (verb == "ng") f.ng_count = static_cast<int>(number(1));
      else if (verb == "err") f.err_count = static_cast<int>(number(1));
      else if (verb == "garbage") d.queue(d.radio.garbage(static_cast<std::size_t>(number(16))), 0);
      else if (verb == "say") d.queue(rest + "\r", 0);
      else if (verb == "show") f.shown = rest;
      else if (verb == "open") d.radio.open_for(static_cast<std::size_t>(at + 2 < words.size() ? std::max(1, std::atoi(words[at + 2].c_str())) : 1),
                                                static_cast<int>(number(3000)), Clock::now());
      else if (verb == "auto") d.radio.set_auto_stops(arg != "off");
      // The tones start once the audio already written ahead of the clock has played, so that
      // none of tone A is lost to it.
      else if (verb == "page") d.radio.page(page, kPageCallMs, Clock::now() + Device::kAudioLead + std::chrono::milliseconds(10), Clock::now());
      else if (verb == "unplug") d.unplug();
      else if (verb == "replug") {
        if (!d.plugged()) d.plug();
      } else if (verb == "baud") d.radio.set_baud(static_cast<int>(number(d.radio.baud())));
      else if (verb == "model") {
        if (auto m = parse_model(arg)) d.radio.set_model(*m);
      } else if (verb == "normal") f = Faults{};
      else if (verb == "stats") report(d, i);
      else if (verb == "heard") {
        std::string list;
        for (const auto& h : d.heard) list += "[" + h + "]";
        std::cout << "heard " << i + 1 << ": " << list << std::endl;
      }
      else {
        std::cout << "error: unknown command " << verb << std::endl;
        return;
      }
    }
    if (verb != "stats" && verb != "heard") std::cout << "ok " << text << std::endl;
  }

  void read_lines(int fd, std::string& buf, bool& open) {
    char chunk[1024];
    const ssize_t r = ::read(fd, chunk, sizeof chunk);
    if (r == 0) {
      open = false;
      return;
    }
    if (r < 0) return;
    buf.append(chunk, static_cast<std::size_t>(r));
    if (buf.size() > 65536) buf.clear();
    for (auto nl = buf.find('\n'); nl != std::string::npos; nl = buf.find('\n')) {
      command(buf.substr(0, nl));
      buf.erase(0, nl + 1);
    }
  }

  int run(int display_ms) {
    auto next_display = Clock::now();
    while (!g_stop && !quit) {
      auto now = Clock::now();
      if (now >= next_display) {
        for (auto& d : devices) d->radio.step_display();
        next_display = now + std::chrono::milliseconds(display_ms);
      }
      auto wake = next_display;
      for (auto& d : devices)
        if (auto end = d->radio.tick(now)) wake = std::min(wake, *end);
      // Bytes leave in pieces of about 2 ms of line time, as a USB serial adapter hands them on.
      for (auto& d : devices)
        if (auto t = d->transmit(); t) wake = std::min(wake, std::max(*t, now + std::chrono::milliseconds(2)));
      for (auto& d : devices)
        if (auto t = d->pump_audio(now); t) wake = std::min(wake, *t);

      std::vector<pollfd> fds;
      std::vector<Device*> owners;
      if (stdin_open) fds.push_back({0, POLLIN, 0}), owners.push_back(nullptr);
      if (control_fd >= 0) fds.push_back({control_fd, POLLIN, 0}), owners.push_back(nullptr);
      for (auto& d : devices)
        if (d->plugged()) fds.push_back({d->master, POLLIN, 0}), owners.push_back(d.get());

      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Clock::now());
      timespec ts{};
      if (wait.count() > 0) {
        ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
      }
      if (::ppoll(fds.data(), fds.size(), &ts, nullptr) < 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        if (owners[i]) {
          // POLLHUP alone means nobody has the terminal open: nothing to read.
          if (fds[i].revents & POLLIN) owners[i]->on_readable();
        } else if (fds[i].fd == 0) {
          read_lines(0, stdin_buf, stdin_open);
        } else {
          bool open = true;
          read_lines(control_fd, control_buf, open);
        }
      }
      // A master whose slave is closed reports POLLHUP continuously; the radio keeps its own
      // slave open, so this does not spin.
    }
    for (auto& d : devices) d->unplug();
    if (!control_path.empty()) ::unlink(control_path.c_str());
    return 0;
  }
};

void usage() {
  std::cerr << "usage: quillon-scanner-sim [--control FIFO] [--seed N] [--display-ms MS] --link PATH "
               "[--model BC785|BC796] [--baud B] [--latency MS] [--link PATH ...]\n";
}

}  // namespace

int main(int argc, char** argv) {
  Simulator sim;
  std::uint32_t seed = 785;
  int display_ms = 1500;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--link") {
      sim.devices.push_back(std::make_unique<Device>(value(), Model::BC785, 19200, seed + static_cast<std::uint32_t>(sim.devices.size())));
      sim.devices.back()->number = sim.devices.size();
    } else if (a == "--control") {
      sim.control_path = value();
    } else if (a == "--seed") {
      seed = static_cast<std::uint32_t>(std::stoul(value()));
    } else if (a == "--display-ms") {
      display_ms = std::max(50, std::stoi(value()));
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (sim.devices.empty()) {
      std::cerr << "quillon-scanner-sim: " << a << " must follow a --link\n";
      return 2;
    } else if (a == "--model") {
      auto m = parse_model(value());
      if (!m) {
        std::cerr << "quillon-scanner-sim: model must be BC785 or BC796\n";
        return 2;
      }
      sim.devices.back()->radio.set_model(*m);
    } else if (a == "--baud") {
      sim.devices.back()->radio.set_baud(std::stoi(value()));
    } else if (a == "--audio") {
      sim.devices.back()->audio_path = value();
    } else if (a == "--audio-rate") {
      sim.devices.back()->audio_rate = std::clamp(std::stoi(value()), 8000, 48000);
    } else if (a == "--latency") {
      sim.devices.back()->latency_ms = std::max(0, std::stoi(value()));
    } else {
      usage();
      return 2;
    }
  }
  if (sim.devices.empty()) {
    usage();
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);

  if (!sim.control_path.empty()) {
    ::mkfifo(sim.control_path.c_str(), 0600);
    // Opened for both directions so it never reports end of file between writers.
    sim.control_fd = ::open(sim.control_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (sim.control_fd < 0) std::perror(sim.control_path.c_str());
  }
  ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
  for (std::size_t i = 0; i < sim.devices.size(); ++i) {
    if (!sim.devices[i]->plug()) return 1;
    if (!sim.devices[i]->audio_path.empty() && !sim.devices[i]->open_audio()) return 1;
    sim.report(*sim.devices[i], i);
  }
  std::cout << "ready" << std::endl;
  return sim.run(display_ms);
}
