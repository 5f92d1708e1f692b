#pragma once
// A sound system for tests on machines without sound hardware: a private PulseAudio server and
// an ALSA configuration whose `file` PCMs play generated tones at real-time pace through the
// pulse plugin. The real capture code opens them like any configured device.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/net.hpp"
#include "support/process.hpp"

namespace quillon::test {

struct ToneDevice {
  std::string name;         // ALSA PCM name
  std::string description;  // its hint description ("" for none)
  int rate;                 // sample rate the tone file is written for (the capture rate to use)
  double frequency;
  double seconds = 180;
};

// Writes 16-bit mono little-endian samples of a sine.
inline void write_tone(const std::filesystem::path& file, int rate, double freq, double seconds) {
  std::ofstream out(file, std::ios::binary);
  const auto n = static_cast<std::size_t>(rate * seconds);
  std::vector<std::int16_t> buf(n);
  for (std::size_t i = 0; i < n; ++i)
    buf[i] = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * freq * static_cast<double>(i) / rate)));
  out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(buf.size() * 2));
}

class AudioEnv {
 public:
  // Sets up the ALSA configuration with `devices` and starts PulseAudio. Check ok() / why().
  AudioEnv(const std::string& tag, const std::vector<ToneDevice>& devices)
      : dir_(std::filesystem::temp_directory_path() / ("quillon-audio-" + tag + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "run");
    ::chmod((dir_ / "run").c_str(), 0700);
    std::ofstream conf(dir_ / "asound.conf");
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const auto& d = devices[i];
      const auto file = dir_ / (d.name + ".raw");
      write_tone(file, d.rate, d.frequency, d.seconds);
      // The slave is a clocked silent source with a short latency: without it PulseAudio hands
      // over captured audio in bursts of up to two seconds.
      std::string body = "{ type file slave.pcm { type pulse device \"quiet\" } file \"/dev/null\" infile \"" + file.string() + "\" format \"raw\"";
      if (!d.description.empty()) body += " hint { show on description \"" + d.description + "\" }";
      body += " }\n";
      conf << "pcm." << d.name << " " << body;
    }
    conf.close();
    env_ = {"HOME=" + dir_.string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
            "PULSE_SERVER=unix:" + (dir_ / "run" / "pulse" / "native").string(),
            "ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + (dir_ / "asound.conf").string()};
    for (const auto& e : env_) {
      auto eq = e.find('=');
      ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    start_pulse();
  }
  // Starts (or starts again) the PulseAudio server; false when it does not come up.
  bool start_pulse() {
    pulse_.reset();
    const auto socket = dir_ / "run" / "pulse" / "native";
    std::error_code ec;
    std::filesystem::remove(socket, ec);
    pulse_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                 "--disable-shm=yes", "--load=module-native-protocol-unix auth-anonymous=1",
                                 "--load=module-null-sink sink_name=nul",
                                 "--load=module-null-source source_name=quiet max_latency_msec=20"},
        dir_ / "logs", env_);
    ok_ = pulse_->started() && eventually([&] { return std::filesystem::exists(socket) || !pulse_->running(); },
                                          std::chrono::seconds(30)) &&
          std::filesystem::exists(socket) && pulse_->running();
    if (!ok_)
      why_ = "PulseAudio could not be started here (" + (pulse_->started() ? pulse_->stderr_text() : "not installed") + ")";
    return ok_;
  }
  ~AudioEnv() {
    pulse_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  const std::filesystem::path& dir() const { return dir_; }
  const std::vector<std::string>& env() const { return env_; }
  void stop_pulse() { pulse_.reset(); }

 private:
  std::filesystem::path dir_;
  std::vector<std::string> env_;
  std::unique_ptr<Process> pulse_;
  bool ok_ = false;
  std::string why_;
};

