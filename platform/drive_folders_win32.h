#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/held_folder_win32.h"

// Resolving drive paths into the platform's full paths of folders, never leaving the drive,
// and what a pass's scope keeps of them. No platform header here.
namespace platform {

// A drive path split into its letter and components; false when it is not one, or a
// component could not be a name here.
bool ParseWinPath(std::string_view path, char& letter, std::vector<std::string>& components);

// Resolves a drive folder ("P:\a", or "P:" for the root itself) of the first `count`
// components; the folder must be reached without leaving the drive. Within a FolderScope
// each is resolved once and held open.
bool ResolveFolder(char letter, const std::vector<std::string>& components, std::size_t count,
                   HeldFolder& out, Probe& status);
bool ResolveWholeFolder(std::string_view win_folder, HeldFolder& out, Probe& status);

struct ParentAndName {
  HeldFolder folder;
  std::string name;
  Probe status = Probe::kAbsent;
  bool ok = false;
};
ParentAndName ResolveParent(std::string_view win_path);

// The root of the volume a folder is on ("" when it cannot be told); within a FolderScope
// asked of the platform once per folder.
std::wstring VolumeOf(const HeldFolder& folder);

}  // namespace platform
