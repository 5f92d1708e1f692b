// The export-file grammar on its own: what is accepted, and that written files read back.
#include <gtest/gtest.h>

#include "settings/regfile.hpp"

namespace quillon::settings {
namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\Software\\Test";

TEST(RegFile, LongHexDataWrapsAndReadsBack) {
  RegFile f;
  std::string bytes;
  for (int i = 0; i < 200; ++i) bytes += static_cast<char>(i);
  set_value(f, kKey, "blob", RegData{kRegBinary, bytes});
  set_value(f, kKey, "multi", RegData{7, std::string("a\0b\0\0", 5)});
  set_value(f, kKey, "emptybin", RegData{kRegBinary, ""});
  set_value(f, kKey, "", RegData{kRegSz, std::string("default\0", 8)});
  const std::string text = format_regfile(f);
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    start = end + 2;
  }
  EXPECT_NE(text.find("\"blob\"=hex:00,01,02,"), std::string::npos);
  EXPECT_NE(text.find("\"multi\"=hex(7):61,00,62,00,00\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"emptybin\"=hex:\r\n"), std::string::npos);
  EXPECT_NE(text.find("@=\"default\"\r\n"), std::string::npos);

  auto back = parse_regfile(text);
  ASSERT_TRUE(back);
  for (const char* name : {"blob", "multi", "emptybin", ""}) {
    const RegEntry* a = find_value(f, kKey, name);
    const RegEntry* b = find_value(*back, kKey, name);
    ASSERT_TRUE(a && b) << name;
    EXPECT_EQ(a->data, b->data) << name;
  }
  // Written again unchanged, the file is the same text.
  EXPECT_EQ(format_regfile(*back), text);
}

TEST(RegFile, LenientWhereEditorsDiffer) {
  // A byte-order mark, the version-5 header, blanks around lines and hex bytes, a lone
  // backslash in a text, trailing comma in hex data.
  auto f = parse_regfile(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "  [HKEY_LOCAL_MACHINE\\Software\\Test]  \r\n"
      "  \"path\" = \"C:\\temp\"\t\r\n"
      "\"bytes\"=hex: 0a , 0B,\r\n"
      "\"d\"=dword:c\r\n");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->header, "Windows Registry Editor Version 5.00");
  EXPECT_EQ(find_value(*f, kKey, "PATH")->data, (RegData{kRegSz, std::string("C:\\temp\0", 8)}));
  EXPECT_EQ(find_value(*f, kKey, "bytes")->data, (RegData{kRegBinary, "\x0a\x0b"}));
  EXPECT_EQ(find_value(*f, kKey, "d")->data, (RegData{kRegDword, std::string("\x0c\0\0\0", 4)}));
  EXPECT_EQ(find_value(*f, kKey, "missing"), nullptr);
  EXPECT_EQ(find_value(*f, "HKEY_LOCAL_MACHINE\\Software", "path"), nullptr);  // no subkey lookup
}

TEST(RegFile, RejectsWhatIsNotAnExportFile) {
  for (const char* text : {"", "REGEDIT5\n", "REGEDIT4\n[K]\n\"v\"=hex(zz):00\n", "REGEDIT4\n[K]\n\"v\"=hex(1:00\n",
                           "REGEDIT4\n[K]\n\"v\"=hex:100\n", "REGEDIT4\n[K]\n\"v\"=hex:01,,02\n",
                           "REGEDIT4\n[K]\n\"v\"\n", "REGEDIT4\n[K]\n\"\"=\"empty name\"\n", "REGEDIT4\n[K\n",
                           "REGEDIT4\n[K]\n\"v\"=str\n"}) {
    EXPECT_FALSE(parse_regfile(text)) << text;
  }
  EXPECT_TRUE(parse_regfile("REGEDIT4"));  // header only: an empty hive
}

}  // namespace
}  // namespace quillon::settings
