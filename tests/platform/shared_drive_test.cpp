// The promises that hold on a drive shared by many users and spread over several file
// systems: writers of other users, moves across file systems, hostile entries and links.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "platform/file_system_traits_posix.h"
#include "platform/move_record.h"
#include "shared/Module_MySafeRename.h"
#include "tests/platform/shared_drive_fixture.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using namespace drive_test;

// The mover may lease other users' files only with the capability (root here); without it
// a file that changed within the last seconds counts as being written.
TEST_F(SharedDrive, AFileAnotherUserIsWritingIsNeitherListedNorMoved) {
  SlowWriter writer(drive_.Host("src/slow.cnm"), kWriterUid);
  auto listed_and_moved = [] {
    return (Listed("P:\\src\\*.cnm", "slow.cnm") ? 1 : 0) +
           (RenameNoReplace("P:\\src\\slow.cnm", "P:\\dst\\slow.cnm") ? 2 : 0);
  };
  EXPECT_EQ(listed_and_moved(), 0) << "the mover with the capability to lease";
  EXPECT_EQ(RunAs(kMoverUid, listed_and_moved), 0) << "a mover without it";
  ASSERT_TRUE(writer.Finish());
  EXPECT_EQ(RunAs(kMoverUid, listed_and_moved), 0) << "changed a moment ago";
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  EXPECT_EQ(RunAs(kMoverUid, listed_and_moved), 3);
  EXPECT_EQ(drive_.ReadFile("dst/slow.cnm"), "first+rest");
}

TEST_F(AcrossFileSystems, AWriterArrivingDuringTheCopyLosesNothing) {
  const std::string source = drive_.Host("src/big");
  drive_.WriteFile("src/big", "");
  ASSERT_EQ(truncate(source.c_str(), 512LL << 20), 0);  // sparse: quick to read, slow to copy
  const pid_t writer = fork();
  if (writer == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int fd = open(source.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0) _exit(errno == ENOENT ? 2 : 1);  // moved already
    _exit(write(fd, "tail", 4) == 4 && close(fd) == 0 ? 0 : 1);
  }
  const bool moved = RenameNoReplace("P:\\src\\big", "Q:\\dst\\big");
  int status = 0;
  waitpid(writer, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 0) {
    EXPECT_FALSE(moved);
    EXPECT_EQ(std::filesystem::file_size(source), (512ULL << 20) + 4) << "the tail arrived";
    EXPECT_TRUE(memory_->Names("dst").empty()) << "the copy was taken back out";
  } else {
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_TRUE(moved);
  }
}

TEST_F(AcrossFileSystems, TheCopyIsTheMoversAndGrantsNothing) {
  drive_.WriteFile("src/tool", "#!/bin/sh\n");
  chown(drive_.Host("src/tool").c_str(), kWriterUid, kWriterUid);
  chmod(drive_.Host("src/tool").c_str(), 06755);
  ASSERT_TRUE(RenameNoReplace("P:\\src\\tool", "Q:\\dst\\tool"));
  struct stat st {};
  ASSERT_EQ(stat(memory_->Host("dst/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_uid, geteuid());
}

// A source that the mover may not remove (another user's file in a sticky folder, a file in
// a folder the mover may not change) is neither copied nor placed: a consumer that follows
// the target's change reports never sees a copy of it, and the pass knows before its line.
TEST_F(AcrossFileSystems, ASourceTheMoverMayNotRemoveIsNeverCopied) {
  drive_.MakeFolder("sticky");
  chmod(drive_.Host("sticky").c_str(), 01777);
  drive_.WriteFile("sticky/theirs", "x");
  chown(drive_.Host("sticky/theirs").c_str(), kWriterUid, kWriterUid);
  drive_.MakeFolder("kept");
  drive_.WriteFile("kept/mine", "y");
  chown(drive_.Host("kept/mine").c_str(), kMoverUid, kMoverUid);
  chmod(drive_.Host("kept").c_str(), 0555);
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));  // no longer changing
  const int reports = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(reports, memory_->Host("dst").c_str(), IN_CREATE | IN_MOVED_TO), 0);
  EXPECT_EQ(AsMover([] {
              const bool known =
                  MoveCanHappen("P:\\sticky", "theirs", "Q:\\dst", 1) ==
                      MoveHindrance::kSourceKept &&
                  MoveCanHappen("P:\\kept", "mine", "Q:\\dst", 1) == MoveHindrance::kSourceKept;
              const bool moved = RenameNoReplace("P:\\sticky\\theirs", "Q:\\dst\\theirs") ||
                                 RenameNoReplace("P:\\kept\\mine", "Q:\\dst\\mine");
              return known && !moved ? 0 : 1;
            }),
            0);
  char events[4096];
  EXPECT_LT(read(reports, events, sizeof events), 0) << "the target changed";
  close(reports);
  EXPECT_EQ(drive_.Names("sticky"), std::vector<std::string>{"theirs"});
  EXPECT_EQ(drive_.Names("kept"), std::vector<std::string>{"mine"});
}

