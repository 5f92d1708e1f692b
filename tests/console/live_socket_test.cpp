// Live sockets: the WebSocket messages a live socket frames itself, and such a socket on a real
// console, read by raw clients: units pushed together arrive whole and in order, a reader that
// falls behind is kept at the newest units while a quick one gets them all, the page's pings
// and close are answered, and a source that ends closes the socket after what it queued.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <future>
#include <thread>

#include "console/console_server.hpp"
#include "console/ws_frames.hpp"
#include "core/asio_event_loop.hpp"
#include "window/controls.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A client's frame: masked with `key`, `len_bytes` forcing the long length forms.
std::string client_frame(ws::Opcode op, const std::string& payload, bool fin = true, bool masked = true) {
  std::string f;
  f.push_back(static_cast<char>((fin ? 0x80 : 0) | op));
  const std::size_t n = payload.size();
  const char mask_bit = masked ? static_cast<char>(0x80) : 0;
  if (n < 126) {
    f.push_back(static_cast<char>(mask_bit | static_cast<char>(n)));
  } else {
    f.push_back(static_cast<char>(mask_bit | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n & 0xff));
  }
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  if (masked) f.append(key, 4);
  for (std::size_t i = 0; i < n; ++i) f.push_back(masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i]);
  return f;
}

TEST(WsFrames, ServerMessagesCarryTheirLengthInTheShortestForm) {
  for (const std::size_t n : {0u, 125u, 126u, 65535u, 65536u}) {
    std::vector<std::uint8_t> out{0xEE};  // appended after what is there
    ws::append_frame(out, ws::kBinary, std::vector<std::uint8_t>(n, 7));
    const std::size_t head = n < 126 ? 2 : (n < 65536 ? 4 : 10);
    ASSERT_EQ(out.size(), 1 + head + n) << n;
    EXPECT_EQ(out[1], 0x82) << "final binary frame";
    EXPECT_EQ(out[2] & 0x80, 0) << "a server never masks";
    std::uint64_t len = out[2];
    if (head == 4) len = (std::uint64_t{out[3]} << 8) | out[4];
    if (head == 10) {
      len = 0;
      for (int i = 0; i < 8; ++i) len = (len << 8) | out[3 + static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(len, n);
  }
  const auto close = ws::close_frame(1008);
  EXPECT_EQ(close, (std::vector<std::uint8_t>{0x88, 2, 0x03, 0xF0}));
}

TEST(WsFrames, ClientFramesAreTakenWholeAndUnmasked) {
  // A ping cut between two reads is taken once whole; the data frame before it is passed over.
  const std::string wire = client_frame(ws::kText, std::string(300, 'x')) + client_frame(ws::kPing, "are you there");
  std::string in = wire.substr(0, wire.size() - 3);
  bool bad = true;
  auto got = ws::read_client_frames(in, 4096, bad);
  EXPECT_FALSE(bad);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].op, ws::kText);
  EXPECT_TRUE(got[0].control.empty()) << "a data frame's payload is not kept";
  in += wire.substr(wire.size() - 3);
  got = ws::read_client_frames(in, 4096, bad);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].op, ws::kPing);
  EXPECT_EQ(got[0].control, "are you there");
  EXPECT_TRUE(in.empty());

  struct Case {
    const char* what;
    std::string frame;
  };
  const Case refused[] = {
      {"unmasked", client_frame(ws::kBinary, "abc", true, false)},
      {"longer than allowed", client_frame(ws::kBinary, std::string(5000, 'y'))},
      {"a control frame in pieces", client_frame(ws::kPing, "p", false)},
      {"an unknown opcode", client_frame(static_cast<ws::Opcode>(3), "?")},
      {"reserved bits", std::string(1, static_cast<char>(0xC2)) + client_frame(ws::kBinary, "z").substr(1)},
  };
  for (const auto& c : refused) {
    std::string one = c.frame;
    ws::read_client_frames(one, 4096, bad);
    EXPECT_TRUE(bad) << c.what;
  }
  // Too long is known from the header alone, before the payload comes.
  std::string head_only = client_frame(ws::kBinary, std::string(5000, 'y')).substr(0, 8);
  ws::read_client_frames(head_only, 4096, bad);
  EXPECT_TRUE(bad);
}

// A raw WebSocket client of a live socket: the server's frames as (opcode, payload).
struct RawClient {
  int fd = -1;
  std::string pending;
  std::deque<std::pair<int, std::string>> ready;
  bool closed = false;

