// The console of the real binary: drive the window over HTTP, stop the server, find the typed
// value in the saved settings.
#include <gtest/gtest.h>


#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "console/console_client.hpp"
#include "support/net.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace asio = boost::asio;

fs::path temp_dir() {
  char tmpl[] = "/tmp/quillon-console-XXXXXX";
  return ::mkdtemp(tmpl);
}

// The port from "operator console at http://127.0.0.1:PORT/" on standard error; 0 when the
// server did not announce one in time.
std::uint16_t console_port(test::Process& p, const std::string& scheme = "http") {
  const std::string announce = "operator console at " + scheme + "://127.0.0.1:";
  int port_number = 0;
  test::eventually([&] {
    const std::string err = p.stderr_text();
    const auto at = err.find(announce);
    if (at == std::string::npos) return false;
    port_number = std::atoi(err.c_str() + at + announce.size());
    return true;
  }, 30s);
  return static_cast<std::uint16_t>(port_number);
}

TEST(ConsoleBinary, TypedTextIsSavedAtShutdown) {
  const fs::path dir = temp_dir();
  test::Process p({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "127.0.0.1:0"}, dir);
  ASSERT_TRUE(p.started());
  const auto port = console_port(p);
  ASSERT_GT(port, 0) << p.stderr_text();

  test::ConsoleClient c(port);
  const auto win = c.get("/api/window");
  ASSERT_EQ(win.status, 200) << win.raw;
  EXPECT_EQ(win.body["caption"], "Varnilo - Quillon 1.300 Beta");
  const auto r = c.action({{"action", "set_text"}, {"control", "Text11"}, {"index", 0}, {"text", "North Site"}});
  ASSERT_EQ(r.status, 200) << r.raw;

  p.signal(SIGTERM);
  ASSERT_EQ(p.wait_exit(20s), 0) << p.stderr_text();
  const std::string hive = test::Process::slurp(dir / "data" / "registry" / "hklm.reg");
  EXPECT_NE(hive.find("\"serverID1\"=\"North Sitex\"\r\n"), std::string::npos) << hive;
  fs::remove_all(dir);
}

// File / Exit from the console closes the server as the window's Exit does, and every open
// event stream is told before it ends.
TEST(ConsoleBinary, ExitFromTheConsoleStopsTheServerAndTellsEveryStream) {
  const fs::path dir = temp_dir();
  test::Process p({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "127.0.0.1:0"}, dir);
  const auto port = console_port(p);
  ASSERT_GT(port, 0) << p.stderr_text();
  test::EventStream a(port), b(port);
  ASSERT_TRUE(a.next());
  ASSERT_TRUE(b.next());
  test::ConsoleClient c(port);
  const auto r = c.action({{"action", "click"}, {"control", "mnu_exit"}});
  EXPECT_EQ(r.status, 200) << r.raw;
  for (auto* ws : {&a, &b}) EXPECT_TRUE(ws->wait_for([](const test::json& m) { return m["type"] == "stopped"; }));
  EXPECT_EQ(p.wait_exit(20s), 0) << p.stderr_text();
  const std::string log = test::Process::slurp(dir / "data" / "exitlog.txt");
  EXPECT_NE(log.find("queryonload"), std::string::npos) << log;
  EXPECT_NE(log.find("unload-complete"), std::string::npos) << log;
  fs::remove_all(dir);
}

// --- Hostile and clumsy clients ----------------------------------------------------------------