// Links cannot take the mover off the drive, and a swap cannot redirect a pass.
TEST_F(SharedDrive, FoldersAreReachedWithoutLeavingTheDrive) {
  TempDrive outside('O');
  outside.MakeFolder("private");
  drive_.WriteFile("src/a.cnm", "a");
  ASSERT_EQ(symlink(outside.Host("private").c_str(), drive_.Host("out").c_str()), 0);
  ASSERT_EQ(symlink("dst", drive_.Host("inside").c_str()), 0);
  EXPECT_EQ(FolderTest("P:\\out"), Probe::kAbsent);
  EXPECT_FALSE(FolderListing::Open("P:\\out\\*.*"));
  tarvex::MySafeRename("P:\\src", "P:\\out", "a.cnm", true);
  EXPECT_TRUE(outside.Names("private").empty());
  EXPECT_EQ(FolderTest("P:\\inside"), Probe::kFound) << "a link within the drive is followed";
  drive_.WriteFile("dst/d.cnm", "d");
  tarvex::MySafeRename("P:\\inside", "P:\\dst", "d.cnm", true);
  EXPECT_EQ(drive_.Names("dst"), std::vector<std::string>{"d.cnm"}) << "one folder: no move";

  {
    FolderScope pass;
    ASSERT_EQ(FolderTest("P:\\dst"), Probe::kFound);
    std::filesystem::rename(drive_.Host("dst"), drive_.Host("dst-old"));
    ASSERT_EQ(symlink(outside.Host("private").c_str(), drive_.Host("dst").c_str()), 0);
    EXPECT_TRUE(RenameNoReplace("P:\\src\\a.cnm", "P:\\dst\\a.cnm"));
  }
  EXPECT_TRUE(outside.Names("private").empty());
  EXPECT_TRUE(drive_.Exists("dst-old/a.cnm"));
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

// Each way of putting a file at its name, as the file systems of a network drive allow
// them: the no-replace rename, a link and the removal of the old name, and a look-up and a
// rename under the movers' lock in the target folder. In each, another client creates the chosen
// name between its test and the placement: that file stays as it was, and the mover takes the next
// name in the same move.
class Placement : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    UseFreshFolderIndexes();
    drive_.MakeFolder("src");
    drive_.MakeFolder("dst");
  }
  static ForcedTraits Forced(int way) {
    ForcedTraits forced;
    forced.no_rename = way >= 1;
    forced.no_links = way >= 2;
    return forced;
  }
  const ForcedTraitsScope forcing_{Forced(GetParam())};
  TempDrive drive_;
};

TEST_P(Placement, NeverReplacesANameMadeBetweenItsTestAndThePlacement) {
  drive_.WriteFile("src/a.cnm", "arriving");
  drive_.WriteFile("src/b.cnm", "plain");
  struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  utimensat(AT_FDCWD, drive_.Host("src/b.cnm").c_str(), old_times, 0);
  {
    const BeforePlacementScope other_client([&] {
      if (!drive_.Exists("dst/a.cnm")) drive_.WriteFile("dst/a.cnm", "the other client's");
    });
    tarvex::MySafeRename("P:\\src", "P:\\dst", "a.cnm", false);
  }
  tarvex::MySafeRename("P:\\src", "P:\\dst", "b.cnm", false);

  EXPECT_EQ(drive_.Names("src"), std::vector<std::string>{});
  EXPECT_EQ(drive_.ReadFile("dst/a.cnm"), "the other client's");
  std::vector<std::string> arrived = drive_.Names("dst");
  std::erase(arrived, ".tarvex-placing");  // the movers' lock, where the rename needs one
  ASSERT_EQ(arrived.size(), 3u);
  int found = 0;
  for (const std::string& name : arrived) {
    if (name.rfind("~col", 0) == 0 && drive_.ReadFile("dst/" + name) == "arriving") ++found;
  }
  EXPECT_EQ(found, 1) << "arrived under the next name in the same move";
  EXPECT_EQ(drive_.ReadFile("dst/b.cnm"), "plain");
  struct stat st {};
  ASSERT_EQ(stat(drive_.Host("dst/b.cnm").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000) << "a copy keeps its time";
}

INSTANTIATE_TEST_SUITE_P(Ways, Placement, ::testing::Values(0, 1, 2), [](const auto& info) {
  return std::string(info.param == 0   ? "NoReplaceRename"
                     : info.param == 1 ? "LinkAndRemove"
                                       : "RenameUnderTheMoversLock");
});

// Where only the rename under the movers' lock is left, two movers that put different files
// at one name in the same moment never replace each other's, and a lock left by a killed
// mover (or a user's entry of its name) is set aside after the stale age.
TEST(PlacementUnderTheMoversLock, NeverReplacesAnotherMoversFileAndOutlivesALeftLock) {
  ForcedTraits forced;
  forced.no_rename = forced.no_links = true;
  forced.lock_stale_ns = 300000000LL;
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  TempDrive drive;
  for (const char* f : {"one", "two", "dst"}) drive.MakeFolder(f);
  constexpr int kRounds = 150;
  for (int i = 0; i < kRounds; ++i) {
    drive.WriteFile("one/s" + std::to_string(i) + ".cnm", "one " + std::to_string(i));
    drive.WriteFile("two/s" + std::to_string(i) + ".cnm", "two " + std::to_string(i));
  }
  std::atomic<int> ready{0};
  auto mover = [&](const char* from) {
    for (int i = 0; i < kRounds; ++i) {
      for (++ready; ready.load() < 2 * (i + 1);) {
      }
      tarvex::MySafeRename(std::string("P:\\") + from, "P:\\dst", "s" + std::to_string(i) + ".cnm",
                           false);
    }
  };
  std::thread other(mover, "two");
  mover("one");
  other.join();
  auto placed = [&] {
    std::size_t files = 0;
    for (const auto& name : drive.Names("dst")) files += name[0] != '.';
    return files;
  };
  EXPECT_EQ(drive.Names("one").size() + drive.Names("two").size(), 0u);
  EXPECT_EQ(placed(), 2u * kRounds) << "nothing replaced";

  // As a mover killed while holding it leaves it.
  ASSERT_EQ(rename(drive.Host("dst/.tarvex-placing").c_str(),
                   drive.Host("dst/.tarvex-placing-held-0123456789abcdef").c_str()),
            0);
  drive.WriteFile("one/late.cnm", "late");
  const auto start = std::chrono::steady_clock::now();
  tarvex::MySafeRename("P:\\one", "P:\\dst", "late.cnm", false);
  EXPECT_EQ(drive.ReadFile("dst/late.cnm"), "late");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_FALSE(drive.Exists("dst/.tarvex-placing-held-0123456789abcdef"));
  EXPECT_EQ(drive.Names("dst").size(), 2u * kRounds + 2) << "the left lock removed, one free";
}

// What another client's late rename does to a lock this mover keeps in `folder` (a name
// beginning with `held_prefix`): it goes on under held_prefix + "other". False where no such
// name is held.
bool TakeHeldNameAway(const TempDrive& drive, const std::string& folder,
                      const std::string& held_prefix) {
  for (const auto& name : drive.Names(folder)) {
    if (name.rfind(held_prefix, 0) == 0) {
      return std::rename(drive.Host(folder + "/" + name).c_str(),
                         drive.Host(folder + "/" + held_prefix + "other").c_str()) == 0;
    }
  }
  return false;
}

// Within a pass the movers' lock is kept from one placement to the next. Where renames go
// through a handle, another mover that opened the free lock before this one took it renames it
// away late, in the middle of the hold, and puts its own file at the very name this mover
// places next: this mover finds its lock gone, waits for the other to give it back, and finds
// the name taken instead of having its file replaced.
TEST(PlacementUnderTheMoversLock, ALockRenamedAwayLateEndsTheHold) {
  ForcedTraits forced;
  forced.no_rename = forced.no_links = forced.by_handle = true;
  forced.lock_stale_ns = 3000000000LL;  // kept 0.3 s at most
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/first.cnm", "first");
  drive.WriteFile("src/next.cnm", "mine");
  const FolderScope pass;
  ASSERT_TRUE(RenameNoReplace("P:\\src\\first.cnm", "P:\\dst\\first.cnm"));
  ASSERT_TRUE(TakeHeldNameAway(drive, "dst", ".tarvex-placing-held-"))
      << "the lock is kept after the first placement";
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drive.WriteFile("dst/next.cnm", "the other's");
    std::rename(drive.Host("dst/.tarvex-placing-held-other").c_str(),
                drive.Host("dst/.tarvex-placing").c_str());
  });
  const MoveResult result = RenameNoReplace("P:\\src\\next.cnm", "P:\\dst\\next.cnm");
  other.join();
  EXPECT_EQ(result.outcome, MoveOutcome::kTaken);
  EXPECT_EQ(drive.ReadFile("dst/next.cnm"), "the other's");
  EXPECT_EQ(drive.ReadFile("src/next.cnm"), "mine") << "not replaced in the target";
}

