// Server CPU with all four channels enabled and four clients on every data port, channel 1
// sending every 100 ms. Runs the real binary.
// Usage: netdata_load [--seconds N] [--bin PATH]   (default 60 s; the binary next to this build)

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "integration/netdata_tcp_client.hpp"
#include "settings/registry.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

using namespace quillon;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), {});
  const auto close = s.rfind(')');
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string default_binary() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "quillon";
  return (std::filesystem::path(std::string(buf, static_cast<std::size_t>(n))).parent_path().parent_path() / "src" / "quillon").string();
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::string bin = default_binary();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--bin") == 0) bin = argv[i + 1];
  }
  const auto dir = test::fresh_temp_dir("load");
  int data_port[4];
  {
    settings::RegistryStore reg(dir / "data" / "registry");
    settings::SettingsStore s(reg);
    for (int i = 1; i <= 9; ++i) {
      const int p = test::free_port();
      if (i == 1) data_port[0] = p;
      if (i == 4) data_port[1] = p;
      if (i == 6) data_port[2] = p;
      if (i == 8) data_port[3] = p;
      s.savereg("tcpport" + std::to_string(i), std::to_string(p) + "x");
    }
    for (const char* ena : {"channel2ena", "channel3ena", "channel4ena"}) s.savereg(ena, "1x");
  }
  test::Process server({bin, "--data-dir", (dir / "data").string()}, dir);
  if (!test::eventually([&] { return test::TcpClient(data_port[0]).connected(); }, 30s)) {
    std::fprintf(stderr, "server did not listen: %s\n", server.stderr_text().c_str());
    return 1;
  }
  std::this_thread::sleep_for(500ms);

  std::vector<std::pair<int, std::unique_ptr<test::TcpClient>>> clients;
  for (int k = 0; k < 4; ++k)
    for (int i = 0; i < 4; ++i) {
      auto c = std::make_unique<test::TcpClient>(data_port[k]);
      if (c->connected()) clients.emplace_back(k + 1, std::move(c));
    }
  std::map<int, int> per_channel;
  for (auto& [k, c] : clients) ++per_channel[k];
  clients.front().second->send_all("SET DELAY7A=100#");
  std::this_thread::sleep_for(1500ms);

  const double cpu0 = cpu_seconds(server.pid());
  const auto t0 = Clock::now();
  std::map<int, std::size_t> bytes;
  std::vector<pollfd> fds;
  while (Clock::now() - t0 < std::chrono::seconds(seconds)) {
    std::this_thread::sleep_for(20ms);
    for (auto& [k, c] : clients) {
      c->poll();
      bytes[k] += c->received().size();
      c->received().clear();
    }
  }
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = cpu_seconds(server.pid()) - cpu0;
  std::printf("%d s, clients per channel:", seconds);
  for (int k = 1; k <= 4; ++k) std::printf(" %d", per_channel[k]);
  std::printf("\nserver CPU %.2f s in %.1f s wall = %.2f %% of one core; VmRSS %ld KiB\n", cpu, wall, 100.0 * cpu / wall,
              rss_kib(server.pid()));
  for (int k = 1; k <= 4; ++k)
    std::printf("channel %d: %.0f bytes/s per client\n", k, per_channel[k] ? static_cast<double>(bytes[k]) / wall / per_channel[k] : 0.0);
  server.signal(SIGTERM);
  server.wait_exit(10s);
  std::filesystem::remove_all(dir);
  return 0;
}