// A server with its console on a free loopback port.
struct ConsoleServerProcess {
  ConsoleServerProcess() : dir(temp_dir()) {
    process = std::make_unique<test::Process>(
        std::vector<std::string>{QUILLON_BIN, "--console", "127.0.0.1:0", "--data-dir", (dir / "data").string()}, dir);
    port = console_port(*process);
  }
  ~ConsoleServerProcess() {
    process.reset();
    fs::remove_all(dir);
  }
  // GET /api/window on a fresh connection, given at most `limit` to answer (0: no answer).
  int status_within(std::chrono::seconds limit) {
    auto answer = std::async(std::launch::async, [p = port] {
      try {
        return test::ConsoleClient(p).get("/api/window").status;
      } catch (const std::exception&) {
        return -1;
      }
    });
    if (answer.wait_for(limit) != std::future_status::ready) return 0;
    return answer.get();
  }
  // Descriptors the server holds now.
  std::size_t descriptors() const {
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(process->pid()) + "/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
    return n;
  }
  // Processor time (user + system) the server has used so far.
  std::chrono::milliseconds cpu_time() const {
    std::string stat = test::Process::slurp("/proc/" + std::to_string(process->pid()) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
      if (i == 14 || i == 15) ticks += std::stol(field);
    return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
  }

  fs::path dir;
  std::unique_ptr<test::Process> process;
  std::uint16_t port = 0;
};

// A raw connection to the console.
struct RawConnection {
  // From `source` (a loopback address) when one is given.
  explicit RawConnection(asio::io_context& io, std::uint16_t port, const std::string& source = "") : socket(io) {
    boost::system::error_code ec;
    if (!source.empty()) {
      socket.open(test::tcp::v4(), ec);
      if (!ec) socket.bind(test::tcp::endpoint(asio::ip::make_address(source), 0), ec);
    }
    if (!ec) socket.connect(test::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
    ok = !ec;
  }
  bool send(const std::string& bytes) {
    boost::system::error_code ec;
    asio::write(socket, asio::buffer(bytes), ec);
    return !ec;
  }
  // What the server sent until it closed the connection or `limit` passed.
  std::string read_for(std::chrono::milliseconds limit) { return read_until_closed_or(limit, false); }
  // The answer's head, as soon as it is whole (a connection kept open is not waited out).
  std::string read_head(std::chrono::milliseconds limit) { return read_until_closed_or(limit, true); }
  std::string read_until_closed_or(std::chrono::milliseconds limit, bool head_only) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    socket.non_blocking(true);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end && !(head_only && got.find("\r\n\r\n") != std::string::npos)) {
      boost::system::error_code ec;
      const auto n = socket.read_some(asio::buffer(buf), ec);
      if (ec == asio::error::would_block) {
        std::this_thread::sleep_for(10ms);
        continue;
      }
      if (ec) break;
      got.append(buf, n);
    }
    return got;
  }
  test::tcp::socket socket;
  bool ok = false;
};

// 200 connections that trickle their request headers a byte at a time, as a slow-read attack
// does, cannot keep an operator's request out.
TEST(ConsoleHardening, SlowHeadersDoNotKeepOutARealRequest) {
  ConsoleServerProcess srv;
  ASSERT_GT(srv.port, 0) << srv.process->stderr_text();
  asio::io_context io;
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 200; ++i) {
    slow.push_back(std::make_unique<RawConnection>(io, srv.port));
    slow.back()->send("GET /api/window HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (auto& c : slow) c->send("a");
      std::this_thread::sleep_for(500ms);
    }
  });
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(srv.status_within(20s), 200);
  EXPECT_EQ(srv.status_within(20s), 200);
  done = true;
  trickle.join();
}

// 160 connections from five addresses (each within the per-address cap) that send their request
// bodies a byte at a time, and reconnect when dropped, cannot keep the operator out: a body has
// the header's deadline, and a connection still sending its request gives way to a new one.
TEST(ConsoleHardening, SlowBodiesFromManyAddressesDoNotKeepOutARealRequest) {
  ConsoleServerProcess srv;
  ASSERT_GT(srv.port, 0) << srv.process->stderr_text();
  asio::io_context io;
  const std::string head = "POST /api/action HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: 4000\r\n\r\n{";
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int a = 0; a < 5; ++a)
    for (int i = 0; i < 32; ++i) {
      slow.push_back(std::make_unique<RawConnection>(io, srv.port, "127.0.0." + std::to_string(2 + a)));
      slow.back()->send(head);
    }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (std::size_t k = 0; k < slow.size() && !done; ++k)
        if (!slow[k]->send("a")) {
          slow[k] = std::make_unique<RawConnection>(io, srv.port, "127.0.0." + std::to_string(2 + k / 32));
          slow[k]->send(head);
        }
      std::this_thread::sleep_for(500ms);
    }
  });
  std::this_thread::sleep_for(1s);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(srv.status_within(20s), 200) << "request " << i;
  done = true;
  trickle.join();
}

