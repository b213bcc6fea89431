#pragma once

// The drives of the tests of a drive shared by many users: drive P: with a source and a
// target folder anyone may write, drive Q: on another file system, state folders for the
// records of moves, and a writer of another user. No system header here.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "tests/support/temp_drive.h"

namespace platform::drive_test {

using tarvex_test::kMoverUid;
using tarvex_test::kWriterUid;
using tarvex_test::RunAs;
using tarvex_test::TempDrive;

// Whether a listing of `search` returns `name`.
bool Listed(const std::string& search, const std::string& name);

// A child of another user that creates a file, writes its first part and holds it open
// until told to finish.
class SlowWriter {
 public:
  SlowWriter(const std::string& path, unsigned uid);
  // Lets the writer write its rest and close the file; true when it did.
  bool Finish();
  ~SlowWriter();

 private:
  int ready_[2] = {-1, -1}, release_[2] = {-1, -1};
  int pid_ = -1;
};

class SharedDrive : public ::testing::Test {
 protected:
  void SetUp() override;
  TempDrive drive_;
};

// Drive Q: on another file system, and a state folder for the records of this process's
// moves (another for the mover user's).
class AcrossFileSystems : public SharedDrive {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs fn as the mover user, with a state folder of its own.
  int AsMover(const std::function<int()>& fn);
  // Moves a file of 1 GiB across file systems in a child, killed once the copy has begun.
  void KillInTheCopy(const std::string& name);
  std::unique_ptr<TempDrive> memory_;
  TempDrive state_{'S'};
};

}  // namespace platform::drive_test
