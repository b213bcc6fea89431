#include "tests/platform/shared_drive_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/move_record.h"

namespace platform::drive_test {

bool Listed(const std::string& search, const std::string& name) {
  auto listing = FolderListing::Open(search);
  ListingEntry e;
  while (listing && listing->Next(e)) {
    if (e.name == name) return true;
  }
  return false;
}

SlowWriter::SlowWriter(const std::string& path, unsigned uid) {
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

bool SlowWriter::Finish() {
  if (pid_ <= 0 || write(release_[1], "g", 1) != 1) return false;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

SlowWriter::~SlowWriter() {
  if (pid_ > 0) Finish();
  for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) close(fd);
}

void SharedDrive::SetUp() {
  for (const char* f : {"src", "dst"}) {
    drive_.MakeFolder(f);
    chmod(drive_.Host(f).c_str(), 0777);
  }
}

void AcrossFileSystems::SetUp() {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
  SharedDrive::SetUp();
  memory_ = std::make_unique<TempDrive>('Q', "/dev/shm");
  memory_->MakeFolder("dst");
  chmod(memory_->Host("dst").c_str(), 0777);
  state_.MakeFolder("mine");
  state_.MakeFolder("mover");
  chown(state_.Host("mover").c_str(), kMoverUid, kMoverUid);
  tarvex_test::SetEnvironment("XDG_STATE_HOME", state_.Host("mine"));
  SetMoverTag("T");
}

void AcrossFileSystems::TearDown() { unsetenv("XDG_STATE_HOME"); }

int AcrossFileSystems::AsMover(const std::function<int()>& fn) {
  return RunAs(kMoverUid, [&] {
    tarvex_test::SetEnvironment("XDG_STATE_HOME", state_.Host("mover"));
    return fn();
  });
}

// A sparse file: quick to make, slow enough to copy for the kill to fall in the copy.
void AcrossFileSystems::KillInTheCopy(const std::string& name) {
  drive_.WriteFile("src/" + name, "");
  ASSERT_EQ(truncate(drive_.Host("src/" + name).c_str(), 1LL << 30), 0);
  const pid_t mover = fork();
  if (mover == 0) _exit(RenameNoReplace("P:\\src\\" + name, "Q:\\dst\\" + name) ? 0 : 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto copying = [&] {
    const auto names = memory_->Names("dst");
    struct stat st {};
    return names.size() == 1 && names[0].rfind(".tarvex-partial-", 0) == 0 &&
           stat(memory_->Host("dst/" + names[0]).c_str(), &st) == 0 && st.st_size > 0;
  };
  while (!copying() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(mover, SIGKILL);
  waitpid(mover, nullptr, 0);
}

}  // namespace platform::drive_test
