#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/run_time_error.h"

// What both file systems read and order the same way: drive paths, the variables that map
// a drive letter to a folder, the order of a listing, the error of a missing folder.
namespace platform {

// A drive path "P:\a\b": its upper-cased drive letter and its components, empty ones
// dropped. "\" and "/" both separate, as on the programs' own platform.
struct DrivePath {
  char drive = 0;
  std::vector<std::string_view> components;
};
// False when the path does not begin with a letter and ":".
bool ParseDrivePath(std::string_view path, DrivePath& out);

// Where the last separator of a path stands; npos when it has none.
std::size_t LastSeparator(std::string_view path);

// What a listing is asked for, "P:\a\*.cnm", split at its last separator into the folder and
// the pattern; false when it has no separator.
bool SplitFolderAndPattern(std::string_view path, std::string_view& folder,
                           std::string_view& pattern);

// "TARVEX_DRIVE_P" for drive p or P: the variable that maps a drive letter to a folder.
std::string DriveVariableName(char letter);

// The names of a listing (each name's bytes and a terminator, and where it starts), put in the
// order of a listing: "." and ".." first, then the others in case-insensitive ordinal order
// (by their upper-cased forms), names alike but for case by their bytes. Ordering a large
// listing yields now and then (YieldDuringLongWork). The names fill blocks of 64 KiB one
// after the other and their starts are kept in blocks too: a listing of many names takes
// little more than their bytes and four bytes a name, and is never copied as it grows.
class ListingNames {
 public:
  void Add(std::string_view name);
  void Order();
  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  std::string_view operator[](std::size_t i) const { return At(starts_[i]); }

 private:
  static constexpr std::size_t kBlockBits = 16;
  static constexpr std::size_t kBlock = std::size_t{1} << kBlockBits;
  const char* At(std::uint32_t start) const {
    return blocks_[start >> kBlockBits].get() + (start & (kBlock - 1));
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlock;  // of the last block
  std::deque<std::uint32_t> starts_;
};

// The error of a path whose folder is not there: 76 when its drive is, 68 when it is not.
RunTimeError MissingFolderError(bool drive_present);

}  // namespace platform
