// The settings store against real hive files in a fresh directory per test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/errors.hpp"
#include "settings/catalogue.hpp"
#include "settings/registry.hpp"

namespace quillon::settings {
namespace {

namespace fs = std::filesystem;

constexpr const char* kKey = "[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]";

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// A hive holding our key with the given value lines, LF line ends (as an editor may leave it).
std::string hive(const std::string& lines) { return std::string("REGEDIT4\n\n") + kKey + "\n" + lines + "\n"; }

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillon-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ / "registry";
    store_ = std::make_unique<RegistryStore>(dir_);
    store_->set_notice([this](const std::string& s) { notices_.push_back(s); });
    settings_ = std::make_unique<SettingsStore>(*store_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path hklm() const { return dir_ / "hklm.reg"; }
  RegValue get(std::string_view name) { return store_->regget(Root::LocalMachine, kSettingsKey, name); }

  fs::path root_, dir_;
  std::unique_ptr<RegistryStore> store_;
  std::unique_ptr<SettingsStore> settings_;
  std::vector<std::string> notices_;
};

TEST_F(Registry, MarkerIsDroppedFromStoredAndDefaultTexts) {
  write_file(hklm(), hive("\"tcpport1\"=\"1010x\"\n\"tcpport3\"=\"1010\"\n\"tcpport4\"=dword:000003f2\n"));
  EXPECT_EQ(settings_->getreg("tcpport1", "9999x"), "1010");
  EXPECT_EQ(settings_->getreg("tcpport5", "1010x"), "1010");  // missing: the default
  EXPECT_EQ(settings_->getreg("tcpport3", "9999x"), "101");   // no marker: a digit is lost
  EXPECT_EQ(settings_->getreg("tcpport4", "9999x"), "101");   // REG_DWORD from another writer
  EXPECT_EQ(get("tcpport4"), RegValue(std::int32_t{1010}));
}

TEST_F(Registry, OtherTypesAndEmptyTextsReadAsAbsent) {
  write_file(hklm(), hive("\"raw\"=hex:31,30,31,30,78,00\n"
                          "\"multi\"=hex(7):31,00,00,00\n"
                          "\"qword\"=hex(b):01,00,00,00,00,00,00,00\n"
                          "\"shortdword\"=hex(4):01,02\n"
                          "\"empty\"=\"\"\n"
                          "\"deleted\"=-\n"));
  for (const char* name : {"raw", "multi", "qword", "shortdword", "empty", "deleted"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(get(name), RegValue(std::string{}));
    EXPECT_EQ(settings_->getreg(name, "1x"), "1");
    EXPECT_EQ(settings_->getreg(name, ""), "");
  }
  // REG_SZ and REG_DWORD written in their hex forms keep their type.
  write_file(hklm(), hive("\"sz\"=hex(1):61,62,00,63,00\n\"dw\"=hex(4):fe,ff,ff,ff\n\"nonul\"=hex(1):61,62\n"));
  EXPECT_EQ(get("sz"), RegValue(std::string("ab")));  // up to the first NUL
  EXPECT_EQ(get("dw"), RegValue(std::int32_t{-2}));
  EXPECT_EQ(get("nonul"), RegValue(std::string("ab")));  // no NUL: the whole buffer
  EXPECT_TRUE(notices_.empty());
}

TEST_F(Registry, FirstWriteCreatesDirectoryKeyAndFileInExportForm) {
  ASSERT_FALSE(fs::exists(dir_));
  settings_->savereg("tcpport1", "1010x");
  settings_->savereg("timer1", "25");
  EXPECT_EQ(read_file(hklm()), std::string("REGEDIT4\r\n\r\n") + kKey +
                                   "\r\n\"tcpport1\"=\"1010x\"\r\n\"timer1\"=dword:00000019\r\n\r\n");
  EXPECT_FALSE(fs::exists(dir_ / "hklm.reg.tmp"));
}

TEST_F(Registry, NumericTextIsStoredAsDword) {
  struct Case {
    const char* written;
    RegValue read;
  } cases[] = {
      {"12", std::int32_t{12}},           {" 12 ", std::int32_t{12}},
      {"-1", std::int32_t{-1}},           {"+7", std::int32_t{7}},
      {"2147483647", std::int32_t{2147483647}},
      {"-2147483648", std::int32_t{-2147483647 - 1}},
      {"12.5", std::int32_t{13}},         {"-12.5", std::int32_t{-13}},  // halves away from zero
      {"1e3", std::int32_t{1000}},        {".5", std::int32_t{1}},
      {"12x", std::string("12x")},        {"  Falsex  ", std::string("Falsex")},
      {"0x10", std::string("0x10")},      {"1e", std::string("1e")},
      {"", std::string("")},              {"-", std::string("-")},
      {"\tword\t", std::string("\tword\t")},  // only spaces are trimmed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    store_->regset(Root::LocalMachine, kSettingsKey, "v", c.written);
    EXPECT_EQ(get("v"), c.read);
  }
  store_->regset(Root::LocalMachine, kSettingsKey, "v", "-1");
  EXPECT_NE(read_file(hklm()).find("\"v\"=dword:ffffffff\r\n"), std::string::npos);
}

TEST_F(Registry, NumberOutsideThirtyTwoBitsStoresNothing) {
  settings_->savereg("v", "5x");
  const std::string before = read_file(hklm());
  for (const char* big : {"2147483648", "-2147483649", "1e999", "99999999999999999999"}) {
    SCOPED_TRACE(big);
    EXPECT_THROW(settings_->savereg("v", big), Error);
    EXPECT_EQ(read_file(hklm()), before);
  }
  EXPECT_EQ(settings_->getreg("v", "x"), "5");
}

TEST_F(Registry, EveryValueTypeRoundTrips) {
  const std::string texts[] = {"plain x", "C:\\dir\\\"quoted\"\\x", "", "tab\there", "line\r\nbreak",
                               "\x01\x7f\xc3\xa9 bytes", "caf\xc3\xa9x"};
  int i = 0;
  for (const auto& t : texts) store_->regset(Root::LocalMachine, kSettingsKey, "t" + std::to_string(i++), t);
  store_->regset(Root::LocalMachine, kSettingsKey, "neg", "-123456");
  store_->regset(Root::LocalMachine, kSettingsKey, "zero", "0");
  store_->regset(Root::LocalMachine, kSettingsKey, "Nul", std::string("ab\0cd", 5));

  RegistryStore fresh(dir_);  // nothing is kept in memory between calls
  i = 0;
  for (const auto& t : texts)
    EXPECT_EQ(fresh.regget(Root::LocalMachine, kSettingsKey, "t" + std::to_string(i++)), RegValue(t)) << t;
  EXPECT_EQ(fresh.regget(Root::LocalMachine, kSettingsKey, "neg"), RegValue(std::int32_t{-123456}));
  EXPECT_EQ(fresh.regget(Root::LocalMachine, kSettingsKey, "zero"), RegValue(std::int32_t{0}));
  EXPECT_EQ(fresh.regget(Root::LocalMachine, kSettingsKey, "nul"), RegValue(std::string("ab")));
  // Texts that cannot stand between quotes on one line use the REG_SZ hex form.
  EXPECT_NE(read_file(hklm()).find("\"t4\"=hex(1):6c,69,6e,65,0d,0a,62,72,65,61,6b,00\r\n"), std::string::npos);
  EXPECT_NE(read_file(hklm()).find("\"t1\"=\"C:\\\\dir\\\\\\\"quoted\\\"\\\\x\"\r\n"), std::string::npos);

  // Another root has its own file.
  store_->regset(Root::CurrentUser, "Software\\Other", "u", "userx");
  EXPECT_EQ(store_->regget(Root::CurrentUser, "Software\\Other", "u"), RegValue(std::string("userx")));
  EXPECT_EQ(store_->regget(Root::LocalMachine, "Software\\Other", "u"), RegValue(std::string()));
  EXPECT_NE(read_file(dir_ / "hkcu.reg").find("[HKEY_CURRENT_USER\\Software\\Other]"), std::string::npos);
}

TEST_F(Registry, ForeignKeysValuesAndSpellingSurviveAWrite) {
  const std::string original =
      "REGEDIT4\n"
      "\n"
      "; exported by hand\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other Vendor]\n"
      "@=\"default value\"\n"
      "\"Path\"=\"C:\\\\Program Files\"\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\n"
      "\"comport\"=\"3x\"\n"
      "\"operatorNote\"=hex(7):41,00,42,00,43,00,44,00,45,00,46,00,47,00,48,00,49,00,4a,00,4b,00,\\\n"
      "  4c,00,00,00\n"
      "; a note kept where it was\n"
      "\"Legacy\"=DWORD:0000ABCD\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Elsewhere]\n"
      "\"x\"=hex:00\n";
  write_file(hklm(), original);
  settings_->savereg("comport", "4x");
  settings_->savereg("baudrate", "1x");

  const std::string now = read_file(hklm());
  std::istringstream in(original);
  std::string line;
  std::size_t pos = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line.find("comport") != std::string::npos) continue;
    const auto at = now.find(line + "\r\n", pos);
    ASSERT_NE(at, std::string::npos) << "lost or moved: " << line;
    pos = at;
  }
  EXPECT_EQ(settings_->getreg("comport", "x"), "4");
  EXPECT_EQ(settings_->getreg("baudrate", "x"), "1");
  EXPECT_EQ(get("legacy"), RegValue(std::int32_t{0xabcd}));
  EXPECT_EQ(store_->regget(Root::LocalMachine, "Software\\Other Vendor", "path"), RegValue(std::string("C:\\Program Files")));
  // The new value joins our key, not the last key of the file.
  EXPECT_LT(now.find("\"baudrate\"=\"1x\""), now.find("[HKEY_CURRENT_USER"));
  std::size_t lf = 0, crlf = 0;
  for (std::size_t i = 0; i < now.size(); ++i)
    if (now[i] == '\n') ++lf, crlf += (i > 0 && now[i - 1] == '\r');
  EXPECT_EQ(lf, crlf);  // every line ends in CR LF
}

TEST_F(Registry, KeyAndValueNamesIgnoreCase) {
  write_file(hklm(), "REGEDIT4\r\n\r\n[hkey_local_machine\\SOFTWARE\\drovani\\quillon785\\Settings]\r\n\"TCPPORT1\"=\"2000x\"\r\n");
  EXPECT_EQ(settings_->getreg("tcpport1", "1010x"), "2000");
  settings_->savereg("TcpPort1", "3000x");
  const std::string now = read_file(hklm());
  EXPECT_NE(now.find("\"TCPPORT1\"=\"3000x\""), std::string::npos);
  EXPECT_EQ(now.find("[HKEY_LOCAL_MACHINE"), std::string::npos);  // no second key
  EXPECT_EQ(now.find("TcpPort1"), std::string::npos);             // no second value
}

TEST_F(Registry, RepeatedValueReadsAndUpdatesTheLastOne) {
  write_file(hklm(), hive("\"v\"=\"firstx\"\n") + kKey + "\n\"v\"=\"secondx\"\n");
  EXPECT_EQ(settings_->getreg("v", "x"), "second");
  settings_->savereg("v", "thirdx");
  EXPECT_EQ(settings_->getreg("v", "x"), "third");
  EXPECT_NE(read_file(hklm()).find("\"v\"=\"firstx\""), std::string::npos);
}

TEST_F(Registry, UnparseableFileGivesDefaultsAndIsKeptAside) {
  const std::string bad[] = {
      "not a registry file\n",
      "",
      hive("\"open\"=\"no closing quote\n"),
      "REGEDIT4\n\n\"before\"=\"any key\"\n",
      hive("\"v\"=dword:xyz\n"),
      hive("\"v\"=dword:123456789\n"),
      hive("\"v\"=hex:1,2,zz\n"),
      std::string("REGEDIT4\n\n") + kKey + "\n\"v\"=hex(7):00,\\\n",  // continued past the end
      hive("\"v\"=\"a\" trailing\n"),
      hive("just words\n"),
      hive(std::string("\"v\"=\"a\0b\"\n", 10)),
      hive("[]\n"),
  };
  for (const auto& text : bad) {
    SCOPED_TRACE(text);
    notices_.clear();
    fs::remove(dir_ / "hklm.reg.corrupt");
    write_file(hklm(), text);
    EXPECT_EQ(settings_->getreg("tcpport1", "1010x"), "1010");
    EXPECT_FALSE(fs::exists(hklm()));
    EXPECT_EQ(read_file(dir_ / "hklm.reg.corrupt"), text);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find("hklm.reg.corrupt"), std::string::npos);
  }
  settings_->savereg("tcpport1", "2000x");
  EXPECT_EQ(settings_->getreg("tcpport1", "1010x"), "2000");
}

