#pragma once

#include <string>
#include <string_view>

#include "platform/drive_folders_posix.h"
#include "platform/writers_posix.h"

struct stat;

// Moving without replacing, shared by the rename and the copy across file systems.
namespace platform {

// Puts an entry in place without replacing: the no-replace rename, else a hard link and
// the removal of the old name, else a test right before a plain rename. errno tells why it
// failed (EXDEV across file systems).
bool PlaceWithoutReplacing(int from_dir, const char* from, int to_dir, const char* to);

// Moves the file `name` (of kind kFile or kFileLink, lstat `st`) of a source folder to the
// name `to` of a target folder on another file system; `lease` is its read lease (for a
// plain file, the descriptor it is copied from). The folders' drive paths name them in the
// move's record.
bool MoveAcrossFileSystems(const HeldFolder& source, std::string_view source_win_folder,
                           const std::string& name, const struct stat& st, Kind kind,
                           const ReadLease& lease, const HeldFolder& target,
                           std::string_view target_win_folder, const std::string& to);

// The record that a move cut short left for these folders, settled: true when none is left.
// A record is left while its folders cannot be reached (the drive is not there yet).
bool SettleRecordedMove(std::string_view source_win_folder, std::string_view target_win_folder);

}  // namespace platform
