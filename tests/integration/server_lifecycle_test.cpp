// The real binary: start on an empty data directory, stop on a signal, leave the exit log.

#include <gtest/gtest.h>


#include "support/fakes.hpp"
#include "support/exit_log.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using test::log_messages;

struct Lifecycle : ::testing::TestWithParam<int> {};

TEST_P(Lifecycle, StartsOnAnEmptyDataDirectoryAndStopsCleanlyOnSignal) {
  const int sig = GetParam();
  auto dir = test::fresh_temp_dir("life");
  auto data = dir / "data";  // does not exist yet: the server creates it
  test::Process p({QUILLON_BIN, "--data-dir", data.string(), "--console", "off"}, dir);
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(test::eventually([&] { return p.stderr_text().find("starting") != std::string::npos; }, 20s));
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(p.running()) << p.stderr_text();
  const auto t0 = std::chrono::steady_clock::now();
  p.signal(sig);
  auto code = p.wait_exit(10s);
  ASSERT_TRUE(code.has_value()) << "did not stop";
  EXPECT_EQ(*code, 0) << p.stderr_text();
  // Well within a second on an idle machine; the limit leaves room for a loaded one.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);

  auto msgs = log_messages(data / "exitlog.txt");
  EXPECT_EQ(msgs, test::full_shutdown_log());
  EXPECT_TRUE(std::filesystem::exists(data / "registry" / "hklm.reg"));
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Signals, Lifecycle, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST(Lifecycle, ASecondSignalDuringShutdownDoesNotCutTheSaveShort) {
  auto dir = test::fresh_temp_dir("life2");
  auto data = dir / "data";
  test::Process p({QUILLON_BIN, "--data-dir", data.string(), "--console", "off"}, dir);
  ASSERT_TRUE(test::eventually([&] { return p.stderr_text().find("starting") != std::string::npos; }, 20s));
  std::this_thread::sleep_for(300ms);
  p.signal(SIGTERM);
  p.signal(SIGINT);
  p.signal(SIGTERM);
  ASSERT_EQ(p.wait_exit(10s), 0) << p.stderr_text();
  EXPECT_EQ(log_messages(data / "exitlog.txt"), test::full_shutdown_log());
  std::filesystem::remove_all(dir);
}

// A data directory that cannot be written is no reason to refuse: see hardening_binary_test.
TEST(Lifecycle, RejectsUnknownOptions) {
  auto dir = test::fresh_temp_dir("opts");
  {
    test::Process p({QUILLON_BIN, "--no-such-option"}, dir);
    auto code = p.wait_exit(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
    EXPECT_NE(p.stderr_text().find("unknown option"), std::string::npos);
  }
  {
    test::Process p({QUILLON_BIN, "--version"}, dir);
    EXPECT_EQ(p.wait_exit(20s), 0);
    EXPECT_NE(p.stdout_text().find("1.300"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillon
