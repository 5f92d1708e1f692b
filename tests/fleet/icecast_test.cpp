// The Icecast source client against a real icecast2 on a private port: what a listener of the
// mount decodes, the MP3 stream title, and a source that is refused, loses its server and comes
// back by itself.

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <mutex>
#include <thread>

#include "audio/icecast_source.hpp"
#include "fleet/fleet_support.hpp"
#include "integration/audio_env.hpp"
#include "platform/asio_event_loop.hpp"
#include "support/icecast.hpp"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

using audio::IcecastSource;
using audio::ListenFormat;

class IcecastTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!IcecastServer::installed() || !have("ffmpeg")) GTEST_SKIP() << "icecast2 or ffmpeg not installed";
    dir = fresh_temp_dir("icecast");
    ::signal(SIGPIPE, SIG_IGN);  // as the server does: libshout writes to a server that went away
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }

  // Runs the loop until `done` or the time is up.
  bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      if (io.stopped()) io.restart();
      io.run_for(std::chrono::milliseconds(20));
    }
    return done();
  }

  // What a listener of the mount decodes in `seconds`, as 8000 Hz samples (the loop runs meanwhile).
  std::vector<std::int16_t> listen(const std::string& url, double seconds, const std::string& tag) {
    const auto out = dir / (tag + ".raw");
    Process p({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", url, "-t", std::to_string(seconds), "-f",
               "s16le", "-ac", "1", "-ar", "8000", out.string()},
              dir / ("listen-" + tag));
    pump_until([&] { return !p.running(); }, std::chrono::seconds(30));
    EXPECT_FALSE(p.running()) << "the listener got no end of stream";
    return read_samples(out);
  }

  int said(const std::string& text) {
    std::lock_guard lock(log_mu);
    int n = 0;
    for (const auto& [warning, line] : log)
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }

  audio::IcecastSettings settings(int port, ListenFormat f, const std::string& mount) const {
    audio::IcecastSettings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = port;
    s.mount = mount;
    s.password = "hackme";
    s.format = f;
    s.name = "Quillon test";
    s.description = "a tone";
    s.title_interval_seconds = 2;
    return s;
  }

  IcecastSource::Log logger() {
    return [this](bool warning, const std::string& line) {
      std::lock_guard lock(log_mu);
      log.emplace_back(warning, line);
    };
  }

  std::filesystem::path dir;
  boost::asio::io_context io;
  AsioEventLoop loop{io};
  std::mutex log_mu;
  std::vector<std::pair<bool, std::string>> log;  // written by the source threads
};

