#pragma once
// Shared by the scanner benchmarks: the server in process on the production loop, its four
// channel ports on the termios adapter, polling simulated radios (quillon-scanner-sim).

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/server.hpp"
#include "core/asio_event_loop.hpp"
#include "scanner/linux_serial_port.hpp"
#include "support/fakes.hpp"

namespace quillon::bench {

namespace fs = std::filesystem;

inline std::string default_sim_path() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "tools/scanner-sim/quillon-scanner-sim").string();
}

class SimProcess {
 public:
  SimProcess(const std::string& exe, const std::vector<std::string>& args, const fs::path& log) : log_(log) {
    std::fflush(stdout);  // the child must not print our buffered output again
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<std::string> argv{exe};
      argv.insert(argv.end(), args.begin(), args.end());
      std::vector<char*> p;
      for (auto& a : argv) p.push_back(a.data());
      p.push_back(nullptr);
      std::freopen("/dev/null", "r", stdin);
      std::freopen(log.c_str(), "w", stdout);
      ::execv(exe.c_str(), p.data());
      ::_exit(127);
    }
    for (int i = 0; i < 500 && text().find("ready") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~SimProcess() {
    ::kill(pid_, SIGTERM);
    int st = 0;
    ::waitpid(pid_, &st, 0);
  }
  std::string text() const {
    std::ifstream f(log_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  pid_t pid() const { return pid_; }

 private:
  fs::path log_;
  pid_t pid_ = -1;
};

// Speed list position of a line speed.
inline const char* speed_position(int baud) { return baud == 4800 ? "0x" : baud == 9600 ? "1x" : "2x"; }

struct LiveServer {
  fs::path dir = test::fresh_temp_dir("scanner-bench");
  boost::asio::io_context io;
  AsioEventLoop loop{io};
  test::FakePlatform fakes;
  std::vector<std::unique_ptr<LinuxSerialPort>> ports;
  std::unique_ptr<Server> server;
  std::unique_ptr<SimProcess> sim;

  LiveServer(const std::string& sim_exe, int baud) {
    fs::create_directories(dir / "ports");
    std::vector<std::string> args = {"--display-ms", "1000"};
    for (int n = 1; n <= 4; ++n) {
      for (std::string a : {std::string("--link"), (dir / "ports" / ("com" + std::to_string(n))).string(),
                            std::string("--baud"), std::to_string(baud), std::string("--latency"), std::string("1")})
        args.push_back(a);
    }
    sim = std::make_unique<SimProcess>(sim_exe, args, dir / "sim.log");
    PlatformObjects p = fakes.objects();
    for (std::size_t k = 0; k < 4; ++k) {
      ports.push_back(std::make_unique<LinuxSerialPort>(dir / "ports", loop));
      p.comm1[k] = ports.back().get();
    }
    server = std::make_unique<Server>(loop, p, dir);
    for (const char* s : {"baudrate", "baudrate2", "baudrate3", "baudrate4"}) server->settings.savereg(s, speed_position(baud));
    for (const char* s : {"channel2ena", "channel3ena", "channel4ena"}) server->settings.savereg(s, "1x");
  }
  ~LiveServer() {
    server.reset();
    ports.clear();
    sim.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  void run_for(std::chrono::milliseconds d) {
    io.restart();
    io.run_for(d);
  }
};

}  // namespace quillon::bench
