// What both platforms' file systems must answer alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/drive_path.h"
#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using tarvex_test::TempDrive;

// "/" separates the components of a drive path as "\" does, as on the programs' platform.
TEST(DrivePaths, ASlashSeparatesAsABackslashDoes) {
  TempDrive drive;
  drive.MakeFolder("a/sub");
  drive.MakeFolder("c");
  drive.WriteFile("a/b.txt", "b");
  EXPECT_EQ(FileTest("P:\\a/b.txt"), Probe::kFound);
  EXPECT_EQ(FolderTest("P:/a/sub"), Probe::kFound);
  auto listing = FolderListing::Open("P:\\a/*.txt");
  ListingEntry entry;
  ASSERT_TRUE(listing && listing->Next(entry));
  EXPECT_EQ(entry.name, "b.txt");
  listing.reset();
  EXPECT_TRUE(RenameNoReplace("P:\\a/b.txt", "P:/c\\b.txt"));
  EXPECT_EQ(drive.ReadFile("c/b.txt"), "b");
}

// A name whose hash is in a folder's index is there only once an entry confirms it: the
// file test, the entry test and the rename's target test give one answer, also when every
// name hashes alike.
TEST(DrivePaths, EveryTestOfANameGivesOneAnswer) {
  TempDrive drive;
  drive.MakeFolder("src");
  drive.MakeFolder("dst");
  drive.WriteFile("dst/Taken.txt", "there");
  UseFreshFolderIndexes(/*every_name_alike=*/true);
  EXPECT_EQ(FileTest("P:\\dst\\free.txt"), Probe::kAbsent);  // reads the folder's index
  EXPECT_EQ(EntryTest("P:\\dst\\free.txt"), Probe::kAbsent);
  EXPECT_EQ(FileTest("P:\\dst\\TAKEN.TXT"), Probe::kFound);
  EXPECT_EQ(EntryTest("P:\\dst\\taken.txt"), Probe::kFound);
  drive.WriteFile("src/one", "1");
  drive.WriteFile("src/two", "2");
  EXPECT_TRUE(RenameNoReplace("P:\\src\\one", "P:\\dst\\free.txt"));
  EXPECT_FALSE(RenameNoReplace("P:\\src\\two", "P:\\dst\\taken.TXT"));
  EXPECT_EQ(drive.ReadFile("dst/Taken.txt"), "there");
  UseFreshFolderIndexes();
}

// A listing of many names of every length fills many blocks: each name keeps its bytes, and
// the order is the listing's (without regard to case, then by the bytes).
TEST(DrivePaths, AListingOfManyNamesKeepsEachNameAndItsOrder) {
  ListingNames names;
  std::vector<std::pair<std::string, std::string>> expected;  // upper-cased, as given
  for (int i = 0; i < 30000; ++i) {
    std::string name = std::to_string(i * 7919 % 30000) + std::string(i % 250, i % 2 ? 'a' : 'B');
    names.Add(name);
    std::string upper = name;
    for (char& c : upper) c = c == 'a' ? 'A' : c;
    expected.emplace_back(upper, name);
  }
  names.Order();
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(names.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(names[i], expected[i].second) << "at " << i;
  }
}

}  // namespace
}  // namespace platform