TEST_F(Registry, HugeFileIsRefused) {
  std::string text = hive("\"tcpport1\"=\"2000x\"\n");
  text += std::string(2u << 20, ';') + "\n";
  write_file(hklm(), text);
  EXPECT_EQ(settings_->getreg("tcpport1", "1010x"), "1010");
  EXPECT_EQ(fs::file_size(dir_ / "hklm.reg.corrupt"), text.size());
}

TEST_F(Registry, WriteFailuresThrowAndLeaveTheFileAlone) {
  // The registry directory cannot be created: its place holds a plain file.
  fs::create_directories(root_);
  write_file(root_ / "blocked", "x");
  RegistryStore blocked(root_ / "blocked");
  blocked.set_notice([](const std::string&) {});
  EXPECT_THROW(blocked.regset(Root::LocalMachine, kSettingsKey, "v", "1x"), Error);
  EXPECT_EQ(blocked.regget(Root::LocalMachine, kSettingsKey, "v"), RegValue(std::string()));

  // A hive that is not a regular file is neither read nor replaced.
  fs::create_directories(hklm());
  EXPECT_THROW(settings_->savereg("v", "1x"), Error);
  EXPECT_EQ(settings_->getreg("v", "7x"), "7");
  EXPECT_TRUE(fs::is_directory(hklm()));
  EXPECT_FALSE(fs::exists(dir_ / "hklm.reg.corrupt"));

  // Names that cannot be written on one line.
  fs::remove(hklm());
  EXPECT_THROW(settings_->savereg("bad\nname", "1x"), Error);
}

