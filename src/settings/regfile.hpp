#pragma once
// The text form of a hive: a Windows "REGEDIT4" export file.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Drovani\Quillon785\settings]
//   "serverID1"="North \"A\"x"
//   "timer1"=dword:00000019
//   "blob"=hex:01,02,03
//   "other"=hex(7):41,00,00,00
//
// Every value keeps its registry type and data bytes; a value nobody changed is written back
// exactly as it was read (same lines, same spelling), so keys and values owned by others survive
// every save. Lines end in CR LF on write; CR LF or LF are accepted on read.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::settings {

// Registry value types as stored in hex(N) forms.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;

struct RegData {
  std::uint32_t type = kRegSz;
  std::string bytes;  // the stored data; a REG_SZ holds its counted NUL here
  bool operator==(const RegData&) const = default;
};

struct RegEntry {
  bool comment = false;           // a ";" line kept in place
  std::string name;               // value name; "" is the key's default value ("@")
  std::optional<RegData> data;    // nullopt: the "=-" form (a deletion line of an import file)
  std::vector<std::string> raw;   // the lines as read; empty once the value is changed here
};

struct RegSection {
  std::string key;  // the text between the brackets: root and key path
  std::vector<RegEntry> entries;
};

struct RegFile {
  std::string header = "REGEDIT4";
  std::vector<std::string> preamble;  // comment lines before the first key
  std::vector<RegSection> sections;
};

// Parses a whole file. nullopt when the text is not a readable export file.
std::optional<RegFile> parse_regfile(std::string_view text);

// The file text, CR LF line ends.
std::string format_regfile(const RegFile& file);

// Case-insensitive comparison of key paths and value names, as the registry does.
bool same_name(std::string_view a, std::string_view b);

// The value named `name` in the key `key` (root and path, e.g. "HKEY_LOCAL_MACHINE\Software\X");
// the last one when the file repeats it, as an import would leave it. nullptr when absent.
const RegEntry* find_value(const RegFile& file, std::string_view key, std::string_view name);

// Sets a value, creating the key when the file lacks it.
void set_value(RegFile& file, std::string_view key, std::string_view name, RegData data);

}  // namespace quillon::settings
