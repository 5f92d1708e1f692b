// Fan-out: time from channel 1's send tick to the last of its four clients receiving the
// frame, on real loopback TCP with the production event loop and socket layer; and the CPU the
// loop thread uses meanwhile with all four channels switched on and four clients on every data
// port (channel 1 every 100 ms). Radios and audio are test doubles.
// Usage: netdata_fanout [ticks]   (default 600 ticks at 100 ms = 60 s; fewer for a short run)

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstdio>
#include <mutex>
#include <thread>

#include "integration/netdata_tcp_client.hpp"
#include "core/asio_event_loop.hpp"
#include "netdata/asio_socket.hpp"
#include "support/fakes.hpp"

using namespace quillon;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  const int ticks = argc > 1 ? std::max(10, std::atoi(argv[1])) : 600;
  boost::asio::io_context io;
  AsioEventLoop loop(io);
  AsioSocketFactory sockets(loop);
  test::FakePlatform fakes;
  PlatformObjects objects = fakes.objects();
  objects.sockets = &sockets;
  const auto dir = test::fresh_temp_dir("fanout");
  int ports[4];
  Server srv(loop, objects, dir);
  const char* settings[4] = {"tcpport1", "tcpport4", "tcpport6", "tcpport8"};
  for (int k = 0; k < 4; ++k) {
    ports[k] = test::free_port();
    srv.settings.savereg(settings[k], std::to_string(ports[k]) + "x");
  }
  srv.start();
  for (int k = 0; k < 3; ++k) srv.form.Check1[k].set_value(1);  // channels 2 to 4 on
  srv.form.Timer30[0].set_interval(100);

  // The send tick shows the frame in Text10 as its first step.
  std::mutex mu;
  std::vector<Clock::time_point> tick_at;
  srv.form.window.add_observer([&](const ui::Control& c, std::string_view) {
    if (&c == &srv.form.Text10) {
      std::lock_guard lock(mu);
      tick_at.push_back(Clock::now());
    }
  });

  std::atomic<bool> stop{false};
  std::atomic<std::size_t> received_other{0};
  std::vector<std::vector<Clock::time_point>> got(4);
  std::thread readers([&] {
    std::vector<std::unique_ptr<test::TcpClient>> clients;
    for (int k = 0; k < 4; ++k)
      for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<test::TcpClient>(ports[k]));
    while (!stop) {
      for (std::size_t i = 4; i < clients.size(); ++i) {
        clients[i]->poll();
        received_other += clients[i]->received().size();
        clients[i]->received().clear();
      }
      for (std::size_t i = 0; i < 4; ++i) {
        auto& c = *clients[i];
        c.poll();
        // A frame is complete when the data ends in "*n".
        const std::string& r = c.received();
        if (r.size() > 2 && r[r.size() - 2] == '*') {
          std::lock_guard lock(mu);
          got[i].push_back(Clock::now());
          c.received().clear();
        }
      }
      std::this_thread::yield();
    }
  });

  auto thread_cpu = [] {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(ticks * 100 + 1500);
  const double cpu0 = thread_cpu();
  while (Clock::now() < end) io.run_for(std::chrono::milliseconds(50));
  const double cpu = thread_cpu() - cpu0;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  readers.join();

  // Match each tick with the first arrival after it on every client.
  std::vector<double> fan;
  for (auto t : tick_at) {
    Clock::time_point last{};
    bool all = true;
    for (auto& g : got) {
      auto it = std::lower_bound(g.begin(), g.end(), t);
      if (it == g.end() || *it - t > std::chrono::milliseconds(90)) {
        all = false;
        break;
      }
      last = std::max(last, *it);
    }
    if (all) fan.push_back(std::chrono::duration<double, std::micro>(last - t).count());
  }
  std::sort(fan.begin(), fan.end());
  if (fan.empty()) {
    std::printf("no complete fan-out measured\n");
    return 1;
  }
  auto pct = [&](double p) { return fan[std::min(fan.size() - 1, static_cast<std::size_t>(p * static_cast<double>(fan.size())))]; };
  int connected = 0;
  for (int k = 0; k < 4; ++k)
    for (int i = 1; i <= 4; ++i) connected += (*srv.form.winsock[static_cast<std::size_t>(k)])[i].state() == sockstate::connected;
  std::printf("%d clients connected; server loop thread CPU %.2f s in %.1f s = %.2f %% of one core; %zu bytes to channels 2-4\n",
              connected, cpu, wall, 100.0 * cpu / wall, received_other.load());
  std::printf("fan-out to 4 clients over %zu ticks: median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", fan.size(),
              pct(0.5), pct(0.9), pct(0.99), fan.back());
  std::filesystem::remove_all(dir);
  return 0;
}
