// Audio chain figures, side by side with ffmpeg doing the same capture -> GSM -> TCP stream on
// the same input in the same run:
//   CPU: four of our chains (capture at 44100 Hz, resampling, GSM, one TCP listener each) and one
//        ffmpeg capturing the same kind of device, over 20 s; per chain in % of one core.
//   Latency: a tone burst written into a PulseAudio pipe source at a known moment, captured by
//        our chain and by ffmpeg at once; the time until each TCP listener receives the first
//        GSM block whose decoded level shows the burst (capture -> decoder input). Median of 8.
// Runs without sound hardware: a private PulseAudio server as in the integration tests.
// Usage: audio_chain_bench [seconds-of-cpu-measurement]

#include <fcntl.h>
#include <gsm.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cstdio>
#include <future>
#include <iostream>
#include <thread>

#include "integration/audio_env.hpp"
#include "audio/alsa_capture.hpp"
#include "core/asio_event_loop.hpp"
#include "audio/audio_ip_server.hpp"
#include "audio/gsm_codec.hpp"

using namespace quillon;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct Chains {
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  AsioEventLoop loop{io};
  std::vector<std::unique_ptr<audio::AlsaCapture>> capture;
  std::vector<std::unique_ptr<audio::GsmCodec>> codec;
  std::vector<std::unique_ptr<audio::AudioIpServer>> server;
  std::thread thread;
  Chains() {
    thread = std::thread([this] { io.run(); });
  }
  ~Chains() {
    run([this] {
      for (auto& c : capture) c->set_active(false);
      return 0;
    });
    work.reset();
    io.stop();
    thread.join();
  }
  template <class F>
  auto run(F fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto fut = task.get_future();
    boost::asio::post(io, [&task] { task(); });
    return fut.get();
  }
  // Starts a chain on the capture device named `pcm`; returns its TCP port.
  int add(const std::string& pcm, int rate) {
    return run([&] {
      auto list = audio::list_capture_devices();
      int id = -1;
      for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].pcm == pcm) id = static_cast<int>(i);
      if (id < 0) throw std::runtime_error("device " + pcm + " not listed");
      capture.push_back(std::make_unique<audio::AlsaCapture>(loop));
      codec.push_back(std::make_unique<audio::GsmCodec>());
      server.push_back(std::make_unique<audio::AudioIpServer>(io));
      capture.back()->attach_consumer(*codec.back());
      codec.back()->attach_consumer(*server.back());
      capture.back()->set_device_id(id);
      capture.back()->set_pcm_samples_per_sec(rate);
      server.back()->set_port("0");
      capture.back()->set_active(true);
      return static_cast<int>(server.back()->bound_port());
    });
  }
};

int connect_tcp(int port) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(50ms);
  }
  return -1;
}

// A listener: reads the WAV header, then 65-byte blocks; decodes each and notes when a block
// first shows the burst after a quiet one.
struct Listener {
  int fd = -1;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex m;
  std::vector<SteadyClock::time_point> onsets;
  std::uint64_t bytes = 0;

