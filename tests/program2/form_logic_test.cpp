#include "program2/form_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "platform/run_time_error.h"
#include "tests/program2/memory_form.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::MemoryForm;
using tarvex_test::TempDrive;

// Program 2 on a temporary drive, with a clock the test moves by hand.
class FormLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_.MakeFolder("PMail/Mail/_Remail");
    drive_.MakeFolder("Ostrand/Mail/Mailin");
    drive_.MakeFolder("Ostrand/Logs");
    platform::SetClockForTesting([this] { return now_; });
    logic_.Form_Load();
  }
  void TearDown() override { platform::SetClockForTesting(nullptr); }

  void Source(const std::string& name, const std::string& content) {
    drive_.WriteFile("PMail/Mail/_Remail/" + name, content);
  }
  void Minutes(double m) { now_ += m / 1440.0; }
  void Tick() {
    Minutes(1);
    logic_.Timer1_Timer();
  }
  std::string T(Box b) const { return form_.Text(b); }
  std::string Log() const { return drive_.ReadFile("Ostrand/Logs/~Mailin.log"); }
  int Passes() const { return std::stoi(form_.Text(Box::kTimNbT)); }

  TempDrive drive_;
  double now_ = platform::ToDateValue({2026, 12, 7, 9, 30, 0});
  MemoryForm form_{Program2()};
  FormLogic logic_{Program2(), form_};
};

TEST_F(FormLogicTest, LoadShowsTheConstantsAndHidesTheImages) {
  EXPECT_EQ(T(InfoK(0)), "P:\\PMail\\Mail\\_Remail");
  EXPECT_EQ(T(InfoK(1)), "P:\\Ostrand\\Mail\\Mailin");
  EXPECT_EQ(T(InfoK(2)), "*.cnm");
  EXPECT_EQ(T(InfoK(3)), "P:\\Ostrand\\Logs\\~Mailin.log");
  EXPECT_FALSE(form_.images[1] || form_.images[2]);
  EXPECT_EQ(T(Box::kTimPer) + T(Box::kTimRem) + T(Box::kTimEla) + T(Box::kTimNbT), "1100");
}

TEST_F(FormLogicTest, RhythmFollowsTheRemainingBox) {
  struct Case {
    const char* typed;
    std::vector<std::string> shown;  // remaining after each tick, before the pass resets it
    int pass_on_tick;
  } cases[] = {
      {"1", {"0"}, 1},
      {"5", {"4", "3", "2", "1", "0"}, 5},
      {"2.5", {"1.5", "0.5", "-0.5"}, 3},
      {"0", {"-1"}, 1},
      {"-3", {"-4"}, 1},
  };
  for (const auto& c : cases) {
    form_.Type(Box::kTimRem, c.typed);
    const int before = Passes();
    std::vector<std::string> shown;
    for (int t = 1; t <= c.pass_on_tick; ++t) {
      form_.events.clear();
      Tick();
      auto it = std::find_if(form_.events.begin(), form_.events.end(),
                             [](const std::string& e) { return e.rfind("txt_TIM_Rem=", 0) == 0; });
      shown.push_back(it->substr(12));
      EXPECT_EQ(Passes(), before + (t == c.pass_on_tick)) << c.typed << " tick " << t;
    }
    EXPECT_EQ(shown, c.shown) << c.typed;
    EXPECT_EQ(T(Box::kTimRem), "1") << "the pass puts the period back";
  }
}

TEST_F(FormLogicTest, ANewPeriodCountsFromTheNextPass) {
  form_.Type(Box::kTimPer, "3");
  Tick();  // remaining 1 -> 0: the pass puts 3 back
  EXPECT_EQ(T(Box::kTimRem), "3");
  Tick();
  Tick();
  EXPECT_EQ(Passes(), 1);
  Tick();
  EXPECT_EQ(Passes(), 2);
}

TEST_F(FormLogicTest, ElapsedFollowsTheClock) {
  Tick();
  EXPECT_EQ(T(Box::kTimEla), " 1");
  Minutes(998);
  Tick();
  EXPECT_EQ(T(Box::kTimEla), "1 000");
  now_ = logic_.StartTime() - 5.0 / 1440;
  logic_.Timer1_Timer();
  EXPECT_EQ(T(Box::kTimEla), "- 5");
}

TEST_F(FormLogicTest, DoubleClickRunsAPassAndPutsThePeriodBack) {
  form_.Type(Box::kTimPer, "7");
  form_.Type(Box::kTimRem, "3");
  logic_.txt_TIM_Rem_DblClick();
  EXPECT_EQ(Passes(), 1);
  EXPECT_EQ(T(Box::kTimRem), "7");
}

