#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/held_folder_posix.h"

struct stat;

// Why did the target name test say taken: the index of a folder's names, so that a lookup
// without regard to case costs the same in a folder of ten entries and of a million.
namespace platform {

// What a lookup must tell: the entry itself (its actual name and lstat), only whether there
// is one, or whether there is one where a move that never replaces follows and settles a
// name found taken at the moment of the move (on a drive mounted from elsewhere, the index
// answers "absent" without a look-up of the name at the server).
enum class Need { kEntry, kExistence, kExistenceBeforeMove };

// The indexes of the folders looked up: 64-bit hashes of the lower-cased names of each, at
// under 24 bytes a name. A hash answers "absent" for certain; a hit is confirmed by the
// exact name, else by reading the folder again, which finds the entry that differs only in
// case (or none, when the hit was false or stale), so that every test answers alike and a
// false hit costs one read, never a wrong answer.
//
// Where the folder's file system reports its changes (local file systems), an index of a
// large folder is kept current from those reports, applied in the order they happened; the
// program's own renames reach it the same way. Elsewhere (a drive mounted from another
// machine, whose changes no report covers) the index is checked against the folder's change
// times on every use and read again when they differ. A change stamped within the same clock
// tick as the reading cannot be told from it, so such an index read that close to a change
// is trusted for one tick only and then read again; the program's own renames update it in
// place and adopt the folder's new stamp, and a change by another process in the instant
// between a check and such a rename goes unseen until the folder changes again. At worst that
// keeps a file in its source until the next pass (a rename refused because its exact name
// was taken drops the index): the rename itself never replaces anything.
//
// One object owns its lock, its indexes, its watches and its reports descriptor. All its
// calls may come from any thread.
class FolderIndexes {
 public:
  // every_name_alike: every name hashes to one value (tests of what a hit must confirm).
  explicit FolderIndexes(bool every_name_alike = false);
  ~FolderIndexes();
  FolderIndexes(const FolderIndexes&) = delete;
  FolderIndexes& operator=(const FolderIndexes&) = delete;

  // Finds the entry of a folder with the given name, or (kAnyCase) the one whose name
  // differs from it only in case; fills its lstat and its actual name.
  Probe Lookup(const HeldFolder& dir, std::string_view name, SourceName match, std::string& actual,
               struct stat* st_out = nullptr, Need need = Need::kEntry);

  // Before the program's own change to a folder checked by stamp: an index that no longer
  // matches the folder is dropped, so that the change is applied only to an index that was
  // current.
  void CheckBeforeChange(const HeldFolder& dir);
  // Keeps an index checked by stamp right after the program's own change to its folder (a
  // watched index learns of it from the change reports).
  void NoteChange(const HeldFolder& dir, std::string_view removed, std::string_view added);
  // Forgets a folder's index: it is read again at its next use.
  void Drop(const HeldFolder& dir);

  std::uint64_t Reads() const;  // full readings of a folder since construction
  std::size_t Bytes();          // the memory the indexes hold
  // Folders of at least this many names follow the change reports (SIZE_MAX: none do).
  void FollowReportsFrom(std::size_t names);
  std::size_t FollowsReportsFrom() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The indexes in use: the process's own, or the fresh one a test put in its place.
FolderIndexes& Indexes();

}  // namespace platform
