#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/system_log.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

// The message of every event: its one string as it stands ("%1" in the programs' own
// message table, which the installer names for each program's source).
constexpr DWORD kEventTold = 1;

}  // namespace

void TellSystemLog(std::string_view source, std::string_view text, Told kind) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(source.size()), source.data(),
               static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
  // A source the installer did not register still reaches the Application log; the event
  // viewer then shows the text without the message table's frame.
  static std::mutex mutex;
  static HANDLE log = nullptr;
  static bool opened = false;
  const std::lock_guard<std::mutex> lock(mutex);
  if (!opened) {
    opened = true;
    log = RegisterEventSourceW(nullptr, Wide(source).c_str());
  }
  if (log == nullptr) return;
  const std::wstring wide = Wide(text.substr(0, 16000));
  const wchar_t* strings[] = {wide.c_str()};
  const WORD type = kind == Told::kStarts ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
  ReportEventW(log, type, 0, kEventTold, nullptr, 1, 0, strings, nullptr);
}

}  // namespace platform
