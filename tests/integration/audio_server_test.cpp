// The real binary streams a tone on the audio port of every channel, over TCP and RTP. The tone
// comes from an ALSA `file` PCM on a private PulseAudio server, the only capture device in the
// list, chosen by the stored device position 1 of every channel.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <map>
#include <set>
#include <sstream>

#include "audio/audio_ip_server.hpp"
#include "support/net.hpp"
#include "integration/audio_env.hpp"

namespace quillon {
namespace {

using test::connect_tcp;
using test::read_n;

using namespace std::chrono_literals;
using test::AudioEnv;
using test::eventually;
using test::Process;

class AudioServerBinary : public ::testing::Test {
 protected:
  static constexpr double kTone = 1000.0;

  void SetUp() override {
    // Written at the default capture rate (11025).
    env_ = std::make_unique<AudioEnv>("bin", std::vector<test::ToneDevice>{{"quillon_tone", "Quillon test tone", 11025, kTone}});
    if (!env_->ok()) GTEST_SKIP() << env_->why();
    for (int& p : ports_) p = test::free_port();
  }
  int data_port(int c) const { return ports_[static_cast<std::size_t>(2 * (c - 1))]; }
  int audio_port(int c) const { return ports_[static_cast<std::size_t>(2 * (c - 1) + 1)]; }

