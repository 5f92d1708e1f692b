// CPU time of the server's scanner side with four simulated radios polling at 19200 baud.
//
//   scanner_cpu [--seconds S] [--sim PATH] [--baseline]
//
// 60 s for the full measurement, 10 s by default. --baseline stops every channel's serial side
// (STOPCOM) to measure what the rest of the server's timers cost on their own.

#include <sys/resource.h>

#include <cstdio>

#include "scanner_rig.hpp"

namespace {

double cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system time of another process, from /proc.
double process_cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillon;
  int seconds = 10;
  std::string sim = bench::default_sim_path();
  bool baseline = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--baseline") baseline = true;
    if (a == "--seconds" && i + 1 < argc) seconds = std::max(1, std::atoi(argv[++i]));
    if (a == "--sim" && i + 1 < argc) sim = argv[++i];
  }
  bench::LiveServer live(sim, 19200);
  live.server->start();
  live.run_for(std::chrono::seconds(2));  // warm up: every channel polling
  if (baseline) {
    for (int n = 1; n <= 4; ++n) live.server->scanner.STOPCOM(n);
    live.server->form.Timer2.set_timer_enabled(false);
  }

  std::array<int, 4> ticks{};
  live.server->form.window.add_observer([&](const ui::Control& c, std::string_view property) {
    if (c.name() == "Label5" && property == "caption") ++ticks[static_cast<std::size_t>(c.index())];
  });
  const double cpu0 = cpu_seconds(), sim0 = process_cpu_seconds(live.sim->pid());
  const auto t0 = Clock::now();
  live.run_for(std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu0, sim_cpu = process_cpu_seconds(live.sim->pid()) - sim0;

  std::printf("wall %.1f s, server CPU %.3f s = %.3f %% of one core; simulator CPU %.3f s = %.3f %%\n", wall, cpu,
              100.0 * cpu / wall, sim_cpu, 100.0 * sim_cpu / wall);
  std::printf("queries sent per channel: %d %d %d %d\n", ticks[0], ticks[1], ticks[2], ticks[3]);
  for (int n = 0; n < 4; ++n)
    std::printf("channel %d display: %.20s...\n", n + 1, live.server->form.text5[n].text().c_str());
  return 0;
}