TEST_F(FormLogicTest, NothingToListStillCountsThePass) {
  form_.SetText(Info(9), "5");
  Source("skip.txt", "x");
  drive_.MakeFolder("PMail/Mail/_Remail/folder.cnm");
  logic_.ProcessAction();
  EXPECT_EQ(Passes(), 1);
  for (int i = 5; i <= 8; ++i) EXPECT_EQ(T(Info(i)), "0");
  EXPECT_EQ(T(Info(9)), "5");
  EXPECT_FALSE(drive_.Exists("Ostrand/Logs/~Mailin.log"));
  EXPECT_TRUE(form_.enabled);
  EXPECT_EQ(form_.pointer, kPointerDefault);
  EXPECT_EQ(form_.colors[static_cast<int>(Info(3))], kYellow);

  drive_.MakeFolder("gone");
  tarvex_test::SetEnvironment("TARVEX_DRIVE_P",
                              drive_.Host("gone"));  // the drive's folders are unreachable
  logic_.ProcessAction();
  tarvex_test::SetEnvironment("TARVEX_DRIVE_P", drive_.root());
  EXPECT_EQ(Passes(), 2);
  EXPECT_TRUE(form_.enabled);
}

TEST_F(FormLogicTest, AMovedFileIsShownCountedLoggedThenMoved) {
  Source("Msg.CNM", std::string(1234, 'm'));
  bool logged_before_move = false;
  form_.on_yield = [&] {
    if (T(Info(3)) == "P:\\PMail\\Mail\\_Remail\\Msg.CNM") {
      EXPECT_EQ(T(Info(4)), " 1 234");
      EXPECT_EQ(form_.colors[static_cast<int>(Info(4))], kGreen);
      EXPECT_FALSE(drive_.Exists("Ostrand/Logs/~Mailin.log"));
      logged_before_move = true;
    }
  };
  logic_.ProcessAction();
  EXPECT_TRUE(logged_before_move);
  // Every blank of a pattern is printed, also where no digit stands to its left.
  EXPECT_EQ(T(Info(5)), "  1 234");
  EXPECT_EQ(T(Info(6)), "  1");
  EXPECT_EQ(T(Info(9)), "  1 234");
  EXPECT_EQ(T(Info(10)), "  1");
  EXPECT_TRUE(form_.images[static_cast<int>(Image::kGoo)]);
  EXPECT_EQ(drive_.ReadFile("Ostrand/Mail/Mailin/msg.cnm"), std::string(1234, 'm'));
  EXPECT_EQ(Log(), "#2026-12-07 09:30:00#,\"0001234\"\r\n");
  EXPECT_EQ(T(Info(3)), "");
  EXPECT_EQ(T(Info(4)), "0");
}

TEST_F(FormLogicTest, AnEmptyFileIsCountedEveryPassButNeverLoggedOrMoved) {
  Source("empty.cnm", "");
  logic_.ProcessAction();
  logic_.ProcessAction();
  EXPECT_EQ(T(Info(8)), "  1");
  EXPECT_EQ(T(Info(12)), "  2");
  EXPECT_EQ(T(Info(7)), "   0");
  EXPECT_EQ(T(Info(11)), "   0");
  EXPECT_TRUE(form_.images[static_cast<int>(Image::kBad)]);
  EXPECT_FALSE(form_.images[static_cast<int>(Image::kGoo)]);
  EXPECT_TRUE(drive_.Exists("PMail/Mail/_Remail/empty.cnm"));
  EXPECT_FALSE(drive_.Exists("Ostrand/Logs/~Mailin.log"));
  const auto red = std::find(form_.events.begin(), form_.events.end(),
                             "txt_Info(4).color=" + std::to_string(kRed));
  EXPECT_NE(red, form_.events.end());
}

// What waits for a lasting reason is in the window after the pass (the box names it, its
// tooltip says why, the caption carries a note) and told once on the system's log as it
// starts and once as it ends; it is never counted, logged or moved.
TEST_F(FormLogicTest, WhatWaitsIsShownAndToldOnceUntilItEnds) {
  const std::string dash = "\xE2\x80\x94";
  const std::string like_a_claim = "P:\\PMail\\Mail\\_Remail\\.tarvex-claim-x.cnm";
  Source(".tarvex-claim-x.cnm", "a user's file named like a mover's own");
  Source("a.cnm", "a");
  ::testing::internal::CaptureStderr();
  logic_.ProcessAction();
  logic_.ProcessAction();
  std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(form_.caption_note, " " + dash + " 1 file waits");
  EXPECT_EQ(T(Info(3)), ".tarvex-claim-x.cnm waits: it is named like the movers' own files");
  EXPECT_EQ(form_.waiting_tooltip, like_a_claim + ": it is named like the movers' own files");
  EXPECT_EQ(form_.colors[static_cast<int>(Info(3))], kYellow);
  EXPECT_EQ(T(Info(10)), "  1");
  EXPECT_EQ(Log(), "#2026-12-07 09:30:00#,\"0000001\"\r\n");
  const std::string starts = "~~Tarvex2: " + like_a_claim + " stays where it is: ";
  EXPECT_NE(told.find(starts), std::string::npos) << told;
  EXPECT_EQ(told.find(starts), told.rfind(starts)) << "told once";

  // The target folder goes: the program and the file wait, the caption says so first.
  std::filesystem::rename(drive_.Host("Ostrand/Mail/Mailin"), drive_.Host("Ostrand/Mail/away"));
  std::filesystem::remove(drive_.Host("PMail/Mail/_Remail/.tarvex-claim-x.cnm"));
  Source("b.cnm", "b");
  ::testing::internal::CaptureStderr();
  logic_.ProcessAction();
  told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(form_.caption_note, " " + dash + " the target folder is not there; 1 file waits");
  EXPECT_EQ(T(Info(3)), "The target folder is not there");
  EXPECT_NE(form_.waiting_tooltip.find("P:\\PMail\\Mail\\_Remail\\b.cnm: the target folder is "
                                       "not there"),
            std::string::npos)
      << form_.waiting_tooltip;
  EXPECT_NE(told.find(like_a_claim + " no longer waits"), std::string::npos) << told;
  EXPECT_NE(told.find("the target folder P:\\Ostrand\\Mail\\Mailin is not there"),
            std::string::npos)
      << told;
  EXPECT_EQ(T(Info(10)), "  1");

  // Back: the file moves, nothing waits, and the ends are told.
  std::filesystem::rename(drive_.Host("Ostrand/Mail/away"), drive_.Host("Ostrand/Mail/Mailin"));
  ::testing::internal::CaptureStderr();
  logic_.ProcessAction();
  logic_.ProcessAction();
  told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(form_.caption_note, "");
  EXPECT_EQ(form_.waiting_tooltip, "");
  EXPECT_EQ(T(Info(3)), "");
  EXPECT_EQ(T(Info(10)), "  2");
  EXPECT_NE(told.find("the target folder P:\\Ostrand\\Mail\\Mailin is there again"),
            std::string::npos)
      << told;
  EXPECT_EQ(told.find("stays where it is"), std::string::npos) << told;
}

// While the drive is away no file is seen: the files that waited before still wait, and
// nothing is told of them, neither when the drive goes nor when it comes back.
TEST_F(FormLogicTest, FilesThatWaitedStillWaitWhileTheDriveIsAway) {
  Source(".tarvex-claim-x.cnm", "a user's file named like a mover's own");
  logic_.ProcessAction();
  tarvex_test::SetEnvironment("TARVEX_DRIVE_P", drive_.Host("unmapped"));
  ::testing::internal::CaptureStderr();
  logic_.ProcessAction();
  std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(form_.caption_note, " \xE2\x80\x94 drive P: is not there; 1 file waits");
  EXPECT_EQ(T(Info(3)), "Drive P: is not there");
  EXPECT_EQ(told.find("no longer waits"), std::string::npos) << told;
  tarvex_test::SetEnvironment("TARVEX_DRIVE_P", drive_.root());
  ::testing::internal::CaptureStderr();
  logic_.ProcessAction();
  told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(form_.caption_note, " \xE2\x80\x94 1 file waits");
  EXPECT_NE(told.find("drive P: is there again"), std::string::npos) << told;
  EXPECT_EQ(told.find(".tarvex-claim-x.cnm"), std::string::npos) << told;
}

TEST_F(FormLogicTest, TheStartOfAPassResetsWithPlainZeros) {
  form_.SetText(Info(5), "99");
  form_.events.clear();
  logic_.ProcessAction();
  const std::vector<std::string> start(form_.events.begin(), form_.events.begin() + 13);
  EXPECT_EQ(start,
            (std::vector<std::string>{
                "txt_TIM_Rem=1", "txt_TIM_NbT=1", "txt_Info(3)=", "txt_Info(4)=0", "txt_Info(5)=0",
                "txt_Info(6)=0", "txt_Info(7)=0", "txt_Info(8)=0", "txt_Info(3).color=65535",
                "txt_Info(4).color=65535", "yield", "pointer=11", "disabled"}));
}

TEST_F(FormLogicTest, EstimatesScaleThePassAndTheGrandTotalsToADay) {
  for (const char* n : {"a.cnm", "b.cnm", "c.cnm"}) Source(n, std::string(15000, 'x'));
  form_.Type(Box::kTimPer, "5");
  form_.SetText(Box::kTimEla, " 7");
  logic_.ProcessAction();
  EXPECT_EQ(form_.tooltips[0], "Daily Throughput Estimate:  12 960 000 Bytes    864 Messages");
  EXPECT_NE(form_.tooltips[1].find(" 9 257 143 Bytes"), std::string::npos) << form_.tooltips[1];

  form_.SetText(Info(9), "1 000");
  form_.SetText(Info(10), "0");
  logic_.ProcessAction();
  EXPECT_EQ(form_.tooltips[1], "Daily Throughput Estimate:   205 714 Bytes     Messages");
}

TEST_F(FormLogicTest, EstimatesStayWhileElapsedOrPeriodIsZero) {
  Source("a.cnm", "x");
  logic_.ProcessAction();  // elapsed still "0"
  EXPECT_EQ(form_.tooltips[0], "");
  form_.SetText(Box::kTimEla, " 3");
  form_.Type(Box::kTimPer, "0");
  logic_.ProcessAction();
  EXPECT_EQ(form_.tooltips[1], "");
}

TEST_F(FormLogicTest, SizesAndEstimatesBeyond32BitsAreRight) {
  Source("big.cnm", "");
  std::filesystem::resize_file(drive_.Host("PMail/Mail/_Remail/big.cnm"), 3LL << 30);
  Source("four.cnm", "");
  std::filesystem::resize_file(drive_.Host("PMail/Mail/_Remail/four.cnm"), 4LL << 30);
  form_.SetText(Box::kTimEla, " 1");
  logic_.ProcessAction();
  EXPECT_EQ(T(Info(9)), "7 516 192 768");
  EXPECT_EQ(T(Info(10)), "  2");
  EXPECT_EQ(Log(),
            "#2026-12-07 09:30:00#,\"3221225472\"\r\n#2026-12-07 09:30:00#,\"4294967296\"\r\n");
  EXPECT_EQ(form_.tooltips[1],
            "Daily Throughput Estimate: 10823 317 585 920 Bytes   2 880 Messages");
  EXPECT_TRUE(drive_.Exists("Ostrand/Mail/Mailin/four.cnm"));

  // A period of 19 digits or more, typed by the user, is no overflow.
  form_.Type(Box::kTimPer, "1234567890123456789012");
  Source("c.cnm", "x");
  logic_.ProcessAction();
  EXPECT_EQ(form_.tooltips[0], "Daily Throughput Estimate:     Bytes     Messages");
}

// An index read just after a change is trusted for a moment only; the pass's own renames
// must not make it read again for every file.
TEST_F(FormLogicTest, APassIntoATargetChangedJustBeforeReadsItsIndexAFewTimesNotPerFile) {
  for (int i = 0; i < 2000; ++i) Source("m" + std::to_string(i) + ".cnm", "x");
  drive_.WriteFile("Ostrand/Mail/Mailin/M0.CNM", "someone else's, a moment ago");
  const std::uint64_t before = platform::FolderIndexReads();
  logic_.ProcessAction();
  EXPECT_EQ(drive_.Names("Ostrand/Mail/Mailin").size(), 2001u);
  EXPECT_LT(platform::FolderIndexReads() - before, 100u) << platform::FolderIndexReads() - before;
}

TEST_F(FormLogicTest, ATickDueDuringAPassNeverNestsAndALaterTickRunsIt) {
  for (const char* n : {"a.cnm", "b.cnm"}) Source(n, "x");
  int ticks_in_pass = 0;
  form_.on_yield = [&] {
    if (logic_.InPass() && ticks_in_pass < 2) {
      ++ticks_in_pass;
      Tick();  // remaining goes 1 -> 0 -> -1 inside the pass
    }
  };
  Tick();
  form_.on_yield = nullptr;
  EXPECT_EQ(Passes(), 1);
  EXPECT_EQ(T(Box::kTimRem), "-1");
  Tick();
  EXPECT_EQ(Passes(), 2);
}

TEST_F(FormLogicTest, AnEditInProgressIsReadAtItsLastAcceptedValue) {
  form_.Type(Box::kTimRem, "3");  // the window keeps this while "3x" is being typed
  Tick();
  EXPECT_EQ(T(Box::kTimRem), "2");
}

TEST_F(FormLogicTest, ALogThatCannotBeWrittenLeavesThePassAndTheFile) {
  Source("a.cnm", "x");
  rmdir(drive_.Host("Ostrand/Logs").c_str());
  try {
    logic_.ProcessAction();
    FAIL() << "the pass should have failed";
  } catch (const platform::RunTimeError& e) {
    EXPECT_EQ(e.number(), 76);
  }
  EXPECT_TRUE(drive_.Exists("PMail/Mail/_Remail/a.cnm"));
  EXPECT_FALSE(form_.enabled);
  EXPECT_EQ(form_.pointer, kPointerHourglass);
  EXPECT_FALSE(logic_.InPass());
}

TEST_F(FormLogicTest, TextThatIsNotANumberIsARunTimeError) {
  form_.SetText(Box::kTimNbT, "x");
  try {
    logic_.ProcessAction();
    FAIL();
  } catch (const platform::RunTimeError& e) {
    EXPECT_EQ(e.number(), 13);
  }
}

#ifndef _WIN32
// A tmpfs of its own mounted at a folder for the life of the object (root only).
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& at, const std::string& options) : at_(at) {
    mounted_ = mount("tarvex-test", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
    chmod(at.c_str(), 0777);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Takes every block (or every inode) that is left; the filler is undone by Free.
  void Fill(bool inodes) {
    for (int i = 0; i < 100000; ++i) {
      const std::string f = at_ + "/.filler" + std::to_string(i);
      FILE* out = std::fopen(f.c_str(), "w");
      if (out == nullptr) return;
      fillers_.push_back(f);
      if (!inodes) {
        static const std::string block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), out) == block.size() &&
               std::fflush(out) == 0) {
        }
      }
      std::fclose(out);
    }
  }
  void Free() {
    for (const auto& f : fillers_) std::remove(f.c_str());
  }

 private:
  std::string at_;
  bool mounted_ = false;
  std::vector<std::string> fillers_;
};

// A target with no room left, on the source's own file system (where even a rename may need
// a block) and on another one out of inodes: the file waits, with no line on any pass, and
// moves with one line once there is room.
TEST(FullTarget, NoLineOnAnyPassUntilThereIsRoom) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  for (const bool elsewhere : {false, true}) {
    SCOPED_TRACE(elsewhere ? "another file system, out of inodes" : "the same file system, full");
    TempDrive outer, state('S');
    tarvex_test::SetEnvironment("XDG_STATE_HOME", state.root());
    outer.MakeFolder("fs");
    SmallFileSystem small(outer.Host("fs"), elsewhere ? "nr_inodes=64" : "size=256k");
    ASSERT_TRUE(small.mounted());
    TempDrive drive('P', elsewhere ? std::string() : outer.Host("fs"));
    drive.MakeFolder("PMail/Mail/_Remail");
    drive.MakeFolder("Ostrand/Logs");
    drive.MakeFolder("Ostrand/Mail/Mailin");
    std::unique_ptr<SmallFileSystem> target;
    if (elsewhere)
      target = std::make_unique<SmallFileSystem>(drive.Host("Ostrand/Mail/Mailin"), "nr_inodes=64");
    SmallFileSystem logs(drive.Host("Ostrand/Logs"), "size=1m");
    drive.WriteFile("PMail/Mail/_Remail/a.cnm", "content");
    (elsewhere ? *target : small).Fill(elsewhere);
    MemoryForm form{Program2()};
    FormLogic logic{Program2(), form};
    logic.Form_Load();
    for (int pass = 0; pass < 3; ++pass) logic.ProcessAction();
    EXPECT_FALSE(drive.Exists("Ostrand/Logs/~Mailin.log") &&
                 !drive.ReadFile("Ostrand/Logs/~Mailin.log").empty());
    EXPECT_TRUE(drive.Exists("PMail/Mail/_Remail/a.cnm"));
    EXPECT_EQ(form.Text(Info(10)), "0");
    (elsewhere ? *target : small).Free();
    logic.ProcessAction();
    EXPECT_EQ(drive.ReadFile("Ostrand/Mail/Mailin/a.cnm"), "content");
    const std::string log = drive.ReadFile("Ostrand/Logs/~Mailin.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    unsetenv("XDG_STATE_HOME");
  }
}
#endif  // _WIN32

}  // namespace
}  // namespace tarvex
