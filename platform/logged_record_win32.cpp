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

class RecordFile final : public LoggedStore {
 public:
  void Open() override;
  bool Tried() const override { return tried_; }
  void Put(std::size_t at, const void* bytes, std::size_t n) override;

 private:
  bool tried_ = false;
  std::wstring path_;  // of the file held open, or tried
  ScopedHandle file_;
};

}  // namespace

// Opens the record for this program's title. A record of an earlier layout keeps its first
// token (the last claim logged), nothing else.
void RecordFile::Open() {
  tried_ = true;
  const std::wstring folder = StateFolder();
  const std::wstring path = folder.empty() ? std::wstring() : LoggedPath(folder);
  if (path == path_) return;
  path_ = path;
  file_.reset();
  if (path.empty()) return;
  file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file_.ok() || GetFileSizeEx(file_.get(), &size) == 0) {
    file_.reset();
    return;
  }
  if (size.QuadPart == static_cast<LONGLONG>(kLoggedBytes)) return;
  LARGE_INTEGER at{};
  at.QuadPart = std::min<LONGLONG>(size.QuadPart, 8);
  const unsigned char zeros[kLoggedBytes] = {};
  DWORD written = 0;
  if (SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) == 0 ||
      WriteFile(file_.get(), zeros, static_cast<DWORD>(kLoggedBytes - at.QuadPart), &written,
                nullptr) == 0 ||
      SetEndOfFile(file_.get()) == 0) {
    file_.reset();
  }
}

void RecordFile::Put(std::size_t at, const void* bytes, std::size_t n) {
  if (!file_.ok()) return;
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(at);
  DWORD written = 0;
  if (WriteFile(file_.get(), bytes, static_cast<DWORD>(n), &written, &where) == 0 || written != n) {
    file_.reset();
  }
}

LoggedStore& TheLoggedStore() {
  static RecordFile file;
  return file;
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