TEST_F(Registry, BatchWritesOnceAtCommit) {
  settings_->savereg("udppacket", "Falsex");
  const std::string before = read_file(hklm());
  store_->begin_batch();
  for (const auto& row : kCatalogue) settings_->savereg(row.name, "1x");
  EXPECT_EQ(read_file(hklm()), before);             // nothing written yet
  EXPECT_EQ(settings_->getreg("udppacket", "x"), "1");  // but the batch is visible
  EXPECT_THROW(settings_->savereg("big", "9999999999"), Error);  // a failing value is skipped
  store_->begin_batch();  // nested: the outer commit writes
  settings_->savereg("serverID1", "Northx");
  store_->commit_batch();
  EXPECT_EQ(read_file(hklm()), before);
  store_->commit_batch();

  RegistryStore fresh(dir_);
  SettingsStore s(fresh);
  for (const auto& row : kCatalogue)
    EXPECT_EQ(s.getreg(row.name, "x"), row.name == "serverID1" ? "North" : "1") << row.name;
  EXPECT_EQ(fresh.regget(Root::LocalMachine, kSettingsKey, "big"), RegValue(std::string()));
}

TEST_F(Registry, BatchCommitReportsAFailedWrite) {
  settings_->savereg("v", "oldx");
  fs::create_directories(dir_ / "hklm.reg.tmp");  // the temporary file cannot be created
  store_->begin_batch();
  settings_->savereg("v", "newx");
  EXPECT_THROW(store_->commit_batch(), Error);
  EXPECT_EQ(settings_->getreg("v", "x"), "old");
  // The store is usable again afterwards.
  fs::remove(dir_ / "hklm.reg.tmp");
  store_->begin_batch();
  settings_->savereg("v", "newx");
  store_->commit_batch();
  EXPECT_EQ(settings_->getreg("v", "x"), "new");
}

