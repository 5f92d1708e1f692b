// The real server binary with real TCP clients on channel 1's data port.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

#include "integration/netdata_tcp_client.hpp"
#include "settings/registry.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

#ifndef QUILLON_BIN
#error "QUILLON_BIN must name the server binary"
#endif

namespace quillon {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;
using Clock = std::chrono::steady_clock;

// Polls cond every few milliseconds (calling tick first) until it holds or the time is up.
template <class C, class T>
bool wait_for(C cond, T tick, std::chrono::milliseconds timeout = 20s) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    tick();
    if (cond()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

std::size_t count(const std::string& s, std::string_view what) {
  std::size_t n = 0;
  for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + what.size())) ++n;
  return n;
}

// One server process with its own data directory and free ports.
class ServerProcess {
 public:
  ServerProcess() : dir_(test::fresh_temp_dir("netdata-it")) {
    {
      settings::RegistryStore reg(dir_ / "data" / "registry");
      settings::SettingsStore s(reg);
      for (int i = 1; i <= 9; ++i) {
        const int p = test::free_port();
        if (i == 1) port = p;
        s.savereg("tcpport" + std::to_string(i), std::to_string(p) + "x");
      }
    }
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer holds freed blocks in a quarantine (256 MiB by default) before reuse,
    // which would show as resident memory growth; keep it small for the server.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("quarantine_size_mb") == std::string::npos) {
      asan += std::string(asan.empty() ? "" : ":") + "quarantine_size_mb=4";
      ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
#endif
    proc_ = std::make_unique<test::Process>(std::vector<std::string>{QUILLON_BIN, "--data-dir", (dir_ / "data").string(), "--console", "off"}, dir_);
  }
  ~ServerProcess() {
    proc_->signal(SIGTERM);
    proc_->wait_exit(10s);
    proc_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // True once the data port takes connections.
  bool wait_listening() {
    return wait_for([&] { return TcpClient(port).connected(); }, [] {}, 30s);
  }
  long rss_kib() const {
    std::ifstream in("/proc/" + std::to_string(proc_->pid()) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
  }
  std::string log() const { return proc_->stderr_text(); }

  int port = 0;

 private:
  std::filesystem::path dir_;
  std::unique_ptr<test::Process> proc_;
};

TEST(DataPortBinary, FourClientsGetFramesAtThePeriodAFifthIsRefusedUntilASlotFrees) {
  ServerProcess srv;
  ASSERT_TRUE(srv.wait_listening());
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<TcpClient>(srv.port));
    ASSERT_TRUE(clients.back()->connected());
  }
  auto poll_all = [&] {
    for (auto& c : clients) c->poll();
  };
  // Every client gets frames with its own slot number.
  ASSERT_TRUE(wait_for([&] {
    for (auto& c : clients) if (count(c->received(), "UDP:False*") == 0) return false;
    return true;
  }, poll_all));
  std::set<std::string> slots;
  for (auto& c : clients) slots.insert(c->received().substr(c->received().rfind('*')));
  EXPECT_EQ(slots, (std::set<std::string>{"*1", "*2", "*3", "*4"}));

  // At the channel's period of 1000 ms: three more frames take about three seconds.
  const auto start = Clock::now();
  const std::size_t before = count(clients[0]->received(), "UDP:False*");
  ASSERT_TRUE(wait_for([&] { return count(clients[0]->received(), "UDP:False*") >= before + 3; }, poll_all));
  const auto took = Clock::now() - start;
  EXPECT_GT(took, 1900ms);
  EXPECT_LT(took, 6000ms);

  TcpClient fifth(srv.port);
  ASSERT_TRUE(fifth.connected());
  ASSERT_TRUE(wait_for([&] { return fifth.ended(); }, [&] { fifth.poll(); }, 10s));
  EXPECT_EQ(fifth.received(), "");

  // The client in slot 2 leaves; the next one gets slot 2.
  for (auto& c : clients)
    if (c->received().ends_with("*2")) c->close();
  TcpClient next(srv.port);
  ASSERT_TRUE(wait_for([&] { return count(next.received(), "UDP:False*") > 0 || next.ended(); }, [&] { next.poll(); }));
  EXPECT_TRUE(next.received().ends_with("UDP:False*2")) << next.received();
}

TEST(DataPortBinary, VersionQueryAndSendPeriod) {
  ServerProcess srv;
  ASSERT_TRUE(srv.wait_listening());
  TcpClient c(srv.port);
  ASSERT_TRUE(c.send_all("GET VER?#"));
  ASSERT_TRUE(wait_for([&] { return c.received().find("?VER=1.21") != std::string::npos; }, [&] { c.poll(); }));

  ASSERT_TRUE(c.send_all("SET DELAY7A=100#"));
  ASSERT_TRUE(wait_for([&] { return c.received().find("NetsendT1:100\r\n") != std::string::npos; }, [&] { c.poll(); }));
  c.received().clear();
  const auto start = Clock::now();
  wait_for([] { return false; }, [&] { c.poll(); }, 2000ms);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double frames = static_cast<double>(count(c.received(), "UDP:False*"));
  EXPECT_GT(frames, seconds * 10 * 0.5);  // about ten a second
  EXPECT_LT(frames, seconds * 10 * 1.5);
}

// Growth allowed while a client floods the server (see ServerProcess for AddressSanitizer).
constexpr long kRssGrowthLimitKib = 16 * 1024;

TEST(DataPortBinary, StalledAndFloodingClientsDisturbNeitherOthersNorMemory) {
  ServerProcess srv;
  ASSERT_TRUE(srv.wait_listening());
  TcpClient reader(srv.port);
  ASSERT_TRUE(reader.send_all("SET DELAY7A=100#"));
  TcpClient stalled(srv.port, 4096);  // never reads
  TcpClient flooder(srv.port);
  ASSERT_TRUE(wait_for([&] { return reader.received().find("NetsendT1:100\r\n") != std::string::npos; }, [&] { reader.poll(); }));
  const long rss_before = srv.rss_kib();
  ASSERT_GT(rss_before, 0);

  // For four seconds: one client sends as fast as it can, text without any command in it.
  const std::string junk(1 << 20, 'z');
  const std::string_view rest(junk);
  std::size_t flooded = 0;
  reader.received().clear();
  const auto start = Clock::now();
  wait_for([] { return false; },
           [&] {
             flooded += flooder.send_some(rest.substr(flooded % junk.size()));
             reader.poll();
           },
           4000ms);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long rss_after = srv.rss_kib();
  const double frames = static_cast<double>(count(reader.received(), "UDP:False*"));
  std::cout << "server VmRSS " << rss_before << " -> " << rss_after << " KiB while " << (flooded >> 20)
            << " MiB arrived in " << seconds << " s; " << frames << " frames to the reading client\n";
  EXPECT_GT(flooded, 8u << 20) << "the flood did not get going";
  EXPECT_GT(frames, seconds * 10 * 0.5) << "the reading client was held up";
  EXPECT_LT(rss_after - rss_before, kRssGrowthLimitKib) << "server memory grew from " << rss_before << " to " << rss_after << " KiB";
  // The server still takes commands afterwards. Each arrival replaces the channel's receive
  // buffer, so a command that lands while the flood's backlog is still being read is lost:
  // ask again until answered.
  auto asked = Clock::now() - 1h;
  ASSERT_TRUE(wait_for([&] { return reader.received().find("?VER=1.21") != std::string::npos; },
                       [&] {
                         if (Clock::now() - asked > 1s) {
                           reader.send_all("GET VER?#");
                           asked = Clock::now();
                         }
                         reader.poll();
                       }));
}

}  // namespace
}  // namespace quillon
