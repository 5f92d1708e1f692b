// The Debian package: built by scripts/make-deb from this build, lintian-clean, installed into
// an empty root with the files and the unit in place and the user made, and removed cleanly.

#include <gtest/gtest.h>

#include <fstream>

#include "fleet/fleet_support.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

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

}  // namespace
}  // namespace quillon
