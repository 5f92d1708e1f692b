// The limits of the live path and the listeners' sign-in, against the real console and public
// listening port on a real Asio loop, driven by raw clients from many loopback addresses.
#include <gtest/gtest.h>

#include <poll.h>

#include <deque>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "audio/gsm_codec.hpp"
#include "core/asio_event_loop.hpp"
#include "fleet/listen_service.hpp"
#include "fleet/listeners.hpp"
#include "support/fakes.hpp"
#include "support/net.hpp"
#include "support/process.hpp"
#include "window/frmserver.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::eventually;

constexpr const char* kToken = "operator-token-0123456789";

// A TCP connection to `port` from 127.0.0.`from` (reads give up after 20 s), or -1.
int connect_from(int port, unsigned from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl((127u << 24) | (from & 0xffffffu));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

void send_all(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

struct Reply {
  int status = 0;
  std::string head, body;
  std::string header(const std::string& name) const {
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto from = at + name.size() + 4;
    return head.substr(from, head.find("\r\n", from) - from);
  }
  std::string cookie() const {
    const std::string c = header("Set-Cookie");
    return c.substr(0, c.find(';'));
  }
};

// Reads an answer's head (and whatever came with it into `rest`).
Reply read_head(int fd, std::string* rest = nullptr) {
  Reply r;
  std::string got;
  char buf[4096];
  while (got.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return r;
    got.append(buf, static_cast<std::size_t>(n));
  }
  const auto end = got.find("\r\n\r\n") + 4;
  r.head = got.substr(0, end);
  if (rest) *rest = got.substr(end);
  r.status = r.head.size() > 12 ? std::atoi(r.head.c_str() + 9) : 0;
  return r;
}

std::string request_text(const std::string& method, const std::string& path, const std::string& cookie, const std::string& body = {},
                         const std::string& extra = {}) {
  std::string t = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra;
  if (!cookie.empty()) t += "Cookie: " + cookie + "\r\n";
  if (!body.empty()) t += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return t + "Connection: close\r\n\r\n" + body;
}

// One request answered in whole (the connection closes after it).
Reply exchange(int port, unsigned from, const std::string& method, const std::string& path, const std::string& cookie = {},
               const std::string& body = {}) {
  const int fd = connect_from(port, from);
  if (fd < 0) return {};
  send_all(fd, request_text(method, path, cookie, body));
  Reply r = read_head(fd, &r.body);
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) r.body.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return r;
}

const std::string kUpgrade =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

// A WebSocket as raw bytes: the server's frames are unmasked.
struct RawSocket {
  int fd = -1;
  std::string pending;  // bytes of a frame not complete yet
  std::deque<std::pair<int, std::string>> ready;  // complete frames: opcode, payload
  bool closed = false;
  explicit RawSocket(int f) : fd(f) {}
  RawSocket(RawSocket&& o) noexcept
      : fd(std::exchange(o.fd, -1)), pending(std::move(o.pending)), ready(std::move(o.ready)), closed(o.closed) {}
  ~RawSocket() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Takes in what has arrived, waiting up to `wait` for something when nothing has.
  void pump(std::chrono::milliseconds wait = {}) {
    pollfd p{fd, POLLIN, 0};
    if (!closed && ready.empty() && ::poll(&p, 1, static_cast<int>(wait.count())) > 0) {
      char buf[8192];
      for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) closed = true;
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
      }
    }
    for (;;) {
      if (pending.size() < 2) break;
      std::size_t len = static_cast<unsigned char>(pending[1]) & 0x7f, at = 2;
      if (len == 126) {
        if (pending.size() < 4) break;
        len = (static_cast<std::size_t>(static_cast<unsigned char>(pending[2])) << 8) | static_cast<unsigned char>(pending[3]);
        at = 4;
      } else if (len == 127) {
        break;  // nothing this large is sent here
      }
      if (pending.size() < at + len) break;
      ready.emplace_back(pending[0] & 0x0f, pending.substr(at, len));
      pending.erase(0, at + len);
    }
  }
};

