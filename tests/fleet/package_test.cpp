// The Debian package: built by scripts/make-deb from this build, lintian-clean, installed into
// an empty root with the files and the unit in place and the user made, and removed cleanly.

#include <gtest/gtest.h>

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

// The packaged server started as its unit starts it: the unit's user, only the unit's
// capabilities (bounding set and ambient), no home, session or sound server, the unit's
// ExecStart. Channel 1's data port is below 1024: with the capability it listens and no line of
// standard error repeats; without it the server says so once, on the status page and in /metrics.
TEST(Package, TheServerRunAsTheUnitRunsItListensBelow1024AndWithoutTheCapabilitySaysSoOnce) {
  if (::geteuid() != 0 || !test::have("dpkg-deb") || !test::have("dpkg-shlibdeps") || !test::have("setpriv") || !test::have("systemd-sysusers"))
    GTEST_SKIP() << "needs root, dpkg-dev, setpriv and systemd-sysusers";
  const auto dir = test::fresh_temp_dir("deb-run");
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const fs::path log = dir / "log.txt", root = dir / "root";
  ASSERT_EQ(run(std::string(QUILLON_SOURCE_DIR) + "/scripts/make-deb " + QUILLON_BUILD_DIR, log), 0) << test::Process::slurp(log);
  const std::string deb = test::Process::slurp(log).substr(0, test::Process::slurp(log).find('\n'));
  for (const char* d : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "etc"}) fs::create_directories(root / d);
  std::ofstream(root / "var/lib/dpkg/status").flush();
  std::ofstream(root / "etc/group") << "root:x:0:\ndialout:x:20:\naudio:x:29:\n";
  std::ofstream(root / "etc/passwd") << "root:x:0:0:root:/root:/bin/sh\n";
  ASSERT_EQ(run("dpkg --root='" + root.string() + "' --force-script-chrootless --force-depends --log=/dev/null -i '" + deb + "'", log), 0)
      << test::Process::slurp(log);

  const std::string unit = test::Process::slurp(root / "lib/systemd/system/quillon.service");
  EXPECT_EQ(unit_value(unit, "CapabilityBoundingSet"), "CAP_NET_BIND_SERVICE");
  EXPECT_NE(unit_value(unit, "PrivateUsers"), "yes");  // a capability inside a user namespace binds nothing here
  const std::string caps = unit_value(unit, "AmbientCapabilities") == "CAP_NET_BIND_SERVICE" ? "-all,+net_bind_service" : "-all";
  std::istringstream exec(unit_value(unit, "ExecStart"));
  std::vector<std::string> argv;
  for (std::string a; exec >> a;) argv.push_back(a.front() == '/' ? (root / a.substr(1)).string() : a);
  // The account the package made: "quillon:x:UID:GID:...".
  const std::string passwd = test::Process::slurp(root / "etc/passwd");
  const auto at = passwd.find("\n" + unit_value(unit, "User") + ":x:");
  ASSERT_NE(at, std::string::npos) << passwd;
  std::istringstream ids(passwd.substr(passwd.find(":x:", at) + 3));
  std::string uid, gid;
  std::getline(ids, uid, ':');
  std::getline(ids, gid, ':');

  // The state directory as systemd makes it; channel 1's data port below 1024, the others above.
  int port = 1000;
  for (; port > 600 && !test::port_free_as_root(port); --port) {
  }
  const fs::path data = root / "var/lib/quillon";
  {
    settings::RegistryStore reg(data / "registry");
    settings::SettingsStore st(reg);
    for (int i = 2; i <= 9; ++i) st.savereg("tcpport" + std::to_string(i), std::to_string(test::free_port()) + "x");
    st.savereg("tcpport1", std::to_string(port) + "x");
  }
  ASSERT_EQ(run("chown -R " + uid + ":" + gid + " '" + data.string() + "'", log), 0);
  auto start = [&](const std::string& given, const std::string& tag, int console_port) {
    std::vector<std::string> cmd = {"/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "/usr/bin/setpriv", "--reuid=" + uid,
                                    "--regid=" + gid, "--clear-groups", "--no-new-privs", "--bounding-set=" + given, "--inh-caps=" + given};
    if (given != "-all") cmd.push_back("--ambient-caps=" + given);
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    cmd.insert(cmd.end(), {"--console", "127.0.0.1:" + std::to_string(console_port)});
    return std::make_unique<test::Process>(cmd, dir / tag);
  };
  {
    auto server = start(caps, "with", test::free_port());
    EXPECT_TRUE(test::eventually([&] {
      const int fd = test::connect_tcp(port);
      if (fd >= 0) ::close(fd);
      return fd >= 0;
    }, 20s)) << server->stderr_text();
    std::this_thread::sleep_for(3s);  // audio retries and the like have had their turns
#if defined(__SANITIZE_ADDRESS__)
    // Built with the sanitizers, the server leaves standard error to them (their reports come as
    // it dies), so the sound library's own lines pass unfunnelled: only the server's are held.
    constexpr bool kFunnelled = false;
#else
    constexpr bool kFunnelled = true;
#endif
    std::istringstream lines(server->stderr_text());
    std::set<std::string> seen;
    for (std::string l; std::getline(lines, l);) {
      if (!kFunnelled && l.rfind("quillon: ", 0) != 0) continue;
      EXPECT_TRUE(seen.insert(l).second) << "said twice: " << l;
    }
  }
  const int console_port = test::free_port();
  auto server = start("-all", "without", console_port);
  const std::string want = "channel 1: data port " + std::to_string(port) +
                           " cannot listen: Permission denied; ports below 1024 need root or CAP_NET_BIND_SERVICE; "
                           "the packaged unit grants it; or pick ports above 1023";
  std::string page;
  ASSERT_TRUE(test::eventually([&] {
    page = test::body_of(test::http_get(console_port, "/metrics"));
    return test::sample(page, "quillon_faults_total{kind=\"data_port\",channel=\"1\"}") == 1;
  }, 20s)) << page << server->stderr_text();
  const auto window = nlohmann::json::parse(test::body_of(test::http_get(console_port, "/api/window")), nullptr, false);
  std::string shown;
  for (const auto& c : window["controls"])
    if (c.value("name", "") == "lblPortFault" && c.value("index", -1) == 0) shown = c.value("caption", "");
  EXPECT_EQ("channel 1: " + shown, want);
  std::this_thread::sleep_for(3s);
  const std::string err = server->stderr_text();
  EXPECT_NE(err.find(want), std::string::npos) << err;
  EXPECT_EQ(err.find(want), err.rfind(want)) << err;
  server.reset();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon
