#include "platform/held_folder_win32.h"

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

#include "platform/wide_text.h"

namespace platform {
namespace {

// The owner of a search's handle.
struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
using OwnedFind = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

}  // namespace

ScopedHandle::~ScopedHandle() { reset(); }

bool ScopedHandle::ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

void ScopedHandle::reset(void* h) {
  if (ok()) CloseHandle(h_);
  h_ = h;
}

Probe ProbeFromError(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_DIRECTORY:
      return Probe::kAbsent;
    default:
      return Probe::kFailed;
  }
}

bool NetworkError(unsigned long error) {
  switch (error) {
    case ERROR_REM_NOT_LIST:
    case ERROR_BAD_NETPATH:
    case ERROR_NETWORK_BUSY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_NET_RESP:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NETNAME_DELETED:
    case ERROR_BAD_NET_NAME:
    case ERROR_SEM_TIMEOUT:
    case ERROR_VC_DISCONNECTED:
    case ERROR_NO_NET_OR_BAD_PATH:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
    case ERROR_CONNECTION_ABORTED:
    case ERROR_CONNECTION_REFUSED:
    case ERROR_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
}

RunTimeError ErrorFromCode(unsigned long error) {
  if (NetworkError(error)) return RunTimeError::DeviceIoError();
  switch (error) {
    case ERROR_PATH_NOT_FOUND:
      return RunTimeError::PathNotFound();
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return RunTimeError::PermissionDenied();
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return RunTimeError::DiskFull();
    case ERROR_NOT_READY:
    case ERROR_INVALID_DRIVE:
      return RunTimeError::DeviceUnavailable();
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
      return RunTimeError::DeviceIoError();
    default:
      return RunTimeError::PathFileAccessError();
  }
}

std::wstring Joined(std::wstring base, std::string_view name) {
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  return base + Wide(name);
}

// As the platform resolves it from a handle on the folder, for telling whether it lies
// beneath the drive's root.
std::wstring FinalPath(const std::wstring& path) {
  ScopedHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok()) return {};
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetFinalPathNameByHandleW(h.get(), buffer, MAX_PATH * 4, 0);
  if (n == 0 || n >= MAX_PATH * 4) return {};
  std::wstring final(buffer, n);
  while (!final.empty() && final.back() == L'\\') final.pop_back();
  return final;
}

bool SameFolder(const HeldFolder& a, const HeldFolder& b) {
  return CompareStringOrdinal(FinalPath(a.path).c_str(), -1, FinalPath(b.path).c_str(), -1, TRUE) ==
         CSTR_EQUAL;
}

bool ForEachName(const HeldFolder& folder, std::string_view pattern,
                 const std::function<bool(std::string&& name)>& each) {
  WIN32_FIND_DATAW data{};
  HANDLE first = FindFirstFileExW(Joined(folder.path, pattern).c_str(), FindExInfoBasic, &data,
                                  FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE) return false;
  const OwnedFind find(first);
  do {
    if (!each(Utf8(data.cFileName))) break;
  } while (FindNextFileW(find.get(), &data) != 0);
  return true;
}

std::string StoredName(const HeldFolder& folder, std::string_view name) {
  std::string stored;
  ForEachName(folder, name, [&stored](std::string&& found) {
    stored = std::move(found);
    return false;
  });
  return stored;
}

bool IsPlainFile(unsigned long attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool IsHiddenOrSystem(unsigned long attributes) {
  return (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

}  // namespace platform