  void start(int port, bool detect) {
    fd = connect_tcp(port);
    thread = std::thread([this, detect] { loop(detect); });
  }
  void loop(bool detect) {
    std::string buf;
    char tmp[4096];
    bool in_data = false;
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    bool loud = true;
    while (!stop) {
      ssize_t r = ::recv(fd, tmp, sizeof tmp, 0);
      if (r <= 0) break;
      const auto now = SteadyClock::now();
      bytes += static_cast<std::uint64_t>(r);
      buf.append(tmp, static_cast<std::size_t>(r));
      if (!in_data) {  // walk the RIFF chunks up to "data"
        std::size_t at = 12;
        while (at + 8 <= buf.size()) {
          const std::uint32_t len = static_cast<unsigned char>(buf[at + 4]) | static_cast<unsigned char>(buf[at + 5]) << 8 |
                                    static_cast<unsigned char>(buf[at + 6]) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(buf[at + 7])) << 24;
          if (buf.compare(at, 4, "data") == 0) {
            buf.erase(0, at + 8);
            in_data = true;
            break;
          }
          at += 8 + len;
        }
        if (!in_data) continue;
      }
      while (buf.size() >= 65) {
        if (detect) {
          gsm_signal s[320];
          gsm_decode(g, reinterpret_cast<gsm_byte*>(buf.data()), s);
          gsm_decode(g, reinterpret_cast<gsm_byte*>(buf.data()) + 33, s + 160);
          double sum = 0;
          for (auto v : s) sum += double(v) * v;
          const bool now_loud = std::sqrt(sum / 320) > 1500;
          if (now_loud && !loud) {
            std::lock_guard<std::mutex> lock(m);
            onsets.push_back(now);
          }
          loud = now_loud;
        }
        buf.erase(0, 65);
      }
    }
    gsm_destroy(g);
  }
  void finish() {
    stop = true;
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
    if (fd >= 0) ::close(fd);
  }
};

