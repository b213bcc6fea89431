#include "platform/box_number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "platform/run_time_error.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct BoxDigits {
  bool negative = false;
  std::string whole;     // without leading zeros
  std::string fraction;  // without trailing zeros
};

// Splits a box text into sign, whole and fraction digits; false when it is not a number.
bool Split(std::string_view text, std::string_view sep, BoxDigits& out) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    out.negative = text[i] == '-';
    ++i;
  }
  bool seen_separator = false;
  std::size_t digits = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (IsBlank(c)) {
      ++i;
    } else if (IsDigit(c)) {
      (seen_separator ? out.fraction : out.whole).push_back(c);
      ++digits;
      ++i;
    } else if (!seen_separator && !sep.empty() && text.substr(i, sep.size()) == sep) {
      seen_separator = true;
      i += sep.size();
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  out.whole.erase(0, out.whole.find_first_not_of('0') == std::string::npos
                         ? out.whole.size()
                         : out.whole.find_first_not_of('0'));
  while (!out.fraction.empty() && out.fraction.back() == '0') out.fraction.pop_back();
  return true;
}

BoxDigits SplitOrThrow(std::string_view text, std::string_view sep) {
  BoxDigits d;
  if (!Split(text, sep, d)) throw RunTimeError::TypeMismatch();
  return d;
}

// The magnitude rounded half to even, exactly; throws Overflow beyond 2^63.
std::uint64_t RoundedMagnitude(const BoxDigits& d) {
  if (d.whole.size() > 19) throw RunTimeError::Overflow();
  std::uint64_t magnitude = 0;
  for (char c : d.whole) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
  if (!d.fraction.empty()) {
    const char first = d.fraction[0];
    const bool more = d.fraction.size() > 1;  // trailing zeros are gone: more means non-zero
    const bool up = first > '5' || (first == '5' && (more || (magnitude % 2) == 1));
    if (up) {
      if (magnitude == std::numeric_limits<std::uint64_t>::max()) throw RunTimeError::Overflow();
      ++magnitude;
    }
  }
  if (magnitude > (std::uint64_t{1} << 63)) throw RunTimeError::Overflow();
  return magnitude;
}

std::string SpecialText(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-Infinity" : "Infinity";
}

// Lays significant digits ("" for zero) into a pattern.
std::string FillPattern(bool negative, std::string_view digits, std::string_view pattern) {
  std::size_t leftmost_place = 0;  // a plain scan: this runs for every box of every file
  while (leftmost_place < pattern.size() && pattern[leftmost_place] != '#' &&
         pattern[leftmost_place] != '0') {
    ++leftmost_place;
  }
  if (leftmost_place == pattern.size()) leftmost_place = std::string_view::npos;
  // A pattern without any digit place still shows the number in front of it.
  if (leftmost_place == std::string_view::npos) {
    std::string result = negative ? "-" : "";
    result.append(digits);
    result.append(pattern);
    return result;
  }
  // Laid from the right into a buffer of the greatest length the text can have (on the
  // stack for the boxes' patterns).
  char small[64];
  std::string large;
  const std::size_t length = 1 + pattern.size() + digits.size();
  if (length > sizeof small) large.resize(length);
  char* const result = length > sizeof small ? large.data() : small;
  std::size_t at = length;
  std::size_t next = digits.size();  // digits left to place, taken from the right
  for (std::size_t i = pattern.size(); i-- > 0;) {
    const char p = pattern[i];
    if (p == '#' || p == '0') {
      if (next > 0) {
        result[--at] = digits[--next];
      } else if (p == '0') {
        result[--at] = '0';
      }
      if (i == leftmost_place) {
        while (next > 0) result[--at] = digits[--next];
      }
    } else {
      result[--at] = p;
    }
  }
  if (negative) result[--at] = '-';
  return std::string(result + at, length - at);
}

// Exact decimal digits of a whole double of any size.
std::string WholeDigits(double whole_magnitude) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, whole_magnitude, std::chars_format::fixed, 0);
  std::string s(buf, r.ptr);
  return s == "0" ? std::string() : s;
}

}  // namespace

