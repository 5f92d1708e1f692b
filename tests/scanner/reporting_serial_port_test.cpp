#include <gtest/gtest.h>

#include "scanner/reporting_serial_port.hpp"
#include "support/fakes.hpp"

namespace quillon {
namespace {

TEST(ReportingSerialPort, ReportsAFailureOnceAndTheRecovery) {
  test::FakeSerialPort fake;
  fake.present = {};
  std::vector<std::string> lines;
  ReportingSerialPort port(fake, "channel 1", [&](const std::string& s) { lines.push_back(s); });
  port.set_comm_port(3);
  for (int retry = 0; retry < 5; ++retry) {
    try {
      port.set_port_open(true);
      FAIL() << "opened a missing port";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), errc::port_not_available);  // passed on unchanged
    }
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("channel 1 (port 3) cannot be opened"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("8002"), std::string::npos);

  fake.held_elsewhere = {3};
  fake.present = {3};
  EXPECT_THROW(port.set_port_open(true), Error);
  ASSERT_EQ(lines.size(), 2u);  // a different failure is news
  EXPECT_NE(lines[1].find("8005"), std::string::npos);

  fake.held_elsewhere.clear();
  port.set_port_open(true);
  EXPECT_TRUE(port.port_open());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "channel 1 (port 3) open");
  port.set_port_open(false);
  port.set_port_open(true);
  EXPECT_EQ(lines.size(), 3u);  // a plain reopen is not news
}

}  // namespace
}  // namespace quillon
