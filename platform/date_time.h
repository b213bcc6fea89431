#pragma once

#include <functional>
#include <string>

// The platform's date value: days since 30 December 1899, the time of day as the fraction.
namespace platform {

struct DateParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0;
};

double ToDateValue(const DateParts& parts);
// The calendar date and time of a date value, rounded to the second.
DateParts FromDateValue(double date_value);

// "#yyyy-mm-dd hh:mm:ss#", or "#yyyy-mm-dd#" when the time of day is exactly 00:00:00.
std::string DateLiteral(double date_value);

// The current local date-time to the second, read from the system clock (not a steady
// clock: a clock set back shows). Tests may replace the source; an empty function puts the
// system clock back.
double Now();
void SetClockForTesting(std::function<double()> clock);

// The local date-time of the system clock; only Now() calls it outside tests.
DateParts LocalNowFromSystem();

// Looks again at the machine's time zone (on Linux its file, or TZ). The clock reads the
// zone once; each tick calls this, so that a change is followed within a tick, without a
// look at every reading of the clock. (Windows reads local time with the zone it has.)
void FollowTimeZone();

}  // namespace platform
