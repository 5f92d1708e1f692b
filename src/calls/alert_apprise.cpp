#include "calls/alert_apprise.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace quillon::calls {

namespace {

struct Shared {
  std::mutex mu;
  pid_t pid = 0;
  bool cancelled = false;
};

// Runs the command with its output on a pipe; the answer once it ends or its time runs out.
HttpAnswer run(const std::vector<std::string>& argv, Shared& shared, int seconds) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {0, "", std::string("cannot run apprise: ") + std::strerror(errno)};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, out[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group: a timeout ends whatever it started too.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return {0, "", rc == ENOENT ? "the apprise command is not installed (Debian package apprise)" : std::string("cannot run apprise: ") + std::strerror(rc)};
  }
  {
    std::lock_guard lock(shared.mu);
    shared.pid = pid;
    if (shared.cancelled) ::kill(-pid, SIGKILL);
  }
  std::string said;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool timed_out = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      ::kill(-pid, SIGKILL);
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buf[1024];
    const ssize_t got = ::read(out[0], buf, sizeof buf);
    if (got <= 0) break;
    if (said.size() < 4096) said.append(buf, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(shared.mu);
    shared.pid = 0;
  }
  while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
  if (said.size() > 300) said = said.substr(said.size() - 300);
  if (timed_out) return {0, "", "apprise did not finish within " + std::to_string(seconds) + " s"};
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {200, said, ""};
  return {500, said.empty() ? "apprise ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) : said, ""};
}

class AppriseClient final : public HttpClient {
 public:
  AppriseClient(EventLoop& loop, std::string program, int seconds) : loop_(loop), program_(std::move(program)), seconds_(seconds) {}
  ~AppriseClient() override {
    cancel();
    if (worker_.joinable()) worker_.join();
  }
  void send(const HttpRequest& r, Done done) override {
    cancel();
    if (worker_.joinable()) worker_.join();
    std::vector<std::string> argv{program_};
    for (const auto& [name, value] : r.headers) {
      if (name == "title") argv.insert(argv.end(), {"-t", value});
      if (name == "attach") argv.insert(argv.end(), {"-a", value});
    }
    argv.insert(argv.end(), {"-b", r.body, "--", r.url});
    shared_ = std::make_shared<Shared>();
    const auto gen = ++*gen_;
    worker_ = std::thread([this, argv, shared = shared_, g = gen_, gen, done = std::move(done)]() mutable {
      HttpAnswer a = run(argv, *shared, seconds_);
      // Answered on the loop, unless cancelled meanwhile (the loop then never runs it).
      loop_.post([g, gen, a = std::move(a), done = std::move(done)] {
        if (*g == gen) done(a);
      });
    });
  }
  void cancel() override {
    ++*gen_;
    if (!shared_) return;
    std::lock_guard lock(shared_->mu);
    shared_->cancelled = true;
    if (shared_->pid > 0) ::kill(-shared_->pid, SIGKILL);
  }

 private:
  EventLoop& loop_;
  std::string program_;
  int seconds_;
  std::shared_ptr<std::uint64_t> gen_ = std::make_shared<std::uint64_t>(0);
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<HttpClient> make_apprise_client(EventLoop& loop, std::string program, int seconds) {
  return std::make_unique<AppriseClient>(loop, std::move(program), seconds);
}

bool program_available(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= p.size();) {
    const auto end = std::min(p.find(':', at), p.size());
    const std::string dir = p.substr(at, end - at);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace quillon::calls
