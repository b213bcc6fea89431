// What only the Windows file system layer does: folders held by a pass, the platform's
// sharing rules, and the record of the logged claim kept in the user's own application data.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/claim_names.h"
#include "platform/file_system.h"
#include "platform/logged_record.h"
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

// A program killed while it holds claims: at its next start the claim whose line it wrote is
// placed without a second line, and so is the claim whose line it was writing when the log
// holds that line where it was written (another mover's line of the same second and size just
// before it is not its line); the rest are put back under their names.
TEST(WindowsClaims, ClaimsCutShortByAKillAreFoundAgainWithTheirLines) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.MakeFolder("state");
  wchar_t user_data[MAX_PATH] = {};
  const DWORD had = GetEnvironmentVariableW(L"LOCALAPPDATA", user_data, MAX_PATH);
  tarvex_test::SetEnvironment("LOCALAPPDATA", drive.Host("state"));
  SetMoverTag("T");
  const std::string log = "P:\\dst\\t.log";
  for (const bool line_reached : {true, false}) {
    SCOPED_TRACE(line_reached ? "killed as its line reached the log"
                              : "killed before its line reached the log, after the same line "
                                "of another");
    for (const char* n : {"logged.cnm", "being.cnm", "unlogged.cnm"}) {
      drive.WriteFile(std::string("src/") + n, n);
    }
    const std::string line =
        std::string("#2026-12-09 10:00:0") + (line_reached ? "1" : "2") + "#,\"0000009\"\r\n";
    Claim* killed = new Claim[3];  // never given back, as a killed program gives nothing back
    ASSERT_EQ(ClaimFile("P:\\src", "logged.cnm", SourceName::kExact, killed[0]),
              ClaimOutcome::kClaimed);
    ASSERT_EQ(ClaimFile("P:\\src", "being.cnm", SourceName::kExact, killed[1]),
              ClaimOutcome::kClaimed);
    ASSERT_EQ(ClaimFile("P:\\src", "unlogged.cnm", SourceName::kExact, killed[2]),
              ClaimOutcome::kClaimed);
    AppendMoveLine(log, "#2026-12-09 09:00:00#,\"0000010\"\r\n", killed[0]);
    if (!line_reached) AppendWholeLine(log, line);  // another mover's
    NoteLoggingToken(killed[1].Token(), line,
                     static_cast<std::int64_t>(drive.ReadFile("dst/t.log").size()), "");
    if (line_reached) AppendWholeLine(log, line);

    std::vector<Claim> to_place = FinishInterruptedMoves("P:\\src", "P:\\dst", true, log);
    std::vector<std::string> placed;
    for (Claim& c : to_place) {
      placed.push_back(c.Name());
      EXPECT_TRUE(PlaceClaim(c, "P:\\dst\\" + c.Name()));
    }
    std::sort(placed.begin(), placed.end());
    const std::vector<std::string> expected =
        line_reached ? std::vector<std::string>{"being.cnm", "logged.cnm"}
                     : std::vector<std::string>{"logged.cnm"};
    EXPECT_EQ(placed, expected);
    EXPECT_EQ(drive.Names("src").size() + placed.size(), 3u) << "the others put back in view";
    for (const std::string& n : drive.Names("src")) {
      EXPECT_EQ(n.rfind(".tarvex-claim", 0), std::string::npos) << n;
      DeleteFileW(HostW(drive, "src/" + n).c_str());
    }
    for (const std::string& n : placed) DeleteFileW(HostW(drive, "dst/" + n).c_str());
  }
  SetEnvironmentVariableW(L"LOCALAPPDATA", had > 0 && had < MAX_PATH ? user_data : nullptr);
}

}  // namespace
}  // namespace platform
