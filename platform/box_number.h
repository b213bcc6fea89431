#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Numbers kept as the texts of boxes. Every rendering here reads back as the number it came
// from (plain decimal text of a fraction: as that number to 15 significant digits).
// Nothing here depends on the process locale: the decimal separator is passed in, and the
// overloads without it take the user's separator from DecimalSeparator().
namespace platform {

// The decimal separator of the user's LC_NUMERIC locale ("." or "," or another text), read
// once from the environment.
const std::string& DecimalSeparator();

// Reads a box text: optional sign, digits, the decimal separator, and blanks (space or tab)
// anywhere around or between the digits ("1 234" reads 1234). Throws RunTimeError 13
// (Type mismatch) for any other text, the empty one included, and 6 (Overflow) for a
// value beyond the range of a double.
double ReadBoxDouble(std::string_view text, std::string_view decimal_separator);
double ReadBoxDouble(std::string_view text);

// As ReadBoxDouble, then rounded to a whole number with halves to even, exactly (the digits
// are rounded, not a double). Throws 6 (Overflow) outside the type's range.
std::int32_t ReadBoxInt32(std::string_view text, std::string_view decimal_separator);
std::int32_t ReadBoxInt32(std::string_view text);
std::int64_t ReadBoxInt64(std::string_view text, std::string_view decimal_separator);
std::int64_t ReadBoxInt64(std::string_view text);

// True when ReadBoxDouble would accept the text.
bool IsBoxNumber(std::string_view text, std::string_view decimal_separator);

// Renders with a pattern of "#" (a digit where the number has one), "0" (always a digit)
// and blanks: rounded half away from zero, digits fill the places from the right, extra
// digits go in front of the leftmost place, a negative number gets a leading "-", every
// blank is printed. Exact for every 64-bit integer; infinities and NaN render as
// "Infinity", "-Infinity" and "NaN".
std::string RenderPattern(double value, std::string_view pattern);
std::string RenderPattern(std::int64_t value, std::string_view pattern);

// Plain decimal text: a whole value as its digits alone ("-1", "1000000000000000"); any
// other value with up to 15 significant digits and the decimal separator, never with an
// exponent.
std::string PlainText(double value, std::string_view decimal_separator);
std::string PlainText(double value);

}  // namespace platform
