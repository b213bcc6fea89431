#pragma once

#include <string>

#include "platform/held_folder_posix.h"

// This program's own state folder ($XDG_STATE_HOME/tarvex, else ~/.local/state/tarvex), where
// it keeps the record of a move across file systems and of its last logged claim. No system
// header here. Any thread.
namespace platform {

// The state folder, held open (created when missing, if `create`); nothing when it cannot be
// had, or is not safe: another user's, writable by others, beneath a folder others may write,
// or on the drive. The reason is said once.
UniqueFd OpenStateFolder(bool create);

// Says something on standard error, once in the program's life. Any thread.
void TellOnce(const std::string& what);

}  // namespace platform
