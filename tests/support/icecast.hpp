#pragma once
// Icecast for tests: a private icecast2 on a loopback port (stop() and start() keep the port),
// and a listening stream that replays an Ogg/Opus or MP3 file cut into whole pages or frames at
// the pace of its own timestamps, the way a live encoder hands them out.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/encoded_stream.hpp"
#include "core/event_loop.hpp"
#include "support/net.hpp"
#include "support/process.hpp"

namespace quillon::test {

class IcecastServer {
 public:
  IcecastServer(const std::filesystem::path& dir, std::string password) : dir_(dir), port(free_port()) { configure(std::move(password)); }
  static bool installed() { return std::filesystem::exists("/usr/bin/icecast2"); }

  // A second listening port that speaks TLS only, with the certificate and key in `pem`
  // (takes effect with the next start).
  void enable_tls(const std::filesystem::path& pem) {
    tls_pem_ = pem;
    tls_port = free_port();
    configure(password_);
  }

  // Rewrites the configuration (a new source password takes effect with the next start).
  void configure(const std::string& password) {
    password_ = password;
    std::filesystem::create_directories(dir_ / "log");
    ::chmod((dir_ / "log").c_str(), 0777);  // written by the unprivileged user Icecast switches to
    std::ofstream c(dir_ / "icecast.xml");
    c << "<icecast><limits><clients>400</clients><sources>8</sources><source-timeout>10</source-timeout>"
         "<burst-size>0</burst-size></limits>"
      << "<authentication><source-password>" << password << "</source-password><admin-user>admin</admin-user>"
      << "<admin-password>" << password << "-admin</admin-password></authentication>"
      << "<hostname>127.0.0.1</hostname><listen-socket><port>" << port
      << "</port><bind-address>127.0.0.1</bind-address></listen-socket>";
    if (tls_port)
      c << "<listen-socket><port>" << tls_port << "</port><bind-address>127.0.0.1</bind-address><ssl>1</ssl></listen-socket>";
    c << "<paths>";
    if (tls_port) c << "<ssl-certificate>" << tls_pem_.string() << "</ssl-certificate>";
    c << "<basedir>/usr/share/icecast2</basedir><logdir>" << (dir_ / "log").string()
      << "</logdir><webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>"
      << "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel></logging>"
      << "<security><chroot>0</chroot>";
    // As root Icecast refuses to run without switching to another user.
    if (::geteuid() == 0) c << "<changeowner><user>nobody</user><group>nogroup</group></changeowner>";
    c << "</security></icecast>\n";
  }
  bool start() {
    proc_ = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/icecast2", "-c", (dir_ / "icecast.xml").string()}, dir_);
    return eventually([&] {
      const int fd = connect_tcp(port);
      if (fd >= 0) ::close(fd);
      return fd >= 0;
    }, std::chrono::seconds(10));
  }
  void stop() {
    if (proc_) proc_->stop(SIGTERM);
    proc_.reset();
  }
  ~IcecastServer() { stop(); }
  std::string url(const std::string& mount) const { return "http://127.0.0.1:" + std::to_string(port) + mount; }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<Process> proc_;
  std::string password_;
  std::filesystem::path tls_pem_;

 public:
  int port;
  int tls_port = 0;
};

// Makes a tone file with ffmpeg: Ogg/Opus (mono, 48 kHz, pages of 100 ms) or MP3 (22050 Hz,
// 16 kbit/s, no tags). Empty path when ffmpeg fails.
inline std::filesystem::path make_tone_file(const std::filesystem::path& dir, audio::ListenFormat format, double frequency,
                                            int seconds) {
  const bool opus = format == audio::ListenFormat::Opus;
  const auto file = dir / (opus ? "tone.ogg" : "tone.mp3");
  std::vector<std::string> argv{"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                "sine=frequency=" + std::to_string(frequency) + ":sample_rate=" + (opus ? "48000" : "22050") +
                                    ":duration=" + std::to_string(seconds),
                                "-ac", "1"};
  if (opus)
    argv.insert(argv.end(), {"-c:a", "libopus", "-b:a", "24k", "-page_duration", "100000", "-f", "ogg"});
  else
    argv.insert(argv.end(), {"-c:a", "libmp3lame", "-b:a", "16k", "-id3v2_version", "0", "-write_xing", "0", "-f", "mp3"});
  argv.push_back(file.string());
  Process p(argv, dir / "ffmpeg-make");
  const auto rc = p.wait_exit(std::chrono::seconds(60));
  return rc && *rc == 0 ? file : std::filesystem::path{};
}

// Whole units of a stream file with the second each one is due; `header` marks Ogg header pages.
struct StreamUnit {
  std::vector<std::uint8_t> bytes;
  double at = 0;
  bool header = false;
};

inline std::vector<StreamUnit> ogg_pages(const std::string& b) {
  std::vector<StreamUnit> out;
  std::size_t i = 0;
  while (i + 27 <= b.size() && b.compare(i, 4, "OggS") == 0) {
    const std::size_t segs = static_cast<unsigned char>(b[i + 26]);
    if (i + 27 + segs > b.size()) break;
    std::size_t len = 27 + segs;
    for (std::size_t s = 0; s < segs; ++s) len += static_cast<unsigned char>(b[i + 27 + s]);
    if (i + len > b.size()) break;
    std::uint64_t granule = 0;
    for (int k = 7; k >= 0; --k) granule = (granule << 8) | static_cast<unsigned char>(b[i + 6 + static_cast<std::size_t>(k)]);
    StreamUnit u{{b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + len)}, static_cast<double>(granule) / 48000.0,
                 granule == 0};
    out.push_back(std::move(u));
    i += len;
  }
  return out;
}