  void start_server(bool udp, const std::vector<std::string>& extra_env = {}) {
    const auto data = env_->dir() / "data";
    std::filesystem::create_directories(data / "registry");
    std::ofstream hive(data / "registry" / "hklm.reg");
    hive << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\r\n";
    hive << "\"udppacket\"=\"" << (udp ? "True" : "False") << "x\"\r\n";
    const char* names[] = {"tcpport1", "tcpport3", "tcpport4", "tcpport5", "tcpport6", "tcpport7", "tcpport8", "tcpport9"};
    const int ports[] = {data_port(1), audio_port(1), data_port(2), audio_port(2),
                         data_port(3), audio_port(3), data_port(4), audio_port(4)};
    for (int i = 0; i < 8; ++i) hive << "\"" << names[i] << "\"=\"" << ports[i] << "x\"\r\n";
    // Position 2 names a second device, which this list does not have: that capture cannot start.
    for (int c = 1; c <= 4; ++c) hive << "\"audiodevice" << c << "\"=\"" << (c == no_capture_channel_ ? 2 : 1) << "x\"\r\n";
    hive << "\"serverID1\"=\"Hilltopx\"\r\n";
    // Channel 3 switched on: its capture starts before the chains are linked and must come up
    // complete when start-up activates it again.
    hive << "\"channel3ena\"=\"1x\"\r\n";
    hive.close();
    auto env = env_->env();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<std::string> argv{QUILLON_BIN, "--data-dir", data.string()};
    argv.insert(argv.end(), server_args_.begin(), server_args_.end());
    server_ = std::make_unique<Process>(argv, env_->dir() / "logs", env);
    ASSERT_TRUE(server_->started());
  }
  // Audio of channel c as ffmpeg decodes it.
  std::vector<std::int16_t> listen_tcp(int c, double seconds, std::string* log) {
    return test::ffmpeg_decode(env_->dir(), "tcp" + std::to_string(c), {}, "tcp://127.0.0.1:" + std::to_string(audio_port(c)),
                               seconds, log);
  }
  bool port_listens(int port) {
    int fd = connect_tcp(port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }
  void TearDown() override {
    if (server_) {
      server_->signal(SIGTERM);
      server_->wait_exit(20s);
    }
  }

  std::unique_ptr<AudioEnv> env_;
  std::unique_ptr<Process> server_;
  std::array<int, 8> ports_{};  // data and audio port of each channel
  std::vector<std::string> server_args_{"--console", "off"};
  int no_capture_channel_ = 0;
};

TEST_F(AudioServerBinary, EveryChannelPlaysTheToneOverTcp) {
  start_server(false);
  // Channel 3 is switched on during start-up: its port listens a little after channel 1's.
  for (int c = 1; c <= 4; ++c)
    ASSERT_TRUE(eventually([&] { return port_listens(audio_port(c)); }, 30s)) << "channel " << c << "\n" << server_->stderr_text();
  // A data client on channel 1 keeps the recovery tick from restarting its audio meanwhile.
  int data1 = connect_tcp(data_port(1));
  for (int c = 1; c <= 4; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    std::string log;
    auto samples = listen_tcp(c, 2.0, &log);
    ASSERT_GT(samples.size(), 8000u) << log;
    EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
    EXPECT_GT(test::rms(samples), 3000.0) << "decoded at full level";
  }
  if (data1 >= 0) ::close(data1);
}

TEST_F(AudioServerBinary, EveryChannelPlaysTheToneOverRtp) {
  start_server(true);
  int data1 = -1;
  ASSERT_TRUE(eventually([&] { return (data1 = connect_tcp(data_port(1))) >= 0; }, 30s)) << server_->stderr_text();
  for (int c = 1; c <= 4; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    std::string log;
    auto samples = test::ffmpeg_listen_rtp(env_->dir(), "rtp" + std::to_string(c), audio_port(c), 2.0, &log);
    ASSERT_GT(samples.size(), 8000u) << log;
    EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
    // ffmpeg may start decoding a packet or two into the stream; a GSM decoder that misses the
    // start stays somewhat quiet on a steady tone (the stream itself is not at fault).
    EXPECT_GT(test::rms(samples), 1000.0) << "decoded at a clearly audible level";
  }
  ::close(data1);
}

// A stock player takes the TCP stream as a WAV file of a known (huge) size: no warning at all,
// where an "unknown" size made it flag the packets corrupt, and the tone at full level.
TEST_F(AudioServerBinary, StockPlayerPlaysTheTcpStreamWithoutAWarning) {
  start_server(false);
  ASSERT_TRUE(eventually([&] { return port_listens(audio_port(1)); }, 30s)) << server_->stderr_text();
  int data1 = connect_tcp(data_port(1));
  const auto out = env_->dir() / "stock.raw";
  Process ffmpeg({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-v", "warning", "-y", "-i", "tcp://127.0.0.1:" + std::to_string(audio_port(1)),
                  "-t", "10", "-f", "s16le", "-ac", "1", "-ar", "8000", out.string()},
                 env_->dir() / "ffmpeg-stock");
  ASSERT_TRUE(ffmpeg.wait_exit(60s).has_value());
  EXPECT_EQ(ffmpeg.stderr_text(), "");
  const auto samples = test::read_samples(out);
  EXPECT_GE(samples.size(), 8000u * 95 / 10) << "ten seconds of audio";
  EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
  EXPECT_GT(test::rms(samples), 3000.0);
  if (data1 >= 0) ::close(data1);
}

// Local addresses (hex, as /proc/net lists them) that sockets on this port are bound to.
std::set<std::string> bound_addresses(const char* table, int port) {
  std::set<std::string> out;
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  for (const char* suffix : {"", "6"}) {
    std::ifstream in(std::string("/proc/net/") + table + suffix);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;
      if (local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0) out.insert(local.substr(0, local.size() - 5));
    }
  }
  return out;
}

// Whether the server has let go of the connection whose client end is `client_fd`: its end is
// no longer established (a close with unsent data waits in FIN-WAIT-1 until the client reads,
// so the client itself sees nothing yet).
bool server_end_closed(int client_fd, int server_port) {
  sockaddr_in mine{};
  socklen_t len = sizeof mine;
  if (::getsockname(client_fd, reinterpret_cast<sockaddr*>(&mine), &len) != 0) return false;
  char local[8], remote[8];
  std::snprintf(local, sizeof local, ":%04X", server_port);
  std::snprintf(remote, sizeof remote, ":%04X", ntohs(mine.sin_port));
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, l, r, state;
      fields >> slot >> l >> r >> state;
      if (l.size() > 5 && r.size() > 5 && l.compare(l.size() - 5, 5, local) == 0 && r.compare(r.size() - 5, 5, remote) == 0)
        return state != "01";  // 01: established
    }
  }
  return true;  // gone altogether
}