// The next text message of `s` (binary ones skipped) within 20 s, or null when the socket
// closes first.
json next_text(RawSocket& s) {
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < until) {
    while (!s.ready.empty()) {
      auto [op, payload] = std::move(s.ready.front());
      s.ready.pop_front();
      if (op == 1) return json::parse(payload, nullptr, false);
      if (op == 8) return nullptr;  // a close frame
    }
    if (s.closed) return nullptr;
    s.pump(100ms);
  }
  return nullptr;
}

class LiveLimits : public ::testing::Test {
 protected:
  // Runs f on the loop thread and waits for it.
  template <class F>
  auto on_loop(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    loop.post([&task] { task(); });
    return result.get();
  }

  ~LiveLimits() override {
    if (runner.joinable()) {
      on_loop([&] {
        if (listen) listen->stop();
        if (console) console->stop();
      });
      work.reset();
      io.stop();
      runner.join();
    }
  }

  void start(config::Listen cfg, SignInLimits limits = {}) {
    cfg.public_port = test::free_port();
    for (std::size_t k = 0; k < 3; ++k) codecs[k].chain_start(11025);  // channel 4 captures nothing
    ConsoleConfig cc;
    cc.address = "127.0.0.1";
    cc.port = 0;
    cc.token = kToken;
    console = std::make_unique<ConsoleServer>(loop, form.window, cc);
    port = console->port();
    const std::array<audio::GsmCodec*, 4> ptrs{&codecs[0], &codecs[1], &codecs[2], &codecs[3]};
    listen = std::make_unique<ListenService>(loop, form, cfg, ptrs, console.get(), "127.0.0.1");
    public_port = listen->public_port();
    ASSERT_NE(public_port, 0);
    live = std::make_unique<LiveListeners>(loop, form, cfg, ptrs, console.get(), listen->public_server(), nullptr, limits);
    listen->set_public_gate([l = live.get()](const ConsoleRequest& req, int channel) { return l->admit_stream(req, channel); });
    runner = std::thread([this] { io.run(); });
  }

  std::size_t live_listeners() {
    return on_loop([this] { return live->listeners().size(); });
  }

  // Signs in with `code` from 127.0.0.`from`: the cookie, or "" when refused.
  std::string sign_in(const std::string& code, unsigned from) {
    const Reply r = exchange(port, from, "POST", "/live/session", {}, json{{"code", code}}.dump());
    return r.status == 200 ? r.cookie() : std::string();
  }
  bool signed_in(const std::string& cookie) {
    const Reply r = exchange(port, 1, "GET", "/live/session", cookie);
    return json::parse(r.body, nullptr, false).value("signed_in", false);
  }
  // Opens a live socket of the console: its answer's head is read, nothing more.
  RawSocket open_live(const std::string& path, const std::string& cookie, unsigned from, const std::string& key = kUpgrade) {
    RawSocket s(connect_from(port, from));
    send_all(s.fd, request_text("GET", path, cookie, {}, key));
    const Reply r = read_head(s.fd, &s.pending);
    EXPECT_EQ(r.status, 101) << r.head;
    return s;
  }

  // Opens `n` live sockets at once (every request out before any answer is read), each from an
  // address of its own; returns them once `refused` of them have been told so.
  std::vector<RawSocket> burst(int n, const std::string& path, const std::string& cookie, unsigned first_from, int refused) {
    std::vector<RawSocket> sockets;
    for (int i = 0; i < n; ++i) sockets.emplace_back(connect_from(port, first_from + static_cast<unsigned>(i)));
    for (auto& s : sockets) send_all(s.fd, request_text("GET", path, cookie, {}, kUpgrade));
    for (auto& s : sockets) EXPECT_EQ(read_head(s.fd, &s.pending).status, 101);
    // Every socket has been decided by now; the refused ones are told so on the socket.
    int told = 0;
    eventually([&] {
      told = 0;
      for (auto& s : sockets) {
        s.pump();
        told += std::count_if(s.ready.begin(), s.ready.end(), [](const auto& f) {
          return f.first == 1 && json::parse(f.second, nullptr, false).value("type", "") == "refused";
        });
      }
      return told >= refused;
    });
    EXPECT_EQ(told, refused) << n << " opens of " << path;
    return sockets;
  }

  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  AsioEventLoop loop{io};
  test::FakePlatform fakes;
  Frmserver form{loop, fakes.objects()};
  std::array<audio::GsmCodec, 4> codecs;
  std::unique_ptr<ConsoleServer> console;
  std::unique_ptr<ListenService> listen;
  std::unique_ptr<LiveListeners> live;
  int port = 0, public_port = 0;
  std::thread runner;
};

