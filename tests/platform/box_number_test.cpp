#include "platform/box_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "platform/run_time_error.h"

namespace platform {
namespace {

int FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RunTimeError& e) {
    return e.number();
  }
  return 0;
}

TEST(ReadBoxDouble, AcceptsSignDigitsSeparatorAndBlanks) {
  struct Case {
    const char* text;
    const char* sep;
    double value;
  } cases[] = {
      {"1 234", ".", 1234}, {" -2,5 ", ",", -2.5}, {"+3", ".", 3},
      {"0", ".", 0},        {"1.", ".", 1},        {".5", ".", 0.5},
      {"- 5", ".", -5},     {"\t7\t", ".", 7},     {"1 234 567,25", ",", 1234567.25},
      {"007", ".", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadBoxDouble(c.text, c.sep), c.value) << c.text;
}

TEST(ReadBoxDouble, RefusesAnythingElseAsTypeMismatch) {
  for (const char* text :
       {"", "  ", "abc", "1e5", "1.2.3", "--1", "1-", ".", "+", "&H10", "1,5", "\x80", "١"}) {
    EXPECT_EQ(FailureOf([&] { ReadBoxDouble(text, "."); }), 13) << text;
  }
  EXPECT_EQ(FailureOf([] {
              ReadBoxDouble(std::string("1\0"
                                        "2",
                                        3),
                            ".");
            }),
            13);
}

TEST(ReadBoxDouble, HugeIsOverflowTinyIsZero) {
  EXPECT_EQ(FailureOf([] { ReadBoxDouble(std::string(400, '9'), "."); }), 6);
  EXPECT_EQ(ReadBoxDouble("0." + std::string(400, '0') + "1", "."), 0.0);
}

TEST(ReadBoxInteger, RoundsHalfToEvenAndChecksRange) {
  EXPECT_EQ(ReadBoxInt32("2.5", "."), 2);
  EXPECT_EQ(ReadBoxInt32("3.5", "."), 4);
  EXPECT_EQ(ReadBoxInt32("-2.5", "."), -2);
  EXPECT_EQ(ReadBoxInt32("2.500001", "."), 3);
  EXPECT_EQ(ReadBoxInt32("1 000", "."), 1000);
  EXPECT_EQ(ReadBoxInt32("-2147483648", "."), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ReadBoxInt32("2147483647.4", "."), 2147483647);
  EXPECT_EQ(FailureOf([] { ReadBoxInt32("2147483647.5", "."); }), 6);
  EXPECT_EQ(FailureOf([] { ReadBoxInt32("-2147483649", "."); }), 6);
  EXPECT_EQ(ReadBoxInt64("9223372036854775807", "."), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ReadBoxInt64("-9223372036854775808", "."), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(FailureOf([] { ReadBoxInt64("9223372036854775808", "."); }), 6);
  EXPECT_EQ(FailureOf([] { ReadBoxInt64("99999999999999999999", "."); }), 6);
  EXPECT_EQ(ReadBoxInt64("3 221 225 472", "."), 3221225472);
  EXPECT_EQ(FailureOf([] { ReadBoxInt64("x", "."); }), 13);
}

TEST(RenderPattern, FillsPlacesFromTheRight) {
  struct Case {
    double value;
    const char* pattern;
    const char* text;
  } cases[] = {
      {1234.6, "# ##0", "1 235"},
      {1234567, "# ##0", "1234 567"},
      {90, "# ##0", " 90"},
      {0, "# ##0", " 0"},
      {0.5, "# ##0", " 1"},
      {-0.5, "# ##0", "- 1"},
      {-0.4, "# ##0", " 0"},
      {-5, "# ##0", "- 5"},
      {1234, "0000000", "0001234"},
      {12345678, "0000000", "12345678"},
      {3221225472.0, "### ### ### ##0", "3 221 225 472"},
      {3221225472.0, "### ### ##0", "3221 225 472"},
      {12960000, "# ### ### ###", " 12 960 000"},
      {1e20, "0", "100000000000000000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(RenderPattern(c.value, c.pattern), c.text) << c.value;
}

TEST(RenderPattern, ExactForEveryInt64AndDefinedBeyond) {
  EXPECT_EQ(RenderPattern(std::numeric_limits<std::int64_t>::max(), "0"), "9223372036854775807");
  EXPECT_EQ(RenderPattern(std::numeric_limits<std::int64_t>::min(), "0"), "-9223372036854775808");
  EXPECT_EQ(RenderPattern(std::numeric_limits<double>::infinity(), "# ##0"), "Infinity");
  EXPECT_EQ(RenderPattern(-std::numeric_limits<double>::infinity(), "# ##0"), "-Infinity");
  EXPECT_EQ(RenderPattern(std::nan(""), "# ##0"), "NaN");
  EXPECT_EQ(RenderPattern(-1e300, "0").size(), 302u);
  EXPECT_EQ(RenderPattern(std::numeric_limits<double>::max(), "# ##0").substr(0, 4), "1797");
}

TEST(PlainText, WholeValuesAsDigitsOthersWith15Digits) {
  EXPECT_EQ(PlainText(4, "."), "4");
  EXPECT_EQ(PlainText(0, "."), "0");
  EXPECT_EQ(PlainText(-0.0, "."), "0");
  EXPECT_EQ(PlainText(-1, "."), "-1");
  EXPECT_EQ(PlainText(1e15, "."), "1000000000000000");
  EXPECT_EQ(PlainText(1.5, ","), "1,5");
  EXPECT_EQ(PlainText(-0.5, "."), "-0.5");
  EXPECT_EQ(PlainText(1e-7, "."), "0.0000001");
  EXPECT_EQ(PlainText(0.1 + 0.2, "."), "0.3");
  EXPECT_EQ(PlainText(123456789.125, "."), "123456789.125");
}

// Every text the programs write into a counter box must read back as its number.
TEST(BoxNumberProperty, RenderingsReadBack) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> exponent(-12, 18);
  for (const char* sep : {".", ","}) {
    for (int i = 0; i < 20000; ++i) {
      const double magnitude = std::pow(10.0, exponent(rng));
      const double x = (rng() & 1 ? -1 : 1) * magnitude;
      for (const char* pattern : {"# ##0", "### ### ##0", "### ### ### ##0", "0000000"}) {
        ASSERT_EQ(ReadBoxDouble(RenderPattern(x, pattern), sep), std::round(x)) << x;
      }
      const auto whole = static_cast<std::int64_t>(rng());
      ASSERT_EQ(ReadBoxInt64(RenderPattern(whole, "### ### ### ##0"), sep), whole);
      ASSERT_EQ(ReadBoxDouble(PlainText(std::round(x), sep), sep), std::round(x)) << x;
      const std::string plain = PlainText(x, sep);
      const double back = ReadBoxDouble(plain, sep);
      ASSERT_LE(std::fabs(back - x), std::fabs(x) * 1e-14) << plain;
      ASSERT_EQ(PlainText(back, sep), plain);
    }
  }
}

}  // namespace
}  // namespace platform