// Registrations cannot be verified, so one source network registers only a few addresses per
// half minute: of ten senders on this machine's network, four are served, though the server
// admits six.
TEST_F(AudioServerBinary, UdpRegistrationsFromOneNetworkAreRateLimited) {
  start_server(true, {"QUILLON_BIND_ADDRESS=127.0.0.1"});
  int data1 = -1;
  ASSERT_TRUE(eventually([&] { return (data1 = connect_tcp(data_port(1))) >= 0; }, 30s)) << server_->stderr_text();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<std::uint16_t>(audio_port(1)));
  std::vector<int> senders;
  for (int i = 0; i < 10; ++i) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    senders.push_back(fd);
  }
  std::vector<std::size_t> got(senders.size(), 0);
  char buf[1500];
  // Each sender registers once a second for five seconds.
  for (int round = 0; round < 5; ++round) {
    for (int fd : senders) ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(20ms);
      for (std::size_t k = 0; k < senders.size(); ++k)
        while (::recv(senders[k], buf, sizeof buf, 0) > 0) ++got[k];
    }
  }
  const auto served = std::count_if(got.begin(), got.end(), [](std::size_t n) { return n > 0; });
  EXPECT_EQ(served, audio::AudioIpServer::kUdpRegistrationsPerNetwork) << server_->stderr_text();
  for (int fd : senders) ::close(fd);
  ::close(data1);
}

// A datagram whose text names another port must not turn the stream on that port (a forged
// source would aim about 13,000 times its size at a third party); the sender itself is served.
// The audio ports obey QUILLON_BIND_ADDRESS like the data ports.
TEST_F(AudioServerBinary, RtpGoesOnlyToTheRegisteringEndpointAndPortsObeyTheBindAddress) {
  start_server(true, {"QUILLON_BIND_ADDRESS=127.0.0.1"});
  int data1 = -1;
  ASSERT_TRUE(eventually([&] { return (data1 = connect_tcp(data_port(1))) >= 0; }, 30s)) << server_->stderr_text();

  auto udp_socket = [] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
  };
  auto port_of = [](int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  };
  const int victim = udp_socket(), sender = udp_socket();
  const std::string text = std::to_string(port_of(victim)) + "\n";
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<std::uint16_t>(audio_port(1)));
  std::size_t to_sender = 0, to_victim = 0;
  char buf[1500];
  auto drain = [&](int fd, std::size_t& count) {
    while (::recv(fd, buf, sizeof buf, 0) > 0) ++count;
  };
  // Registers every half second until the sender has had two seconds of packets.
  const auto limit = std::chrono::steady_clock::now() + 40s;
  while (to_sender < 100 && std::chrono::steady_clock::now() < limit) {
    ::sendto(sender, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    for (int i = 0; i < 25; ++i) {
      std::this_thread::sleep_for(20ms);
      drain(sender, to_sender);
      drain(victim, to_victim);
    }
  }
  EXPECT_GE(to_sender, 100u) << "the registering endpoint gets the stream";
  EXPECT_EQ(to_victim, 0u) << "the port named in the datagram gets nothing";

  const std::set<std::string> loopback_only{"0100007F"};
  EXPECT_EQ(bound_addresses("tcp", data_port(1)), loopback_only);
  for (int c = 1; c <= 4; ++c)
    EXPECT_TRUE(eventually([&] { return bound_addresses("udp", audio_port(c)) == loopback_only; }, 20s)) << "channel " << c;
  ::close(victim);
  ::close(sender);
  ::close(data1);
}

