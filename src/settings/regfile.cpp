#include "settings/regfile.hpp"

#include <cstdio>

namespace quillon::settings {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::size_t kWrapColumn = 77;  // regedit wraps hex data near 80 columns

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  return s;
}
std::string_view trim_right(std::string_view s) {
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && same_name(s.substr(0, prefix.size()), prefix);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a quoted text at the start of s (s[0] == '"'); REGEDIT4 escapes only \\ and \".
// A backslash before any other character stands for itself. Returns the text and moves s past
// the closing quote; nullopt when the quote is never closed.
std::optional<std::string> read_quoted(std::string_view& s) {
  std::string out;
  std::size_t i = 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[i + 1];
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  return std::nullopt;
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// "xx,xx,xx" (blanks allowed around bytes, a trailing comma tolerated).
std::optional<std::string> read_hex_bytes(std::string_view s) {
  std::string out;
  s = trim_right(trim_left(s));
  while (!s.empty()) {
    const auto comma = s.find(',');
    std::string_view tok = trim_right(trim_left(s.substr(0, comma)));
    s = comma == std::string_view::npos ? std::string_view{} : s.substr(comma + 1);
    if (tok.empty()) {
      if (trim_left(s).empty() && comma != std::string_view::npos) break;  // trailing comma
      return std::nullopt;
    }
    if (tok.size() > 2) return std::nullopt;
    int v = 0;
    for (char c : tok) {
      const int d = hex_digit(c);
      if (d < 0) return std::nullopt;
      v = v * 16 + d;
    }
    out += static_cast<char>(v);
  }
  return out;
}

// The data after "=": a quoted text, dword:, hex:, hex(N): or "-".
std::optional<std::optional<RegData>> read_data(std::string_view s) {
  if (s.empty()) return std::nullopt;
  if (s.front() == '"') {
    auto text = read_quoted(s);
    if (!text || !trim_left(s).empty()) return std::nullopt;
    *text += '\0';
    return std::optional<RegData>(RegData{kRegSz, std::move(*text)});
  }
  if (trim_right(s) == "-") return std::optional<RegData>();
  if (starts_with_nocase(s, "dword:")) {
    std::string_view digits = trim_right(s.substr(6));
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t v = 0;
    for (char c : digits) {
      const int d = hex_digit(c);
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<std::uint32_t>(d);
    }
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
    return std::optional<RegData>(RegData{kRegDword, std::move(bytes)});
  }
  if (starts_with_nocase(s, "hex")) {
    s.remove_prefix(3);
    std::uint32_t type = kRegBinary;
    if (!s.empty() && s.front() == '(') {
      const auto close = s.find(')');
      if (close == std::string_view::npos || close < 2 || close > 9) return std::nullopt;
      type = 0;
      for (char c : s.substr(1, close - 1)) {
        const int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        type = type * 16 + static_cast<std::uint32_t>(d);
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != ':') return std::nullopt;
    auto bytes = read_hex_bytes(s.substr(1));
    if (!bytes) return std::nullopt;
    return std::optional<RegData>(RegData{type, std::move(*bytes)});
  }
  return std::nullopt;
}

bool plain_text(const RegData& d) {
  if (d.type != kRegSz || d.bytes.empty() || d.bytes.back() != '\0') return false;
  for (std::size_t i = 0; i + 1 < d.bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(d.bytes[i]);
    if (c < 0x20 && c != '\t') return false;
  }
  return true;
}

std::vector<std::string> format_entry(const RegEntry& e) {
  std::string line = e.name.empty() ? std::string("@") : quote(e.name);
  line += '=';
  if (!e.data) return {line + "-"};
  const RegData& d = *e.data;
  if (plain_text(d)) return {line + quote(std::string_view(d.bytes).substr(0, d.bytes.size() - 1))};
  char buf[32];
  if (d.type == kRegDword && d.bytes.size() == 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d.bytes[static_cast<std::size_t>(i)]);
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    return {line + buf};
  }
  if (d.type == kRegBinary) {
    line += "hex:";
  } else {
    std::snprintf(buf, sizeof buf, "hex(%x):", d.type);
    line += buf;
  }
  std::vector<std::string> lines;
  bool first_on_line = true;
  for (std::size_t i = 0; i < d.bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(d.bytes[i]));
    std::string tok = buf;
    if (i + 1 < d.bytes.size()) tok += ',';
    if (!first_on_line && line.size() + tok.size() > kWrapColumn) {
      lines.push_back(line + "\\");
      line = "  ";
    }
    line += tok;
    first_on_line = false;
  }
  lines.push_back(line);
  return lines;
}

}  // namespace

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::optional<RegFile> parse_regfile(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (text.find('\0') != std::string_view::npos) return std::nullopt;

  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  if (lines.empty()) return std::nullopt;

  RegFile file;
  const std::string_view head = trim_right(lines[0]);
  if (head != kHeader4 && head != kHeader5) return std::nullopt;
  file.header = std::string(head);

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view raw = lines[i];
    std::string_view s = trim_right(trim_left(raw));
    if (s.empty()) continue;
    if (s.front() == ';') {
      if (file.sections.empty()) {
        file.preamble.emplace_back(raw);
      } else {
        RegEntry c;
        c.comment = true;
        c.raw.emplace_back(raw);
        file.sections.back().entries.push_back(std::move(c));
      }
      continue;
    }
    if (s.front() == '[') {
      if (s.back() != ']' || s.size() < 3) return std::nullopt;
      file.sections.push_back(RegSection{std::string(s.substr(1, s.size() - 2)), {}});
      continue;
    }
    if (file.sections.empty()) return std::nullopt;

    RegEntry e;
    e.raw.emplace_back(raw);
    if (s.front() == '@') {
      s.remove_prefix(1);
    } else if (s.front() == '"') {
      auto name = read_quoted(s);
      if (!name || name->empty()) return std::nullopt;
      e.name = std::move(*name);
    } else {
      return std::nullopt;
    }
    s = trim_left(s);
    if (s.empty() || s.front() != '=') return std::nullopt;
    std::string data(trim_left(s.substr(1)));
    // Hex data may run on over lines that end in a backslash.
    if (starts_with_nocase(data, "hex")) {
      while (!data.empty() && data.back() == '\\') {
        data.pop_back();
        if (++i >= lines.size()) return std::nullopt;
        e.raw.emplace_back(lines[i]);
        data += trim_left(trim_right(lines[i]));
      }
    }
    auto value = read_data(data);
    if (!value) return std::nullopt;
    e.data = std::move(*value);
    file.sections.back().entries.push_back(std::move(e));
  }
  return file;
}

std::string format_regfile(const RegFile& file) {
  std::string out;
  auto put = [&](std::string_view line) {
    out += line;
    out += "\r\n";
  };
  put(file.header);
  put("");
  for (const auto& p : file.preamble) put(p);
  if (!file.preamble.empty()) put("");
  for (const auto& sec : file.sections) {
    put("[" + sec.key + "]");
    for (const auto& e : sec.entries) {
      if (!e.raw.empty()) {
        for (const auto& l : e.raw) put(l);
      } else {
        for (const auto& l : format_entry(e)) put(l);
      }
    }
    put("");
  }
  return out;
}

const RegEntry* find_value(const RegFile& file, std::string_view key, std::string_view name) {
  const RegEntry* found = nullptr;
  for (const auto& sec : file.sections) {
    if (!same_name(sec.key, key)) continue;
    for (const auto& e : sec.entries)
      if (!e.comment && same_name(e.name, name)) found = &e;
  }
  return found;
}

void set_value(RegFile& file, std::string_view key, std::string_view name, RegData data) {
  if (auto* e = const_cast<RegEntry*>(find_value(file, key, name))) {
    e->data = std::move(data);
    e->raw.clear();
    return;
  }
  RegSection* target = nullptr;
  for (auto& sec : file.sections)
    if (same_name(sec.key, key)) target = &sec;
  if (!target) {
    file.sections.push_back(RegSection{std::string(key), {}});
    target = &file.sections.back();
  }
  RegEntry e;
  e.name = std::string(name);
  e.data = std::move(data);
  target->entries.push_back(std::move(e));
}

}  // namespace quillon::settings
