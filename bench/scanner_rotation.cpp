// Rotation time of each channel's poll cycle against its floor, at 19200 and 9600 baud, with fast
// simulated radios (1 ms latency).
//
// Floor: a query whose reply is on the wire for less than one poller period costs one period;
// the display reply (168 bytes) costs the poller periods that cover its transmit time plus one
// parser period.
//
//   scanner_rotation [--rotations N] [--sim PATH]

#include <cmath>
#include <cstdio>
#include <map>

#include "scanner/channel_table.hpp"
#include "scanner_rig.hpp"

namespace {

using namespace quillon;

// Reply lengths of the simulated radio, carriage return included (the longest variant).
std::size_t reply_bytes(const std::string& query) {
  static const std::map<std::string, std::size_t> bytes = {{"LCD", 168}, {"ST", 9}, {"SQ", 2},  {"SG", 15}, {"MD", 5},
                                                           {"RM", 7},    {"AT", 4}, {"CS", 6},  {"DL", 4}};
  return bytes.at(query);
}

double floor_ms(const scanner::Rotation& rotation, double poller_ms, double parser_ms, int baud) {
  double total = 0;
  for (const auto& step : rotation) {
    if (step.current == 0) continue;  // the entry step is not part of the cycle
    const double tx = static_cast<double>(reply_bytes(step.query)) * 10.0 * 1000.0 / baud;
    total += tx < poller_ms ? poller_ms : std::ceil(tx / poller_ms) * poller_ms + parser_ms;
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  int rotations = 20;
  std::string sim = bench::default_sim_path();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--rotations") rotations = std::max(3, std::atoi(argv[i + 1]));
    if (a == "--sim") sim = argv[i + 1];
  }

  std::printf("%-8s %-7s %10s %10s %8s\n", "baud", "channel", "floor ms", "measured", "ratio");
  for (int baud : {19200, 9600}) {
    bench::LiveServer live(sim, baud);
    Frmserver& f = live.server->form;
    // The moments each channel sent "LCD" (poll step 1).
    std::array<std::vector<TimePoint>, 4> starts;
    f.window.add_observer([&](const ui::Control& c, std::string_view property) {
      if (c.name() == "Label5" && property == "caption" && static_cast<const ui::Label&>(c).caption() == "1")
        starts[static_cast<std::size_t>(c.index())].push_back(Clock::now());
    });
    live.server->start();
    const auto limit = Clock::now() + std::chrono::seconds(10 + rotations);
    auto enough = [&] {
      for (const auto& s : starts)
        if (static_cast<int>(s.size()) < rotations + 3) return false;
      return true;
    };
    while (!enough() && Clock::now() < limit) live.run_for(std::chrono::milliseconds(50));

    for (int n = 1; n <= 4; ++n) {
      const auto& s = starts[static_cast<std::size_t>(n - 1)];
      const auto& w = live.server->scanner.channel(n);
      const double fl = floor_ms(*w.rotation, w.poller->interval(), w.parser->interval(), baud);
      if (s.size() < 4) {
        std::printf("%-8d %-7d %10.1f %10s %8s\n", baud, n, fl, "n/a", "n/a");
        continue;
      }
      // Skip the first rotations (start-up, channel 1's first partial rotation).
      const std::size_t first = 2;
      const double span = std::chrono::duration<double, std::milli>(s.back() - s[first]).count();
      const double measured = span / static_cast<double>(s.size() - 1 - first);
      std::printf("%-8d %-7d %10.1f %10.1f %8.3f\n", baud, n, fl, measured, measured / fl);
    }
  }
  return 0;
}