// Channel 2 is switched off by default: its chain runs (start-up starts every capture) and the
// recovery tick leaves it alone, so its clients stay as they are.
TEST_F(AudioServerBinary, SeventhClientIsRefusedAndAStalledClientIsDroppedWhileOthersPlay) {
  start_server(false);
  ASSERT_TRUE(eventually([&] { return port_listens(audio_port(2)); }, 30s)) << server_->stderr_text();
  std::vector<int> fds;
  for (int i = 0; i < 6; ++i) {
    fds.push_back(connect_tcp(audio_port(2), i == 0 ? 1024 : 0));
    ASSERT_GE(fds.back(), 0);
  }
  std::vector<std::string> got(fds.size());
  for (std::size_t i = 1; i < fds.size(); ++i) EXPECT_EQ(got[i] = read_n(fds[i], 4), "RIFF");
  // The limit is clientslots + 2 = 6.
  int seventh = -1;
  ASSERT_TRUE(eventually([&] { return (seventh = connect_tcp(audio_port(2))) >= 0; }));
  char b;
  EXPECT_EQ(::recv(seventh, &b, 1, 0), 0) << "the seventh is closed at once";
  ::close(seventh);

  // fds[0] never reads; the others read on until it is gone, then decode what they got.
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (std::size_t i = 1; i < fds.size(); ++i)
    readers.emplace_back([&, i] {
      char buf[2048];
      while (!stop) {
        ssize_t r = ::recv(fds[i], buf, sizeof buf, 0);
        if (r <= 0) break;
        got[i].append(buf, static_cast<std::size_t>(r));
      }
    });
  const auto reading_since = std::chrono::steady_clock::now();
  // Dropped once its backlog exceeds every bound; watched from the server's end, without reading
  // (reading would let it catch up).
  const bool hung_up = eventually([&] { return server_end_closed(fds[0], audio_port(2)); }, 60s);
  EXPECT_TRUE(hung_up) << "the stalled client is still being served";
  // What the kernel still holds for it ends in end-of-stream instead of going on live.
  bool closed = false;
  const auto limit = std::chrono::steady_clock::now() + 15s;
  while (hung_up && !closed && std::chrono::steady_clock::now() < limit) {
    char buf[65536];
    ssize_t r = ::recv(fds[0], buf, sizeof buf, 0);
    if (r <= 0) closed = (r == 0);
    if (r < 0) break;
  }
  EXPECT_TRUE(closed) << "the stalled client's stream does not end";
  std::this_thread::sleep_for(3s);  // the others play on after the drop
  stop = true;
  for (std::size_t i = 1; i < fds.size(); ++i) ::shutdown(fds[i], SHUT_RDWR);
  for (auto& r : readers) r.join();
  for (int fd : fds) ::close(fd);
  // 25 GSM frames of 65 bytes a second, the whole time less a second for the reader's start.
  const auto read_s = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - reading_since).count();
  ASSERT_GE(read_s, 3);
  for (std::size_t i = 1; i < fds.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_GT(got[i].size(), 60u + 65u * 25u * static_cast<std::size_t>(read_s - 1)) << "kept playing for the whole " << read_s << " s";
    const auto file = env_->dir() / ("client" + std::to_string(i) + ".wav");
    std::ofstream(file, std::ios::binary) << got[i];
    std::string log;
    auto samples = test::ffmpeg_decode(env_->dir(), "client" + std::to_string(i), {}, file.string(), 60.0, &log);
    ASSERT_GT(samples.size(), 8000u) << log;
    EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
    EXPECT_GT(test::rms(samples), 3000.0) << "decoded at full level";
  }
}


}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

using namespace std::chrono_literals;
using test::connect_tcp;
using test::eventually;