// Reads 16-bit mono samples.
inline std::vector<std::int16_t> read_samples(const std::filesystem::path& file) {
  std::string bytes = Process::slurp(file);
  std::vector<std::int16_t> s(bytes.size() / 2);
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

// The strongest frequency (10 Hz steps, 100..3900 Hz) of 8000 Hz samples, by Goertzel filters.
inline double dominant_frequency(const std::vector<std::int16_t>& s, std::size_t skip = 1600) {
  if (s.size() <= skip + 800) return 0;
  double best = 0, best_f = 0;
  const std::size_t n = s.size() - skip;
  for (double f = 100; f < 3900; f += 10) {
    const double w = 2 * M_PI * f / 8000.0, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = s[skip + i] + c * s1 - s2;
      s2 = s1;
      s1 = v;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    if (power > best) {
      best = power;
      best_f = f;
    }
  }
  return best_f;
}

inline double rms(const std::vector<std::int16_t>& s, std::size_t skip = 1600) {
  if (s.size() <= skip) return 0;
  double sum = 0;
  for (std::size_t i = skip; i < s.size(); ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(s.size() - skip));
}

// Runs ffmpeg to decode `input` (with `input_args` before -i) into 8000 Hz mono samples.
inline std::vector<std::int16_t> ffmpeg_decode(const std::filesystem::path& work, const std::string& tag,
                                               std::vector<std::string> input_args, const std::string& input,
                                               double seconds, std::string* log = nullptr) {
  const auto out = work / (tag + ".raw");
  std::vector<std::string> argv{"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), input_args.begin(), input_args.end());
  argv.insert(argv.end(), {"-i", input, "-t", std::to_string(seconds), "-f", "s16le", "-ac", "1", "-ar", "8000", out.string()});
  Process p(argv, work / ("ffmpeg-" + tag));
  p.wait_exit(std::chrono::seconds(60));
  if (log) *log = p.stderr_text();
  return read_samples(out);
}

// Waits until some program has bound UDP `port` on the loopback address (a player listening).
inline bool udp_port_taken(int port, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return eventually(
      [&] {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
        ::close(fd);
        return taken;
      },
      limit);
}

// Audio of an RTP audio port as ffmpeg decodes it: ffmpeg listens on a free even UDP port
// (described by an SDP file). The server streams only to the endpoint that registered, so a
// relay socket registers itself, once ffmpeg listens, and hands every packet on to ffmpeg until
// decoding is done.
inline std::vector<std::int16_t> ffmpeg_listen_rtp(const std::filesystem::path& work, const std::string& tag,
                                                   int server_port, double seconds, std::string* log) {
  // RTP wants an even port, and ffmpeg takes the odd one above it for RTCP: both fresh (a port
  // rounded down could be one this test handed to the server).
  int listen_port = free_port(SOCK_DGRAM);
  while (listen_port % 2 != 0) listen_port = free_port(SOCK_DGRAM);
  free_port(SOCK_DGRAM);  // hands out the next port, normally listen_port + 1, to nobody else
  const auto sdp = work / (tag + ".sdp");
  {
    std::ofstream out(sdp);
    out << "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=Quillon\nc=IN IP4 127.0.0.1\nt=0 0\nm=audio " << listen_port
        << " RTP/AVP 3\na=rtpmap:3 GSM/8000\n";
  }
  std::atomic<bool> done{false};
  std::thread relay([&] {
    udp_port_taken(listen_port);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{0, 50000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in server{}, player{};
    server.sin_family = player.sin_family = AF_INET;
    server.sin_addr.s_addr = player.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<std::uint16_t>(server_port));
    player.sin_port = htons(static_cast<std::uint16_t>(listen_port));
    auto next_hello = std::chrono::steady_clock::now();
    while (!done) {
      if (std::chrono::steady_clock::now() >= next_hello) {
        ::sendto(fd, "hello", 5, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
        next_hello += std::chrono::milliseconds(500);
      }
      char buf[1500];
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) ::sendto(fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&player), sizeof player);
    }
    ::close(fd);
  });
  auto samples = ffmpeg_decode(work, tag, {"-protocol_whitelist", "file,udp,rtp"}, sdp.string(), seconds, log);
  done = true;
  relay.join();
  return samples;
}

}  // namespace quillon::test
