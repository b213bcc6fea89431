#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/drive_folders_win32.h"
#include "platform/drive_path.h"
#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "platform/moving_win32.h"
#include "platform/names.h"
#include "platform/run_time_error.h"
#include "platform/wide_text.h"

namespace platform {

MoveOutcome RenameOpenedFile(const std::wstring& from, const std::wstring& to) {
  // Opened sharing only the right to read: a file that some process holds open for writing
  // (or for deleting), or without sharing the right to delete it, cannot be opened so, and
  // stays. A link moves as a link.
  ScopedHandle h(CreateFileW(from.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.ok()) {
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION          ? MoveOutcome::kBeingWritten
           : ProbeFromError(error) == Probe::kAbsent ? MoveOutcome::kGone
                                                     : MoveOutcome::kRefused;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(h.get(), &info) == 0 || !IsPlainFile(info.dwFileAttributes)) {
    return MoveOutcome::kGone;
  }
  // The rename of the very file opened, to a name that must not exist in any case.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::copy(to.begin(), to.end(), rename->FileName);
  if (SetFileInformationByHandle(h.get(), FileRenameInfo, rename,
                                 static_cast<DWORD>(buffer.size())) != 0) {
    return MoveOutcome::kMoved;
  }
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveOutcome::kTaken
                                                                     : MoveOutcome::kRefused;
}

MoveResult RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path,
                           SourceName match) {
  auto result = [](MoveOutcome outcome) { return MoveResult{outcome}; };
  const ParentAndName source = ResolveParent(from_win_path);
  const ParentAndName target = ResolveParent(to_win_path);
  if (!source.ok) return result(MoveOutcome::kGone);
  // The platform finds a name in any case: only the name it keeps is that exact name.
  if (match == SourceName::kExact && StoredName(source.folder, source.name) != source.name) {
    return result(MoveOutcome::kGone);
  }
  if (!target.ok) return result(MoveOutcome::kRefused);
  if (SameFolder(source.folder, target.folder)) return result(MoveOutcome::kRefused);
  return result(RenameOpenedFile(Joined(source.folder.path, source.name),
                                 Joined(target.folder.path, target.name)));
}

MoveHindrance MoveCanHappen(std::string_view source_folder, std::string_view,
                            std::string_view target_folder, std::uint64_t) {
  HeldFolder source, target;
  Probe status;
  if (!ResolveWholeFolder(target_folder, target, status)) {
    return status == Probe::kAbsent ? MoveHindrance::kTargetAbsent : MoveHindrance::kNone;
  }
  if (!ResolveWholeFolder(source_folder, source, status)) return MoveHindrance::kNone;
  const std::wstring from = VolumeOf(source), to = VolumeOf(target);
  if (!from.empty() && !to.empty() &&
      CompareStringOrdinal(from.c_str(), -1, to.c_str(), -1, TRUE) != CSTR_EQUAL) {
    return MoveHindrance::kTargetElsewhere;
  }
  return MoveHindrance::kNone;
}

std::uint64_t FolderIndexReads() { return 0; }  // the file system answers every lookup itself
void UseFreshFolderIndexes(bool) {}
void FollowChangeReportsFrom(std::size_t) {}
std::size_t FolderIndexBytes() { return 0; }
void ForceFileSystemTraits(const ForcedTraits*) {}
void SetBeforePlacement(std::function<void()>) {}
void BeforePlacement() {}

}  // namespace platform
