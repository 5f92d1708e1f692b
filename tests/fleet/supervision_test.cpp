// The real binary under a service manager: notifications over a datagram socket in the order
// systemd needs them, journal priorities on standard error, and the same binary without systemd.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <fstream>

#include "support/fakes.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

// A unix datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval tv{0, 200000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() { ::close(fd_); }
  bool bound() const { return bound_; }
  // Every message received until `until` holds or the time is up, in arrival order.
  void collect(std::vector<std::string>& out, const std::function<bool()>& until, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (!until() && std::chrono::steady_clock::now() < end) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) out.emplace_back(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

bool has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }
std::ptrdiff_t index_of(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) - v.begin();
}

TEST(Supervision, ReadyWatchdogAndStoppingReachTheServiceManagerInOrder) {
  auto dir = test::fresh_temp_dir("notify");
  NotifySocket sock(dir / "notify.sock");
  ASSERT_TRUE(sock.bound());
  // Standard error is the "journal stream": the test names the file the server will write to.
  std::ofstream(dir / "quillon.err").flush();
  struct stat st {};
  ASSERT_EQ(::stat((dir / "quillon.err").c_str(), &st), 0);
  const std::string journal = "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);

  test::Process p({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "off"}, dir,
                  {"NOTIFY_SOCKET=" + (dir / "notify.sock").string(), "WATCHDOG_USEC=200000", journal});
  ASSERT_TRUE(p.started());
  std::vector<std::string> msgs;
  // Several pings after READY=1: they come from the running loop, not from start-up alone.
  sock.collect(msgs, [&] { return std::count(msgs.begin(), msgs.end(), "WATCHDOG=1") >= 3; }, 30s);
  ASSERT_TRUE(has(msgs, "READY=1")) << p.stderr_text();
  EXPECT_LT(index_of(msgs, "READY=1"), index_of(msgs, "WATCHDOG=1"));
  EXPECT_GE(std::count(msgs.begin(), msgs.end(), "WATCHDOG=1"), 3);
  EXPECT_FALSE(has(msgs, "STOPPING=1"));

  p.signal(SIGTERM);
  sock.collect(msgs, [&] { return has(msgs, "STOPPING=1"); }, 20s);
  EXPECT_EQ(p.wait_exit(20s), 0);
  ASSERT_TRUE(has(msgs, "STOPPING=1"));
  EXPECT_LT(index_of(msgs, "READY=1"), index_of(msgs, "STOPPING=1"));
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "READY=1"), 1);

  const std::string err = p.stderr_text();
  EXPECT_NE(err.find("<6>quillon: starting"), std::string::npos) << err;
  EXPECT_NE(err.find("<6>quillon: stopped"), std::string::npos) << err;
  std::filesystem::remove_all(dir);
}

TEST(Supervision, WithoutAServiceManagerThePlainServerRunsAndTheLogLevelFilters) {
  auto dir = test::fresh_temp_dir("plain");
  test::Process p({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "off", "--log-level", "warning"}, dir);
  ASSERT_TRUE(test::eventually([&] { return std::filesystem::exists(dir / "data"); }, 30s));
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(p.running()) << p.stderr_text();
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(20s), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "data" / "registry" / "hklm.reg"));  // the full close ran
  // Info lines are below the level; nothing carries a priority prefix.
  EXPECT_EQ(p.stderr_text().find("starting"), std::string::npos) << p.stderr_text();
  EXPECT_EQ(p.stderr_text().find("<"), std::string::npos) << p.stderr_text();

  test::Process bad({QUILLON_BIN, "--log-level", "loud"}, dir);
  EXPECT_EQ(bad.wait_exit(20s), 2);
  EXPECT_NE(bad.stderr_text().find("--log-level loud"), std::string::npos);
  std::filesystem::remove_all(dir);
}

// The shipped unit passes systemd's own checks and keeps its hardening (exposure under 3).
TEST(Supervision, TheUnitVerifiesAndIsHardened) {
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze not installed";
  auto dir = test::fresh_temp_dir("unit");
  std::string unit = test::Process::slurp(std::filesystem::path(QUILLON_SOURCE_DIR) / "packaging" / "quillon.service");
  ASSERT_NE(unit.find("ExecStart=/usr/bin/quillon "), std::string::npos);
  // The check looks for the program: point it at this build's binary.
  unit.replace(unit.find("/usr/bin/quillon "), std::string("/usr/bin/quillon").size(), QUILLON_BIN);
  std::ofstream(dir / "quillon.service") << unit;
  const std::string out = (dir / "out.txt").string();
  EXPECT_EQ(std::system(("systemd-analyze verify --man=no " + (dir / "quillon.service").string() + " > " + out + " 2>&1").c_str()), 0)
      << test::Process::slurp(out);
  EXPECT_EQ(test::Process::slurp(out), "");
  ASSERT_EQ(std::system(("systemd-analyze security --offline=true --no-pager " + (dir / "quillon.service").string() + " > " + out + " 2>&1").c_str()), 0)
      << test::Process::slurp(out);
  const std::string report = test::Process::slurp(out);
  const auto at = report.find("Overall exposure level for quillon.service: ");
  ASSERT_NE(at, std::string::npos) << report;
  const double score = std::strtod(report.c_str() + at + std::string("Overall exposure level for quillon.service: ").size(), nullptr);
  EXPECT_LT(score, 3.0) << report;
  EXPECT_GT(score, 0.0) << report;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillon
