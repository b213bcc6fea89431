#include "platform/writers_win32.h"

#include <windows.h>

#include "platform/held_folder_win32.h"

namespace platform {

bool BeingWritten(const std::wstring& path) {
  ScopedHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return !h.ok() && GetLastError() == ERROR_SHARING_VIOLATION;
}

bool ChangedLately(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) return false;
  FILETIME now_time{};
  GetSystemTimeAsFileTime(&now_time);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const long long now = ticks(now_time), kQuiet = 3 * 10000000LL;  // 100 ns ticks
  return now - ticks(data.ftLastWriteTime) < kQuiet || now - ticks(data.ftCreationTime) < kQuiet;
}

}  // namespace platform
