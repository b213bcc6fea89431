#pragma once

#include <string>
#include <string_view>

#include "platform/drive_folders_posix.h"
#include "platform/writers_posix.h"

struct stat;

namespace platform {
class Claim;
struct MoveRecord;
}  // namespace platform

// Moving without replacing, shared by the rename and the copy across file systems.
namespace platform {

// Puts an entry in place without replacing: the no-replace rename, else a hard link and
// the removal of the old name, whichever the file system has (learned from its first
// refusal); where it has neither, a look-up of the name on the server and a plain rename,
// both under a lock folder in the target folder that every mover on every client takes
// (".tarvex-placing"). errno tells why it failed: EEXIST for a name taken, EXDEV across file
// systems, EAGAIN when the lock could not be had.
bool PlaceWithoutReplacing(const HeldFolder& from_dir, const char* from, const HeldFolder& to_dir,
                           const char* to);

// Renames an entry within its folder to a name of the mover's own making (64 random bits),
// by a plain rename: no one else can have made that name.
bool RenameToOwnName(const HeldFolder& dir, const char* from, const char* to);

// Whether a name of the mover's own making that a rename gave an entry still names it, asked
// of the server: false only when the server says it is gone (another client's rename of the
// same entry, made through a handle opened before this one's, overtook it).
bool StillNamed(const HeldFolder& dir, const std::string& own_name);

// After a hold of a lock that a pass kept for its whole allowed age (the log's token, the
// movers' placing lock) is given back: waits long enough that a mover waiting for it (asking
// every few milliseconds) takes it before this one does again.
void LeaveFreeForAWaiter();

// Whether a claim still holds its file where another client's rename could have overtaken
// the claim's (an SMB client's: see FileSystemTraits::renames_by_handle): then the other
// mover has the file, and this one says nothing of it. True elsewhere.
bool StillClaimed(const Claim& claim);

// Moves the file `name` (of kind kFile or kFileLink, lstat `st`) of a source folder to the
// name `to` of a target folder by a copy: across file systems, or (in_place) where the
// target's file system can only create the name exclusively. `lease` is its read lease
// (for a plain file on a local file system, the descriptor it is copied from). The folders'
// drive paths name them in the move's record. `claimed_as`: the claim name under which the
// caller has already claimed the file (which then stays claimed when the move fails); empty:
// the move claims it here and puts it back when it fails.
MoveOutcome MoveByCopy(const HeldFolder& source, std::string_view source_win_folder,
                       const std::string& name, const struct stat& st, Kind kind,
                       const ReadLease& lease, const HeldFolder& target,
                       std::string_view target_win_folder, const std::string& to, bool in_place,
                       const std::string& claimed_as = std::string());

// The record that a move cut short left for these folders, settled: true when none is left.
// A record is left while its folders cannot be reached (the drive is not there yet).
// leave_claim: a source whose copy was not put in place stays claimed, for the claims'
// recovery to finish or put back; otherwise it is put back here.
bool SettleRecordedMove(std::string_view source_win_folder, std::string_view target_win_folder,
                        bool leave_claim);

// Puts a claimed source back in view: under its own name, else (another file took that name
// meanwhile) under "~1" and its name, "~2"..., so that a later pass still moves it. False
// only when no such name could be had. `record`: the move's record, which learns of a put-back
// made by a copy.
bool PutBack(const HeldFolder& source, const std::string& claim, const std::string& name,
             unsigned long long ino, MoveRecord* record);

}  // namespace platform
