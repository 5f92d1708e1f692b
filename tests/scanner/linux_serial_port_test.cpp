// The termios adapter on real pseudo-terminals: the test plays the device on the master side.

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "core/asio_event_loop.hpp"
#include "core/errors.hpp"
#include "scanner/linux_serial_port.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

// A pseudo-terminal whose slave is linked as DATA/ports/comN.
struct Device {
  int master = -1, slave = -1;
  std::string tty;

  void plug(const fs::path& link) {
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    tty = name;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    fs::remove(link);
    fs::create_symlink(tty, link);
  }
  void unplug(const fs::path& link) {
    std::error_code ec;
    fs::remove(link, ec);
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
  }
  std::string read_master() {
    std::string out;
    char buf[4096];
    for (ssize_t r; (r = ::read(master, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(r));
    return out;
  }
};

struct PortRig : ::testing::Test {
  fs::path dir = fs::temp_directory_path() / ("quillon-port-" + std::to_string(::getpid()));
  boost::asio::io_context io;
  AsioEventLoop loop{io};
  Device dev;

  void SetUp() override {
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    dev.unplug(dir / "com1");
    fs::remove_all(dir);
  }
  static int code_of(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.code();
    }
    return 0;
  }
  // Polls `cond` while the loop runs, for at most five seconds.
  bool eventually(const std::function<bool()>& cond) {
    for (int i = 0; i < 500; ++i) {
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
      if (cond()) return true;
    }
    return false;
  }
};

TEST_F(PortRig, MissingLinkOrBadNumberIsNotAvailable) {
  LinuxSerialPort p(dir, loop);
  p.set_comm_port(1);
  EXPECT_EQ(code_of([&] { p.set_port_open(true); }), errc::port_not_available);
  fs::create_symlink("/dev/quillon-no-such-device", dir / "com2");
  p.set_comm_port(2);
  EXPECT_EQ(code_of([&] { p.set_port_open(true); }), errc::port_not_available);
  p.set_comm_port(0);
  EXPECT_EQ(code_of([&] { p.set_port_open(true); }), errc::port_not_available);
  EXPECT_FALSE(p.port_open());
}

TEST_F(PortRig, NotATerminalIsAPortFailure) {
  fs::create_symlink("/dev/null", dir / "com3");
  LinuxSerialPort p(dir, loop);
  p.set_comm_port(3);
  const int code = code_of([&] { p.set_port_open(true); });
  EXPECT_GT(code, 8000);
  EXPECT_NE(code, errc::port_not_available);
  EXPECT_FALSE(p.port_open());
}

TEST_F(PortRig, OpensRawAtTheSettingsSpeedAndMovesBytesBothWays) {
  dev.plug(dir / "com1");
  LinuxSerialPort p(dir, loop);
  p.set_comm_port(1);
  p.set_settings("4800,n,8,1");
  p.set_port_open(true);
  ASSERT_TRUE(p.port_open());
  termios t{};
  ASSERT_EQ(::tcgetattr(dev.master, &t), 0);  // the master sees the line settings of the slave
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

  EXPECT_EQ(p.input(), "");  // nothing there: returns at once
  ASSERT_EQ(::write(dev.master, "ST 12.5K\r", 9), 9);
  std::string got;
  ASSERT_TRUE(eventually([&] { return (got += p.input()).size() >= 9; }));
  EXPECT_EQ(got, "ST 12.5K\r");

  p.output("LCD\r");
  std::string sent;
  ASSERT_TRUE(eventually([&] { return (sent += dev.read_master()).size() >= 4; }));
  EXPECT_EQ(sent, "LCD\r");
  EXPECT_EQ(code_of([&] { p.set_comm_port(2); }), errc::port_already_open);
  p.set_port_open(false);
  EXPECT_EQ(code_of([&] { (void)p.input(); }), errc::port_not_open);
  EXPECT_EQ(code_of([&] { p.output("x"); }), errc::port_not_open);
  EXPECT_EQ(code_of([&] { p.set_port_open(false); }), errc::port_not_open);
}

TEST_F(PortRig, RejectsLineSettingsItCannotUse) {
  LinuxSerialPort p(dir, loop);
  EXPECT_EQ(code_of([&] { p.set_settings("19200,e,7,1"); }), errc::invalid_property_value);
  EXPECT_EQ(code_of([&] { p.set_settings("12345,n,8,1"); }), errc::invalid_property_value);
  EXPECT_EQ(code_of([&] { p.set_settings("9600,n,8,1"); }), 0);
  EXPECT_EQ(p.settings(), "9600,n,8,1");
}

TEST_F(PortRig, APortHeldHereOrElsewhereIsAlreadyOpen) {
  dev.plug(dir / "com1");
  LinuxSerialPort a(dir, loop), b(dir, loop);
  a.set_port_open(true);
  EXPECT_EQ(code_of([&] { a.set_port_open(true); }), errc::port_already_open);
  EXPECT_EQ(code_of([&] { b.set_port_open(true); }), errc::port_already_open);
  a.set_port_open(false);
  EXPECT_EQ(code_of([&] { b.set_port_open(true); }), 0);
  b.set_port_open(false);

  // Another program that locks the device.
  const int other = ::open((dir / "com1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(code_of([&] { a.set_port_open(true); }), errc::port_already_open);
  ::close(other);
  EXPECT_EQ(code_of([&] { a.set_port_open(true); }), 0);
}

TEST_F(PortRig, UnplugFailsTheOpenPortAndReplugOpensAgain) {
  dev.plug(dir / "com1");
  LinuxSerialPort p(dir, loop);
  p.set_port_open(true);
  dev.unplug(dir / "com1");
  const int in = code_of([&] { (void)p.input(); });
  EXPECT_GT(in, 8000);
  EXPECT_TRUE(p.failed());
  EXPECT_GT(code_of([&] { p.output("LCD\r"); }), 8000);
  // What the watchdog does: close, reopen.
  p.set_port_open(false);
  EXPECT_EQ(code_of([&] { p.set_port_open(true); }), errc::port_not_available);
  dev.plug(dir / "com1");
  ASSERT_EQ(code_of([&] { p.set_port_open(true); }), 0);
  EXPECT_FALSE(p.failed());
  ASSERT_EQ(::write(dev.master, "+\r", 2), 2);
  std::string got;
  ASSERT_TRUE(eventually([&] { return (got += p.input()).size() >= 2; }));
  EXPECT_EQ(got, "+\r");
}

TEST_F(PortRig, OutputNeverBlocksAndDropsWhatItCannotQueue) {
  dev.plug(dir / "com1");
  LinuxSerialPort p(dir, loop);
  p.set_port_open(true);
  // Nobody reads the master: the terminal buffers fill, then the queue, then text is dropped.
  const std::string block(1000, 'x');
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) p.output(block);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_GT(p.dropped_bytes(), 0u);
  EXPECT_LT(p.dropped_bytes(), 200000u);
  // Once the device reads again the queue drains through the loop.
  std::size_t received = 0;
  ASSERT_TRUE(eventually([&] {
    received += dev.read_master().size();
    return received == 200000u - p.dropped_bytes();
  }));
}

// A stalled line: every output() is one command, queued whole or dropped whole, so the device
// reads only whole commands, each with its carriage return, and the query sent once the line
// moves again is not glued onto a cut one.
TEST_F(PortRig, StalledLineQueuesOrDropsEachCommandWhole) {
  dev.plug(dir / "com1");
  LinuxSerialPort p(dir, loop);
  p.set_port_open(true);
  // Nobody reads the device: commands of varied length until the queue overflows, then more.
  std::vector<std::string> commands;
  std::size_t total = 0, after_first_drop = 0;
  while (after_first_drop < 20) {
    ASSERT_LT(commands.size(), 100000u) << "the line never filled";
    const int i = static_cast<int>(commands.size());
    commands.push_back("CMD" + std::to_string(i) + std::string(static_cast<std::size_t>(20 + i % 37), 'x') + "\r");
    total += commands.back().size();
    p.output(commands.back());
    if (p.dropped_bytes() > 0) ++after_first_drop;
  }
  std::string got;
  ASSERT_TRUE(eventually([&] { return (got += dev.read_master()).size() >= total - p.dropped_bytes(); }));
  p.output("ST\r");
  ASSERT_TRUE(eventually([&] { return (got += dev.read_master()).size() >= total - p.dropped_bytes() + 3; }));

  std::vector<std::string> lines;
  for (std::size_t start = 0, cr; (cr = got.find('\r', start)) != std::string::npos; start = cr + 1)
    lines.push_back(got.substr(start, cr + 1 - start));
  EXPECT_EQ(std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                            [](std::size_t n, const std::string& l) { return n + l.size(); }),
            got.size());  // nothing after the last carriage return
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ST\r");
  lines.pop_back();
  // Each line is one of the commands, whole, in the order they were sent.
  std::size_t next = 0;
  for (const std::string& line : lines) {
    while (next < commands.size() && commands[next] != line) ++next;
    ASSERT_LT(next, commands.size()) << "not a whole command: " << line;
    ++next;
  }
  EXPECT_EQ(lines.size() + p.dropped_writes(), commands.size());
}

}  // namespace
}  // namespace quillon
