#include "platform/names.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Names, LowerCaseIsUnicodeForUtf8AndAsciiForOtherBytes) {
  EXPECT_EQ(LowerName("Report.TXT"), "report.txt");
  EXPECT_EQ(LowerName("ÉTÉ.Q0"), "été.q0");
  EXPECT_EQ(LowerName("\xFF\xC0"
                      "AB"),
            "\xFF\xC0"
            "ab");
  EXPECT_EQ(UpperName("x_y"), "X_Y");
  EXPECT_TRUE(MatchesPattern("MSG.CNM", "*.cnm"));
  EXPECT_FALSE(MatchesPattern("msg.cnmx", "*.cnm"));
  EXPECT_TRUE(MatchesPattern("readme", "*.*"));
  EXPECT_TRUE(MatchesPattern("été", "?t?"));
  EXPECT_FALSE(MatchesPattern("a", "??"));
}

}  // namespace
}  // namespace platform