inline std::vector<StreamUnit> mp3_frames(const std::string& b) {
  static const int kRates1[3] = {44100, 48000, 32000};
  static const int kBitrates1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int kBitrates2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  std::vector<StreamUnit> out;
  std::size_t i = 0;
  double t = 0;
  while (i + 4 <= b.size()) {
    const auto h1 = static_cast<unsigned char>(b[i + 1]), h2 = static_cast<unsigned char>(b[i + 2]);
    if (static_cast<unsigned char>(b[i]) != 0xFF || (h1 & 0xE0) != 0xE0 || ((h1 >> 1) & 3) != 1) {
      ++i;
      continue;
    }
    const int version = (h1 >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int br_index = h2 >> 4, sr_index = (h2 >> 2) & 3;
    if (version == 1 || sr_index == 3 || br_index == 0 || br_index == 15) {
      ++i;
      continue;
    }
    const bool mpeg1 = version == 3;
    const int rate = kRates1[sr_index] / (mpeg1 ? 1 : version == 2 ? 2 : 4);
    const int kbit = (mpeg1 ? kBitrates1 : kBitrates2)[br_index];
    const std::size_t len = static_cast<std::size_t>((mpeg1 ? 144000 : 72000) * kbit / rate + ((h2 >> 1) & 1));
    if (i + len > b.size()) break;
    out.push_back({{b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + len)}, t, false});
    t += (mpeg1 ? 1152.0 : 576.0) / rate;
    i += len;
  }
  return out;
}

// A live stream played from a file: the clock starts at construction; every subscriber first
// gets the header pages, then the units that fall due while it is subscribed.
class ReplayStream : public audio::EncodedStream {
 public:
  ReplayStream(EventLoop& loop, audio::ListenFormat format, const std::filesystem::path& file) : loop_(loop), format_(format) {
    const std::string bytes = Process::slurp(file);
    units_ = format == audio::ListenFormat::Opus ? ogg_pages(bytes) : mp3_frames(bytes);
    start_ = loop_.now();
    tick();
  }
  ~ReplayStream() override { loop_.cancel(timer_); }
  audio::ListenFormat format() const override { return format_; }
  int subscribe(Sink sink) override {
    const int id = next_id_++;
    for (const auto& u : units_)
      if (u.header) sink(u.bytes);
    sinks_[id] = std::move(sink);
    ++subscriptions;
    return id;
  }
  void unsubscribe(int id) override { sinks_.erase(id); }
  int subscribers() const override { return static_cast<int>(sinks_.size()); }
  bool usable() const { return units_.size() > 20; }

  int subscriptions = 0;

 private:
  void tick() {
    const double now = std::chrono::duration<double>(loop_.now() - start_).count();
    while (next_ < units_.size() && (units_[next_].header || units_[next_].at <= now)) {
      if (!units_[next_].header) {
        auto sinks = sinks_;  // a sink may unsubscribe from inside
        for (auto& [id, s] : sinks)
          if (sinks_.count(id)) s(units_[next_].bytes);
      }
      ++next_;
    }
    timer_ = loop_.call_after(Millis(20), [this] { tick(); });
  }

  EventLoop& loop_;
  audio::ListenFormat format_;
  std::vector<StreamUnit> units_;
  std::size_t next_ = 0;
  TimePoint start_;
  std::map<int, Sink> sinks_;
  int next_id_ = 1;
  EventLoop::TimerId timer_ = 0;
};

}  // namespace quillon::test