config::Listen::Code code(std::string label, std::string secret, int max_listeners = 0, std::array<bool, 4> channels = {true, true, true, true}) {
  config::Listen::Code c;
  c.label = std::move(label);
  c.code = std::move(secret);
  c.max_listeners = max_listeners;
  c.channels = channels;
  return c;
}

// Parallel opens never pass a limit: a code's, a channel's, the server's; a place of a failed
// handshake is given back.
TEST_F(LiveLimits, ParallelOpensNeverPassALimit) {
  config::Listen cfg;
  cfg.max_listeners = 5;
  cfg.max_live_listeners = 8;
  cfg.codes = {code("Three", "three-code-1", 3), code("Many", "many-code-22")};
  start(cfg);
  const std::string three = sign_in("three-code-1", 1), many = sign_in("many-code-22", 2);
  ASSERT_FALSE(three.empty());
  ASSERT_FALSE(many.empty());

  // Each burst: the places that are free admitted, every other one refused.
  auto by_code = burst(20, "/live/audio/1", three, 10, 17);  // a code limited to 3
  EXPECT_TRUE(eventually([&] { return live_listeners() == 3; })) << live_listeners();
  auto by_channel = burst(20, "/live/audio/2", many, 40, 15);  // a channel limit of 5
  EXPECT_TRUE(eventually([&] { return live_listeners() == 8; })) << live_listeners();
  auto over = burst(10, "/live/audio/3", many, 70, 10);  // a server limit of 8
  EXPECT_EQ(live_listeners(), 8u);

  // The code's three leave; handshakes that fail give their places back.
  by_code.clear();
  ASSERT_TRUE(eventually([&] { return live_listeners() == 5; }));
  for (unsigned i = 0; i < 3; ++i) {
    const int fd = connect_from(port, 90 + i);
    send_all(fd, request_text("GET", "/live/audio/1", three, {}, "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"));
    EXPECT_EQ(read_head(fd).status, 400) << "no key: the handshake fails";
    ::close(fd);
  }
  auto again = burst(4, "/live/audio/3", three, 100, 1);
  EXPECT_TRUE(eventually([&] { return live_listeners() == 8; }));
}

// A code's limit counts every way of listening: live sockets and the public port's HTTP
// streams, in either format, and a stream's end gives its place back.
TEST_F(LiveLimits, ACodesLimitCountsItsHttpStreams) {
  config::Listen cfg;
  cfg.codes = {code("One", "one-code-333", 1, {false, true, false, false})};
  start(cfg);
  const std::string a = sign_in("one-code-333", 1), b = sign_in("one-code-333", 2);
  auto socket = open_live("/live/audio/2", a, 1);
  ASSERT_TRUE(eventually([&] { return live_listeners() == 1; }));
  EXPECT_EQ(exchange(public_port, 2, "GET", "/listen/2.ogg", b).status, 503) << "the code's one listener listens live";
  socket.close();
  ASSERT_TRUE(eventually([&] { return live_listeners() == 0; }));

  const int first = connect_from(public_port, 1);
  send_all(first, request_text("GET", "/listen/2.mp3", a));
  ASSERT_EQ(read_head(first).status, 200);
  EXPECT_EQ(exchange(public_port, 2, "GET", "/listen/2.mp3", b).status, 503) << "one HTTP listener already";
  EXPECT_EQ(exchange(public_port, 2, "GET", "/listen/2.ogg", b).status, 503) << "the other format too";
  const int fd = connect_from(port, 3);
  send_all(fd, request_text("GET", "/live/audio/2", b, {}, kUpgrade));
  RawSocket refused(fd);
  ASSERT_EQ(read_head(fd, &refused.pending).status, 101);
  const json said = next_text(refused);
  EXPECT_EQ(said.value("status", 0), 503) << said;
  EXPECT_EQ(said.value("message", ""), "this access code is in use by 1 listeners already");

  // A stream notices its listener left when it next writes: audio keeps coming.
  ::close(first);
  EXPECT_TRUE(eventually([&] {
    on_loop([&] {
      const std::vector<std::int16_t> tenth(1103, 0);
      codecs[1].pcm(tenth.data(), tenth.size());
    });
    const int again = connect_from(public_port, 4);
    send_all(again, request_text("GET", "/listen/2.ogg", b));
    const int status = read_head(again).status;
    ::close(again);
    return status == 200;
  })) << "the stream's place is free again";
}

