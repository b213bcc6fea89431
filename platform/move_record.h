#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/claim_names.h"
#include "platform/logged_record.h"

// The record of a move across file systems in progress, kept where only the mover's own
// user can write: its per-user state folder ($XDG_STATE_HOME/tarvex, else
// ~/.local/state/tarvex), never a folder of the shared drive. One record per program title
// and machine, so that two programs, two users or two machines sharing a home folder never
// read or remove each other's. Used by the POSIX file system only.
namespace platform {

struct MoveRecord {
  // The program's own folders, as drive paths and as the folders they were resolved to.
  std::string source_folder, target_folder;
  std::uint64_t source_folder_dev = 0, source_folder_ino = 0;
  std::uint64_t target_folder_dev = 0, target_folder_ino = 0;
  // The source file: its name as listed, the name of the mover's that claims it, and what
  // it was when the copy began.
  std::string name, claim_name;
  std::uint64_t dev = 0, ino = 0, size = 0;
  std::int64_t mtime_ns = 0;
  // The copy: its hidden partial name, the inode it was created with, and its final name.
  // in_place: the copy is made at its final name, created there exclusively (a file system
  // that can neither rename without replacing nor link), and is whole once it has the
  // source's size and time.
  std::string partial_name, target_name;
  std::uint64_t copy_ino = 0;
  bool in_place = false;
  // A claimed source being put back by a copy under this name, made with this inode (on
  // such a file system too); empty while none is.
  std::string back_name;
  std::uint64_t back_ino = 0;

  std::string Encode() const;
  bool Decode(const std::string& text);  // false for anything that is not a whole record
};

// Whether the state folder can be had (created, mode 0700, when missing). It is refused when
// it is a link, not a folder, someone else's, or writable by others, when a folder above it
// may be written by others (unless sticky and root's or this user's), and when it lies on
// drive P:; the first refusal is told once on standard error.
bool MoveRecordsCanBeKept();

// Saves the record in one step (a kill leaves the old record or the new one, never a part),
// flushed to disk. False when the state folder cannot be had.
bool SaveMoveRecord(const MoveRecord& record);

// Reads this program's record: true only for a whole record in a plain file of this user
// with a single name, in a state folder that passes the checks above.
bool LoadMoveRecord(MoveRecord& record);

// Removes this program's record, if any.
void ClearMoveRecord();

// Sets this program's record aside (it names folders that are not this program's, so it is
// neither acted on nor lost), and says so on standard error.
void SetMoveRecordAside(const MoveRecord& record);

}  // namespace platform
