// Lines other code writes straight to standard error: a run of them is one fault, said once
// when it starts (with its first line) and once when it ends (with the count), while the
// server's own lines still reach the real standard error.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
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
  // The real standard error of this test goes to a file for the time of the test.
  const auto file = std::filesystem::temp_directory_path() / ("quillon-funnel-" + std::to_string(::getpid()) + ".txt");
  const int saved = ::dup(STDERR_FILENO);
  const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  ::dup2(out, STDERR_FILENO);

  std::mutex mu;
  std::vector<std::pair<bool, std::string>> said;
  FaultBook book([&](bool fault, const std::string& line) {
    std::lock_guard lock(mu);
    said.emplace_back(fault, line);
  });
  auto count = [&] {
    std::lock_guard lock(mu);
    return said.size();
  };
  auto wait_for = [&](std::size_t n) {
    for (int i = 0; i < 500 && count() < n; ++i) std::this_thread::sleep_for(10ms);
    return count() >= n;
  };
  {
    StderrFunnel funnel(book, 300ms);
    ASSERT_TRUE(funnel.ok());
    for (int i = 0; i < 20; ++i) {
      const std::string line = "ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM pulse " + std::to_string(i) + "\n";
      ASSERT_EQ(::write(STDERR_FILENO, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    log::info("own line");
    ASSERT_TRUE(wait_for(2));
    // It starts again with the next complaint after the quiet time.
    (void)!::write(STDERR_FILENO, "Cannot connect to server socket\n", 32);
    ASSERT_TRUE(wait_for(3));
    EXPECT_EQ(funnel.lines(), 21u);
    const auto entries = book.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].kind, "sound_library");
    EXPECT_EQ(entries[0].starts, 2u);
  }
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(out);

  std::lock_guard lock(mu);
  ASSERT_GE(said.size(), 3u);
  EXPECT_TRUE(said[0].first);
  EXPECT_NE(said[0].second.find("Unknown PCM pulse 0 "), std::string::npos) << said[0].second;
  EXPECT_FALSE(said[1].first);
  EXPECT_NE(said[1].second.find("(19 lines held back)"), std::string::npos) << said[1].second;
  EXPECT_TRUE(said[2].first);
  EXPECT_NE(said[2].second.find("Cannot connect to server socket"), std::string::npos) << said[2].second;
  std::stringstream real;
  real << std::ifstream(file).rdbuf();
  EXPECT_NE(real.str().find("quillon: own line\n"), std::string::npos) << real.str();
  EXPECT_EQ(real.str().find("Unknown PCM"), std::string::npos) << real.str();
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace quillon