// A GET on the loopback port: the answer's head (status line and headers) is read, the socket
// stays open for the body. fd -1 when nothing answered.
struct HttpStream {
  int fd = -1;
  std::string head;
  std::string early_body;  // what came with the head
  int status() const { return head.size() > 12 ? std::atoi(head.c_str() + 9) : 0; }
  bool has_header(const std::string& line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
  ~HttpStream() {
    if (fd >= 0) ::close(fd);
  }
};

std::unique_ptr<HttpStream> http_get(int port, const std::string& path, int rcvbuf = 0) {
  auto s = std::make_unique<HttpStream>();
  s->fd = connect_tcp(port, rcvbuf);
  if (s->fd < 0) return s;
  // Connection: close: a caller that reads to the end (the metrics) is not held for the idle timeout.
  const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nIcy-MetaData: 1\r\nConnection: close\r\n\r\n";
  ::send(s->fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string got;
  char buf[1024];
  while (got.find("\r\n\r\n") == std::string::npos) {
    const ssize_t r = ::recv(s->fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    got.append(buf, static_cast<std::size_t>(r));
  }
  const auto end = got.find("\r\n\r\n");
  s->head = got.substr(0, end == std::string::npos ? got.size() : end + 2);
  if (end != std::string::npos) s->early_body = got.substr(end + 4);
  return s;
}

// A number on the metrics page: the sample whose name and labels start the line.
double metric(int console_port, const std::string& sample) {
  auto s = http_get(console_port, "/metrics");
  std::string body = s->early_body;
  char buf[4096];
  for (ssize_t r; (r = ::recv(s->fd, buf, sizeof buf, 0)) > 0;) body.append(buf, static_cast<std::size_t>(r));
  const auto at = body.find("\n" + sample + " ");
  return at == std::string::npos ? -1 : std::atof(body.c_str() + at + sample.size() + 2);
}

// Reads a stream on a thread of its own until told to stop.
struct Reader {
  explicit Reader(std::unique_ptr<HttpStream> s) : stream(std::move(s)), bytes(stream->early_body) {
    thread = std::thread([this] {
      char buf[4096];
      while (!stop) {
        const ssize_t r = ::recv(stream->fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        std::lock_guard lock(mutex);
        bytes.append(buf, static_cast<std::size_t>(r));
      }
    });
  }
  ~Reader() {
    stop = true;
    ::shutdown(stream->fd, SHUT_RDWR);
    thread.join();
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return bytes.size();
  }
  std::unique_ptr<HttpStream> stream;
  std::string bytes;
  std::mutex mutex;
  std::atomic<bool> stop{false};
  std::thread thread;
};

class ListenBinary : public AudioServerBinary {
 protected:
  void start_listening_server(int max_listeners) {
    console_ = test::free_port();
    public_ = test::free_port();
    const auto conf = env_->dir() / "quillon.toml";
    std::ofstream(conf) << "[listen]\npublic_port = " << public_ << "\nmax_listeners = " << max_listeners << "\n";
    server_args_ = {"--console", "127.0.0.1:" + std::to_string(console_), "--config", conf.string()};
    no_capture_channel_ = 4;
    start_server(false, {"QUILLON_BIND_ADDRESS=127.0.0.1"});
    ASSERT_TRUE(eventually([&] { return http_get(console_, "/listen/1.ogg")->status() == 200; }, 30s)) << server_->stderr_text();
  }
  std::vector<std::int16_t> decode(int port, const std::string& path, const std::string& tag, std::string* log) {
    return test::ffmpeg_decode(env_->dir(), tag, {}, "http://127.0.0.1:" + std::to_string(port) + path, 3.0, log);
  }
  int console_ = 0, public_ = 0;
};

// On the console listener: both formats decode to the tone, with the ICY name of the site and
// channel; two listeners of a format share one encoder, which stops after them; a channel that
// captures nothing, or a path of no channel, is 404.
TEST_F(ListenBinary, ConsoleListenersHearTheToneInBothFormatsFromSharedEncoders) {
  start_listening_server(64);
  for (const std::string ext : {".ogg", ".mp3"}) {
    SCOPED_TRACE(ext);
    auto head = http_get(console_, "/listen/1" + ext);
    EXPECT_EQ(head->status(), 200) << head->head;
    EXPECT_TRUE(head->has_header(ext == ".ogg" ? "Content-Type: audio/ogg" : "Content-Type: audio/mpeg")) << head->head;
    EXPECT_TRUE(head->has_header("icy-name: Hilltop channel 1")) << head->head;
    EXPECT_EQ(head->head.find("Content-Length"), std::string::npos) << "a live stream has no length";
    EXPECT_EQ(head->head.find("icy-metaint"), std::string::npos) << "no metadata in the stream";
    head.reset();
    std::string log;
    const auto samples = decode(console_, "/listen/2" + ext, "http2" + ext, &log);
    ASSERT_GT(samples.size(), 8000u * 2) << log;
    EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
    EXPECT_GT(test::rms(samples), 3000.0) << "decoded at full level";
  }

  auto a = http_get(console_, "/listen/3.ogg"), b = http_get(console_, "/listen/3.ogg");
  ASSERT_EQ(a->status(), 200);
  ASSERT_EQ(b->status(), 200);
  EXPECT_EQ(metric(console_, "quillon_audio_clients{channel=\"3\",output=\"opus\"}"), 2);
  EXPECT_EQ(metric(console_, "quillon_listen_encoders{channel=\"3\"}"), 1) << "one encoder for both";
  a.reset();
  b.reset();
  EXPECT_TRUE(eventually([&] { return metric(console_, "quillon_listen_encoders{channel=\"3\"}") == 0; }, 20s))
      << "the encoder stops with its last listener";

  EXPECT_EQ(http_get(console_, "/listen/4.ogg")->status(), 404) << "channel 4 captures nothing";
  EXPECT_EQ(http_get(console_, "/listen/5.mp3")->status(), 404);
  EXPECT_EQ(http_get(console_, "/listen/1.wav")->status(), 404);
}

// The public port: bound to the bind address, only the streams and the listeners' page (no
// console), at most max_listeners per channel; a listener that stops reading is dropped, one
// that reads goes on and still hears the tone, and the freed place is taken again.
TEST_F(ListenBinary, PublicPortHoldsItsLimitAndDropsAListenerThatStopsReading) {
  start_listening_server(2);
  const std::set<std::string> loopback_only{"0100007F"};
  EXPECT_EQ(bound_addresses("tcp", public_), loopback_only);
  EXPECT_EQ(http_get(public_, "/api/window")->status(), 404);
  EXPECT_EQ(http_get(public_, "/index.html")->status(), 404);

  auto stalled = http_get(public_, "/listen/1.ogg", 1024);  // never reads
  ASSERT_EQ(stalled->status(), 200);
  Reader reader(http_get(public_, "/listen/1.ogg"));
  ASSERT_EQ(reader.stream->status(), 200);
  EXPECT_EQ(http_get(public_, "/listen/1.mp3")->status(), 503) << "two listeners on channel 1 already";
  EXPECT_EQ(http_get(console_, "/listen/1.mp3")->status(), 200) << "the console's listeners are counted apart";

  ASSERT_TRUE(eventually([&] { return metric(console_, "quillon_audio_clients{channel=\"1\",output=\"opus\"}") == 1; }, 40s))
      << "the stalled listener is dropped";
  const std::size_t at_drop = reader.size();
  std::this_thread::sleep_for(2s);
  EXPECT_GT(reader.size(), at_drop + 1000) << "the other one goes on";
  EXPECT_EQ(http_get(public_, "/listen/1.mp3")->status(), 200) << "the freed place is taken again";

  const auto file = env_->dir() / "reader.ogg";
  {
    std::lock_guard lock(reader.mutex);
    std::ofstream(file, std::ios::binary) << reader.bytes;
  }
  std::string log;
  const auto samples = test::ffmpeg_decode(env_->dir(), "reader", {}, file.string(), 60.0, &log);
  ASSERT_GT(samples.size(), 8000u * 4) << log;
  EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
}

// A burst of listeners from many addresses at once: exactly max_listeners are served, and every
// other one is told 503, none left with a closed connection.
TEST_F(ListenBinary, ABurstFromManyAddressesGetsExactlyTheLimitAndEveryOtherOneA503) {
  start_listening_server(4);
  constexpr int kBurst = 160;  // more than the console's 128 connections
  std::vector<int> fds(kBurst, -1);
  for (int i = 0; i < kBurst; ++i) {
    fds[static_cast<std::size_t>(i)] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl((127u << 24) | static_cast<unsigned>(10 + i));
    ASSERT_EQ(::bind(fds[static_cast<std::size_t>(i)], reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  }
  // All connect, then every request goes out before any answer is read.
  for (int fd : fds) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(public_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  std::this_thread::sleep_for(500ms);  // the server has taken every connection in
  // A connection the server could not keep has been answered already; it asks nothing more.
  const std::string req = "GET /listen/1.ogg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<std::string> early(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) {
    char buf[1024];
    const ssize_t r = ::recv(fds[i], buf, sizeof buf, MSG_DONTWAIT);
    if (r > 0)
      early[i].assign(buf, static_cast<std::size_t>(r));
    else
      ASSERT_EQ(::send(fds[i], req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
  }
  std::map<int, int> statuses;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    const int fd = fds[i];
    timeval tv{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string got = early[i];
    char buf[1024];
    while (got.find("\r\n\r\n") == std::string::npos) {
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
    ++statuses[got.size() > 12 ? std::atoi(got.c_str() + 9) : 0];
  }
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(statuses[200], 4);
  EXPECT_EQ(statuses[503], kBurst - 4);
  EXPECT_EQ(statuses[0], 0) << "closed without an answer";
}

}  // namespace
}  // namespace quillon