  explicit RawClient(std::uint16_t port, int receive_buffer = 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    send("GET /live/test HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (pending.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < until && !closed) take(100ms);
    const auto end = pending.find("\r\n\r\n");
    if (end == std::string::npos) return;
    head = pending.substr(0, end);
    pending.erase(0, end + 4);
  }
  ~RawClient() {
    if (fd >= 0) ::close(fd);
  }
  void send(const std::string& s) const {
    for (std::size_t at = 0; at < s.size();) {
      const ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }
  void take(std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) closed = true;
    if (n > 0) pending.append(buf, static_cast<std::size_t>(n));
  }
  void parse() {
    for (;;) {
      if (pending.size() < 2) return;
      std::size_t len = static_cast<unsigned char>(pending[1]) & 0x7f, at = 2;
      if (len == 126) {
        if (pending.size() < 4) return;
        len = (std::size_t{static_cast<unsigned char>(pending[2])} << 8) | static_cast<unsigned char>(pending[3]);
        at = 4;
      } else if (len == 127) {
        return;  // the long form is read by the test that sends it
      }
      if (pending.size() < at + len) return;
      ready.emplace_back(pending[0] & 0x0f, pending.substr(at, len));
      pending.erase(0, at + len);
    }
  }
  // The next frame within 20 s, or opcode -1 when the connection closes first.
  std::pair<int, std::string> next() {
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (;;) {
      parse();
      if (!ready.empty()) {
        auto f = std::move(ready.front());
        ready.pop_front();
        return f;
      }
      if (closed || std::chrono::steady_clock::now() >= until) return {-1, ""};
      take(100ms);
    }
  }

  std::string head;
};

// A console with one live route, /live/test, whose pushes the test drives on the loop.
class LiveSocket : public ::testing::Test {
 protected:
  ~LiveSocket() override {
    if (server && runner.joinable()) on_loop([&] { server->stop(); });
    work.reset();
    io.stop();
    if (runner.joinable()) runner.join();
  }

  void start(std::size_t keep_newest) {
    ConsoleConfig cfg;
    cfg.port = 0;
    server = std::make_unique<ConsoleServer>(loop, w, cfg);
    server->add_socket_route("/live/test", [this, keep_newest](const ConsoleRequest&) {
      ConsoleStream s;
      s.keep_newest = keep_newest;
      s.start = [this](ConsoleStream::Push push) -> std::function<void()> {
        pushes.push_back(std::move(push));
        return [this] { ++stopped; };
      };
      return s;
    });
    port = server->port();
    ASSERT_NE(port, 0);
    runner = std::thread([this] { io.run(); });
  }

  void on_loop(std::function<void()> f) {
    std::promise<void> done;
    loop.post([&] {
      f();
      done.set_value();
    });
    done.get_future().wait();
  }

  // Waits (up to 20 s) until `n` sockets have started.
  bool listening(std::size_t n) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (;;) {
      std::size_t now = 0;
      on_loop([&] { now = pushes.size(); });
      if (now >= n) return true;
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(10ms);
    }
  }

  // Pushes `unit` to every socket on the loop.
  void push_all(const std::string& unit) {
    const auto b = bytes(unit);
    for (auto& p : pushes) p(b);
  }

  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  AsioEventLoop loop{io};
  ui::Window w{loop, "frmserver"};
  std::unique_ptr<ConsoleServer> server;
  std::uint16_t port = 0;
  std::thread runner;
  std::vector<ConsoleStream::Push> pushes;  // loop thread only
  std::atomic<int> stopped{0};
};

TEST_F(LiveSocket, UnitsPushedTogetherArriveWholeInOrderAsTheirKind) {
  start(16);
  RawClient c(port);
  ASSERT_NE(c.head.find(" 101 "), std::string::npos) << c.head;
  ASSERT_TRUE(listening(1));
  const std::string big(70000, 'b');  // the long length form
  on_loop([&] {
    push_all("\x01" "first");
    push_all("{\"type\":\"hello\"}");
    push_all("\x01" + std::string(200, 'm'));
    push_all("\x01" + big);
  });
  auto f = c.next();
  EXPECT_EQ(f, std::make_pair(2, std::string("\x01" "first")));
  f = c.next();
  EXPECT_EQ(f, std::make_pair(1, std::string("{\"type\":\"hello\"}"))) << "a unit that starts with { is text";
  f = c.next();
  EXPECT_EQ(f, std::make_pair(2, "\x01" + std::string(200, 'm')));
  // 70001 bytes take the 8-byte length: the client's parser above reads only the 2-byte form,
  // so it is checked here by hand.
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (c.pending.size() < 10 + big.size() + 1 && std::chrono::steady_clock::now() < until && !c.closed) c.take(100ms);
  ASSERT_EQ(c.pending.size(), 10 + big.size() + 1);
  EXPECT_EQ(static_cast<unsigned char>(c.pending[0]), 0x82);
  EXPECT_EQ(static_cast<unsigned char>(c.pending[1]), 127);
  EXPECT_EQ(c.pending.substr(10), "\x01" + big);
}

