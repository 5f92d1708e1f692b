// The real binary streams a tone on the audio port of every channel, over TCP and RTP. The tone
// comes from an ALSA `file` PCM on a private PulseAudio server, the only capture device in the
// list, chosen by the stored device position 1 of every channel.

#include <gtest/gtest.h>
#include <signal.h>

#include <set>
#include <sstream>

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
    base_ = 20000 + (::getpid() % 1500) * 20;
  }
  int data_port(int c) const { return base_ + 2 * (c - 1); }
  int audio_port(int c) const { return base_ + 2 * (c - 1) + 1; }

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
    for (int c = 1; c <= 4; ++c) hive << "\"audiodevice" << c << "\"=\"1x\"\r\n";
    // Channel 3 switched on: its capture starts before the chains are linked and must come up
    // complete when start-up activates it again.
    hive << "\"channel3ena\"=\"1x\"\r\n";
    hive.close();
    auto env = env_->env();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    server_ = std::make_unique<Process>(std::vector<std::string>{QUILLON_BIN, "--data-dir", data.string(), "--console", "off"}, env_->dir() / "logs",
                                        env);
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
  int base_ = 0;
};

TEST_F(AudioServerBinary, EveryChannelPlaysTheToneOverTcp) {
  start_server(false);
  ASSERT_TRUE(eventually([&] { return port_listens(audio_port(1)); }, 30s)) << server_->stderr_text();
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
  std::this_thread::sleep_for(20s);  // long enough for its backlog to exceed every bound
  // Dropped: what the kernel still holds for it ends in end-of-stream instead of going on live.
  bool closed = false;
  const auto limit = std::chrono::steady_clock::now() + 15s;
  while (!closed && std::chrono::steady_clock::now() < limit) {
    char buf[65536];
    ssize_t r = ::recv(fds[0], buf, sizeof buf, 0);
    if (r <= 0) closed = (r == 0);
    if (r < 0) break;
  }
  EXPECT_TRUE(closed) << "the stalled client is still being served";
  std::this_thread::sleep_for(3s);
  stop = true;
  for (std::size_t i = 1; i < fds.size(); ++i) ::shutdown(fds[i], SHUT_RDWR);
  for (auto& r : readers) r.join();
  for (int fd : fds) ::close(fd);
  for (std::size_t i = 1; i < fds.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_GT(got[i].size(), 60u + 65 * 25 * 18) << "kept playing for the whole time";
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
