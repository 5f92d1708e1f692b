// The metrics page of the real binary: valid Prometheus text, under the console's access rules,
// and counters that follow what the simulated radio does.

#include <gtest/gtest.h>

#include "fleet/fleet_support.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using test::sample;

TEST(Metrics, APageThatPromtoolAcceptsAndASilenceMovesItsCounter) {
  test::Site site("metrics", "[site]\nname = \"metrics-site\"\n");
  std::string page;
  // Rotations and bytes grow while the radio answers.
  ASSERT_TRUE(test::eventually([&] {
    page = site.metrics();
    return sample(page, "quillon_poll_rotations_total{channel=\"1\"}") >= 3;
  }, 30s)) << page << site.server->stderr_text();
  EXPECT_GT(sample(page, "quillon_serial_received_bytes_total{channel=\"1\"}"), 100);
  EXPECT_GT(sample(page, "quillon_serial_sent_bytes_total{channel=\"1\"}"), 10);
  EXPECT_GE(sample(page, "quillon_serial_open_attempts_total{channel=\"1\"}"), 1);
  EXPECT_EQ(sample(page, "quillon_serial_silences_total{channel=\"1\"}"), 0);
  EXPECT_EQ(sample(page, "quillon_channel_enabled{channel=\"1\"}"), 1);
  EXPECT_EQ(sample(page, "quillon_channel_enabled{channel=\"2\"}"), 0);
  EXPECT_GT(sample(page, "process_resident_memory_bytes"), 1e6);
  EXPECT_GT(sample(page, "process_open_fds"), 3);
  EXPECT_GT(sample(page, "process_start_time_seconds"), 1.6e9);
  EXPECT_EQ(page.find("quillon_mqtt_connected"), std::string::npos);  // no broker configured

  if (test::have("promtool")) {
    std::ofstream(site.dir / "page.txt") << page;
    const std::string cmd = "promtool check metrics < " + (site.dir / "page.txt").string() + " > " + (site.dir / "promtool.txt").string() + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << test::Process::slurp(site.dir / "promtool.txt");
  } else {
    std::cout << "promtool not installed (Debian package prometheus): format check skipped\n";
  }

  // The same access rules as the rest of the console: a foreign Host is refused.
  EXPECT_NE(test::http_get(site.console_port, "/metrics", "example.com").find(" 403 "), std::string::npos);

  // The radio stops answering: the watchdog fires and its counter moves, with the reopens.
  const double opens = sample(page, "quillon_serial_open_attempts_total{channel=\"1\"}");
  site.sim->say("1 silent on");
  ASSERT_TRUE(test::eventually([&] {
    page = site.metrics();
    return sample(page, "quillon_serial_silences_total{channel=\"1\"}") >= 2;
  }, 30s)) << page;
  EXPECT_GT(sample(page, "quillon_serial_open_attempts_total{channel=\"1\"}"), opens);
  EXPECT_EQ(sample(page, "quillon_serial_silences_total{channel=\"3\"}"), 0);
}

}  // namespace
}  // namespace quillon
