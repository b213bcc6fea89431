#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <regex>

#include "platform/names.h"
#include "shared/Module_MySafeRename.h"
#include "shared/Module_RTrimNull.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::TempDrive;

TEST(RTrimNull, CutsAtTheFirstNulElseTrimsTrailingSpaces) {
  using namespace std::string_literals;
  EXPECT_EQ(RTrimNull("abc\0   "s), "abc");
  EXPECT_EQ(RTrimNull("ab \0xyz"s), "ab ");
  EXPECT_EQ(RTrimNull("\0abc"s), "");
  EXPECT_EQ(RTrimNull("abc   "), "abc");
  EXPECT_EQ(RTrimNull("  abc"), "  abc");
  EXPECT_EQ(RTrimNull("abc\t"), "abc\t");
  EXPECT_EQ(RTrimNull(""), "");
  std::string buffer(256, ' ');
  buffer.replace(0, 9, "TheClass\0"s);
  EXPECT_EQ(RTrimNull(buffer), "TheClass");
}

TEST(NameParts, SplitAtTheFirstDotLowerCased) {
  EXPECT_EQ(NameStem("A.B.C"), "a");
  EXPECT_EQ(NameExtension("A.B.C"), ".b.c");
  EXPECT_EQ(NameStem("README"), "readme");
  EXPECT_EQ(NameExtension("README"), "");
  EXPECT_EQ(NameStem(".q0"), "");
  EXPECT_EQ(NameExtension(".Q0"), ".q0");
  EXPECT_TRUE(std::regex_match(RandomName(), std::regex("~COL[A-Z0-9]{4}")));
}

class SafeRenameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_.MakeFolder("src");
    drive_.MakeFolder("dst");
  }
  void Move(const std::string& name, bool wwwwww = true) {
    MySafeRename("P:\\src", "P:\\dst", name, wwwwww);
  }
  std::vector<std::string> Target() const { return drive_.Names("dst"); }
  static bool IsCol(const std::string& name, const std::string& ext) {
    return std::regex_match(
        name, std::regex("~col[a-z0-9]{4}" + std::regex_replace(ext, std::regex("\\."), "\\.")));
  }

  TempDrive drive_;
};

TEST_F(SafeRenameTest, LowerCasesTheNameEvenWithoutCollision) {
  drive_.WriteFile("src/Report.TXT", "r");
  Move("Report.TXT");
  EXPECT_EQ(Target(), std::vector<std::string>{"report.txt"});
  EXPECT_TRUE(drive_.Names("src").empty());
}

TEST_F(SafeRenameTest, ACollisionArrivesUnderAColNameWithItsExtension) {
  for (const char* name : {"report.txt", "readme", "a.b.c"}) {
    drive_.WriteFile(std::string("dst/") + name, "old");
    drive_.WriteFile(std::string("src/") + name, "new");
    Move(name);
    EXPECT_EQ(drive_.ReadFile(std::string("dst/") + name), "old");
  }
  int cols = 0;
  for (const auto& n : Target()) {
    if (n.rfind("~col", 0) == 0) {
      ++cols;
      EXPECT_TRUE(IsCol(n, "") || IsCol(n, ".txt") || IsCol(n, ".b.c")) << n;
      EXPECT_EQ(drive_.ReadFile("dst/" + n), "new");
    }
  }
  EXPECT_EQ(cols, 3);
  EXPECT_TRUE(drive_.Names("src").empty());
}

TEST_F(SafeRenameTest, PairsMoveTogetherUnderOneStem) {
  drive_.WriteFile("src/MSG1.Q0", "0");
  drive_.WriteFile("src/msg1.q1", "1");
  Move("MSG1.Q0");
  EXPECT_EQ(Target(), (std::vector<std::string>{"msg1.q0", "msg1.q1"}));

  drive_.WriteFile("src/msg1.q0", "0b");
  drive_.WriteFile("src/msg1.q1", "1b");
  Move("msg1.q0");  // msg1.q0 and msg1.q1 are taken: both under one new stem
  const auto names = Target();
  ASSERT_EQ(names.size(), 4u);
  EXPECT_TRUE(IsCol(names[2], ".q0") && IsCol(names[3], ".q1"));
  EXPECT_EQ(names[2].substr(0, 8), names[3].substr(0, 8));
  EXPECT_EQ(drive_.ReadFile("dst/" + names[3]), "1b");
}

TEST_F(SafeRenameTest, OnlyExactlyQ0TakesThePairBranch) {
  drive_.WriteFile("src/x.tar.q0", "0");
  drive_.WriteFile("src/x.tar.q1", "1");
  Move("x.tar.q0");
  EXPECT_EQ(Target(), std::vector<std::string>{"x.tar.q0"});
  EXPECT_TRUE(drive_.Exists("src/x.tar.q1"));
}

TEST_F(SafeRenameTest, TheWwwwwwStemIsNeverKeptWhenTheConditionHolds) {
  drive_.WriteFile("src/WWWWWW.q0", "0");
  drive_.WriteFile("src/wwwwww.q1", "1");
  Move("WWWWWW.q0", true);
  auto names = Target();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(IsCol(names[0], ".q0") && IsCol(names[1], ".q1"));
  EXPECT_EQ(names[0].substr(0, 8), names[1].substr(0, 8));

  drive_.WriteFile("src/wwwwww.q0", "0");
  drive_.WriteFile("src/wwwwww.q1", "1");
  Move("wwwwww.q0", false);
  names = Target();
  EXPECT_EQ(std::count(names.begin(), names.end(), "wwwwww.q0"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "wwwwww.q1"), 1);
}

