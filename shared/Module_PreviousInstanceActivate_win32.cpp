#include <windows.h>

#include <string>

#include "platform/wide_text.h"
#include "shared/Module_PreviousInstanceActivate.h"
#include "shared/Module_RTrimNull.h"

namespace tarvex {
namespace {

// The title that a second instance gives itself, so that its search cannot find itself.
constexpr char kMarkerTitle[] = "Totally Unwanted Instance";
constexpr int kOwnerIndex = -8;  // GWL_HWNDPARENT: a top-level window's owner
constexpr int kClassNameChars = 256;

}  // namespace

struct SingleInstance::State {
  HANDLE mutex = nullptr;
  ~State() {
    if (mutex != nullptr) CloseHandle(mutex);
  }
};

SingleInstance::SingleInstance(const std::string& title)
    : title_(title), state_(std::make_unique<State>()) {}
SingleInstance::~SingleInstance() = default;

bool SingleInstance::PrevInstance(std::function<void()>) {
  // One mutex per title in the user's session; the system releases it with its process,
  // so a killed instance never blocks the next start.
  const std::wstring name = L"Local\\Tarvex instance " + platform::Wide(title_);
  state_->mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (state_->mutex == nullptr) return false;  // no mutex at all: run unguarded rather than never
  return GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {

// The visible top-level window that the found hidden owner owns, in the owner's own
// process: the first instance's main window, wherever it stands in the z-order.
HWND OwnedMainWindow(HWND owner) {
  struct Search {
    HWND owner;
    DWORD pid;
    HWND found;
  } search{owner, 0, nullptr};
  GetWindowThreadProcessId(owner, &search.pid);
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != s->pid || GetWindow(hwnd, GW_OWNER) != s->owner || !IsWindowVisible(hwnd)) {
          return TRUE;
        }
        s->found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

// The program title is the caption of the instance's hidden application window, which owns
// its main window. The window to bring forward is the one that window owns (not whatever
// stands above the owner in the z-order, which after the first activation can be another
// program's); of it, the popup it last had active, such as the box of a run-time error.
void PreviousInstanceActivate(const std::string& title, std::uintptr_t window) {
  const std::string old_title = title;
  const HWND main = reinterpret_cast<HWND>(window);
  SetWindowTextA(GetWindow(main, GW_OWNER), kMarkerTitle);
  // The owner is a handle: a 64-bit program reads it with the pointer-sized call (the 32-bit
  // GetWindowLongA yields no owner there, and the search would find nothing).
  const HWND owner = reinterpret_cast<HWND>(GetWindowLongPtrA(main, kOwnerIndex));
  std::string buffer(kClassNameChars, ' ');
  GetClassNameA(owner, buffer.data(), kClassNameChars);
  const std::string class_name = RTrimNull(buffer);
  const HWND found = FindWindowA(class_name.c_str(), old_title.c_str());
  if (found == nullptr) return;
  const HWND target = OwnedMainWindow(found);
  if (target == nullptr) return;
  OpenIcon(target);
  const HWND popup = GetLastActivePopup(target);
  SetForegroundWindow(popup != nullptr ? popup : target);
}

}  // namespace tarvex
