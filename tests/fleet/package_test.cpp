// The Debian package: built by scripts/make-deb from this build, lintian-clean, installed into
// an empty root with the files and the unit in place and the user made, and removed cleanly.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "fleet/fleet_support.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs a shell command; its output goes to `log`. The exit status.
int run(const std::string& cmd, const fs::path& log) {
  const int st = std::system((cmd + " > '" + log.string() + "' 2>&1").c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(Package, BuildsLintianCleanInstallsIntoAnEmptyRootAndRemovesCleanly) {
  if (!test::have("dpkg-deb") || !test::have("dpkg-shlibdeps")) GTEST_SKIP() << "dpkg-dev not installed";
  const auto dir = test::fresh_temp_dir("deb");
  const fs::path log = dir / "log.txt";
  ASSERT_EQ(run(std::string(QUILLON_SOURCE_DIR) + "/scripts/make-deb " + QUILLON_BUILD_DIR, log), 0) << test::Process::slurp(log);
  std::string deb = test::Process::slurp(log);
  deb = deb.substr(0, deb.find('\n'));
  ASSERT_TRUE(deb.ends_with(".deb") && fs::exists(deb)) << deb;

  if (test::have("lintian")) {
    EXPECT_EQ(run("lintian --fail-on error --tag-display-limit 0 '" + deb + "'", dir / "lintian.txt"), 0)
        << test::Process::slurp(dir / "lintian.txt");
  } else {
    std::cout << "lintian not installed: package check skipped\n";
  }

  // An empty root of its own; the maintainer scripts run outside it with DPKG_ROOT set.
  const fs::path root = dir / "root";
  fs::create_directories(root / "var/lib/dpkg/info");
  fs::create_directories(root / "var/lib/dpkg/updates");
  fs::create_directories(root / "etc");
  std::ofstream(root / "var/lib/dpkg/status").flush();
  std::ofstream(root / "etc/group") << "root:x:0:\ndialout:x:20:\naudio:x:29:\n";
  std::ofstream(root / "etc/passwd") << "root:x:0:0:root:/root:/bin/sh\n";
  const std::string dpkg = "dpkg --root='" + root.string() + "' --force-script-chrootless --force-depends --log=/dev/null ";
  ASSERT_EQ(run(dpkg + "-i '" + deb + "'", log), 0) << test::Process::slurp(log);

  for (const char* f : {"usr/bin/quillon", "usr/bin/quillon-client", "usr/bin/quillon-scanner-sim", "lib/systemd/system/quillon.service",
                        "usr/lib/sysusers.d/quillon.conf", "etc/quillon/quillon.toml", "usr/share/man/man8/quillon.8.gz",
                        "usr/share/man/man1/quillon-client.1.gz", "usr/share/man/man1/quillon-scanner-sim.1.gz",
                        "usr/share/doc/quillon/examples/quillon.toml", "usr/share/doc/quillon/copyright"})
    EXPECT_TRUE(fs::exists(root / f)) << f;
  const std::string unit = test::Process::slurp(root / "lib/systemd/system/quillon.service");
  EXPECT_NE(unit.find("Type=notify"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=/usr/bin/quillon "), std::string::npos);
  EXPECT_NE(unit.find("WatchdogSec="), std::string::npos);
  // The installed programs run, and the shipped configuration is valid.
  EXPECT_EQ(run((root / "usr/bin/quillon").string() + " --check-config '" + (root / "etc/quillon/quillon.toml").string() + "'", log), 0)
      << test::Process::slurp(log);
  // The account was made in the root (by systemd-sysusers) and nothing was enabled.
  if (test::have("systemd-sysusers")) {
    EXPECT_NE(test::Process::slurp(root / "etc/passwd").find("quillon:"), std::string::npos) << test::Process::slurp(root / "etc/passwd");
    EXPECT_NE(test::Process::slurp(root / "etc/group").find("dialout:x:20:quillon"), std::string::npos)
        << test::Process::slurp(root / "etc/group");
  }
  EXPECT_FALSE(fs::exists(root / "etc/systemd/system/multi-user.target.wants/quillon.service"));

  // Removal, then purge: programs, unit and (on purge) the configuration and data go.
  fs::create_directories(root / "var/lib/quillon/registry");
  ASSERT_EQ(run(dpkg + "-r quillon", log), 0) << test::Process::slurp(log);
  EXPECT_FALSE(fs::exists(root / "usr/bin/quillon"));
  EXPECT_FALSE(fs::exists(root / "lib/systemd/system/quillon.service"));
  EXPECT_TRUE(fs::exists(root / "etc/quillon/quillon.toml"));  // a conffile stays until purge
  ASSERT_EQ(run(dpkg + "-P quillon", log), 0) << test::Process::slurp(log);
  EXPECT_FALSE(fs::exists(root / "etc/quillon/quillon.toml"));
  EXPECT_FALSE(fs::exists(root / "var/lib/quillon"));
  fs::remove_all(dir);
}


// The value of `key=` in the unit ("" when absent).
std::string unit_value(const std::string& unit, const std::string& key) {
  const auto at = unit.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  const auto from = at + key.size() + 2;
  return unit.substr(from, unit.find('\n', from) - from);
}

// A port below 1024 that nothing listens on (found by binding it as root); 0 when none is.
int free_privileged_port() {
  for (int port = 1000; port > 600; --port) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return port;
  }
  return 0;
}

// The packaged server started the way its unit starts it: as the unit's user with only the
// unit's capabilities (bounding set and ambient), no home, no session, no sound server, the
// unit's ExecStart with the installed configuration. Channel 1's data port is below 1024: with
// the capability it listens; without it the server says so in one line naming the port, shows
// it on the status page and counts it, and no line of its standard error repeats.
TEST(Package, TheServerRunAsTheUnitRunsItListensBelow1024AndWithoutTheCapabilitySaysSoOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to change to the service user";
  if (!test::have("dpkg-deb") || !test::have("dpkg-shlibdeps") || !test::have("setpriv") || !test::have("systemd-sysusers"))
    GTEST_SKIP() << "dpkg-dev, setpriv or systemd-sysusers not installed";
  const auto dir = test::fresh_temp_dir("deb-run");
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const fs::path log = dir / "log.txt";
  ASSERT_EQ(run(std::string(QUILLON_SOURCE_DIR) + "/scripts/make-deb " + QUILLON_BUILD_DIR, log), 0) << test::Process::slurp(log);
  std::string deb = test::Process::slurp(log);
  deb = deb.substr(0, deb.find('\n'));
  const fs::path root = dir / "root";
  for (const char* d : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "etc"}) fs::create_directories(root / d);
  std::ofstream(root / "var/lib/dpkg/status").flush();
  std::ofstream(root / "etc/group") << "root:x:0:\ndialout:x:20:\naudio:x:29:\n";
  std::ofstream(root / "etc/passwd") << "root:x:0:0:root:/root:/bin/sh\n";
  ASSERT_EQ(run("dpkg --root='" + root.string() + "' --force-script-chrootless --force-depends --log=/dev/null -i '" + deb + "'", log), 0)
      << test::Process::slurp(log);

  // What the unit says.
  const std::string unit = test::Process::slurp(root / "lib/systemd/system/quillon.service");
  EXPECT_EQ(unit_value(unit, "CapabilityBoundingSet"), "CAP_NET_BIND_SERVICE");
  EXPECT_EQ(unit_value(unit, "AmbientCapabilities"), "CAP_NET_BIND_SERVICE");
  EXPECT_NE(unit_value(unit, "PrivateUsers"), "yes");  // capabilities inside a user namespace bind nothing
  const std::string user = unit_value(unit, "User");
  std::istringstream exec(unit_value(unit, "ExecStart"));
  std::vector<std::string> argv;
  for (std::string a; exec >> a;) argv.push_back(a.front() == '/' ? (root / a.substr(1)).string() : a);
  ASSERT_FALSE(argv.empty());
  // The account the package made in the root.
  std::istringstream passwd(test::Process::slurp(root / "etc/passwd"));
  std::string uid, gid;
  for (std::string line; std::getline(passwd, line);)
    if (line.rfind(user + ":", 0) == 0) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string x; std::getline(fields, x, ':');) f.push_back(x);
      uid = f.at(2);
      gid = f.at(3);
    }
  ASSERT_FALSE(uid.empty()) << test::Process::slurp(root / "etc/passwd");

  // The state directory as systemd makes it, with channel 1's data port below 1024 and the
  // other ports free ones above.
  const int port = free_privileged_port();
  ASSERT_GT(port, 0);
  const fs::path data = root / "var/lib/quillon";
  {
    settings::RegistryStore reg(data / "registry");
    settings::SettingsStore st(reg);
    for (int i = 2; i <= 9; ++i) st.savereg("tcpport" + std::to_string(i), std::to_string(test::free_port()) + "x");
    st.savereg("tcpport1", std::to_string(port) + "x");
  }
  ASSERT_EQ(run("chown -R " + uid + ":" + gid + " '" + data.string() + "'", log), 0) << test::Process::slurp(log);

  // setpriv's spelling of a capability list in the unit ("CAP_NET_BIND_SERVICE" -> "-all,+net_bind_service").
  auto setpriv_caps = [&](const std::string& key) {
    std::string caps = "-all";
    std::istringstream in(unit_value(unit, key));
    for (std::string c; in >> c;) {
      std::string name;
      for (char ch : c.substr(c.rfind("CAP_", 0) == 0 ? 4 : 0)) name += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      caps += ",+" + name;
    }
    return caps;
  };
  auto start = [&](bool unit_capabilities, const std::string& tag, int console_port) {
    const std::string bounding = unit_capabilities ? setpriv_caps("CapabilityBoundingSet") : "-all";
    const std::string ambient = unit_capabilities ? setpriv_caps("AmbientCapabilities") : "-all";
    std::vector<std::string> cmd = {"/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "/usr/bin/setpriv",
                                    "--reuid=" + uid, "--regid=" + gid, "--clear-groups", "--no-new-privs",
                                    "--bounding-set=" + bounding, "--inh-caps=" + ambient};
    if (ambient != "-all") cmd.push_back("--ambient-caps=" + ambient);
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    cmd.push_back("--console");
    cmd.push_back("127.0.0.1:" + std::to_string(console_port));
    return std::make_unique<test::Process>(cmd, dir / tag);
  };

  {  // As the unit runs it: the data port listens.
    auto server = start(true, "with", test::free_port());
    EXPECT_TRUE(test::eventually([&] {
      const int fd = test::connect_tcp(port);
      if (fd >= 0) ::close(fd);
      return fd >= 0;
    }, 20s)) << server->stderr_text();
    std::this_thread::sleep_for(3s);  // audio retries and the like have had their turns
    const std::string err = server->stderr_text();
    EXPECT_EQ(err.find("cannot listen"), std::string::npos) << err;
    std::istringstream lines(err);
    std::set<std::string> seen;
    for (std::string l; std::getline(lines, l);) EXPECT_TRUE(seen.insert(l).second) << "said twice: " << l << "\n" << err;
    server->stop(SIGTERM);
  }
  {  // Without the capability: one line naming the port and what to do, on the page, counted.
    const int console_port = test::free_port();
    auto server = start(false, "without", console_port);
    const std::string want = "channel 1: data port " + std::to_string(port) +
                             " cannot listen: Permission denied; ports below 1024 need root or CAP_NET_BIND_SERVICE; "
                             "the packaged unit grants it; or pick ports above 1023";
    ASSERT_TRUE(test::eventually([&] { return server->stderr_text().find(want) != std::string::npos; }, 20s)) << server->stderr_text();
    std::string page;
    ASSERT_TRUE(test::eventually([&] {
      page = test::body_of(test::http_get(console_port, "/metrics"));
      return test::sample(page, "quillon_faults_total{kind=\"data_port\",channel=\"1\"}") == 1;
    }, 20s)) << page;
    const auto window = nlohmann::json::parse(test::body_of(test::http_get(console_port, "/api/window")), nullptr, false);
    std::string shown;
    for (const auto& c : window["controls"])
      if (c.value("name", "") == "lblPortFault" && c.value("index", -1) == 0) shown = c.value("caption", "");
    EXPECT_NE(shown.find("data port " + std::to_string(port) + " cannot listen: Permission denied"), std::string::npos) << shown;
    std::this_thread::sleep_for(3s);
    const std::string err = server->stderr_text();
    EXPECT_EQ(err.find(want), err.rfind(want)) << err;
    server->stop(SIGTERM);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon
