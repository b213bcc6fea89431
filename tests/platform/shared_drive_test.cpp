// The promises that hold on a drive shared by many users and spread over several file
// systems: writers of other users, moves across file systems, hostile entries and links.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/file_system.h"
#include "shared/Module_MySafeRename.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using tarvex_test::kMoverUid;
using tarvex_test::kWriterUid;
using tarvex_test::RunAs;
using tarvex_test::TempDrive;

bool Listed(const std::string& search, const std::string& name) {
  auto listing = FolderListing::Open(search);
  ListingEntry e;
  while (listing && listing->Next(e)) {
    if (e.name == name) return true;
  }
  return false;
}

// A child of another user that creates a file, writes its first part and holds it open
// until told to finish.
class SlowWriter {
 public:
  SlowWriter(const std::string& path, unsigned uid) {
    if (pipe(ready_) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (geteuid() == 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(99);
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      char c = 'r';
      if (fd < 0 || write(fd, "first", 5) != 5 || write(ready_[1], &c, 1) != 1) _exit(1);
      if (read(release_[0], &c, 1) != 1 || write(fd, "+rest", 5) != 5) _exit(1);
      _exit(close(fd) == 0 ? 0 : 1);
    }
    char c;
    if (read(ready_[0], &c, 1) != 1) pid_ = -1;
  }
  bool Finish() {
    if (pid_ <= 0 || write(release_[1], "g", 1) != 1) return false;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ~SlowWriter() {
    if (pid_ > 0) Finish();
    for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) close(fd);
  }

 private:
  int ready_[2] = {-1, -1}, release_[2] = {-1, -1};
  pid_t pid_ = -1;
};

class SharedDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"src", "dst"}) {
      drive_.MakeFolder(f);
      chmod(drive_.Host(f).c_str(), 0777);
    }
  }
  TempDrive drive_;
};

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

class AcrossFileSystems : public SharedDrive {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
    SharedDrive::SetUp();
    memory_ = std::make_unique<TempDrive>('Q', "/dev/shm");
    memory_->MakeFolder("dst");
    chmod(memory_->Host("dst").c_str(), 0777);
  }
  std::unique_ptr<TempDrive> memory_;
};

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

// A kill during the copy leaves a partial copy that the next start removes; a kill after
// the copy was put in place leaves a journal by which the next start removes the source.
TEST_F(AcrossFileSystems, TheNextStartClearsWhatAKilledMoveLeft) {
  SetMoverTag("T");
  drive_.WriteFile("src/huge", "");
  ASSERT_EQ(truncate(drive_.Host("src/huge").c_str(), 256LL << 20), 0);
  const pid_t mover = fork();
  if (mover == 0) _exit(RenameNoReplace("P:\\src\\huge", "Q:\\dst\\huge") ? 0 : 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (memory_->Names("dst").empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(mover, SIGKILL);
  waitpid(mover, nullptr, 0);
  ASSERT_EQ(memory_->Names("dst").size(), 1u);
  EXPECT_EQ(memory_->Names("dst")[0].rfind(".tarvex-partial-T-", 0), 0u);

  // Entries of other users and other movers stay.
  memory_->WriteFile("dst/.tarvex-partial-T-theirs", "x");
  chown(memory_->Host("dst/.tarvex-partial-T-theirs").c_str(), kWriterUid, kWriterUid);
  memory_->WriteFile("dst/.tarvex-partial-U-other", "x");
  // The copy of src/placed is in place, its source not yet removed.
  drive_.WriteFile("src/placed", "data");
  memory_->WriteFile("dst/placed", "data");
  struct stat s {
  }, c{};
  stat(drive_.Host("src/placed").c_str(), &s);
  stat(memory_->Host("dst/placed").c_str(), &c);
  std::string journal;
  for (const std::string& field :
       {std::string("P:\\src"), std::string("placed"), std::to_string(s.st_dev),
        std::to_string(s.st_ino), std::to_string(s.st_size),
        std::to_string(s.st_mtim.tv_sec * 1000000000LL + s.st_mtim.tv_nsec),
        std::to_string(c.st_ino), std::string("placed")}) {
    journal += field + '\0';
  }
  memory_->WriteFile("dst/.tarvex-journal-T", journal);

  FinishInterruptedMoves("Q:\\dst");
  EXPECT_EQ(memory_->Names("dst"), (std::vector<std::string>{".tarvex-partial-T-theirs",
                                                             ".tarvex-partial-U-other", "placed"}));
  EXPECT_EQ(drive_.Names("src"), std::vector<std::string>{"huge"});
  EXPECT_TRUE(RenameNoReplace("P:\\src\\huge", "Q:\\dst\\huge"));
  EXPECT_EQ(std::filesystem::file_size(memory_->Host("dst/huge")), 256ULL << 20);
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