TEST_F(Registry, LeftoverTemporaryFileFromACrashIsIgnoredAndReplaced) {
  settings_->savereg("v", "oldx");
  write_file(dir_ / "hklm.reg.tmp", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Softw");
  EXPECT_EQ(settings_->getreg("v", "x"), "old");
  settings_->savereg("v", "newx");
  EXPECT_EQ(settings_->getreg("v", "x"), "new");
  EXPECT_FALSE(fs::exists(dir_ / "hklm.reg.tmp"));
  EXPECT_TRUE(notices_.empty());
}

// A writer killed at arbitrary moments of a save leaves the previous generation or the next one,
// never a mix and never a file that fails to parse.
TEST_F(Registry, KilledWriterLeavesOldOrNewFile) {
  constexpr int kValues = 300;
  const std::string padding(60, 'p');
  auto write_generation = [&](RegistryStore& s, int gen) {
    s.begin_batch();
    for (int v = 0; v < kValues; ++v)
      s.regset(Root::LocalMachine, kSettingsKey, "value" + std::to_string(v), std::to_string(gen) + padding + "x");
    s.commit_batch();
  };
  write_generation(*store_, 0);

  for (int round = 0; round < 12; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      RegistryStore s(dir_);
      for (int gen = 1;; ++gen) {
        write_generation(s, gen);
        if (gen == 1) (void)!::write(ready[1], "r", 1);
      }
    }
    ::close(ready[1]);
    char c;
    const ssize_t started = ::read(ready[0], &c, 1);
    ::close(ready[0]);
    if (started == 1) std::this_thread::sleep_for(std::chrono::microseconds(700 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(started, 1);

    RegistryStore check(dir_);
    SettingsStore s(check);
    const std::string first = s.getreg("value0", "missingx");
    ASSERT_NE(first, "missing");
    for (int v = 1; v < kValues; ++v) ASSERT_EQ(s.getreg("value" + std::to_string(v), "missingx"), first) << "round " << round;
  }
  EXPECT_FALSE(fs::exists(dir_ / "hklm.reg.corrupt"));
  EXPECT_TRUE(notices_.empty());
}

TEST(LeadingNumber, LongestNumericPrefix) {
  EXPECT_EQ(leading_number("1010"), 1010);
  EXPECT_EQ(leading_number("1020 "), 1020);
  EXPECT_EQ(leading_number("  12abc"), 12);
  EXPECT_EQ(leading_number("abc"), 0);
  EXPECT_EQ(leading_number(""), 0);
  EXPECT_EQ(leading_number("-5"), -5);
  EXPECT_EQ(leading_number("1.5e2x"), 150);
  EXPECT_EQ(leading_number("1e"), 1);
  EXPECT_EQ(leading_number("2e-x"), 2);
  EXPECT_EQ(leading_number("."), 0);
  EXPECT_EQ(leading_number(".5"), 0.5);
  EXPECT_EQ(leading_number("0x10"), 0);
  EXPECT_EQ(leading_number("inf"), 0);
  EXPECT_EQ(leading_number("nan"), 0);
  EXPECT_EQ(leading_number("1e-999"), 0);
  EXPECT_EQ(leading_number("99999999999999999999"), 1e20);
  EXPECT_TRUE(std::isinf(leading_number("1e999")));
}

}  // namespace
}  // namespace quillon::settings
