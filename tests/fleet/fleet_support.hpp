#pragma once
// A site for the fleet tests: a real server binary with simulated radios on private ports, its
// console on a free loopback port, a configuration file; plus a private Mosquitto broker and
// small HTTP and MQTT helpers.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "settings/registry.hpp"
#include "support/fakes.hpp"
#include "support/net.hpp"
#include "support/process.hpp"

namespace quillon::test {

using namespace std::chrono_literals;

inline const std::string kSim = std::string(QUILLON_TOOLS_DIR) + "/scanner-sim/quillon-scanner-sim";

// Whether a program is on PATH.
inline bool have(const std::string& program) { return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0; }

// The value of one sample line ("name{labels} value") in a metrics page, or -1.
inline double sample(const std::string& page, const std::string& series) {
  const auto at = page.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::strtod(page.c_str() + at + series.size() + 2, nullptr);
}

// A private Mosquitto broker on a loopback port; stop() and start() keep the port.
class Broker {
 public:
  explicit Broker(const std::filesystem::path& dir) : dir_(dir), port(free_port()) {
    std::ofstream(dir_ / "mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
  }
  bool start() {
    proc_ = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", (dir_ / "mosquitto.conf").string()}, dir_);
    return eventually([&] {
      const int fd = connect_tcp(port);
      if (fd >= 0) ::close(fd);
      return fd >= 0;
    }, 10s);
  }
  void stop() {
    if (proc_) proc_->stop(SIGTERM);
    proc_.reset();
  }
  ~Broker() { stop(); }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<Process> proc_;

 public:
  int port;
};

// mosquitto_sub printing "topic payload" per message (retained ones included) into a file.
class Subscriber {
 public:
  Subscriber(const std::filesystem::path& dir, int port, std::vector<std::string> topics, const std::string& tag = "sub") : dir_(dir / tag) {
    std::vector<std::string> argv = {"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-v", "-k", "5"};
    for (auto& t : topics) {
      argv.push_back("-t");
      argv.push_back(t);
    }
    proc_ = std::make_unique<Process>(argv, dir_);
  }
  std::string text() const { return proc_->stdout_text(); }
  bool saw(const std::string& line) const {
    const std::string all = text();
    return all.starts_with(line) || all.find(std::string(1, '\n').append(line)) != std::string::npos;
  }
  // The payloads received on one topic, in order.
  std::vector<std::string> payloads(const std::string& topic) const {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string l; std::getline(in, l);)
      if (l.rfind(topic + " ", 0) == 0) out.push_back(l.substr(topic.size() + 1));
    return out;
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<Process> proc_;
};

inline void publish(int port, const std::string& topic, const std::string& message) {
  const std::string cmd = "/usr/bin/mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + " -t '" + topic + "' -m '" + message + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// One site: simulated radios on com1..comN, the server on private ports with its console.
class Site {
 public:
  // `stored` adds settings ({"audiodevice1", "1"}).
  Site(const std::string& tag, const std::string& config_text, int radios = 1, std::vector<std::string> extra_env = {},
       const std::vector<std::pair<std::string, std::string>>& stored = {})
      : dir(fresh_temp_dir(tag)), console_port(free_port()) {
    std::filesystem::create_directories(dir / "data" / "ports");
    {
      settings::RegistryStore reg(dir / "data" / "registry");
      settings::SettingsStore s(reg);
      for (int i = 1; i <= 9; ++i) s.savereg("tcpport" + std::to_string(i), std::to_string(free_port()) + "x");
      for (int ch = 2; ch <= radios; ++ch) s.savereg("channel" + std::to_string(ch) + "ena", "1x");
      for (const auto& [name, value] : stored) s.savereg(name, value + "x");
    }
    std::ofstream(dir / "quillon.toml") << config_text;
    std::vector<std::string> sim_args = {kSim, "--display-ms", "300"};
    for (int i = 1; i <= radios; ++i) {
      sim_args.push_back("--link");
      sim_args.push_back((dir / "data" / "ports" / ("com" + std::to_string(i))).string());
    }
    sim = std::make_unique<Process>(sim_args, dir / "sim", std::vector<std::string>{}, true);
    EXPECT_TRUE(eventually([&] { return sim->output().find("ready") != std::string::npos; }, 10s)) << sim->output();
    server = std::make_unique<Process>(
        std::vector<std::string>{QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "127.0.0.1:" + std::to_string(console_port),
                                 "--config", (dir / "quillon.toml").string()},
        dir, extra_env);
  }
  ~Site() {
    server->stop(SIGTERM);
    sim->stop(SIGTERM);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string metrics() { return body_of(http_get(console_port, "/metrics")); }
  // What radio n last heard, as "[cmd][cmd]...".
  std::string heard(int n = 1) {
    const std::string marker = "heard " + std::to_string(n) + ": ";
    auto count = [&] {
      const std::string out = sim->stdout_text();
      std::size_t c = 0;
      for (auto at = out.find(marker); at != std::string::npos; at = out.find(marker, at + 1)) ++c;
      return c;
    };
    const std::size_t before = count();
    sim->say(std::to_string(n) + " heard");
    if (!eventually([&] { return count() > before; }, 5s)) return "";
    const std::string out = sim->stdout_text();
    const auto at = out.rfind(marker) + marker.size();
    return out.substr(at, out.find('\n', at) - at);
  }

  std::filesystem::path dir;
  int console_port;
  std::unique_ptr<Process> sim, server;
};

}  // namespace quillon::test
