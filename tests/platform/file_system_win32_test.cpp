// What only the Windows file system layer does: folders held by a pass, and the platform's
// sharing rules.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/file_system.h"
#include "platform/run_time_error.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using tarvex_test::TempDrive;

std::wstring HostW(const TempDrive& drive, const std::string& relative) {
  const std::string path = drive.Host(relative);
  return std::wstring(path.begin(), path.end());  // the test folders' names are ASCII
}

TEST(WindowsFolders, AFolderAPassHasReachedCannotBeMovedAwayUntilThePassEnds) {
  TempDrive drive;
  drive.MakeFolder("dst");
  {
    FolderScope pass;
    ASSERT_EQ(FolderTest("P:\\dst"), Probe::kFound);
    EXPECT_FALSE(MoveFileExW(HostW(drive, "dst").c_str(), HostW(drive, "moved").c_str(), 0));
  }
  EXPECT_TRUE(MoveFileExW(HostW(drive, "dst").c_str(), HostW(drive, "moved").c_str(), 0));
}

TEST(WindowsFiles, AFileOpenForWritingIsNotListedNorMovedAndTheLogTakesWholeLines) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/busy.cnm", "partial");
  HANDLE writer =
      CreateFileW(HostW(drive, "src/busy.cnm").c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  ListingEntry e;
  auto listing = FolderListing::Open("P:\\src\\*.cnm");
  EXPECT_FALSE(listing && listing->Next(e)) << "not arrived yet";
  EXPECT_FALSE(RenameNoReplace("P:\\src\\busy.cnm", "P:\\dst\\busy.cnm"));
  CloseHandle(writer);
  listing = FolderListing::Open("P:\\src\\*.cnm");
  EXPECT_TRUE(listing && listing->Next(e) && e.name == "busy.cnm" && e.size == 7);
  listing.reset();
  EXPECT_TRUE(RenameNoReplace("P:\\src\\busy.cnm", "P:\\dst\\busy.cnm"));
  drive.WriteFile("src/other.cnm", "other");
  EXPECT_FALSE(RenameNoReplace("P:\\src\\other.cnm", "P:\\dst\\BUSY.CNM")) << "taken in any case";
  EXPECT_EQ(drive.ReadFile("dst/busy.cnm"), "partial");

  AppendWholeLine("P:\\dst\\log.txt", "one\r\n");
  AppendWholeLine("P:\\dst\\log.txt", "two\r\n");
  EXPECT_EQ(drive.ReadFile("dst/log.txt"), "one\r\ntwo\r\n");
  try {
    AppendWholeLine("P:\\nowhere\\log.txt", "x");
    ADD_FAILURE() << "no error for a missing folder";
  } catch (const RunTimeError& e) {
    EXPECT_EQ(e.number(), 76);
  }
}

}  // namespace
}  // namespace platform
