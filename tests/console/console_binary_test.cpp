// The console of the real binary: drive the window over HTTP, stop the server, find the typed
// value in the saved settings.
#include <gtest/gtest.h>


#include "console/console_client.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

fs::path temp_dir() {
  char tmpl[] = "/tmp/quillon-console-XXXXXX";
  return ::mkdtemp(tmpl);
}

TEST(ConsoleBinary, TypedTextIsSavedAtShutdown) {
  const fs::path dir = temp_dir();
  test::Process p({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "127.0.0.1:0"}, dir);
  ASSERT_TRUE(p.started());
  // "operator console at http://127.0.0.1:PORT/" on standard error gives the port.
  const std::string announce = "operator console at http://127.0.0.1:";
  std::string err;
  int port_number = 0;
  ASSERT_TRUE(test::eventually([&] {
    err = p.stderr_text();
    const auto at = err.find(announce);
    if (at == std::string::npos) return false;
    port_number = std::atoi(err.c_str() + at + announce.size());
    return true;
  }, 30s)) << err;
  ASSERT_GT(port_number, 0) << err;
  const auto port = static_cast<std::uint16_t>(port_number);

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