// Sign-ins with one code never sign out another code's listeners: a code keeps a few times its
// limit of sign-ins, its own oldest going first; an address has a budget of sign-ins.
TEST_F(LiveLimits, SignInsOfOneCodeNeverSignOutAnother) {
  config::Listen cfg;
  cfg.codes = {code("Victim", "victim-code-1", 2), code("Crowd", "crowd-code-22", 1)};
  start(cfg);
  const std::string victim = sign_in("victim-code-1", 1);
  ASSERT_FALSE(victim.empty());
  const std::string first = sign_in("crowd-code-22", 2);
  ASSERT_FALSE(first.empty());
  std::string last;
  for (unsigned i = 0; i < 1030; ++i) {  // ten from each of 103 addresses
    const std::string c = sign_in("crowd-code-22", 1000 + i / 10);
    ASSERT_FALSE(c.empty()) << i;
    last = c;
  }
  EXPECT_TRUE(signed_in(victim)) << "another code's sign-in stays";
  EXPECT_TRUE(signed_in(last));
  EXPECT_FALSE(signed_in(first)) << "the crowd's own oldest went";

  // The eleventh sign-in within a minute from one address waits, another address does not.
  const Reply r = exchange(port, 1000, "POST", "/live/session", {}, json{{"code", "crowd-code-22"}}.dump());
  EXPECT_EQ(r.status, 429) << r.body;
  EXPECT_GE(std::atoi(r.header("Retry-After").c_str()), 1) << r.head;
  EXPECT_NE(r.body.find("too many sign-ins from this address: try again in "), std::string::npos) << r.body;
  EXPECT_FALSE(sign_in("crowd-code-22", 3).empty());
}

// A status socket of a limited code hears only its channels, levels included.
TEST_F(LiveLimits, StatusTellsOnlyTheChannelsOfTheCode) {
  config::Listen cfg;
  cfg.codes = {code("Two", "two-code-444", 0, {false, true, false, false}), code("All", "all-code-555")};
  start(cfg);
  auto two = open_live("/live/status", sign_in("two-code-444", 1), 1);
  auto all = open_live("/live/status", sign_in("all-code-555", 2), 2);
  EXPECT_EQ(next_text(two).value("type", ""), "hello");
  EXPECT_EQ(next_text(all).value("type", ""), "hello");
  json levels = {{"type", "levels"}, {"channels", json::array()}};
  for (int c = 1; c <= 4; ++c) levels["channels"].push_back({{"channel", c}, {"peak", -12.5}, {"rms", -20.0}, {"capturing", true}});
  auto levels_of = [&](RawSocket& s) {
    for (json m = next_text(s); !m.is_null(); m = next_text(s))
      if (m.value("type", "") == "levels") return m;
    return json();
  };
  // A socket is registered before its hello goes out: levels sent from now on reach both.
  on_loop([&] { live->levels(levels.dump()); });
  const json heard = levels_of(two);
  ASSERT_TRUE(heard.is_object());
  ASSERT_EQ(heard["channels"].size(), 1u) << heard;
  EXPECT_EQ(heard["channels"][0]["channel"], 2);
  EXPECT_EQ(levels_of(all)["channels"].size(), 4u);
}