// An SMB client renames through a handle it opened first: of two movers that opened one file
// before either claimed it, both are told they claimed it, and the file ends under the later
// one's claim. The earlier one finds that out under the log's lock and writes no line.
TEST(RenamesThroughAHandle, AClaimAnotherMoversRenameOvertookGetsNoLine) {
  ForcedTraits forced;
  forced.remote = forced.local_locks = forced.by_handle = true;
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("logs");
  drive.WriteFile("src/a.cnm", "a");
  drive.WriteFile("src/b.cnm", "b");
  const std::string log = "P:\\logs\\t.log";
  const std::string line = "#2026-12-10 10:00:00#,\"0000001\"\r\n";
  Claim a, b;
  ASSERT_EQ(ClaimFile("P:\\src", "a.cnm", SourceName::kExact, a), ClaimOutcome::kClaimed);
  ASSERT_EQ(ClaimFile("P:\\src", "b.cnm", SourceName::kExact, b), ClaimOutcome::kClaimed);
  std::string claimed_a;
  for (const auto& name : drive.Names("src")) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, "a.cnm") == 0) claimed_a = name;
  }
  ASSERT_FALSE(claimed_a.empty());
  const std::string overtaken = ".tarvex-claim-T-00000000-0123456789abcdef-a.cnm";
  ASSERT_EQ(rename(drive.Host("src/" + claimed_a).c_str(), drive.Host("src/" + overtaken).c_str()),
            0);
  EXPECT_FALSE(AppendMoveLine(log, line, a));
  EXPECT_TRUE(AppendMoveLine(log, line, b));
  EXPECT_EQ(drive.ReadFile("logs/t.log"), line) << "one line, for the claim that held";
  EXPECT_EQ(drive.Names("logs"), (std::vector<std::string>{".t.log.tarvex-lock", "t.log"}))
      << "the log's lock given back";
  EXPECT_TRUE(ReleaseClaim(a)) << "gone from under it: nothing to put back";
  EXPECT_TRUE(drive.Exists("src/" + overtaken)) << "the other mover's, untouched";
}

// Two movers, each in a pass of its own, write 150 lines each into one log.
void AnotherMoverTakesItsTurn() {
  TempDrive drive;
  drive.MakeFolder("logs");
  const std::string log = "P:\\logs\\t.log";
  constexpr int kLines = 150;  // longer than the wait
  auto line = [](char who, int i) {
    return std::string(24, who) + "," + std::to_string(i) + "\r\n";
  };
  auto mover = [&](char who) {
    const FolderScope pass;
    for (int i = 0; i < kLines; ++i) {
      AppendWholeLine(log, line(who, i));
      std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
  };
  std::thread a(mover, 'a'), b(mover, 'b');
  a.join();
  b.join();
  std::multiset<std::string> written, expected;
  const std::string text = drive.ReadFile("logs/t.log");
  for (std::size_t at = 0, end; at < text.size(); at = end) {
    end = std::min(text.find('\n', at), text.size() - 1) + 1;
    written.insert(text.substr(at, end - at));
  }
  for (int i = 0; i < kLines; ++i) expected.insert({line('a', i), line('b', i)});
  EXPECT_EQ(written, expected) << "every line whole, none written over";
  EXPECT_EQ(drive.Names("logs"), (std::vector<std::string>{".t.log.tarvex-lock", "t.log"}))
      << "no hold taken for left";
}

// Where the log's lock is a token beside it, a pass keeps it from one line to the next, but only
// while it is young: a mover writing at the same time takes its turn, neither waits the hold
// out (setting it aside as left) nor gives up waiting, and no line is written over.
// Also where renames go through a handle, and there the token is asked for before each line.
TEST(LogLockKeptWithinAPass, AnotherMoverTakesItsTurnAndEveryLineStays) {
  for (const bool by_handle : {false, true}) {
    SCOPED_TRACE(by_handle ? "renames by handle" : "plain renames");
    ForcedTraits forced;
    forced.remote = forced.local_locks = true;
    forced.by_handle = by_handle;
    forced.lock_stale_ns = 300000000LL;  // kept 30 ms at most; waited for 0.9 s at most
    const ForcedTraitsScope forcing(forced);
    UseFreshFolderIndexes();
    AnotherMoverTakesItsTurn();
  }
}

// Where renames go through a handle, another client that opened the free token before this
// mover took it renames it away late, in the middle of a hold, writes its line at the end and
// gives the token back: the hold ends there, and this mover's next line goes after the other's,
// not over it.
TEST(LogLockKeptWithinAPass, ATokenRenamedAwayLateEndsTheHold) {
  ForcedTraits forced;
  forced.remote = forced.local_locks = forced.by_handle = true;
  forced.lock_stale_ns = 3000000000LL;  // kept 0.3 s at most
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  TempDrive drive;
  drive.MakeFolder("logs");
  const std::string log = "P:\\logs\\t.log";
  const FolderScope pass;
  AppendWholeLine(log, "first line\r\n");
  const std::string held_prefix = ".t.log.tarvex-held-";
  ASSERT_TRUE(TakeHeldNameAway(drive, "logs", held_prefix))
      << "the token is kept after the first line";
  {
    std::ofstream other(drive.Host("logs/t.log"), std::ios::app | std::ios::binary);
    other << "other's line\r\n";
  }
  ASSERT_EQ(std::rename(drive.Host("logs/" + held_prefix + "other").c_str(),
                        drive.Host("logs/.t.log.tarvex-lock").c_str()),
            0);
  AppendWholeLine(log, "next line\r\n");
  EXPECT_EQ(drive.ReadFile("logs/t.log"), "first line\r\nother's line\r\nnext line\r\n");
}

// Where a pass keeps both the log's token and the movers' lock, one mover may keep the token
// and want the lock while another keeps the lock and wants the token. Each gives back what it
// keeps before it waits: both go on at once, and neither waits the stale age out to set the
// other's aside as left.
TEST(BothLocksKeptWithinAPass, EachWaitsHoldingNeither) {
  ForcedTraits forced;
  forced.remote = forced.local_locks = forced.no_rename = forced.no_links = true;
  forced.lock_stale_ns = 3000000000LL;  // each kept 0.3 s at most
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  TempDrive drive;
  for (const char* f : {"src", "dst", "logs"}) drive.MakeFolder(f);
  drive.WriteFile("src/a.cnm", "a");
  drive.WriteFile("src/b.cnm", "b");
  const std::string log = "P:\\logs\\t.log";
  std::atomic<int> kept{0};
  auto both_keep_one = [&] {
    for (++kept; kept.load() < 2;) std::this_thread::yield();
  };
  auto place = [](const char* name) {
    return static_cast<bool>(
        RenameNoReplace(std::string("P:\\src\\") + name, std::string("P:\\dst\\") + name));
  };
  const auto start = std::chrono::steady_clock::now();
  bool a_placed = false, b_placed = false;
  std::thread b([&] {
    const FolderScope pass;
    b_placed = place("b.cnm");
    both_keep_one();
    AppendWholeLine(log, "b\r\n");
  });
  {
    const FolderScope pass;
    AppendWholeLine(log, "a\r\n");
    both_keep_one();
    a_placed = place("a.cnm");
  }
  b.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(a_placed && b_placed);
  EXPECT_EQ(drive.ReadFile("dst/a.cnm") + drive.ReadFile("dst/b.cnm"), "ab");
  const std::string text = drive.ReadFile("logs/t.log");
  EXPECT_TRUE(text == "a\r\nb\r\n" || text == "b\r\na\r\n") << text;
  EXPECT_LT(waited, std::chrono::milliseconds(3000)) << "a lock waited out as left";
  EXPECT_EQ(drive.Names("logs"), (std::vector<std::string>{".t.log.tarvex-lock", "t.log"}));
  EXPECT_EQ(drive.Names("dst"), (std::vector<std::string>{".tarvex-placing", "a.cnm", "b.cnm"}));
}

// On a drive mounted from elsewhere a lease sees no writer of another machine: a file whose
// stamps moved within the quiet period is not there yet, and is once they stay. A coarse
// stamp may lag the change by up to a step, which the quiet period does not include.
TEST(MountedFromElsewhere, AFileChangedWithinTheQuietPeriodWaits) {
  ForcedTraits forced;
  forced.remote = true;
  forced.quiet_ns = 900000000LL;
  forced.stamp_step_ns = 800000000LL;
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/a.cnm", "half");
  EXPECT_FALSE(Listed("P:\\src\\*.cnm", "a.cnm"));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\a.cnm", "P:\\dst\\a.cnm"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_FALSE(Listed("P:\\src\\*.cnm", "a.cnm"));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_TRUE(Listed("P:\\src\\*.cnm", "a.cnm"));
  EXPECT_TRUE(RenameNoReplace("P:\\src\\a.cnm", "P:\\dst\\a.cnm"));
  EXPECT_EQ(drive.ReadFile("dst/a.cnm"), "half");
}

// sshfs answers even a stat asked afresh from a cache of its own, for as long as its command
// line says, and for its default 20 s where it says nothing.
TEST(MountedFromElsewhere, AnSshfsClientsOwnCacheIsReadFromItsCommandLine) {
  auto seconds = [](std::vector<std::string> args) {
    return SshfsAttributeCacheNs(args) / 1000000000LL;
  };
  EXPECT_EQ(seconds({"sshfs", "h:/s", "/mnt"}), 20);
  EXPECT_EQ(seconds({"sshfs", "-o", "allow_other,cache=no", "h:/s", "/mnt"}), 0);
  EXPECT_EQ(seconds({"/usr/bin/sshfs", "-odir_cache=no", "h:", "/mnt"}), 0);
  EXPECT_EQ(seconds({"sshfs", "-o", "cache=no", "-o", "cache=yes,cache_timeout=7", "h:", "/m"}), 7);
  EXPECT_EQ(seconds({"sshfs", "h:", "/m", "-o", "dcache_timeout=7,dcache_stat_timeout=30"}), 30);
  EXPECT_EQ(seconds({"sshfs", "-o", "dcache_stat_timeout=3", "h:", "/m"}), 20) << "names kept 20 s";
}

}  // namespace
}  // namespace platform
