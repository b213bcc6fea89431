// The file system's contracts that hold on every platform: one source, run in both builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using tarvex_test::TempDrive;

TEST(DrivePaths, ComponentsAreFoundWithoutRegardToCase) {
  TempDrive drive;
  drive.MakeFolder("Ostrand/Mail");
  drive.WriteFile("Ostrand/Mail/Report.TXT", "x");
  EXPECT_EQ(FileTest("p:\\OSTRAND\\mail\\REPORT.txt"), Probe::kFound);
  EXPECT_EQ(FileTest("P:\\Ostrand\\Mail\\report.txt"), Probe::kFound);
  EXPECT_EQ(FileTest("P:\\Ostrand\\Mail\\nothing"), Probe::kAbsent);
  EXPECT_EQ(FolderTest("P:\\ostrand\\MAIL"), Probe::kFound);
  EXPECT_EQ(FolderTest("Q:\\Ostrand"), Probe::kAbsent) << "unmapped drive finds nothing";
  EXPECT_EQ(FolderTest("P:\\Ostrand\\..\\Ostrand"), Probe::kAbsent);
}

TEST(Listing, SkipsEntriesGoneMeanwhileAndReadsSizesLate) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.WriteFile("src/a.cnm", "1");
  drive.WriteFile("src/b.cnm", "2");
  drive.WriteFile("src/c.cnm", "3");
  auto listing = FolderListing::Open("P:\\src\\*.cnm");
  ASSERT_TRUE(listing);
  std::filesystem::remove(drive.Host("src/b.cnm"));
  drive.WriteFile("src/c.cnm", std::string(70000, 'x'));
  ListingEntry e;
  ASSERT_TRUE(listing->Next(e));
  EXPECT_EQ(e.name, "a.cnm");
  ASSERT_TRUE(listing->Next(e));
  EXPECT_EQ(e.name, "c.cnm");
  EXPECT_EQ(e.size, 70000u);
  EXPECT_FALSE(listing->Next(e));
}

TEST(Rename, NeverReplacesAndTreatsCaseVariantsAsTaken) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("src/Report.TXT", "new");
  drive.WriteFile("dst/report.txt", "old");
  EXPECT_FALSE(RenameNoReplace("P:\\src\\Report.TXT", "P:\\dst\\REPORT.txt"));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\Report.TXT", "P:\\dst\\report.txt"));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\report.txt", "P:\\dst\\x")) << "not that name";
  EXPECT_EQ(drive.ReadFile("dst/report.txt"), "old");
  EXPECT_EQ(drive.ReadFile("src/Report.TXT"), "new");
  EXPECT_TRUE(RenameNoReplace("P:\\src\\report.txt", "P:\\dst\\other.txt", SourceName::kAnyCase));
  EXPECT_EQ(drive.Names("dst"), (std::vector<std::string>{"other.txt", "report.txt"}));
  EXPECT_EQ(drive.ReadFile("dst/other.txt"), "new");
  EXPECT_FALSE(RenameNoReplace("P:\\src\\Report.TXT", "P:\\dst\\again.txt")) << "source gone";
  EXPECT_FALSE(RenameNoReplace("P:\\src\\x", "P:\\nowhere\\x"));
}

}  // namespace
}  // namespace platform
