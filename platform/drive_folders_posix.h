#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/held_folder_posix.h"

struct stat;

// Resolving drive paths into folders held open, never leaving the drive, and what a pass's
// scope keeps of them.
namespace platform {

// A path's hash, eight bytes a step: a pass looks its folders up by path several times a file.
struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ s.size();
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      h = (h ^ word) * 0xff51afd7ed558ccdULL;
      h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
    h = (h ^ tail) * 0xc4ceb9fe1a85ec53ULL;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};
template <typename T>
using PathMap = std::unordered_map<std::string, T, PathHash, std::equal_to<>>;

// What this user may do in a folder: add and remove entries, and (in a sticky folder of
// another user's) remove only its own.
struct FolderRights {
  bool may_change = true;
  bool own_files_only = false;
};

// What a folder's file system has room for: blocks and inodes that this user may take
// (counts_inodes false: a file system that does not count them).
struct Room {
  unsigned long long blocks = 0, block_size = 1, inodes = 0;
  bool counts_inodes = false;
};

// The log's lock and the log itself, kept from one line to the next within a pass where that
// spares the server requests (see log_append_posix.cpp).
struct HeldLog;
struct HeldLogEnd {
  void operator()(HeldLog* held) const;
};
// The movers' lock of a target folder, kept from one placement to the next within a pass
// where that spares the server requests (see rename_posix.cpp).
struct HeldPlacing;
struct HeldPlacingEnd {
  void operator()(HeldPlacing* held) const;
};

// What the outermost FolderScope of a thread keeps: folders by drive letter and lower-cased
// path, and again by the exact path a caller gave (so that a pass's repeated paths are
// neither parsed nor lower-cased again); name limits; the actual name of each log file
// appended to; what the user may do in each folder.
struct ScopeFolders {
  std::unordered_map<std::string, Held> by_key;
  PathMap<Held> by_path;
  PathMap<std::size_t> name_limits;
  PathMap<std::pair<Held, std::string>> log_files;
  std::unordered_map<const HeldFolder*, FolderRights> rights;
  std::unordered_map<const HeldFolder*, Room> room;
  int records_kept = -1;     // whether the state folder can be had, with room: unknown (-1), 0, 1
  bool state_named = false;  // the variables that name the state folder were read in this scope
  // Last, so that they end first: a lock is given back while its folder is held.
  std::unique_ptr<HeldLog, HeldLogEnd> held_log;
  std::unique_ptr<HeldPlacing, HeldPlacingEnd> held_placing;
};
// Null while no FolderScope lives on this thread.
ScopeFolders* CurrentScope();

// A whole drive path of a folder, held open; null with the reason in status.
Held ResolveWholeFolder(std::string_view win_folder, Probe& status);

// The held folder of a path and its last component, as given.
struct ParentAndName {
  Held folder;
  Probe status = Probe::kAbsent;
  std::string_view name;
  char drive = 0;
  std::size_t cut = 2;  // where the folder's own drive path ends in the path given
};
ParentAndName ResolveParent(std::string_view win_path);

// Whether the host folder of a drive letter is there.
bool DrivePresent(char drive);

enum class Kind { kFile, kFileLink, kFolder, kSystem };
// The kind of an entry from its lstat; a link is what it leads to. `followed` receives the
// status of the file a file link leads to.
Kind KindOf(int dir_fd, const std::string& name, const struct stat& st, struct stat* followed);

bool IsHidden(std::string_view name);
// A file that some mover has claimed, or its copy in the making.
bool IsMoversOwn(std::string_view name);

// Only a clear refusal counts: where the question cannot be answered, the move finds out.
FolderRights RightsIn(const HeldFolder& folder);

}  // namespace platform
