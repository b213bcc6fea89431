#pragma once

#include <string>

#include "platform/file_system.h"

// Moving without replacing, shared by the rename and the claim. No platform header here. Any
// thread.
namespace platform {

// Renames the file at `from` to `to` (full paths) by a handle that shares only reading, never
// replacing: kBeingWritten while a process holds it for writing or without delete sharing.
MoveOutcome RenameOpenedFile(const std::wstring& from, const std::wstring& to);

}  // namespace platform
