#pragma once
// Numbers typed into fields, stored as setting text or sent by clients. Every place that turns
// such text into a number goes through these few functions, so the same text gives the same
// number everywhere: a port field holding "1010.5" binds the same port when applied and after a
// restart, and a stored "1.6" picks the same position in every list.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::settings {

// Leading-number conversion: the numeric value of the longest numeric prefix (blanks skipped),
// 0 when there is none. "1020 " -> 1020, "1.6x" -> 1.6, "abc" -> 0, "" -> 0.
double leading_number(std::string_view text);

// The number a whole text reads as (blanks around it allowed); nullopt for "12x", "", "0x10".
std::optional<double> numeric_value(std::string_view text);

enum class Rounding {
  Nearest,  // halves away from zero: 1010.5 -> 1011, 1.6 -> 2, -2.5 -> -3
  Down,     // towards minus infinity: 1999.9 -> 1999
};

// A number made whole where a whole number is needed (a port, a list position, a period, a
// stored integer); nullopt when it is not finite or too large to be any of these.
std::optional<std::int64_t> whole_number(double v, Rounding how = Rounding::Nearest);

// The whole number of a leading-number conversion, or `otherwise` when it is none or falls
// outside lo..hi.
int whole_in_range(std::string_view text, int lo, int hi, int otherwise, Rounding how = Rounding::Nearest);

// Decimal text of a number as it is written back: whole numbers without decimals, others with
// up to 15 significant digits ("1010", "1010.5").
std::string number_text(double v);

}  // namespace quillon::settings
