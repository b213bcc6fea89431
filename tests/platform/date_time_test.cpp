#include "platform/date_time.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(DateValue, CountsDaysFrom30December1899) {
  EXPECT_EQ(ToDateValue({1899, 12, 30, 0, 0, 0}), 0.0);
  EXPECT_EQ(ToDateValue({1900, 1, 1, 12, 0, 0}), 2.5);
  EXPECT_EQ(ToDateValue({2003, 7, 24, 0, 0, 0}), 37826.0);
}

TEST(DateLiteral, TimeOfDayOrDateAloneAtMidnight) {
  EXPECT_EQ(DateLiteral(ToDateValue({2003, 7, 24, 14, 5, 9})), "#2003-07-24 14:05:09#");
  EXPECT_EQ(DateLiteral(ToDateValue({2026, 12, 7, 0, 0, 0})), "#2026-12-07#");
  EXPECT_EQ(DateLiteral(ToDateValue({2026, 12, 31, 23, 59, 59})), "#2026-12-31 23:59:59#");
  EXPECT_EQ(DateLiteral(ToDateValue({2024, 2, 29, 0, 0, 1})), "#2024-02-29 00:00:01#");
}

TEST(DateValue, EverySecondOfADayRoundTrips) {
  for (int s = 0; s < 86400; s += 7) {
    const DateParts p{2026, 3, 29, s / 3600, s / 60 % 60, s % 60};
    const DateParts q = FromDateValue(ToDateValue(p));
    ASSERT_EQ(q.hour * 3600 + q.minute * 60 + q.second, s);
    ASSERT_EQ(q.day, 29);
  }
}

TEST(Now, FollowsTheReplaceableClock) {
  SetClockForTesting([] { return 100.25; });
  EXPECT_EQ(Now(), 100.25);
  SetClockForTesting(nullptr);
  EXPECT_GT(Now(), ToDateValue({2020, 1, 1, 0, 0, 0}));
}

}  // namespace
}  // namespace platform
