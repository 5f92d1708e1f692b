// Serial port autodetect: silences every channel, then asks ports 1 to 8 at each speed for the
// scanner's identification, with real waits that let the other events run.

#include <array>
#include <string>

#include "core/wait.hpp"
#include "scanner/scanner_link.hpp"

namespace quillon {

namespace {

constexpr int kFirstProbePort = 1;
constexpr int kLastProbePort = 8;
constexpr int kProbeSpeeds[3] = {4800, 9600, 19200};

bool contains(const std::string& s, const char* what) { return s.find(what) != std::string::npos; }

}  // namespace

Task ScannerLink::Command11_Click() {
  // One scan at a time: a second one would move the same port object under the first.
  if (scanning_) co_return;
  scanning_ = true;
  for (int n = 1; n <= kChannels; ++n) STOPCOM(n);
  int poort = 1;
  co_await scanserialport(poort);
  scanning_ = false;
}

Task ScannerLink::scanserialport(int& poort) {
  if (poort < 1 || poort > kChannels) co_return;
  SerialPort& p = *f_.comm1[static_cast<std::size_t>(poort - 1)];
  ErrorScope err;
  std::array<int, 11> present{};

  for (int i = kFirstProbePort; i <= kLastProbePort; ++i) {
    present[static_cast<std::size_t>(i)] = 0;
    err.step([&] { p.set_comm_port(i); });
    if (err.step([&] { p.set_port_open(true); })) present[static_cast<std::size_t>(i)] = 1;
    err.step([&] { p.set_port_open(false); });
    err.clear();
  }

  probe_ = ProbeResult{};
  int ports_found = 0;
  for (int i = kFirstProbePort; i <= kLastProbePort; ++i) {
    if (present[static_cast<std::size_t>(i)] != 1) continue;
    std::string model_name;
    for (std::size_t s = 0; s < 3; ++s) {
      std::string reply;
      err.step([&] { p.set_comm_port(i); });
      err.step([&] { p.set_settings(scanner::kLineSettings[s]); });
      err.step([&] { p.set_port_open(true); });
      err.step([&] { p.output("SI\r"); });
      float wait = scanner::kProbeWait;
      co_await wait_seconds(f_.loop(), wait);
      err.step([&] { p.output("SI\r"); });
      wait = scanner::kProbeWait;
      co_await wait_seconds(f_.loop(), wait);
      err.step([&] { reply = p.input(); });

      const int speed = kProbeSpeeds[s];
      if (contains(reply, "BC") && contains(reply, "785")) {
        probe_.port = i;
        probe_.speed = speed;
        probe_.found = true;
        if (speed != 4800) probe_.model = 1;
        model_name = "BC785";
      }
      if (contains(reply, "BC") && contains(reply, "796")) {
        probe_.port = i;
        probe_.speed = speed;
        probe_.found = true;
        if (speed != 4800) probe_.model = 3;
        model_name = "BC796";
      }
      err.step([&] { p.set_port_open(false); });
    }
    // The result is shown, not applied: the operator sets the lists and uses Apply.
    if (probe_.found) {
      ++ports_found;
      f_.List1.add_item(model_name + " on port " + std::to_string(probe_.port) + " at " +
                        std::to_string(probe_.speed) + " baud");
    }
    probe_.found = false;
  }
  if (ports_found == 0) f_.List1.add_item("No scanner found on ports 1 to 8");
}

}  // namespace quillon