// The public listening port answers its listening paths and the listeners' page, nothing else,
// whatever the Host says: no change stream, no window, no metrics, no console page.
TEST(ConsoleHardening, ThePublicListeningPortServesOnlyItsListeningPathsWhateverTheHost) {
  const fs::path dir = temp_dir();
  const int public_port = test::free_port();
  std::ofstream(dir / "quillon.toml") << "[listen]\npublic_port = " << public_port << "\n";
  test::Process process({QUILLON_BIN, "--console", "127.0.0.1:0", "--data-dir", (dir / "data").string(), "--config",
                         (dir / "quillon.toml").string()},
                        dir, {"QUILLON_BIND_ADDRESS=127.0.0.1"});
  ASSERT_GT(console_port(process), 0) << process.stderr_text();
  ASSERT_TRUE(test::eventually([&] { return process.stderr_text().find("public listening port at") != std::string::npos; }, 20s))
      << process.stderr_text();
  asio::io_context io;
  for (const std::string& host : std::vector<std::string>{"127.0.0.1:" + std::to_string(public_port), "localhost:" + std::to_string(public_port), "127.0.0.1"}) {
    for (const std::string& request : std::vector<std::string>
         {"GET /api/events HTTP/1.1\r\nHost: " + host +
              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              "Sec-WebSocket-Version: 13\r\n\r\n",
          "GET /api/window HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
          "GET /metrics HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
          "GET /index.html HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
          "POST /api/action HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"}) {
      RawConnection c(io, static_cast<std::uint16_t>(public_port));
      ASSERT_TRUE(c.ok);
      ASSERT_TRUE(c.send(request));
      const std::string answer = c.read_head(3s);
      EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 404") << request << " -> " << answer.substr(0, 200);
    }
    RawConnection page(io, static_cast<std::uint16_t>(public_port));
    ASSERT_TRUE(page.send("GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n"));
    const std::string answer = page.read_for(3s);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer.substr(0, 200);
    EXPECT_NE(answer.find("<title>Quillon: listen</title>"), std::string::npos) << answer.substr(0, 400);
  }
  process.stop(SIGTERM);
  fs::remove_all(dir);
}

// Malformed HTTP is answered, not just dropped; 64 simultaneous WebSocket upgrades get at most
// the 16 change streams the console serves.
TEST(ConsoleHardening, MalformedRequestsAreAnsweredAndUpgradesAreCounted) {
  ConsoleServerProcess srv;
  ASSERT_GT(srv.port, 0) << srv.process->stderr_text();
  asio::io_context io;
  for (const std::string bad : {"NOT HTTP AT ALL\r\n\r\n", "GET /api/window HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n",
                                "GET /api/window HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: x\r\n\r\n"}) {
    RawConnection c(io, srv.port);
    ASSERT_TRUE(c.send(bad));
    const std::string answer = c.read_head(10s);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 400") << bad << " -> " << answer;
  }

  std::vector<std::unique_ptr<RawConnection>> upgrades;
  const std::string upgrade = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(srv.port) +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\n\r\n";
  for (int i = 0; i < 64; ++i) upgrades.push_back(std::make_unique<RawConnection>(io, srv.port));
  for (auto& c : upgrades) ASSERT_TRUE(c->send(upgrade));
  int accepted = 0, refused = 0;
  for (auto& c : upgrades) {
    const std::string answer = c->read_head(1500ms);
    if (answer.rfind("HTTP/1.1 101", 0) == 0) ++accepted;
    else if (answer.rfind("HTTP/1.1 503", 0) == 0) ++refused;
  }
  // Past 32 from one address the longest-waiting connections are shed, so some get no answer.
  EXPECT_EQ(accepted, 16);
  EXPECT_GT(refused, 0);
}

// Out of descriptors, the console waits for some to come free instead of spinning on its
// listener, and serves again once they do.
TEST(ConsoleHardening, AcceptPausesWhenDescriptorsRunOut) {
  ConsoleServerProcess srv;
  ASSERT_GT(srv.port, 0) << srv.process->stderr_text();
  ASSERT_EQ(srv.status_within(20s), 200);
  // Leave the running server a few descriptors more than it holds.
  const rlimit limit{srv.descriptors() + 8, srv.descriptors() + 8};
  ASSERT_EQ(::prlimit(srv.process->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  asio::io_context io;
  std::vector<std::unique_ptr<RawConnection>> idle;
  // Connect until the server's table is full; the rest wait in the listen queue.
  for (int i = 0; i < 60; ++i) idle.push_back(std::make_unique<RawConnection>(io, srv.port));
  ASSERT_TRUE(test::eventually([&] { return srv.descriptors() + 1 >= limit.rlim_cur; }, 10s)) << srv.descriptors();
  const auto before = srv.cpu_time();
  std::this_thread::sleep_for(3s);
  const auto used = srv.cpu_time() - before;
  EXPECT_LT(used, 1000ms) << "the accept loop spins";
  idle.clear();
  EXPECT_EQ(srv.status_within(30s), 200) << srv.process->stderr_text();
}

TEST(ConsoleBinary, OptionsAreChecked) {
  const fs::path dir = temp_dir();
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--console", "0.0.0.0:0"}, "--console-token-file"},
      {{"--console", "0.0.0.0:0", "--console-token-file", (dir / "missing").string()}, "token file"},
      {{"--console", "nonsense"}, "ADDR:PORT"},
  };
  for (const auto& k : cases) {
    std::vector<std::string> argv{QUILLON_BIN, "--data-dir", (dir / "data").string()};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    test::Process p(argv, dir);
    const auto code = p.wait_exit(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 2);
    EXPECT_NE(p.stderr_text().find(k.message), std::string::npos) << p.stderr_text();
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon
