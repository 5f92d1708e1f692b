#include "settings/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace quillon::settings {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The longest prefix of s of the form [sign]digits[.digits][e[sign]digits] (at least one digit
// in the mantissa): its value, and its length in `len` (0 when there is none).
double number_prefix(std::string_view s, std::size_t& len) {
  len = 0;
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  const std::size_t start = i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return 0;
  bool tiny = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) tiny = s[j++] == '-';
    const std::size_t exp_start = j;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    if (j > exp_start) i = j;
    else tiny = false;
  }
  len = i;
  double v = 0;
  const auto r = std::from_chars(s.data() + start, s.data() + i, v);
  if (r.ec == std::errc::result_out_of_range) v = tiny ? 0.0 : HUGE_VAL;
  return neg ? -v : v;
}

// Beyond this a double no longer holds every whole number; nothing here is that large.
constexpr double kWholeLimit = 9007199254740992.0;  // 2^53

}  // namespace

double leading_number(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  std::size_t len = 0;
  return number_prefix(text, len);
}

std::optional<double> numeric_value(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  std::size_t len = 0;
  const double v = number_prefix(s, len);
  if (len == 0 || len != s.size()) return std::nullopt;
  return v;
}

std::optional<std::int64_t> whole_number(double v, Rounding how) {
  if (!std::isfinite(v)) return std::nullopt;
  const double w = how == Rounding::Down ? std::floor(v) : std::round(v);
  if (!(std::fabs(w) <= kWholeLimit)) return std::nullopt;
  return static_cast<std::int64_t>(w);
}

int whole_in_range(std::string_view text, int lo, int hi, int otherwise, Rounding how) {
  const auto w = whole_number(leading_number(text), how);
  if (!w || *w < lo || *w > hi) return otherwise;
  return static_cast<int>(*w);
}

std::string number_text(double v) {
  if (const auto w = whole_number(v); w && static_cast<double>(*w) == v) return std::to_string(*w);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace quillon::settings