TEST_F(IcecastTest, ListenerOfTheMountDecodesTheToneInOpusAndMp3AndTheMp3TitleFollowsTheRadio) {
  for (const auto& [format, frequency, mount] : {std::tuple{ListenFormat::Opus, 440.0, "/scanner1.ogg"},
                                                 std::tuple{ListenFormat::Mp3, 660.0, "/scanner1.mp3"}}) {
    SCOPED_TRACE(mount);
    const auto sub = dir / (format == ListenFormat::Opus ? "opus" : "mp3");
    IcecastServer ice(sub / "ice", "hackme");
    ASSERT_TRUE(ice.start());
    const auto file = make_tone_file(sub, format, frequency, 40);
    ASSERT_FALSE(file.empty());
    ReplayStream stream(loop, format, file);
    ASSERT_TRUE(stream.usable());

    IcecastSource source(loop, 1, settings(ice.port, format, mount), stream, logger());
    std::string shown;
    source.on_state = [&](const std::string& t) { shown = t; };
    source.start();
    ASSERT_TRUE(pump_until([&] { return shown.rfind("connected to 127.0.0.1:", 0) == 0; }, std::chrono::seconds(10))) << shown;
    EXPECT_EQ(stream.subscribers(), 1);
    source.set_title("VHF Channel 2");

    const auto samples = listen(ice.url(mount), 3, "listen");
    EXPECT_NEAR(dominant_frequency(samples), frequency, 15);
    EXPECT_GT(rms(samples), 1000);

    // Icecast shows the stream's name and, for MP3, the radio's channel as the title.
    std::string status;
    const bool titled = pump_until(
        [&] {
          status = body_of(http_get(ice.port, "/status-json.xsl"));
          return status.find("\"title\":\"VHF Channel 2\"") != std::string::npos;
        },
        std::chrono::seconds(10));
    EXPECT_NE(status.find("\"server_name\":\"Quillon test\""), std::string::npos) << status;
    EXPECT_EQ(titled, format == ListenFormat::Mp3) << status;

    const auto f = source.figures();
    EXPECT_GT(f.bytes_sent, 10'000u);
    EXPECT_EQ(f.units_dropped, 0u);
    EXPECT_EQ(f.connections, 1u);
    source.stop();
    EXPECT_EQ(stream.subscribers(), 0) << "the encoder must not run for a stopped source";
  }
  EXPECT_EQ(said("sending to Icecast at 127.0.0.1:"), 2);
  EXPECT_EQ(said("cannot send"), 0);
}

TEST_F(IcecastTest, RefusedSourceAndLostServerAreRetriedUntilIcecastTakesTheStreamAgain) {
  IcecastServer ice(dir / "ice", "another-password");
  ASSERT_TRUE(ice.start());
  const auto file = make_tone_file(dir, ListenFormat::Opus, 440, 60);
  ASSERT_FALSE(file.empty());
  ReplayStream stream(loop, ListenFormat::Opus, file);

  IcecastSource source(loop, 2, settings(ice.port, ListenFormat::Opus, "/scanner2.ogg"), stream, logger());
  std::string shown;
  source.on_state = [&](const std::string& t) { shown = t; };
  source.start();

  // A wrong password: said plainly, retried in the background, said once however often.
  ASSERT_TRUE(pump_until([&] { return shown.find("wrong user or password") != std::string::npos; }, std::chrono::seconds(10))) << shown;
  pump_until([] { return false; }, std::chrono::milliseconds(3500));  // a few retries
  EXPECT_EQ(stream.subscribers(), 0);
  EXPECT_EQ(said("channel 2: cannot send to Icecast at 127.0.0.1:" + std::to_string(ice.port) + "/scanner2.ogg: refused"), 1);
  {
    std::lock_guard lock(log_mu);
    EXPECT_EQ(log.size(), 1u);
  }

  // Icecast learns the password: the source gets in by itself.
  ice.stop();
  ice.configure("hackme");
  ASSERT_TRUE(ice.start());
  ASSERT_TRUE(pump_until([&] { return shown.rfind("connected to", 0) == 0; }, std::chrono::seconds(20))) << shown;
  EXPECT_NEAR(dominant_frequency(listen(ice.url("/scanner2.ogg"), 2, "first")), 440, 15);

  // Icecast goes away and comes back: lost once, regained once, and a new listener gets a
  // playable stream (the Ogg stream starts again with its headers).
  ice.stop();
  ASSERT_TRUE(pump_until([&] { return shown.rfind("retrying in", 0) == 0; }, std::chrono::seconds(10))) << shown;
  EXPECT_EQ(stream.subscribers(), 0);
  pump_until([] { return false; }, std::chrono::milliseconds(2500));
  ASSERT_TRUE(ice.start());
  ASSERT_TRUE(pump_until([&] { return shown.rfind("connected to", 0) == 0; }, std::chrono::seconds(20))) << shown;
  EXPECT_NEAR(dominant_frequency(listen(ice.url("/scanner2.ogg"), 2, "again")), 440, 15);

  EXPECT_EQ(source.figures().connections, 2u);
  EXPECT_EQ(stream.subscriptions, 2);
  EXPECT_EQ(said("channel 2: lost the Icecast server at"), 1);
  EXPECT_EQ(said("channel 2: sending to Icecast at"), 2);
  source.stop();
  EXPECT_EQ(source.state_text(), "stopped");
}

// The whole server: a tone captured through ALSA goes out to Icecast in MP3 (channel 1) and
// Ogg/Opus (channel 2); Icecast goes away and comes back while a data client keeps getting its
// frames.
TEST_F(IcecastTest, ServerSendsTheCapturedToneToIcecastAndItsDataPortsGoOnWhileIcecastRestarts) {
  constexpr double kTone = 1000.0;
  AudioEnv audio("icecast", {{"quillon_tone", "Quillon test tone", 11025, kTone}});
  if (!audio.ok()) GTEST_SKIP() << audio.why();
  IcecastServer ice(dir / "ice", "hackme");
  ASSERT_TRUE(ice.start());

  const auto data = dir / "data";
  const int data1 = free_port(), console = free_port();
  {
    settings::RegistryStore reg(data / "registry");
    settings::SettingsStore s(reg);
    for (int i = 1; i <= 9; ++i) s.savereg("tcpport" + std::to_string(i), std::to_string(i == 1 ? data1 : free_port()) + "x");
    for (int c = 1; c <= 2; ++c) s.savereg("audiodevice" + std::to_string(c), "1x");
    s.savereg("channel2ena", "1x");
  }
  std::ofstream(dir / "ice.secret") << "hackme\n";
  std::filesystem::permissions(dir / "ice.secret", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::ofstream(dir / "quillon.toml") << "[icecast.1]\nhost = \"127.0.0.1\"\nport = " << ice.port
                                      << "\nmount = \"/q1.mp3\"\nformat = \"mp3\"\npassword_file = \"ice.secret\"\n"
                                      << "[icecast.2]\nhost = \"127.0.0.1\"\nport = " << ice.port
                                      << "\nmount = \"/q2.ogg\"\npassword_file = \"ice.secret\"\n";
  // Radios on both channels: a channel whose radio does not answer is switched off, and its
  // audio with it.
  std::filesystem::create_directories(data / "ports");
  Process sim({kSim, "--display-ms", "300", "--link", (data / "ports" / "com1").string(), "--link", (data / "ports" / "com2").string()},
              dir / "sim", {}, true);
  ASSERT_TRUE(eventually([&] { return sim.output().find("ready") != std::string::npos; }, 10s)) << sim.output();
  Process server({QUILLON_BIN, "--data-dir", data.string(), "--console", "127.0.0.1:" + std::to_string(console), "--config",
                  (dir / "quillon.toml").string()},
                 dir / "server", audio.env());
  const auto connected = [&](int channel) {
    return sample(body_of(http_get(console, "/metrics")), "quillon_icecast_connected{channel=\"" + std::to_string(channel) + "\"}");
  };
  ASSERT_TRUE(eventually([&] { return connected(1) == 1 && connected(2) == 1; }, 30s)) << server.stderr_text();

  for (const char* mount : {"/q1.mp3", "/q2.ogg"}) {
    SCOPED_TRACE(mount);
    std::string decode_log;
    const auto samples = ffmpeg_decode(dir, mount + 1, {}, ice.url(mount), 3, &decode_log);
    ASSERT_GT(samples.size(), 8000u) << decode_log << server.stderr_text() << body_of(http_get(ice.port, "/status-json.xsl"))
                                     << body_of(http_get(console, "/metrics"));
    EXPECT_NEAR(dominant_frequency(samples), kTone, 20);
    EXPECT_GT(rms(samples), 1000) << decode_log;
  }

  // A data client on channel 1 meanwhile: its frames keep coming while Icecast is away.
  std::atomic<bool> done{false};
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  std::mutex arrivals_mu;
  const int fd = connect_tcp(data1);
  ASSERT_GE(fd, 0);
  std::thread reader([&] {
    timeval tv{0, 200'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    while (!done) {
      if (::recv(fd, buf, sizeof buf, 0) > 0) {
        std::lock_guard lock(arrivals_mu);
        arrivals.push_back(std::chrono::steady_clock::now());
      }
    }
  });
  ice.stop();
  EXPECT_TRUE(eventually([&] { return connected(1) == 0 && connected(2) == 0; }, 15s));
  std::this_thread::sleep_for(3s);
  ASSERT_TRUE(ice.start());
  EXPECT_TRUE(eventually([&] { return connected(1) == 1 && connected(2) == 1; }, 30s)) << server.stderr_text();
  const auto again = ffmpeg_decode(dir, "again", {}, ice.url("/q2.ogg"), 2);
  EXPECT_NEAR(dominant_frequency(again), kTone, 20);
  done = true;
  reader.join();
  ::close(fd);
  {
    std::lock_guard lock(arrivals_mu);
    ASSERT_GT(arrivals.size(), 5u);
    // Frames come every second; a stall behind Icecast would leave a gap of many.
    std::chrono::steady_clock::duration longest{};
    for (std::size_t i = 1; i < arrivals.size(); ++i) longest = std::max(longest, arrivals[i] - arrivals[i - 1]);
    EXPECT_LT(longest, 4s);
  }

  const std::string err = server.stderr_text();
  for (int channel : {1, 2}) {
    const std::string c = "channel " + std::to_string(channel);
    EXPECT_EQ(count_of(err, c + ": lost the Icecast server at 127.0.0.1:"), 1u) << err;
    EXPECT_EQ(count_of(err, c + ": sending to Icecast at 127.0.0.1:"), 2u) << err;
  }
  server.stop(SIGTERM);
  sim.stop(SIGTERM);
}

}  // namespace
}  // namespace quillon::test
