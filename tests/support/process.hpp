#pragma once
// Runs a real program for integration tests: started with posix_spawn, its output captured in
// files, stopped with a signal, waited for with a time limit. The destructor kills what is left.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quillon::test {

class Process {
 public:
  // argv[0] is the program path. extra_env entries are "NAME=value". With pipe_stdin the
  // program reads what say() writes.
  Process(std::vector<std::string> argv, const std::filesystem::path& output_dir,
          std::vector<std::string> extra_env = {}, bool pipe_stdin = false)
      : out_(output_dir / (std::filesystem::path(argv[0]).filename().string() + ".out")),
        err_(output_dir / (std::filesystem::path(argv[0]).filename().string() + ".err")) {
    std::filesystem::create_directories(output_dir);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int fds[2] = {-1, -1};
    if (pipe_stdin && ::pipe2(fds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&fa, fds[0], 0);
      in_ = fds[1];
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Nothing else: a test run beside others may hold the runner's descriptors, and a program
    // under test starts with only its three, as a service manager starts it.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
    for (auto& e : extra_env) env_store.push_back(e);
    std::vector<char*> env;
    for (auto& e : env_store) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (fds[0] >= 0) ::close(fds[0]);
  }
  ~Process() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      wait_exit(std::chrono::seconds(10));
    }
    if (in_ >= 0) ::close(in_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  bool running() {
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) status_ = st;
    return !status_;
  }
  void signal(int sig) {
    if (running()) ::kill(pid_, sig);
  }
  // The exit code (128+signal when killed), or nothing if still running after `limit`.
  std::optional<int> wait_exit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!status_) return std::nullopt;
    return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
  }
  std::string stdout_text() const { return slurp(out_); }
  std::string stderr_text() const { return slurp(err_); }
  std::string output() const { return stdout_text() + stderr_text(); }
  // Writes one line to the program's standard input (see pipe_stdin).
  void say(const std::string& line) {
    const std::string l = line + "\n";
    if (in_ >= 0) (void)!::write(in_, l.data(), l.size());
  }
  // Signals the program and waits for it; kills it if it does not end within 5 s.
  void stop(int sig) {
    signal(sig);
    if (!wait_exit(std::chrono::seconds(5))) {
      signal(SIGKILL);
      wait_exit(std::chrono::seconds(10));
    }
  }

  static std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  std::optional<int> status_;
  std::filesystem::path out_, err_;
};

// Polls `cond` every 20 ms until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

}  // namespace quillon::test
