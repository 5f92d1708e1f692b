// quillon-client against the real server: one frame as JSON, the version reply, a refusal.

#include <gtest/gtest.h>

#include "integration/netdata_tcp_client.hpp"
#include "settings/registry.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

TEST(ClientTool, PrintsOneFrameAsJsonAndTheVersionReply) {
  const auto dir = test::fresh_temp_dir("client-tool");
  const int port = test::free_port();
  {
    settings::RegistryStore reg(dir / "data" / "registry");
    settings::SettingsStore s(reg);
    s.savereg("tcpport1", std::to_string(port) + "x");
    s.savereg("tcpport3", std::to_string(test::free_port()) + "x");
  }
  test::Process server({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "off"}, dir);
  ASSERT_TRUE(test::eventually([&] { return test::TcpClient(port).connected(); }, 30s)) << server.stderr_text();

  test::Process client({QUILLON_CLIENT, "--once", "--json", "--send", "GET VER?", std::to_string(port)}, dir / "c1");
  auto code = client.wait_exit(30s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0) << client.stderr_text();
  const std::string out = client.stdout_text();
  EXPECT_NE(out.find("{\"reply\":\"?VER=1.21\"}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"port1\":\"" + std::to_string(port) + "\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"UDP\":\"False\"}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"slot\":"), std::string::npos) << out;

  server.signal(SIGTERM);
  ASSERT_TRUE(server.wait_exit(10s).has_value());
  // Nobody listens any more: a clear message and its own exit status.
  test::Process refused({QUILLON_CLIENT, "--once", std::to_string(port)}, dir / "c2");
  code = refused.wait_exit(30s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3);
  EXPECT_NE(refused.stderr_text().find("cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillon
