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
#include "platform/logged_record.h"
#include "platform/names.h"
#include "platform/run_time_error.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

// Byte range locked around each append, far past any end the log will reach: appends of
// several programs then never interleave, also where the platform does not append
// atomically by itself.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// Appends the line; with a claim's token, noted as being written for it once the log's end
// is known under the lock, and as written once it is.
void AppendLineOnce(std::string_view win_path, std::string_view line, std::string_view token) {
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
  const bool sized = GetFileSizeEx(h.get(), &size) != 0;
  if (sized && !token.empty()) NoteLoggingToken(token, line, size.QuadPart, {});
  const bool ok =
      sized &&
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
  if (!token.empty()) NoteLoggedToken(token);
}

// Whether a failure of the log on `drive` is its file server away: the drive's root does not
// answer, or it does but the failure was an I/O error of a network drive, which is how a lost
// connection is told.
bool ServerAway(char drive, const RunTimeError& e) {
  const std::wstring root = Wide(DriveRoot(drive));
  if (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  if (e.number() != RunTimeError::DeviceIoError().number()) return false;
  const std::wstring volume =
      root.size() >= 2 && root[1] == L':' ? root.substr(0, 2) + L"\\" : root;
  return GetDriveTypeW(volume.c_str()) == DRIVE_REMOTE || root.rfind(L"\\\\", 0) == 0;
}

void AppendLine(std::string_view win_path, std::string_view line, std::string_view token) {
  try {
    AppendLineOnce(win_path, line, token);
  } catch (const RunTimeError& e) {
    if (!win_path.empty() && ServerAway(win_path[0], e)) throw DriveAway(e);
    throw;
  }
}

}  // namespace

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  AppendLine(win_path, line, {});
}

bool AppendNotedLine(std::string_view win_path, std::string_view line, const Claim& claim) {
  AppendLine(win_path, line, claim.Token());
  return true;
}

void LetTheLocksGo() {}  // the log's lock is the file server's own, taken for each line; a
                         // placement needs none

bool LogHoldsLine(std::string_view win_path, const LoggedRecord& record) {
  if (record.line.empty() || record.offset < 0) return false;
  const ParentAndName parent = ResolveParent(win_path);
  if (!parent.ok) return false;
  ScopedHandle in(CreateFileW(Joined(parent.folder.path, parent.name).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!in.ok()) return false;
  std::string there(record.line.size(), '\0');
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(record.offset);
  where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(record.offset) >> 32);
  DWORD got = 0;
  return ReadFile(in.get(), there.data(), static_cast<DWORD>(there.size()), &got, &where) != 0 &&
         got == there.size() && there == record.line;
}

}  // namespace platform
