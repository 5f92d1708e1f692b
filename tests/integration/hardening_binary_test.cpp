// The real binary as a careless operator and a hostile environment meet it: a started program,
// a vanished reader of standard error, a wide-open umask, a data directory it cannot write.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "console/console_client.hpp"
#include "settings/registry.hpp"
#include "support/exit_log.hpp"
#include "support/fakes.hpp"
#include "support/net.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::eventually;
using test::Process;

// A data directory whose nine ports were free a moment ago; returns channel 1's data port.
int prepare_ports(const fs::path& data) {
  settings::RegistryStore reg(data / "registry");
  settings::SettingsStore s(reg);
  int first = 0;
  for (int i = 1; i <= 9; ++i) {
    const int p = test::free_port();
    if (i == 1) first = p;
    s.savereg("tcpport" + std::to_string(i), std::to_string(p) + "x");
  }
  return first;
}

bool listens(int port) {
  const int fd = test::connect_tcp(port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::set<std::string> open_descriptors(pid_t pid) {
  std::set<std::string> fds;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) fds.insert(e.path().filename().string());
  return fds;
}

unsigned mode_of(const fs::path& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

std::size_t occurrences(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

int console_port(Process& p) {
  const std::string announce = "operator console at http://127.0.0.1:";
  int port = 0;
  eventually([&] {
    const std::string err = p.stderr_text();
    const auto at = err.find(announce);
    if (at != std::string::npos) port = std::atoi(err.c_str() + at + announce.size());
    return port > 0;
  }, 30s);
  return port;
}

// The volume mixer is started while listeners (console, data ports) and connections are open;
// it must get standard input, output and error and nothing else.
TEST(Descriptors, TheStartedMixerProgramHoldsNothingOfTheServers) {
  const fs::path dir = test::fresh_temp_dir("mixer-fds");
  const int data_port = prepare_ports(dir / "data");
  const fs::path pid_file = dir / "mixer.pid";
  const fs::path mixer = dir / "mixer";
  {
    std::ofstream s(mixer);
    s << "#!/bin/sh\necho $$ > " << pid_file.string() << ".tmp\nmv " << pid_file.string() << ".tmp " << pid_file.string()
      << "\nexec sleep 60\n";
  }
  fs::permissions(mixer, fs::perms::owner_all);
  Process p({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "127.0.0.1:0"}, dir,
            {"QUILLON_MIXER=" + mixer.string() + " --capture"});  // the device position follows it
  const int port = console_port(p);
  ASSERT_GT(port, 0) << p.stderr_text();
  ASSERT_TRUE(eventually([&] { return listens(data_port); }, 30s)) << p.stderr_text();
  const int client = test::connect_tcp(data_port);  // a connected data client too
  ASSERT_GE(client, 0);

  test::ConsoleClient c(static_cast<std::uint16_t>(port));
  const auto r = c.action({{"action", "click"}, {"control", "Command13"}, {"index", 0}});
  ASSERT_EQ(r.status, 200) << r.raw;
  pid_t child = 0;
  ASSERT_TRUE(eventually([&] {
    child = std::atoi(Process::slurp(pid_file).c_str());
    return child > 0 && Process::slurp("/proc/" + std::to_string(child) + "/comm") == "sleep\n";
  }, 20s)) << p.stderr_text();
  const auto fds = open_descriptors(child);
  ::kill(child, SIGKILL);
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  // Not only the spawn: every socket the server holds (listeners, console and data connections)
  // is close-on-exec, for any program it may start. (Other descriptors may be inherited from
  // the test runner, not opened by the server.)
  for (const auto& fd : open_descriptors(p.pid())) {
    std::error_code link_ec;
    const std::string target = fs::read_symlink("/proc/" + std::to_string(p.pid()) + "/fd/" + fd, link_ec).string();
    if (target.rfind("socket:", 0) != 0) continue;
    const std::string info = Process::slurp("/proc/" + std::to_string(p.pid()) + "/fdinfo/" + fd);
    const auto at = info.find("flags:");
    if (at == std::string::npos) continue;  // closed meanwhile
    const unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
    EXPECT_TRUE(flags & O_CLOEXEC) << "descriptor " << fd << " of the server is inherited by started programs";
  }
  ::close(client);
  p.stop(SIGTERM);
  fs::remove_all(dir);
}

// Spawns the server with standard error into a pipe whose read end the caller holds.
pid_t spawn_with_stderr_pipe(const std::vector<std::string>& argv, int* read_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  *read_end = fds[0];
  return pid;
}

// A log pipe or terminal that goes away must not cost the shutdown save and the exit log.
TEST(Signals, AVanishedReaderOfStandardErrorDoesNotLoseTheShutdownSave) {
  const fs::path dir = test::fresh_temp_dir("sigpipe");
  const fs::path data = dir / "data";
  const int data_port = prepare_ports(data);
  int err_pipe = -1;
  const pid_t pid = spawn_with_stderr_pipe({QUILLON_BIN, "--data-dir", data.string(), "--console", "off"}, &err_pipe);
  ASSERT_GT(pid, 0);
  // Listening data ports: start-up has run, so the signal handlers are in place.
  const bool up = eventually([&] { return listens(data_port); }, 30s);
  if (!up) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  ASSERT_TRUE(up);
  ::close(err_pipe);                // the reader goes away
  ::kill(pid, SIGTERM);             // its log line is written into the broken pipe
  int status = 0;
  const bool ended = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 20s);
  if (!ended) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "exit " + std::to_string(WEXITSTATUS(status)));
  EXPECT_EQ(test::log_messages(data / "exitlog.txt"), test::full_shutdown_log());
  EXPECT_NE(Process::slurp(data / "registry" / "hklm.reg").find("\"udppacket\"=\"Falsex\""), std::string::npos);
  fs::remove_all(dir);
}

// Under umask 000 the folders and files the server creates are still closed to others, and a
// console token that others can read is refused as ssh refuses such a key.
TEST(Files, CreatedClosedToOthersWhateverTheUmaskAndATokenOthersCanReadIsRefused) {
  const fs::path dir = test::fresh_temp_dir("umask");
  const fs::path data = dir / "fresh" / "data";  // neither exists yet
  const mode_t old = ::umask(0);
  Process p({QUILLON_BIN, "--data-dir", data.string(), "--console", "off"}, dir);
  ::umask(old);
  ASSERT_TRUE(eventually([&] { return p.stderr_text().find("starting") != std::string::npos; }, 20s));
  std::this_thread::sleep_for(500ms);
  p.signal(SIGTERM);
  ASSERT_TRUE(p.wait_exit(20s).has_value());
  for (const auto& d : {dir / "fresh", data, data / "registry", data / "ports"})
    EXPECT_EQ(mode_of(d), 0750u) << d << " mode " << std::oct << mode_of(d);
  for (const auto& f : {data / "registry" / "hklm.reg", data / "exitlog.txt"})
    EXPECT_EQ(mode_of(f), 0640u) << f << " mode " << std::oct << mode_of(f);

  const fs::path token = dir / "console.token";
  std::ofstream(token) << "0123456789abcdef0123456789\n";
  struct Case {
    fs::perms perms;
    std::size_t pad;  // bytes after the token line
    const char* message;
  } cases[] = {
      {fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read, 0, "chmod 600"},
      {fs::perms::owner_read | fs::perms::group_read, 0, "chmod 600"},
      {fs::perms::owner_read | fs::perms::owner_write, 1 << 20, "larger than 4 KiB"},
  };
  for (const auto& k : cases) {
    std::ofstream(token, std::ios::app) << std::string(k.pad, '#');
    fs::permissions(token, k.perms);
    Process t({QUILLON_BIN, "--data-dir", data.string(), "--console", "0.0.0.0:0", "--console-token-file", token.string()}, dir);
    const auto code = t.wait_exit(15s);
    ASSERT_TRUE(code.has_value()) << k.message;
    EXPECT_EQ(*code, 2);
    EXPECT_NE(t.stderr_text().find(k.message), std::string::npos) << t.stderr_text();
  }
  fs::remove_all(dir);
}

// A data directory that cannot be written does not keep the server from running; it says why
// once, and the settings lost at shutdown make the exit status non-zero.
TEST(DataDirectory, NotWritableTheServerRunsSaysWhyOnceAndFailsTheShutdownSave) {
  const fs::path dir = test::fresh_temp_dir("rodata");
  std::ofstream(dir / "a-file") << "x";
  for (const fs::path& data : {dir / "a-file", dir / "a-file" / "data"}) {
    Process p({QUILLON_BIN, "--data-dir", data.string(), "--console", "off"}, dir);
    ASSERT_TRUE(eventually([&] { return p.stderr_text().find("starting") != std::string::npos; }, 20s)) << p.stderr_text();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(p.running()) << p.stderr_text();
    p.signal(SIGTERM);
    const auto code = p.wait_exit(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 1) << p.stderr_text();
    const std::string err = p.stderr_text();
    EXPECT_EQ(occurrences(err, "cannot create data directory " + data.string()), 1u) << err;
    EXPECT_NE(err.find("Not a directory"), std::string::npos) << err;
    EXPECT_NE(err.find("settings not saved: "), std::string::npos) << err;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon
