#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "platform/date_time.h"
#include "platform/file_system_testing.h"
#include "program0/program0.h"
#include "program1/program1.h"
#include "program2/form_logic.h"
#include "tests/program2/memory_form.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::MemoryForm;
using tarvex_test::TempDrive;

// Programs 1 and 0 on a temporary drive: what they do differently from program 2.
class OtherProgramTest : public ::testing::TestWithParam<const Program*> {
 protected:
  void SetUp() override {
    drive_.MakeFolder("Ostrand/Mail/~Pegasus");
    drive_.MakeFolder("Ostrand/Mail/Mailin");
    drive_.MakeFolder("Ostrand/Logs");
    logic_.Form_Load();
  }
  void Source(const std::string& name, const std::string& content) {
    drive_.WriteFile("Ostrand/Mail/~Pegasus/" + name, content);
  }
  // Runs a pass; returns its duration in milliseconds.
  long TimedPass() {
    const auto start = std::chrono::steady_clock::now();
    logic_.ProcessAction();
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
  }
  int LogLines() const {
    const std::string log = drive_.ReadFile("Ostrand/Logs/~Mailin.log");
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }

  const Program& program_ = *GetParam();
  TempDrive drive_;
  MemoryForm form_{program_};
  FormLogic logic_{program_, form_};
};

// A ".q0" whose ".q1" is still being written waits for it, so that the pair arrives under
// one stem (here a ~col one, as "msg.q0" is taken) and not split over two.
TEST_P(OtherProgramTest, APairWaitsWhileItsQ1IsBeingWritten) {
  Source("msg.q0", "zero");
  drive_.WriteFile("Ostrand/Mail/Mailin/msg.q0", "taken");
  auto writer = std::make_unique<std::ofstream>(drive_.Host("Ostrand/Mail/~Pegasus/MSG.Q1"),
                                                std::ios::binary | std::ios::app);
  *writer << "one" << std::flush;
  logic_.ProcessAction();
  EXPECT_EQ(LogLines(), 0);
  EXPECT_EQ(form_.Text(Info(6)), "0");
  EXPECT_EQ(drive_.Names("Ostrand/Mail/Mailin"), std::vector<std::string>{"msg.q0"});
  writer.reset();
  logic_.ProcessAction();
  const auto names = drive_.Names("Ostrand/Mail/Mailin");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[1].substr(0, 4), "~col");  // after "msg.q0"
  EXPECT_EQ(names[1].substr(0, 9) + "q1", names[2]);
  EXPECT_EQ(LogLines(), 1) << "the .q1 went with its .q0";
}

#ifndef _WIN32
// On a client that renames through a handle, a ".q0" whose ".q1" another mover holds was
// claimed by overtaking that mover's claim of it: it goes back without a line, and moves with
// its ".q1" once that mover has put the ".q1" back. A long name is found shortened in the
// other mover's claim name.
TEST_P(OtherProgramTest, AQ0WhoseQ1AnotherMoverHoldsWaitsForItWhereClaimsCanBeOvertaken) {
  platform::ForcedTraits forced;
  forced.by_handle = true;
  const platform::ForcedTraitsScope forcing(forced);
  platform::UseFreshFolderIndexes();
  const std::string folder = "Ostrand/Mail/~Pegasus/";
  const std::string claim = ".tarvex-claim-T-00000000-0123456789abcdef-";
  for (const std::string& stem : {std::string("m"), std::string(240, 'l')}) {
    SCOPED_TRACE(stem.size());
    const std::string q1 = stem + ".q1";
    const std::string held =
        folder + claim +
        (claim.size() + q1.size() <= 255 ? q1 : stem.substr(0, 255 - claim.size() - 3) + ".q1");
    Source(stem + ".q0", "head");
    drive_.WriteFile(held, "tail");
    const int lines = LogLines();
    logic_.ProcessAction();
    EXPECT_EQ(LogLines(), lines);
    EXPECT_EQ(drive_.ReadFile(folder + stem + ".q0"), "head");
    ASSERT_EQ(std::rename(drive_.Host(held).c_str(), drive_.Host(folder + q1).c_str()), 0);
    logic_.ProcessAction();
    EXPECT_EQ(drive_.ReadFile("Ostrand/Mail/Mailin/" + stem + ".q0"), "head");
    EXPECT_EQ(drive_.ReadFile("Ostrand/Mail/Mailin/" + q1), "tail");
    EXPECT_EQ(LogLines(), lines + 1);
  }
}
#endif

TEST_P(OtherProgramTest, PausesAfterEveryFileItHandles) {
  Source("one", "1");
  Source("two.txt", "22");
  Source("empty.txt", "");
  drive_.MakeFolder("Ostrand/Mail/~Pegasus/sub");
  const long ms = TimedPass();
  EXPECT_GE(ms, 300);
  EXPECT_EQ(form_.presents, 3 + 1) << "each file is shown before its pause, and the end";
  EXPECT_EQ(LogLines(), 2);
  EXPECT_EQ(drive_.Names("Ostrand/Mail/Mailin"), (std::vector<std::string>{"one", "two.txt"}));
  EXPECT_EQ(drive_.Names("Ostrand/Mail/~Pegasus"), (std::vector<std::string>{"empty.txt", "sub"}));
}

TEST_P(OtherProgramTest, NoPauseForFoldersOrAnUnreachableFolder) {
  drive_.MakeFolder("Ostrand/Mail/~Pegasus/a");
  drive_.MakeFolder("Ostrand/Mail/~Pegasus/b");
  EXPECT_LT(TimedPass(), 100);
  rmdir(drive_.Host("Ostrand/Mail/~Pegasus/a").c_str());
  rmdir(drive_.Host("Ostrand/Mail/~Pegasus/b").c_str());
  rmdir(drive_.Host("Ostrand/Mail/~Pegasus").c_str());
  EXPECT_LT(TimedPass(), 100);
  EXPECT_EQ(form_.Text(Box::kTimNbT), "2");
}

TEST_P(OtherProgramTest, NeverShowsAnEstimate) {
  Source("a", "x");
  form_.SetText(Box::kTimEla, " 5");
  logic_.ProcessAction();
  logic_.ProcessAction();
  EXPECT_EQ(form_.tooltips[0], "");
  EXPECT_EQ(form_.tooltips[1], "");
}

TEST_P(OtherProgramTest, TheWwwwwwStemIsKeptOnlyByProgram0) {
  Source("wwwwww.q0", "0");
  Source("wwwwww.q1", "1");
  logic_.ProcessAction();
  const auto names = drive_.Names("Ostrand/Mail/Mailin");
  ASSERT_EQ(names.size(), 2u);
  if (program_.wwwwww_condition) {
    EXPECT_EQ(names[0].substr(0, 4), "~col");
    EXPECT_EQ(names[0].substr(0, 8), names[1].substr(0, 8));
  } else {
    EXPECT_EQ(names, (std::vector<std::string>{"wwwwww.q0", "wwwwww.q1"}));
  }
  EXPECT_EQ(LogLines(), 1) << "the .q1 entry, gone by then, is not listed again";
}

INSTANTIATE_TEST_SUITE_P(Programs, OtherProgramTest, ::testing::Values(&Program1(), &Program0()),
                         [](const auto& info) { return info.param->project; });

// Programs 1 and 0 on one folder, each passing on its own thread while files arrive, with
// pairs and names already taken in the target: every file is counted by one window, logged
// once and arrives once, and no pair is split or joined to another's half.
// Names that Windows keeps for its devices, and names ending in a space or a dot, are files
// like any other: they move under their lower-cased names, with a line each.
TEST(AnyName, NamesWindowsReservesMoveAsAnyOther) {
  TempDrive drive;
  drive.MakeFolder("Ostrand/Mail/~Pegasus");
  drive.MakeFolder("Ostrand/Mail/Mailin");
  drive.MakeFolder("Ostrand/Logs");
  const Program& program = Program1();
  MemoryForm form(program);
  FormLogic logic(program, form);
  logic.Form_Load();
  const std::vector<std::string> names = {"CON.cnm", "PRN",        "aux",     "nul.txt",
                                          "COM1.q0", "trail.cnm ", "dot-end."};
  for (const std::string& name : names) drive.WriteFile("Ostrand/Mail/~Pegasus/" + name, name);
  logic.ProcessAction();
  EXPECT_EQ(drive.Names("Ostrand/Mail/~Pegasus"), std::vector<std::string>{});
  EXPECT_EQ(drive.Names("Ostrand/Mail/Mailin"),
            (std::vector<std::string>{"aux", "com1.q0", "con.cnm", "dot-end.", "nul.txt", "prn",
                                      "trail.cnm "}));
  EXPECT_EQ(drive.ReadFile("Ostrand/Mail/Mailin/con.cnm"), "CON.cnm");
  EXPECT_EQ(form.Text(Info(10)), "  7");
  EXPECT_EQ(form.caption_note, "");
}

