#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

// What tests and benchmarks may ask of the file system beyond the programs' own calls: the
// work its folder indexes do, and a fresh set of them. Where a platform keeps no index of
// its own (Windows answers every lookup itself), these do nothing and report nothing.
namespace platform {

// How many times a folder's index of names has been read in full by the indexes in use
// (a pass must not re-read its target once per file).
std::uint64_t FolderIndexReads();

// Puts new, empty folder indexes in place of those in use, for tests that change folders
// behind their back within one clock tick, or act as another user. every_name_alike: every
// name hashes to one value, so that every hit must be confirmed.
void UseFreshFolderIndexes(bool every_name_alike = false);

// The index of a folder of at least this many names (kFollowChangeReportsFrom unless set)
// follows the file system's change reports where it gives them; a smaller one, and every one
// where reports are not to be had (a drive mounted from another machine), is checked by the
// folder's change times. SIZE_MAX: never follow reports. Forgets every index.
constexpr std::size_t kFollowChangeReportsFrom = 4096;
void FollowChangeReportsFrom(std::size_t names);

// The memory that the folder indexes hold, in bytes.
std::size_t FolderIndexBytes();

// Answers that tests force on what every file system can do, from the next folder on (null:
// learn them again). remote: treated as mounted from elsewhere, with this quiet period and
// at least this stamp step; no_rename, no_links: the no-replace rename, the hard link refused;
// local_locks: record locks stay on this machine (as a FUSE client keeps them), so that a log
// there has a lock file, taken over from a holder that kept it for lock_stale_ns (0: as
// always); by_handle: renames are made through a handle opened first, as an SMB client makes
// them, so that a rename said to succeed may be overtaken by another client's.
struct ForcedTraits {
  bool remote = false;
  long long quiet_ns = 0;
  long long stamp_step_ns = 1;
  bool no_rename = false;
  bool no_links = false;
  bool local_locks = false;
  long long lock_stale_ns = 0;
  bool by_handle = false;
};
void ForceFileSystemTraits(const ForcedTraits* forced);

// Called by every move right before it puts the file at its target name (empty: nothing),
// so that a test can act there as another client would.
void SetBeforePlacement(std::function<void()> hook);
void BeforePlacement();

// The two above for a scope: what a test forces is undone when it ends, however it ends.
class ForcedTraitsScope {
 public:
  explicit ForcedTraitsScope(const ForcedTraits& forced) { ForceFileSystemTraits(&forced); }
  ~ForcedTraitsScope() { ForceFileSystemTraits(nullptr); }
  ForcedTraitsScope(const ForcedTraitsScope&) = delete;
  ForcedTraitsScope& operator=(const ForcedTraitsScope&) = delete;
};
class BeforePlacementScope {
 public:
  explicit BeforePlacementScope(std::function<void()> hook) { SetBeforePlacement(std::move(hook)); }
  ~BeforePlacementScope() { SetBeforePlacement(nullptr); }
  BeforePlacementScope(const BeforePlacementScope&) = delete;
  BeforePlacementScope& operator=(const BeforePlacementScope&) = delete;
};

}  // namespace platform
