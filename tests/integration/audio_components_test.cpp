// The real audio chain (ALSA capture -> resampler + GSM -> TCP/UDP server) fed by a tone through
// PulseAudio, listened to by ffmpeg and by raw sockets.

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <future>
#include <thread>

#include "support/net.hpp"
#include "integration/audio_env.hpp"
#include "audio/alsa_capture.hpp"
#include "core/asio_event_loop.hpp"
#include "audio/audio_ip_server.hpp"
#include "core/errors.hpp"
#include "audio/gsm_codec.hpp"

namespace quillon::audio {
namespace {

using test::connect_tcp;
using test::read_n;

using namespace std::chrono_literals;
using test::AudioEnv;
using test::eventually;

// The loop thread with one audio chain on it; the test talks to the components through run().
struct Chain {
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  AsioEventLoop loop{io};
  AlsaCapture capture{loop};
  GsmCodec codec;
  AudioIpServer server{io};
  std::thread thread;

  Chain() {
    capture.attach_consumer(codec);
    codec.attach_consumer(server);
    thread = std::thread([this] { io.run(); });
  }
  ~Chain() {
    try {
      run([this] { capture.set_active(false); });
    } catch (...) {
    }
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
  // Starts the chain on the tone device `description` at `rate`; returns the port listened on.
  int start(const std::string& description, int rate, int proto, int max_clients = 6) {
    return run([&] {
      auto list = list_capture_devices();
      int id = -2;
      for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].description == description) id = static_cast<int>(i);
      if (id < 0) throw std::runtime_error("tone device not listed");
      capture.set_device_id(id);
      capture.set_pcm_samples_per_sec(rate);
      server.set_proto(proto);
      server.set_port("0");
      server.set_max_clients(max_clients);
      capture.set_active(true);
      return static_cast<int>(server.bound_port());
    });
  }
  int clients() { return run([this] { return server.client_count(); }); }
};

class AudioChainTest : public ::testing::Test {
 protected:
  static constexpr double kTone = 1000.0;
  void SetUp() override {
    env_ = std::make_unique<AudioEnv>(
        "chain", std::vector<test::ToneDevice>{{"quillon_tone44", "Quillon test tone 44100", 44100, kTone},
                                               {"quillon_tone8", "Quillon test tone 8000", 8000, 600.0}});
    if (!env_->ok()) GTEST_SKIP() << env_->why();
  }
  std::unique_ptr<AudioEnv> env_;
};

TEST_F(AudioChainTest, DeviceListShowsConfiguredCaptureDevicesAndNotAlsaPlugins) {
  auto list = list_capture_devices();
  std::vector<std::string> names;
  for (auto& d : list) names.push_back(d.pcm);
  auto at = [&](const std::string& pcm) { return std::find(names.begin(), names.end(), pcm) - names.begin(); };
  ASSERT_LT(at("quillon_tone44"), static_cast<long>(names.size()));
  ASSERT_LT(at("quillon_tone8"), static_cast<long>(names.size()));
  EXPECT_LT(at("quillon_tone44"), at("quillon_tone8"));  // configuration order
  EXPECT_EQ(list[static_cast<std::size_t>(at("quillon_tone44"))].description, "Quillon test tone 44100");
  for (const char* internal : {"null", "default", "pulse", "jack", "oss", "samplerate", "speex", "upmix"})
    EXPECT_EQ(at(internal), static_cast<long>(names.size())) << internal;

  Chain c;
  const auto n = static_cast<int>(at("quillon_tone8"));
  EXPECT_EQ(c.capture.device_name(n), "Quillon test tone 8000");
  EXPECT_THROW(c.capture.device_name(static_cast<int>(list.size())), Error);
}

TEST_F(AudioChainTest, TcpStreamPlaysTheToneInFfmpeg) {
  Chain c;
  const int port = c.start("Quillon test tone 44100", 44100, 0);
  ASSERT_GT(port, 0);
  EXPECT_TRUE(c.run([&] { return c.capture.active() && c.codec.active() && c.server.active(); }));
  std::string log;
  auto samples = test::ffmpeg_decode(env_->dir(), "tcp", {}, "tcp://127.0.0.1:" + std::to_string(port), 3.0, &log);
  ASSERT_GT(samples.size(), 8000u * 2) << log;
  EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
    EXPECT_EQ(c.run([&] { return c.server.status_value(); }), status::streaming);
}

TEST_F(AudioChainTest, EightKilohertzCaptureSkipsTheResamplerAndStillPlays) {
  Chain c;
  const int port = c.start("Quillon test tone 8000", 8000, 0);
  std::string log;
  auto samples = test::ffmpeg_decode(env_->dir(), "tcp8", {}, "tcp://127.0.0.1:" + std::to_string(port), 2.0, &log);
  ASSERT_GT(samples.size(), 8000u) << log;
  EXPECT_NEAR(test::dominant_frequency(samples), 600.0, 20.0);
  EXPECT_GT(test::rms(samples), 3000.0) << "decoded at full level";
}

TEST_F(AudioChainTest, UdpRtpStreamPlaysTheToneInFfmpegAfterRegistration) {
  Chain c;
  const int port = c.start("Quillon test tone 44100", 44100, 1);
  ASSERT_GT(port, 0);
  std::string log;
  auto samples = test::ffmpeg_listen_rtp(env_->dir(), "udp", port, 3.0, &log);
  ASSERT_GT(samples.size(), 8000u * 2) << log;
  EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
  // ffmpeg may start decoding a packet or two into the stream; a GSM decoder that misses the
    // start stays somewhat quiet on a steady tone (the stream itself is not at fault).
    EXPECT_GT(test::rms(samples), 1000.0) << "decoded at a clearly audible level";
  EXPECT_EQ(c.clients(), 1);
}

TEST_F(AudioChainTest, SeventhTcpClientIsRefusedWhileSixListen) {
  Chain c;
  const int port = c.start("Quillon test tone 44100", 44100, 0, 6);
  std::vector<int> fds;
  for (int i = 0; i < 6; ++i) {
    int fd = connect_tcp(port);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    EXPECT_EQ(read_n(fd, 4), "RIFF") << "client " << i + 1;
  }
  ASSERT_TRUE(eventually([&] { return c.clients() == 6; }));
  EXPECT_EQ(c.run([&] { return c.server.max_clients(); }), 6);
  int seventh = connect_tcp(port);
  ASSERT_GE(seventh, 0);
  char b;
  EXPECT_EQ(::recv(seventh, &b, 1, 0), 0) << "the seventh is closed at once, without a header";
  ::close(seventh);
  EXPECT_EQ(c.clients(), 6);
  // The six keep receiving audio blocks.
  for (int fd : fds) {
    EXPECT_EQ(read_n(fd, 60 - 4 + 65 * 10).size(), 60u - 4 + 65 * 10);
    ::close(fd);
  }
  EXPECT_TRUE(eventually([&] { return c.clients() == 0; }));
}

TEST_F(AudioChainTest, ClientThatStopsReadingIsDroppedAndTheOthersKeepPlaying) {
  Chain c;
  const int port = c.start("Quillon test tone 44100", 44100, 0);
  int stalled = connect_tcp(port, 1024);
  ASSERT_GE(stalled, 0);
  int good = connect_tcp(port);
  ASSERT_GE(good, 0);
  std::atomic<bool> stop{false};
  std::string received;
  std::mutex m;
  std::thread reader([&] {
    char buf[4096];
    while (!stop) {
      ssize_t r = ::recv(good, buf, sizeof buf, 0);
      if (r <= 0) break;
      std::lock_guard<std::mutex> lock(m);
      received.append(buf, static_cast<std::size_t>(r));
    }
  });
  ASSERT_TRUE(eventually([&] { return c.clients() == 2; }));
  ASSERT_TRUE(eventually([&] { return c.run([&] { return c.server.clients_dropped(); }) == 1u; }, 90s))
      << "the stalled client is still served";
  EXPECT_EQ(c.clients(), 1);
  std::size_t at_drop = 0;
  {
    std::lock_guard<std::mutex> lock(m);
    at_drop = received.size();
  }
  EXPECT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(m);
    return received.size() > at_drop + 65 * 40;
  }));
  stop = true;
  ::shutdown(good, SHUT_RDWR);
  reader.join();
  ::close(good);
  ::close(stalled);
  const auto file = env_->dir() / "good.wav";
  {
    std::ofstream out(file, std::ios::binary);
    out << received;
  }
  std::string log;
  auto samples = test::ffmpeg_decode(env_->dir(), "good", {}, file.string(), 30.0, &log);
  ASSERT_GT(samples.size(), 8000u) << log;
  EXPECT_NEAR(test::dominant_frequency(samples), kTone, 20.0);
  EXPECT_GT(test::rms(samples), 3000.0) << "decoded at full level";
}

TEST_F(AudioChainTest, DeviceThatCannotBeOpenedLeavesTheChainInactive) {
  Chain c;
  c.run([&] {
    c.capture.set_device_id(99);
    EXPECT_THROW(c.capture.set_active(true), Error);
    EXPECT_FALSE(c.capture.active());
    EXPECT_FALSE(c.codec.active());
    EXPECT_FALSE(c.server.active());
    return 0;
  });
}

TEST_F(AudioChainTest, VanishedSoundServerIsReopenedWhenItComesBack) {
  Chain c;
  c.start("Quillon test tone 8000", 8000, 0);
  ASSERT_TRUE(eventually([&] { return c.run([&] { return c.capture.frames_delivered(); }) > 8000u; }, 30s));
  env_->stop_pulse();
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(c.run([&] { return c.capture.active(); })) << "a vanished device does not end the chain";
  ASSERT_TRUE(env_->start_pulse()) << env_->why();
  const auto before = c.run([&] { return c.capture.frames_delivered(); });
  ASSERT_TRUE(eventually([&] { return c.run([&] { return c.capture.frames_delivered(); }) > before + 8000; }, 60s));
  EXPECT_GE(c.capture.reopens(), 1u);
}

}  // namespace
}  // namespace quillon::audio