TEST(TwoProgramsOnOneFolder, CountLogAndMoveEachFileOnce) {
  TempDrive drive;
  const std::string src = "Ostrand/Mail/~Pegasus/", dst = "Ostrand/Mail/Mailin/";
  for (const char* f : {"Ostrand/Mail/~Pegasus", "Ostrand/Mail/Mailin", "Ostrand/Logs"}) {
    drive.MakeFolder(f);
  }
  std::multiset<std::string> written;
  auto add = [&](const std::string& name, const std::string& content) {
    drive.WriteFile(src + name, content);
    written.insert(content);
  };
  for (int i = 0; i < 40; ++i) drive.WriteFile(dst + "t" + std::to_string(i) + ".txt", "taken");
  Program one = Program1(), zero = Program0();
  one.pause_per_file_ms = zero.pause_per_file_ms = 0;
  MemoryForm form1{one}, form0{zero};
  FormLogic logic1{one, form1}, logic0{zero, form0};
  logic1.Form_Load();
  logic0.Form_Load();
  std::atomic<bool> writing{true};
  auto mover = [&](FormLogic& logic) {
    // A lone .q1 waits until it has been still for a few seconds.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      logic.ProcessAction();
      if (!writing && drive.Names("Ostrand/Mail/~Pegasus").empty()) return;
    }
  };
  std::thread a(mover, std::ref(logic1)), b(mover, std::ref(logic0));
  for (int i = 0; i < 100; ++i) {
    const std::string n = std::to_string(i);
    add("t" + n + ".txt", "file " + n);
    add("m" + n + ".q1", "pair " + n + " tail");  // the companion first: a lone .q0 moves alone
    add("m" + n + ".q0", "pair " + n + " head");
  }
  writing = false;
  a.join();
  b.join();
  for (int i = 0; i < 40; ++i) written.insert("taken");

  std::multiset<std::string> arrived;
  for (const auto& name : drive.Names(dst)) {
    const std::string content = drive.ReadFile(dst + name);
    arrived.insert(content);
    if (name.size() > 3 && name.substr(name.size() - 3) == ".q0") {
      const std::string tail = drive.ReadFile(dst + name.substr(0, name.size() - 1) + "1");
      EXPECT_EQ(content.substr(0, content.size() - 4) + "tail", tail) << name;
    }
  }
  EXPECT_EQ(arrived, written);
  const std::string log = drive.ReadFile("Ostrand/Logs/~Mailin.log");
  const auto lines = std::count(log.begin(), log.end(), '\n');
  EXPECT_EQ(lines, 200) << "one line for each .txt and each pair";
  EXPECT_EQ(std::stod(form1.Text(Info(10))) + std::stod(form0.Text(Info(10))), 200)
      << form1.Text(Info(10)) << " + " << form0.Text(Info(10)) << " " << form1.Text(Info(12)) << " "
      << form0.Text(Info(12));
}

class Program0Test : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_.MakeFolder("Ostrand/Mail/~Pegasus");
    logic_.Form_Load();
  }
  TempDrive drive_;
  MemoryForm form_{Program0()};
  FormLogic logic_{Program0(), form_};
};

TEST_F(Program0Test, PassesOnTicksOneThreeFiveAndCountsTicksAsElapsed) {
  EXPECT_EQ(form_.Text(Box::kTimPer), "2");
  EXPECT_EQ(BoxName(Program0(), Box::kTimRem), "Text2");
  platform::SetClockForTesting([] { return 0.0; });  // the clock must not matter
  std::vector<int> pass_ticks;
  for (int tick = 1; tick <= 6; ++tick) {
    const std::string before = form_.Text(Box::kTimNbT);
    logic_.Timer1_Timer();
    if (form_.Text(Box::kTimNbT) != before) pass_ticks.push_back(tick);
  }
  platform::SetClockForTesting(nullptr);
  EXPECT_EQ(pass_ticks, (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(form_.Text(Box::kTimEla), " 6");
  form_.SetText(Box::kTimEla, " 999");
  logic_.Timer1_Timer();
  EXPECT_EQ(form_.Text(Box::kTimEla), "1 000");
  logic_.Timer1_Timer();
  EXPECT_EQ(form_.Text(Box::kTimEla), "1 001");
}

TEST_F(Program0Test, DoubleClickCopiesThePeriodThenRunsAPass) {
  form_.Type(Box::kTimPer, "9");
  form_.Type(Box::kTimRem, "4");
  form_.events.clear();
  logic_.txt_TIM_Rem_DblClick();
  EXPECT_EQ(form_.events[0], "Text2=9");
  EXPECT_EQ(form_.Text(Box::kTimNbT), "1");
  EXPECT_EQ(form_.Text(Box::kTimRem), "9");
}

}  // namespace
}  // namespace tarvex
