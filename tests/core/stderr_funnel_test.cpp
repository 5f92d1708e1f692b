// Lines other code writes straight to standard error: a run of them is one fault, said once when
// it starts (with its first line) and once when it ends (with the count), and the server's own
// lines still reach the real standard error.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/log.hpp"
#include "core/stderr_funnel.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

TEST(StderrFunnel, ARunOfForeignLinesIsOneFaultSaidAtStartAndEndAndOwnLinesPassThrough) {
  const auto file = std::filesystem::temp_directory_path() / ("quillon-funnel-" + std::to_string(::getpid()) + ".txt");
  const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  ::dup2(out, STDERR_FILENO);  // this test's process only (one process per test)
  std::mutex mu;
  std::vector<std::pair<bool, std::string>> said;
  FaultBook book([&](bool fault, const std::string& line) {
    std::lock_guard lock(mu);
    said.emplace_back(fault, line);
  });
  auto said_at_least = [&](std::size_t n) {
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms)) {
      std::lock_guard lock(mu);
      if (said.size() >= n) return true;
    }
    return false;
  };
  {
    StderrFunnel funnel(book, 300ms);
    ASSERT_TRUE(funnel.ok());
    for (int i = 0; i < 20; ++i) {
      const std::string line = "ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM pulse " + std::to_string(i) + "\n";
      ASSERT_EQ(::write(STDERR_FILENO, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    log::info("own line");
    ASSERT_TRUE(said_at_least(2));
    (void)!::write(STDERR_FILENO, "Cannot connect to server socket\n", 32);  // after the quiet time: a new start
    ASSERT_TRUE(said_at_least(3));
    EXPECT_EQ(book.entries().at(0).starts, 2u);
  }
  std::lock_guard lock(mu);
  ASSERT_EQ(said.size(), 3u);
  EXPECT_TRUE(said[0].first && said[0].second.find("Unknown PCM pulse 0 ") != std::string::npos) << said[0].second;
  EXPECT_TRUE(!said[1].first && said[1].second.find("(19 lines held back)") != std::string::npos) << said[1].second;
  EXPECT_TRUE(said[2].first && said[2].second.find("Cannot connect to server socket") != std::string::npos) << said[2].second;
  std::stringstream real;
  real << std::ifstream(file).rdbuf();
  EXPECT_NE(real.str().find("quillon: own line\n"), std::string::npos) << real.str();
  EXPECT_EQ(real.str().find("Unknown PCM"), std::string::npos) << real.str();
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace quillon
