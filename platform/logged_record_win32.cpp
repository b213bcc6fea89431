#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/claim_names.h"
#include "platform/drive_folders_win32.h"
#include "platform/logged_record.h"
#include "platform/wide_text.h"

// The record of the logged claim on Windows: a file of this program's in the user's own
// local application data ("%LOCALAPPDATA%\tarvex"), kept open, each token written with one
// 8-byte write at its place (what a write put in the system's cache outlives a kill of the
// program).
namespace platform {
namespace {

// The state folder's path, created when missing; empty without %LOCALAPPDATA%.
std::wstring StateFolder() {
  wchar_t base[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  const std::wstring folder = std::wstring(base, n) + L"\\tarvex";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring LoggedPath(const std::wstring& folder) {
  return folder + L"\\" + Wide("logged-" + MoverTag() + "-" + MoverId());
}

struct LoggedFile {
  std::mutex mutex;
  std::wstring path;  // of the file held open, or tried
  ScopedHandle file;
};
LoggedFile& Logged() {
  static LoggedFile file;
  return file;
}

// Opens the record for this program's title; the caller holds the mutex. A record of an
// earlier layout keeps its first token (the last claim logged), nothing else.
void OpenLogged(LoggedFile& f) {
  const std::wstring folder = StateFolder();
  const std::wstring path = folder.empty() ? std::wstring() : LoggedPath(folder);
  if (path == f.path) return;
  f.path = path;
  f.file.reset();
  if (path.empty()) return;
  f.file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!f.file.ok() || GetFileSizeEx(f.file.get(), &size) == 0) {
    f.file.reset();
    return;
  }
  if (size.QuadPart == static_cast<LONGLONG>(kLoggedBytes)) return;
  LARGE_INTEGER at{};
  at.QuadPart = std::min<LONGLONG>(size.QuadPart, 8);
  const unsigned char zeros[kLoggedBytes] = {};
  DWORD written = 0;
  if (SetFilePointerEx(f.file.get(), at, nullptr, FILE_BEGIN) == 0 ||
      WriteFile(f.file.get(), zeros, static_cast<DWORD>(kLoggedBytes - at.QuadPart), &written,
                nullptr) == 0 ||
      SetEndOfFile(f.file.get()) == 0) {
    f.file.reset();
  }
}

void PutLogged(LoggedFile& f, std::size_t at, const void* bytes, std::size_t n) {
  if (!f.file.ok()) return;
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(at);
  DWORD written = 0;
  if (WriteFile(f.file.get(), bytes, static_cast<DWORD>(n), &written, &where) == 0 ||
      written != n) {
    f.file.reset();
  }
}

}  // namespace

void NoteLoggingToken(std::string_view token, std::string_view line, std::int64_t offset,
                      std::string_view lock_token) {
  LoggedFile& f = Logged();
  std::lock_guard<std::mutex> lock(f.mutex);
  OpenLogged(f);
  PutLogging([&](std::size_t at, const void* bytes, std::size_t n) { PutLogged(f, at, bytes, n); },
             token, line, offset, lock_token);
}

void NoteLoggedToken(std::string_view token) {
  LoggedFile& f = Logged();
  std::lock_guard<std::mutex> lock(f.mutex);
  const std::uint64_t bits = TokenBits(token);
  PutLogged(f, 0, &bits, 8);
}

LoggedRecord ReadLoggedRecord() {
  const std::wstring folder = StateFolder();
  if (folder.empty()) return LoggedRecord();
  ScopedHandle in(CreateFileW(LoggedPath(folder).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!in.ok() || GetFileSizeEx(in.get(), &size) == 0) return LoggedRecord();
  unsigned char bytes[kLoggedBytes] = {};
  DWORD got = 0;
  if (size.QuadPart == static_cast<LONGLONG>(kLoggedBytes)) {
    return ReadFile(in.get(), bytes, kLoggedBytes, &got, nullptr) != 0 && got == kLoggedBytes
               ? DecodeLogged(bytes)
               : LoggedRecord();
  }
  char first[17] = {};
  if (size.QuadPart <= 88 && ReadFile(in.get(), first, sizeof first, &got, nullptr) != 0 &&
      got >= 8) {
    return DecodeEarlierLogged(first, size.QuadPart);
  }
  return LoggedRecord();
}

}  // namespace platform
