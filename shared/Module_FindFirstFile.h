#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"

// The folder-listing bindings of the shared module.
namespace tarvex {

struct WIN32_FIND_DATA {
  std::uint32_t dwFileAttributes = 0;  // 0x10: a folder
  std::uint32_t nFileSizeHigh = 0;
  std::uint32_t nFileSizeLow = 0;
  char cFileName[260] = {};  // the name, NUL-padded
  char cAlternateFileName[14] = {};
};

using FindHandle = std::intptr_t;
inline constexpr FindHandle kInvalidFindHandle = -1;

// Opens a listing for "folder\pattern" and fills the first entry; kInvalidFindHandle when
// nothing matches or the folder cannot be read (that handle is not to be closed).
FindHandle FindFirstFileA(const std::string& search_spec, WIN32_FIND_DATA& data);
// Fills the next entry: non-zero while an entry was delivered, 0 at the end.
int FindNextFileA(FindHandle handle, WIN32_FIND_DATA& data);
// Ends a listing; unknown handles are ignored.
int FindClose(FindHandle handle);
// The listing behind a handle, for the claim of the entry it filled last; null for an
// unknown handle.
platform::FolderListing* FindListing(FindHandle handle);

// The attribute bits of an entry, or 0xFFFFFFFF when there is none.
std::uint32_t GetFileAttributesA(const std::string& path);

// The 64-bit size of a listing record.
inline std::uint64_t FileSize(const WIN32_FIND_DATA& data) {
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace tarvex