double cpu_seconds_self() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double cpu_seconds_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  auto close = line.rfind(')');
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  double ut = 0, st = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) ut = std::stod(field);
    if (i == 15) st = std::stod(field);
  }
  return (ut + st) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::unique_ptr<test::Process> start_ffmpeg(const test::AudioEnv& env, const std::string& pcm, int port, const std::string& tag) {
  return std::make_unique<test::Process>(
      std::vector<std::string>{"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-fflags", "nobuffer",
                               "-f", "alsa", "-sample_rate", "44100", "-channels", "1", "-i", pcm, "-ar", "8000", "-c:a",
                               "libgsm_ms", "-flush_packets", "1", "-f", "wav", "-listen", "1",
                               "tcp://127.0.0.1:" + std::to_string(port)},
      env.dir() / ("ffmpeg-" + tag), env.env());
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int run(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  test::AudioEnv env("bench", {{"bench_tone44", "Bench tone 44100", 44100, 1000.0, 120}});
  if (!env.ok()) {
    std::cerr << env.why() << "\n";
    return 1;
  }
  // --- CPU ----------------------------------------------------------------------------------
  constexpr int kChains = 4;
  double ours = 0, theirs = 0;
  {
    Chains chains;
    std::vector<std::unique_ptr<Listener>> listeners;
    for (int i = 0; i < kChains; ++i) {
      const int port = chains.add("bench_tone44", 44100);
      listeners.push_back(std::make_unique<Listener>());
      listeners.back()->start(port, false);
    }
    const int fport = test::free_port(SOCK_STREAM);
    auto ff = start_ffmpeg(env, "bench_tone44", fport, "cpu");
    Listener fl;
    fl.start(fport, false);
    std::this_thread::sleep_for(3s);  // past the start-up
    const double a0 = cpu_seconds_self(), f0 = cpu_seconds_of(ff->pid());
    const auto t0 = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    ours = (cpu_seconds_self() - a0) / wall / kChains * 100.0;
    theirs = (cpu_seconds_of(ff->pid()) - f0) / wall * 100.0;
    std::uint64_t got = 0;
    for (auto& l : listeners) got += l->bytes;
    for (auto& l : listeners) l->finish();
    fl.finish();
    ff->signal(SIGTERM);
    std::printf("CPU per chain at 44100 Hz over %.0f s: quillon %.3f %% of a core, ffmpeg %.3f %% (ratio %.2f)\n", wall,
                ours, theirs, theirs > 0 ? ours / theirs : 0.0);
    std::printf("  (quillon listeners received %.0f bytes/s each; 1625 expected)\n",
                static_cast<double>(got) / kChains / (wall + 3));
  }
  // Encoding work alone, without capture and sockets.
  {
    auto pcm = std::vector<std::int16_t>(44100 * 60);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 1000 * i / 44100.0));
    audio::BlockResampler r(44100);
    audio::GsmFrameEncoder enc(true);
    std::uint8_t out[65];
    const auto t0 = SteadyClock::now();
    for (std::size_t at = 0; at < pcm.size(); at += 441)
      r.feed(pcm.data() + at, 441, [&](const audio::PcmBlock& b) { enc.encode(b, out); });
    const double s = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    std::printf("Resampling 44100->8000 + GSM for one listener: %.3f %% of a core (60 s of audio in %.1f ms)\n",
                s / 60.0 * 100.0, s * 1000.0);
  }
  // --- Latency ------------------------------------------------------------------------------
  {
    // A pipe source: what the bench writes is what both captures get, as soon as it is written.
    const auto fifo = env.dir() / "burst.fifo";
    test::Process load({"/usr/bin/pactl", "load-module", "module-pipe-source", "source_name=burst", "file=" + fifo.string(),
                        "format=s16le", "rate=44100", "channels=1"},
                       env.dir() / "pactl", env.env());
    load.wait_exit(10s);
    if (load.stdout_text().empty()) std::fprintf(stderr, "pactl: %s\n", load.stderr_text().c_str());
    {
      std::ofstream conf(env.dir() / "asound.conf", std::ios::app);
      conf << "pcm.bench_burst { type pulse device \"burst\" hint { show on description \"Bench burst\" } }\n";
    }
    int wfd = ::open(fifo.c_str(), O_WRONLY);  // PulseAudio made it and reads it
    if (wfd < 0) {
      std::fprintf(stderr, "cannot open %s\n", fifo.c_str());
      return 1;
    }
    std::atomic<bool> writing{true};
    std::mutex m;
    std::vector<SteadyClock::time_point> bursts;
    std::thread writer([&] {
      const auto start = SteadyClock::now();
      std::vector<std::int16_t> chunk(441);
      for (long i = 0; writing; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        const long phase = i % 200;  // 2 s: 1 s quiet, 1 s tone
        for (std::size_t k = 0; k < chunk.size(); ++k)
          chunk[k] = phase >= 100 ? static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 1000 * (i * 441 + long(k)) / 44100.0)) : 0;
        if (phase == 100) {
          std::lock_guard<std::mutex> lock(m);
          bursts.push_back(SteadyClock::now());
        }
        if (::write(wfd, chunk.data(), chunk.size() * 2) < 0) break;
      }
    });
    std::this_thread::sleep_for(500ms);
    Chains chains;
    const int port = chains.add("bench_burst", 44100);
    Listener ours_l;
    ours_l.start(port, true);
    const int fport = test::free_port(SOCK_STREAM);
    auto ff = start_ffmpeg(env, "bench_burst", fport, "lat");
    Listener ff_l;
    ff_l.start(fport, true);
    std::this_thread::sleep_for(2s + 8 * 2s + 1s);
    writing = false;
    writer.join();
    ::close(wfd);
    ours_l.finish();
    ff_l.finish();
    ff->signal(SIGTERM);
    auto latencies = [&](Listener& l) {
      std::vector<double> out;
      for (auto onset : l.onsets) {
        // The latest burst written before this onset.
        SteadyClock::time_point b{};
        for (auto t : bursts)
          if (t <= onset) b = t;
        if (b != SteadyClock::time_point{} && onset - b < 1s) out.push_back(std::chrono::duration<double, std::milli>(onset - b).count());
      }
      return out;
    };
    auto lo = latencies(ours_l), lf = latencies(ff_l);
    std::printf("Latency burst written -> first loud GSM block at the listener (median of %zu / %zu): quillon %.0f ms, "
                "ffmpeg %.0f ms (ratio %.2f)\n",
                lo.size(), lf.size(), median(lo), median(lf), median(lf) > 0 ? median(lo) / median(lf) : 0.0);
  }
  return 0;
}

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {  // the sound server is stopped on the way out
    std::fprintf(stderr, "audio_chain_bench: %s\n", e.what());
    return 1;
  }
}
