#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The shared drive as the programs see it. Paths are drive-letter paths ("P:\a\b"); drive X
// is the folder $TARVEX_DRIVE_X, else /mnt/x. Every component is matched without regard to
// case: the exact name first, else the entry whose lower-cased name is the same.
namespace platform {

// The answer of a test: there is such an entry, there is none, or the question could not
// be answered (permission denied, I/O error).
enum class Probe { kFound, kAbsent, kFailed };

// The host folder that stands for a drive letter.
std::string DriveRoot(char letter);

// The host path of a drive-letter path. kAbsent when the drive or any component is missing;
// kFailed when a folder on the way cannot be read.
struct Resolved {
  Probe status = Probe::kAbsent;
  std::string host_path;
  unsigned mode = 0;  // the kind of entry (links followed), 0 when it is gone or a dangling link
};
Resolved ResolvePath(std::string_view win_path);

// Folder test: a folder or a plain file that is neither hidden (name starting with ".")
// nor system (socket, pipe, device). File test: only such a plain file.
Probe FolderTest(std::string_view win_path);
Probe FileTest(std::string_view win_path);

// Moves one file (or symbolic link, as a link) to a full path in another folder. Never
// replaces anything: fails and changes nothing when the source is missing, when any entry
// exists at the target under a name that differs at most in case, when another process
// holds the source open for writing, or when the platform refuses. The new entry takes the
// target name exactly as given. Across file systems the file is copied to a hidden
// temporary name in the target folder, flushed, put in place, and then the source is
// removed; on any failure the copy is removed and the source stays.
bool RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path);

// Appends one whole line to a file in one write (created when missing; its folder is
// never created). Throws RunTimeError: 76 for a missing folder, 68 for a missing drive,
// 70 for no permission, 61 for a full disk, 57 for an I/O error, 75 otherwise. A line that
// could only be written in part is taken out again.
void AppendWholeLine(std::string_view win_path, std::string_view line);

// Attribute bits of a listing entry.
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;

struct ListingEntry {
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  std::string name;
};

// A folder listing for "folder\pattern": "." and ".." first as folders when the pattern
// matches them, then the matching names in case-insensitive ordinal order. Names holding
// "\" are left out. An entry that has gone by the time the listing reaches it is skipped;
// its size and kind are read at that moment.
class FolderListing {
 public:
  // Null when the folder cannot be read or nothing matches.
  static std::unique_ptr<FolderListing> Open(std::string_view search_spec);

  // The next entry that still exists; false at the end.
  bool Next(ListingEntry& entry);

 private:
  FolderListing(std::string host_folder, std::vector<std::string> names);

  std::string host_folder_;
  std::vector<std::string> names_;
  std::size_t position_ = 0;
};

// Forgets every cached folder index (for tests that change folders behind the cache's back
// within one clock tick).
void ForgetFolderIndexes();

}  // namespace platform