// What a code opened ends when the code expires: a live socket and a status socket are told
// why and closed.
TEST_F(LiveLimits, SocketsEndWhenTheirCodeExpires) {
  config::Listen cfg;
  auto c = code("Brief", "brief-code-66");
  c.expires = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() + 4;
  cfg.codes = {c};
  start(cfg);
  const std::string cookie = sign_in("brief-code-66", 1);
  ASSERT_FALSE(cookie.empty());
  auto audio = open_live("/live/audio/1", cookie, 1);
  auto status = open_live("/live/status", cookie, 2);
  ASSERT_TRUE(eventually([&] { return live_listeners() == 1; }));
  for (RawSocket* s : {&audio, &status}) {
    json m = next_text(*s);
    while (m.is_object() && m.value("type", "") != "ended") m = next_text(*s);
    EXPECT_EQ(m.value("message", ""), "this access code has expired") << m;
    EXPECT_TRUE(next_text(*s).is_null()) << "closed after it";
  }
  EXPECT_TRUE(eventually([&] { return live_listeners() == 0; }));
  EXPECT_FALSE(signed_in(cookie));
}

// Wrong codes have a budget across all addresses: past it every address waits, and the wait
// is said.
TEST_F(LiveLimits, WrongCodesHaveABudgetAcrossAddresses) {
  config::Listen cfg;
  cfg.codes = {code("Right", "right-code-77")};
  start(cfg);
  Reply r;
  unsigned from = 10;
  for (; from < 400; ++from) {
    r = exchange(port, from, "POST", "/live/session", {}, json{{"code", "guess-" + std::to_string(from)}}.dump());
    if (r.status != 401) break;
  }
  EXPECT_EQ(r.status, 429) << "after " << from - 10 << " wrong codes from as many addresses";
  EXPECT_LE(from - 10, 120u);
  EXPECT_GE(std::atoi(r.header("Retry-After").c_str()), 1) << r.head;
  EXPECT_NE(r.body.find("too many wrong codes: try again in "), std::string::npos) << r.body;
}

// While the budget is spent a right code waits too (answering it would tell a guesser which
// guess was right); listeners signed in before keep their access.
TEST_F(LiveLimits, ARightCodeWaitsWhileTheBudgetIsSpent) {
  config::Listen cfg;
  cfg.codes = {code("Right", "right-code-77")};
  SignInLimits limits;
  limits.wrong_codes_per_minute = 2;  // one more every 30 s: none comes back during the test
  start(cfg, limits);
  const std::string before = sign_in("right-code-77", 1);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(exchange(port, 2, "POST", "/live/session", {}, R"({"code":"guess-one"})").status, 401);
  EXPECT_EQ(exchange(port, 3, "POST", "/live/session", {}, R"({"code":"guess-two"})").status, 401);
  const Reply r = exchange(port, 4, "POST", "/live/session", {}, R"({"code":"right-code-77"})");
  EXPECT_EQ(r.status, 429) << r.body;
  EXPECT_GE(std::atoi(r.header("Retry-After").c_str()), 20) << r.head;
  EXPECT_TRUE(signed_in(before));
}

TEST(AddressGroup, Ipv6ByItsSlash64AndIpv4Whole) {
  EXPECT_EQ(address_group("2001:db8:1:2::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(address_group("2001:db8:1:2:ffff:eeee:dddd:cccc"), "2001:db8:1:2::/64");
  EXPECT_NE(address_group("2001:db8:1:3::1"), address_group("2001:db8:1:2::1"));
  EXPECT_EQ(address_group("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(address_group("192.0.2.7"), "192.0.2.7");
  EXPECT_NE(address_group("192.0.2.8"), address_group("192.0.2.7"));
  EXPECT_EQ(address_group("not an address"), "not an address");
}

}  // namespace
}  // namespace quillon