TEST_F(SafeRenameTest, LoneOrLateCompanionsMoveAloneAndNothingIsLost) {
  drive_.WriteFile("src/solo.q0", "0");
  Move("solo.q0");
  EXPECT_EQ(Target(), std::vector<std::string>{"solo.q0"});

  // The .q1 first: it moves alone; the .q0 then finds its .q1 name taken.
  drive_.WriteFile("src/late.q0", "0");
  drive_.WriteFile("src/late.q1", "1");
  Move("late.q1");
  Move("late.q0");
  const auto names = Target();
  ASSERT_EQ(names.size(), 3u);
  EXPECT_TRUE(drive_.Names("src").empty());
  EXPECT_EQ(names[1], "solo.q0");
  EXPECT_EQ(names[0], "late.q1");
  EXPECT_TRUE(IsCol(names[2], ".q0"));

  // A .q1 whose source is already gone changes nothing.
  Move("late.q1");
  EXPECT_EQ(Target().size(), 3u);
}

#ifndef _WIN32
// Pipes, links and names that differ only in case exist on the Linux file systems that stand
// in for the drive, not on the drive's own platform.

// Files that would otherwise stay in the source for ever, logged again on every pass.
TEST_F(SafeRenameTest, AnyEntryAtATargetNameIsTakenAndTooLongNamesStillArrive) {
  drive_.MakeFolder("dst/folder.txt");
  drive_.WriteFile("dst/.q0", "hidden");
  ASSERT_EQ(mkfifo(drive_.Host("dst/pipe.txt").c_str(), 0644), 0);
  ASSERT_EQ(symlink(drive_.Host("dst/folder.txt").c_str(), drive_.Host("dst/link.txt").c_str()), 0);
  for (const char* name : {"folder.txt", ".q0", "pipe.txt", "link.txt"}) {
    drive_.WriteFile(std::string("src/") + name, "mine");
    Move(name);
    EXPECT_FALSE(drive_.Exists(std::string("src/") + name)) << name;
  }
  EXPECT_EQ(drive_.ReadFile("dst/.q0"), "hidden");
  EXPECT_EQ(Target().size(), 8u);

  // Lower-casing makes this name longer than the file system holds; so does the ~col
  // form of a long extension.
  std::string grows;
  for (int i = 0; i < 125; ++i) grows += "\xC8\xBA";  // U+023A, whose lower case is 3 bytes
  grows += ".CNM";
  ASSERT_GT(platform::LowerName(grows).size(), 255u);
  const std::string long_ext = "a." + std::string(253, 'x');
  drive_.WriteFile("dst/" + long_ext, "old");
  for (const std::string& name : {grows, long_ext}) {
    drive_.WriteFile("src/" + name, "long");
    Move(name);
    EXPECT_FALSE(drive_.Exists("src/" + name));
  }
  const auto names = Target();
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) {
                            return n.size() <= 255 && n.size() > 240 &&
                                   n.rfind(".cnm") == n.size() - 4;
                          }),
            1);
  EXPECT_EQ(std::count_if(
                names.begin(), names.end(),
                [](const std::string& n) { return n.size() == 255 && IsCol(n.substr(0, 8), ""); }),
            1);
}

// Names that differ only in case are different files: each call moves exactly its own.
TEST_F(SafeRenameTest, TheSourceIsTheListedEntryWhateverItsCaseVariants) {
  drive_.WriteFile("src/DUP.TXT", "1");
  drive_.WriteFile("src/Dup.txt", "22");
  drive_.WriteFile("src/dup.txt", "333");
  drive_.WriteFile("src/Pair.Q0", "q0");
  drive_.WriteFile("src/PAIR.q1", "q1");
  drive_.WriteFile("src/fifo.q0", "q0 with a pipe for companion");
  ASSERT_EQ(mkfifo(drive_.Host("src/fifo.q1").c_str(), 0644), 0);
  Move("fifo.q0");
  EXPECT_EQ(drive_.Names("src").back(), "fifo.q1") << "pipes never move, also as companions";
  unlink(drive_.Host("src/fifo.q1").c_str());
  Move("DUP.TXT");
  EXPECT_EQ(drive_.ReadFile("dst/dup.txt"), "1");
  Move("Dup.txt");
  Move("dup.txt");
  Move("Pair.Q0");
  EXPECT_TRUE(drive_.Names("src").empty());
  EXPECT_EQ(drive_.ReadFile("dst/pair.q0"), "q0");
  EXPECT_EQ(drive_.ReadFile("dst/pair.q1"), "q1") << "the companion is found in any case";
  EXPECT_EQ(Target().size(), 6u);
}

#endif  // _WIN32

TEST_F(SafeRenameTest, UnreachableFoldersMoveNothing) {
  drive_.WriteFile("src/a.txt", "a");
  MySafeRename("P:\\src", "P:\\missing", "a.txt", true);
  MySafeRename("P:\\missing", "P:\\dst", "a.txt", true);
  MySafeRename("Q:\\src", "P:\\dst", "a.txt", true);
  EXPECT_TRUE(Target().empty());
  EXPECT_TRUE(drive_.Exists("src/a.txt"));
}

#ifndef _WIN32
std::string FirstRandomNamesOfANewProcess() {
  std::string out;
  if (FILE* p = popen(TARVEX_RANDOM_NAMES_TOOL, "r")) {
    char buf[128];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// Two movers on one target must not draw the same ~col names in step.
TEST(RandomName, EachProcessDrawsItsOwnSequence) {
  const std::string first = FirstRandomNamesOfANewProcess();
  EXPECT_TRUE(std::regex_match(first, std::regex("(~COL[A-Z0-9]{4}\n){3}"))) << first;
  EXPECT_NE(FirstRandomNamesOfANewProcess(), first);
}
#endif  // _WIN32

}  // namespace
}  // namespace tarvex