double ReadBoxDouble(std::string_view text, std::string_view sep) {
  const BoxDigits d = SplitOrThrow(text, sep);
  std::string canonical = d.whole.empty() ? "0" : d.whole;
  if (!d.fraction.empty()) canonical += "." + d.fraction;
  double value = 0;
  const auto r = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    if (!d.whole.empty()) throw RunTimeError::Overflow();
    value = 0;  // too small to hold: it reads as zero
  } else if (r.ec != std::errc() || std::isinf(value)) {
    throw RunTimeError::Overflow();
  }
  return d.negative ? -value : value;
}

std::int64_t ReadBoxInt64(std::string_view text, std::string_view sep) {
  const BoxDigits d = SplitOrThrow(text, sep);
  const std::uint64_t magnitude = RoundedMagnitude(d);
  if (d.negative) {
    return magnitude == (std::uint64_t{1} << 63) ? std::numeric_limits<std::int64_t>::min()
                                                 : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw RunTimeError::Overflow();
  }
  return static_cast<std::int64_t>(magnitude);
}

std::int32_t ReadBoxInt32(std::string_view text, std::string_view sep) {
  const std::int64_t v = ReadBoxInt64(text, sep);
  if (v < std::numeric_limits<std::int32_t>::min() ||
      v > std::numeric_limits<std::int32_t>::max()) {
    throw RunTimeError::Overflow();
  }
  return static_cast<std::int32_t>(v);
}

bool IsBoxNumber(std::string_view text, std::string_view sep) {
  BoxDigits d;
  return Split(text, sep, d);
}

double ReadBoxDouble(std::string_view text) { return ReadBoxDouble(text, DecimalSeparator()); }
std::int32_t ReadBoxInt32(std::string_view text) { return ReadBoxInt32(text, DecimalSeparator()); }
std::int64_t ReadBoxInt64(std::string_view text) { return ReadBoxInt64(text, DecimalSeparator()); }

std::string RenderPattern(std::int64_t value, std::string_view pattern) {
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  char buf[24];
  const char* end = magnitude == 0 ? buf : std::to_chars(buf, buf + sizeof buf, magnitude).ptr;
  return FillPattern(negative, std::string_view(buf, static_cast<std::size_t>(end - buf)), pattern);
}

std::string RenderPattern(double value, std::string_view pattern) {
  if (!std::isfinite(value)) return SpecialText(value);
  const double rounded = std::round(value);  // halves away from zero
  if (std::fabs(rounded) < 9.0e18)
    return RenderPattern(static_cast<std::int64_t>(rounded), pattern);
  return FillPattern(rounded < 0, WholeDigits(std::fabs(rounded)), pattern);
}

std::string PlainText(double value, std::string_view sep) {
  if (!std::isfinite(value)) return SpecialText(value);
  const std::string sign = value < 0 ? "-" : "";
  const double magnitude = std::fabs(value);
  if (magnitude == std::trunc(magnitude)) {
    const std::string digits = WholeDigits(magnitude);
    return digits.empty() ? "0" : sign + digits;
  }
  // 15 significant digits, then laid out without an exponent.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, 14);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e = sci.find('e');
  std::string mantissa;
  for (char c : sci.substr(0, e)) {
    if (IsDigit(c)) mantissa.push_back(c);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();
  std::string whole, fraction;
  if (exponent >= 0) {
    const auto whole_len = static_cast<std::size_t>(exponent) + 1;
    if (mantissa.size() <= whole_len) {
      whole = mantissa + std::string(whole_len - mantissa.size(), '0');
    } else {
      whole = mantissa.substr(0, whole_len);
      fraction = mantissa.substr(whole_len);
    }
  } else {
    whole = "0";
    fraction = std::string(static_cast<std::size_t>(-exponent - 1), '0') + mantissa;
  }
  if (fraction.empty()) return sign + whole;
  return sign + whole + std::string(sep) + fraction;
}

std::string PlainText(double value) { return PlainText(value, DecimalSeparator()); }

}  // namespace platform
