#include "platform/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "platform/file_system_testing.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using tarvex_test::RunInChild;
using tarvex_test::RunUnprivileged;
using tarvex_test::TempDrive;

std::vector<std::string> List(const std::string& search) {
  std::vector<std::string> names;
  auto listing = FolderListing::Open(search);
  if (!listing) return {"<invalid>"};
  ListingEntry e;
  while (listing->Next(e)) {
    names.push_back(e.name + ((e.attributes & kAttrDirectory) ? "/" : ""));
  }
  return names;
}

TEST(DrivePaths, HiddenAndSystemEntriesAreNotSeenByTheTests) {
  TempDrive drive;
  drive.MakeFolder("f/sub");
  drive.WriteFile("f/.hidden", "x");
  ASSERT_EQ(mkfifo(drive.Host("f/pipe").c_str(), 0644), 0);
  EXPECT_EQ(FileTest("P:\\f\\.hidden"), Probe::kAbsent);
  EXPECT_EQ(FolderTest("P:\\f\\.hidden"), Probe::kAbsent);
  EXPECT_EQ(FileTest("P:\\f\\pipe"), Probe::kAbsent);
  EXPECT_EQ(FolderTest("P:\\f\\pipe"), Probe::kAbsent);
  EXPECT_EQ(FileTest("P:\\f\\sub"), Probe::kAbsent);
  EXPECT_EQ(FolderTest("P:\\f\\sub"), Probe::kFound);
}

TEST(DrivePaths, AnUnreadableFolderIsAFailureNotAbsence) {
  TempDrive drive;
  drive.MakeFolder("locked");
  chmod(drive.Host("locked").c_str(), 0);
  EXPECT_TRUE(RunUnprivileged([] { return FileTest("P:\\locked\\x") == Probe::kFailed; }));
  EXPECT_TRUE(RunUnprivileged([] { return !FolderListing::Open("P:\\locked\\*.*"); }));
}

TEST(Listing, DotsFirstThenCaseInsensitiveOrderFoldersFlagged) {
  TempDrive drive;
  drive.MakeFolder("src/Sub.cnm");
  for (const char* n : {"x.q1", "X.Q0", "b.CNM", "a_b", "ab", "readme", "\xC3\xA4", "Ab"}) {
    drive.WriteFile(std::string("src/") + n, "data");
  }
  // "\xC3\xA4" is ordered by its upper-cased form, after every ASCII name; "Ab" and "ab"
  // by their bytes. A link to a folder is a folder; a link to a file has the file's size.
  ASSERT_EQ(symlink("Sub.cnm", drive.Host("src/linked").c_str()), 0);
  ASSERT_EQ(symlink("readme", drive.Host("src/link.cnm").c_str()), 0);
  EXPECT_EQ(
      List("P:\\src\\*.*"),
      (std::vector<std::string>{"./", "../", "Ab", "ab", "a_b", "b.CNM", "link.cnm", "linked/",
                                "readme", "Sub.cnm/", "X.Q0", "x.q1", "\xC3\xA4"}));
  auto links = FolderListing::Open("P:\\src\\link.cnm");
  ListingEntry e;
  ASSERT_TRUE(links && links->Next(e));
  EXPECT_EQ(e.size, 4u);
  unlink(drive.Host("src/linked").c_str());
  unlink(drive.Host("src/link.cnm").c_str());
  EXPECT_EQ(List("P:\\SRC\\*.cnm"), (std::vector<std::string>{"b.CNM", "Sub.cnm/"}));
  EXPECT_EQ(List("P:\\src\\*.zip"), (std::vector<std::string>{"<invalid>"}));
  EXPECT_EQ(List("P:\\missing\\*.*"), (std::vector<std::string>{"<invalid>"}));
  EXPECT_EQ(List("Q:\\src\\*.*"), (std::vector<std::string>{"<invalid>"}));
}

TEST(Listing, SizesAre64Bit) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.WriteFile("src/big", "");
  ASSERT_EQ(truncate(drive.Host("src/big").c_str(), 5LL << 30), 0);  // sparse
  auto listing = FolderListing::Open("P:\\src\\big");
  ListingEntry e;
  ASSERT_TRUE(listing && listing->Next(e));
  EXPECT_EQ(e.size, 5ULL << 30);
}

// Both ways of keeping an index current: the file system's change reports, and the
// folder's change times as on a drive mounted from another machine; and an index that
// starts by stamp and follows the reports once its folder has grown.
class IndexTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override { FollowChangeReportsFrom(GetParam()); }
  void TearDown() override { FollowChangeReportsFrom(kFollowChangeReportsFrom); }
  // A change by another process: by stamp, seen once the index is a clock tick old.
  void Settle() const {
    if (GetParam() != 0) usleep(25000);
  }
};

TEST_P(IndexTest, SeesEntriesAddedAndRemovedBehindItsBack) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/a", "a");
  EXPECT_EQ(FileTest("P:\\dst\\a"), Probe::kAbsent);  // builds the index of dst
  drive.WriteFile("dst/A", "someone else's");
  Settle();
  EXPECT_EQ(FileTest("P:\\dst\\a"), Probe::kFound);
  EXPECT_FALSE(RenameNoReplace("P:\\src\\a", "P:\\dst\\a"));
  EXPECT_EQ(drive.ReadFile("dst/A"), "someone else's");

  // Two names that differ only in case: one of them going leaves the other taken.
  drive.WriteFile("dst/b", "");
  drive.WriteFile("dst/B", "");
  Settle();
  EXPECT_EQ(FileTest("P:\\dst\\b"), Probe::kFound);
  ASSERT_EQ(unlink(drive.Host("dst/b").c_str()), 0);
  Settle();
  EXPECT_EQ(FileTest("P:\\dst\\b"), Probe::kFound);
  ASSERT_EQ(unlink(drive.Host("dst/B").c_str()), 0);
  Settle();
  EXPECT_EQ(FileTest("P:\\dst\\b"), Probe::kAbsent);
  EXPECT_TRUE(RenameNoReplace("P:\\src\\a", "P:\\dst\\b"));

  // Many changes in a row, names removed from the middle of the index's runs among them.
  for (int i = 0; i < 1200; ++i) drive.WriteFile("dst/m" + std::to_string(i), "");
  for (int i = 0; i < 1200; i += 3) unlink(drive.Host("dst/m" + std::to_string(i)).c_str());
  Settle();
  int wrong = 0;
  for (int i = 0; i < 1200; ++i) {
    const Probe expected = i % 3 == 0 ? Probe::kAbsent : Probe::kFound;
    if (EntryTest("P:\\dst\\M" + std::to_string(i)) != expected) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

TEST_P(IndexTest, AChildProcessLeavesItsParentsIndexCurrent) {
  TempDrive drive;
  drive.MakeFolder("dst");
  EXPECT_EQ(FileTest("P:\\dst\\x"), Probe::kAbsent);
  EXPECT_EQ(RunInChild([] {
              const bool absent = FileTest("P:\\dst\\x") == Probe::kAbsent;
              UseFreshFolderIndexes();
              return absent ? 0 : 1;
            }),
            0);
  drive.WriteFile("dst/X", "");
  Settle();
  EXPECT_EQ(FileTest("P:\\dst\\x"), Probe::kFound);
}

INSTANTIATE_TEST_SUITE_P(Ways, IndexTest, ::testing::Values(0, 10, SIZE_MAX), [](const auto& info) {
  return info.param == 0    ? std::string("ChangeReports")
         : info.param == 10 ? std::string("ReportsOnceGrown")
                            : std::string("Stamps");
});

TEST(Rename, AFileHeldOpenForWritingStaysUntilTheWriterCloses) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/busy", "partial");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = open(drive.Host("src/busy").c_str(), O_WRONLY | O_APPEND);
    char c = 'r';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    if (read(release[0], &c, 1) != 1) _exit(1);
    if (write(fd, "+rest", 5) != 5) _exit(1);
    close(fd);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_FALSE(RenameNoReplace("P:\\src\\busy", "P:\\dst\\busy"));
  EXPECT_TRUE(drive.Exists("src/busy"));
  ASSERT_EQ(write(release[1], "g", 1), 1);
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(RenameNoReplace("P:\\src\\busy", "P:\\dst\\busy"));
  EXPECT_EQ(drive.ReadFile("dst/busy"), "partial+rest");
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST(Rename, AWriterThatComesBetweenTheListingAndTheMoveKeepsTheFile) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/late", "first");
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t writer = fork();  // before the listing, so that it holds no copy of the lease
  if (writer == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(1);
    const int fd = open(drive.Host("src/late").c_str(), O_WRONLY | O_APPEND);
    _exit(fd >= 0 && write(fd, "+more", 5) == 5 ? 0 : 1);
  }
  auto listing = FolderListing::Open("P:\\src\\late");
  ListingEntry e;
  ASSERT_TRUE(listing && listing->Next(e));
  ASSERT_EQ(write(go[1], "g", 1), 1);
  usleep(200000);  // the writer's open now waits for the listing's lease
  // The listing hands its lease to the claim; the placement sees that the writer asked, and
  // the file goes back under its name, where the writer goes on.
  Claim claim;
  ASSERT_EQ(listing->ClaimLast("P:\\src", claim), ClaimOutcome::kClaimed);
  EXPECT_EQ(PlaceClaim(claim, "P:\\dst\\late").outcome, MoveOutcome::kBeingWritten);
  EXPECT_TRUE(ReleaseClaim(claim));
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_EQ(drive.ReadFile("src/late"), "first+more");
  EXPECT_TRUE(RenameNoReplace("P:\\src\\late", "P:\\dst\\late"));
  EXPECT_EQ(drive.ReadFile("dst/late"), "first+more");
  close(go[0]);
  close(go[1]);
}

TEST(Rename, TwoProcessesRacingForOneSourceMoveItOnce) {
  for (int round = 0; round < 20; ++round) {
    TempDrive drive;
    drive.MakeFolder("src");
    drive.MakeFolder("dst");
    drive.WriteFile("src/f", "content");
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t children[2];
    for (int k = 0; k < 2; ++k) {
      children[k] = fork();
      if (children[k] == 0) {
        char c;
        if (read(go[0], &c, 1) != 1) _exit(3);
        _exit(RenameNoReplace("P:\\src\\f", k == 0 ? "P:\\dst\\one" : "P:\\dst\\two") ? 0 : 1);
      }
    }
    ASSERT_EQ(write(go[1], "gg", 2), 2);
    int wins = 0;
    for (pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      wins += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    close(go[0]);
    close(go[1]);
    EXPECT_EQ(wins, 1);
    EXPECT_EQ(drive.Names("dst").size(), 1u);
    EXPECT_TRUE(drive.Names("src").empty());
  }
}

TEST(Rename, AcrossFileSystemsCopiesThenRemovesTheSource) {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
  TempDrive disk('P');
  TempDrive memory('Q', "/dev/shm");
  TempDrive state('S');  // for the record of the move, instead of the user's own folder
  tarvex_test::SetEnvironment("XDG_STATE_HOME", state.root());
  disk.MakeFolder("src");
  memory.MakeFolder("dst");
  disk.WriteFile("src/moving", std::string(3 << 20, 'm'));
  memory.WriteFile("dst/taken", "keep");
  disk.WriteFile("src/taken", "other");
  EXPECT_TRUE(RenameNoReplace("P:\\src\\moving", "Q:\\dst\\moving"));
  EXPECT_EQ(memory.ReadFile("dst/moving"), std::string(3 << 20, 'm'));
  EXPECT_FALSE(disk.Exists("src/moving"));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\taken", "Q:\\dst\\TAKEN"));
  EXPECT_EQ(memory.Names("dst"), (std::vector<std::string>{"moving", "taken"}));
  EXPECT_EQ(disk.ReadFile("src/taken"), "other");
  unsetenv("XDG_STATE_HOME");
}

TEST(Rename, BadNamesNeitherCrashNorTouchOtherFiles) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  const std::string latin1 = "caf\xE9";
  const std::string longest(255, 'n');
  drive.WriteFile("src/" + latin1, "1");
  drive.WriteFile("src/" + longest, "2");
  drive.WriteFile("src/a\\b", "3");
  drive.WriteFile("src/b", "4");
  ASSERT_EQ(symlink("/nonexistent/target", drive.Host("src/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(drive.Host("src/pipe").c_str(), 0644), 0);
  const auto listed = List("P:\\src\\*.*");
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "a\\b"), 0);
  EXPECT_TRUE(RenameNoReplace("P:\\src\\CAF\xE9", "P:\\dst\\caf\xE9", SourceName::kAnyCase));
  EXPECT_TRUE(RenameNoReplace("P:\\src\\" + longest, "P:\\dst\\" + longest));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\a\\b", "P:\\dst\\x")) << "\\ splits the path";
  EXPECT_FALSE(RenameNoReplace("P:\\src\\dangling", "P:\\dst\\dangling"));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\pipe", "P:\\dst\\pipe"));
  EXPECT_EQ(drive.ReadFile("src/b"), "4");
  EXPECT_EQ(drive.ReadFile("src/a\\b"), "3");
  EXPECT_TRUE(drive.Exists("src/pipe"));
}

}  // namespace
}  // namespace platform
