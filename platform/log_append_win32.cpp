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
#include "platform/names.h"
#include "platform/run_time_error.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

// Byte range locked around each append, far past any end the log will reach: appends of
// several programs then never interleave, also where the platform does not append
// atomically by itself.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

}  // namespace

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  const ParentAndName parent = ResolveParent(win_path);
  if (!parent.ok) {
    char letter = 0;
    std::vector<std::string> components;
    HeldFolder root;
    Probe status;
    const bool drive = ParseWinPath(win_path, letter, components) &&
                       ResolveFolder(letter, components, 0, root, status);
    throw MissingFolderError(drive).About(win_path);
  }
  const std::wstring path = Joined(parent.folder.path, parent.name);
  ScopedHandle h(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.ok()) throw ErrorFromCode(GetLastError()).About(win_path);
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h.get()) != FILE_TYPE_DISK || GetFileInformationByHandle(h.get(), &info) == 0 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    throw RunTimeError::PathFileAccessError().About(win_path);
  }
  OVERLAPPED lock{};
  lock.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock) == 0) {
    throw ErrorFromCode(GetLastError()).About(win_path);
  }
  LARGE_INTEGER size{};
  DWORD written = 0;
  const bool ok =
      GetFileSizeEx(h.get(), &size) != 0 &&
      WriteFile(h.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) != 0 &&
      written == line.size();
  const DWORD error = ok ? 0 : GetLastError();
  if (!ok && written > 0) {
    // Part of the line went in: take it out again, so that the log holds whole lines only.
    ScopedHandle cut(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (cut.ok() && SetFilePointerEx(cut.get(), size, nullptr, FILE_BEGIN) != 0) {
      SetEndOfFile(cut.get());
    }
  }
  UnlockFileEx(h.get(), 0, 1, 0, &lock);
  if (!ok) throw ErrorFromCode(error == 0 ? ERROR_WRITE_FAULT : error).About(win_path);
}

}  // namespace platform