TEST_F(LiveSocket, ASlowReaderIsKeptAtTheNewestWhileAQuickOneGetsEverything) {
  start(4);
  RawClient quick(port);
  RawClient slow(port, 4096);  // a small window: its side fills quickly
  ASSERT_TRUE(listening(2));
  // Units of 2 KiB, one a turn of the loop, far more than the slow reader's buffers hold.
  constexpr int kUnits = 600;
  std::vector<int> got_quick;
  for (int i = 0; i < kUnits; ++i) {
    on_loop([&] { push_all("\x01" + std::to_string(i) + ":" + std::string(2048, 'u')); });
    // The quick reader reads as it goes (a frame at a time, waiting for each).
    const auto f = quick.next();
    ASSERT_EQ(f.first, 2) << "unit " << i;
    got_quick.push_back(std::stoi(f.second.substr(1)));
  }
  for (int i = 0; i < kUnits; ++i) EXPECT_EQ(got_quick[static_cast<std::size_t>(i)], i);

  // The slow reader reads now: increasing numbers with gaps, ending at the newest.
  std::vector<int> got_slow;
  while (got_slow.empty() || got_slow.back() != kUnits - 1) {
    const auto f = slow.next();
    ASSERT_EQ(f.first, 2) << "after unit " << (got_slow.empty() ? -1 : got_slow.back());
    got_slow.push_back(std::stoi(f.second.substr(1)));
  }
  for (std::size_t i = 1; i < got_slow.size(); ++i) EXPECT_GT(got_slow[i], got_slow[i - 1]);
  EXPECT_LT(got_slow.size(), static_cast<std::size_t>(kUnits) / 2) << "what it was behind by was dropped, not queued";
  EXPECT_EQ(stopped.load(), 0) << "neither listener was ended";
}

TEST_F(LiveSocket, PingsAreAnsweredAndThePagesCloseEndsTheSource) {
  start(16);
  RawClient c(port);
  ASSERT_TRUE(listening(1));
  c.send(client_frame(ws::kPing, "tick"));
  auto f = c.next();
  EXPECT_EQ(f, std::make_pair(10, std::string("tick")));
  on_loop([&] { push_all("\x01" "audio"); });
  EXPECT_EQ(c.next().second, "\x01" "audio");

  c.send(client_frame(ws::kClose, std::string("\x03\xe8", 2)));
  f = c.next();
  EXPECT_EQ(f.first, 8) << "the close is answered";
  EXPECT_EQ(c.next().first, -1) << "and the connection ends";
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (stopped.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stopped.load(), 1) << "the source is let go";
  on_loop([&] { EXPECT_FALSE(pushes[0](bytes("\x01" "late"))); });
}

TEST_F(LiveSocket, ASourceThatEndsClosesAfterWhatItQueuedAndABrokenFrameEndsTheSocket) {
  start(16);
  RawClient ends(port);
  RawClient broken(port);
  ASSERT_TRUE(listening(2));
  on_loop([&] {
    pushes[0](bytes("{\"type\":\"ended\"}"));
    pushes[0]({});
  });
  EXPECT_EQ(ends.next(), std::make_pair(1, std::string("{\"type\":\"ended\"}")));
  const auto f = ends.next();
  EXPECT_EQ(f, std::make_pair(8, std::string("\x03\xf0", 2))) << "a policy close";
  ends.send(client_frame(ws::kClose, std::string("\x03\xf0", 2)));
  EXPECT_EQ(ends.next().first, -1);

  broken.send(client_frame(ws::kBinary, "x", true, false));  // unmasked: no page sends that
  EXPECT_EQ(broken.next().first, -1);
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (stopped.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stopped.load(), 2);
}

}  // namespace
}  // namespace quillon
