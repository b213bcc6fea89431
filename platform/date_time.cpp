#include "platform/date_time.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace platform {
namespace {

// Days between 1970-01-01 and a civil date (proleptic Gregorian).
constexpr long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

constexpr long long kEpochOffset = DaysFromCivil(1899, 12, 30);  // 1899-12-30 is day 0

std::function<double()>& ClockOverride() {
  static std::function<double()> clock;
  return clock;
}

}  // namespace

double ToDateValue(const DateParts& p) {
  const long long days =
      DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) -
      kEpochOffset;
  const int seconds = p.hour * 3600 + p.minute * 60 + p.second;
  return static_cast<double>(days) + seconds / 86400.0;
}

DateParts FromDateValue(double date_value) {
  DateParts p;
  if (!std::isfinite(date_value)) return p;
  const double total_seconds = std::round(date_value * 86400.0);
  long long days = static_cast<long long>(std::floor(total_seconds / 86400.0));
  long long seconds = static_cast<long long>(total_seconds) - days * 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  CivilFromDays(days + kEpochOffset, p.year, p.month, p.day);
  p.hour = static_cast<int>(seconds / 3600);
  p.minute = static_cast<int>(seconds / 60 % 60);
  p.second = static_cast<int>(seconds % 60);
  return p;
}

namespace {

char* PutDigits(char* at, int value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
  return at + width;
}

}  // namespace

std::string DateLiteral(double date_value) {
  const DateParts p = FromDateValue(date_value);
  const bool midnight = p.hour == 0 && p.minute == 0 && p.second == 0;
  if (p.year < 0 || p.year > 9999) {
    char buf[64];
    if (midnight) {
      std::snprintf(buf, sizeof buf, "#%04d-%02d-%02d#", p.year, p.month, p.day);
    } else {
      std::snprintf(buf, sizeof buf, "#%04d-%02d-%02d %02d:%02d:%02d#", p.year, p.month, p.day,
                    p.hour, p.minute, p.second);
    }
    return buf;
  }
  // Written digit by digit: a log line is made for every file moved.
  char buf[24];
  char* at = buf;
  *at++ = '#';
  at = PutDigits(at, p.year, 4);
  *at++ = '-';
  at = PutDigits(at, p.month, 2);
  *at++ = '-';
  at = PutDigits(at, p.day, 2);
  if (!midnight) {
    *at++ = ' ';
    at = PutDigits(at, p.hour, 2);
    *at++ = ':';
    at = PutDigits(at, p.minute, 2);
    *at++ = ':';
    at = PutDigits(at, p.second, 2);
  }
  *at++ = '#';
  return std::string(buf, at);
}

double Now() {
  if (ClockOverride()) return ClockOverride()();
  return ToDateValue(LocalNowFromSystem());
}

void SetClockForTesting(std::function<double()> clock) { ClockOverride() = std::move(clock); }

}  // namespace platform
