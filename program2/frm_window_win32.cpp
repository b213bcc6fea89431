#include "program2/frm_window_win32.h"

#include <windows.h>
// needs the types of <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wide_text.h"
#include "program2/box_input.h"
#include "program2/native_window_win32.h"
#include "program2/window_resources.h"

namespace tarvex {

const wchar_t kFormClass[] = L"TarvexForm";
const wchar_t kFrameClass[] = L"TarvexFrame";
const wchar_t kPictureClass[] = L"TarvexPicture";

namespace {

using platform::Utf8;
using platform::Wide;

constexpr wchar_t kApplicationClass[] = L"TarvexApplication";
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT_PTR kPresentTimer = 2;
constexpr UINT_PTR kBoxSubclass = 1;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

bool MayBeTyped(wchar_t c) { return MayBecomeBoxNumber(Utf8(std::wstring(1, c))); }

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

void RegisterClasses() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = kApplicationClass;
  wc.hIcon = IconResource(TARVEX_ICON_WINDOW, GetSystemMetrics(SM_CXICON)).release();
  wc.hIconSm = IconResource(TARVEX_ICON_WINDOW, GetSystemMetrics(SM_CXSMICON)).release();
  RegisterClassExW(&wc);
  wc.lpfnWndProc = WindowProc;
  wc.lpszClassName = kFormClass;
  RegisterClassExW(&wc);
  wc.hIcon = wc.hIconSm = nullptr;
  wc.lpszClassName = kFrameClass;
  RegisterClassExW(&wc);
  wc.lpszClassName = kPictureClass;
  RegisterClassExW(&wc);
}

}  // namespace

std::wstring WindowText(HWND hwnd) {
  const int n = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), n + 1)));
  return text;
}

namespace {

NativeWindow::Impl* ImplOf(HWND hwnd) {
  while (hwnd != nullptr) {
    if (auto* impl = reinterpret_cast<NativeWindow::Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
      return impl;
    hwnd = GetParent(hwnd);
  }
  return nullptr;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  NativeWindow::Impl* impl = ImplOf(hwnd);
  return impl == nullptr ? DefWindowProcW(hwnd, message, wparam, lparam)
                         : impl->Handle(hwnd, message, wparam, lparam);
}

// The boxes the user may type in, and the remaining-time box's double-click.
LRESULT CALLBACK BoxProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                         DWORD_PTR data) {
  NativeWindow::Impl* impl = ImplOf(GetParent(hwnd));
  const auto box = static_cast<Box>(data);
  if (message == WM_CHAR && wparam >= 0x20 && !MayBeTyped(static_cast<wchar_t>(wparam))) {
    return 0;
  }
  const LRESULT result = DefSubclassProc(hwnd, message, wparam, lparam);
  if (message == WM_LBUTTONDBLCLK && impl != nullptr) impl->OnDoubleClick(box);
  return result;
}

}  // namespace

// An edit of a box the user may type in: a text that may become a number is kept as typed
// (a pasted one that cannot is undone), and a readable number becomes the box's value.
void NativeWindow::Impl::BoxChanged(std::size_t i) {
  if (setting_text) return;
  const std::wstring text = WindowText(boxes[i]);
  const std::string utf8 = Utf8(text);
  if (!MayBecomeBoxNumber(utf8)) {
    PutBoxText(i, std::wstring(typed[i]));
    return;
  }
  typed[i] = text;
  self.Typed(static_cast<Box>(i), utf8);
}

// Puts a text into a box as the program's own, not as typing.
void NativeWindow::Impl::PutBoxText(std::size_t i, const std::wstring& text) {
  setting_text = true;
  SetWindowTextW(boxes[i], text.c_str());
  typed[i] = text;
  setting_text = false;
}

LRESULT NativeWindow::Impl::Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ERASEBKGND:
      return OnEraseBackground(hwnd, reinterpret_cast<HDC>(wparam));
    case WM_PAINT:
      if (OnPaint(hwnd)) return 0;
      break;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      return OnControlColor(reinterpret_cast<HWND>(lparam), reinterpret_cast<HDC>(wparam));
    case WM_COMMAND:
      OnCommand(wparam, reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_SETCURSOR:
      if (wait_cursor) {
        SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
        return TRUE;
      }
      break;
    default:
      if (hwnd != main) break;
      switch (message) {
        case WM_TIMER:
          OnTimer(wparam);
          return 0;
        case 0x02E0:  // WM_DPICHANGED
          OnDpiChanged(LOWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
          return 0;
        case WM_ACTIVATE:
          if (OnActivate(wparam)) return 0;
          break;
        case WM_CLOSE:
          OnClose();
          return 0;
        case WM_DESTROY:
          PostQuitMessage(0);
          return 0;
        default:
          break;
      }
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void NativeWindow::Impl::OnCommand(WPARAM wparam, HWND control) {
  if (control == nullptr) return;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i] != control) continue;
    if (HIWORD(wparam) == EN_CHANGE) BoxChanged(i);
    if (HIWORD(wparam) == EN_KILLFOCUS && !setting_text) self.BoxLeft(static_cast<Box>(i));
  }
}

void NativeWindow::Impl::OnTimer(WPARAM id) {
  if (id == kTimer1) self.Timer1Fired();
  if (id == kPresentTimer) {
    KillTimer(main, kPresentTimer);
    self.Present();
  }
}

// The focus goes back to the box that had it when the window was last active; true when
// it was given here.
bool NativeWindow::Impl::OnActivate(WPARAM wparam) {
  if (LOWORD(wparam) == WA_INACTIVE) {
    if (HWND f = GetFocus(); f != nullptr && IsChild(main, f)) focus = f;
    return false;
  }
  if (focus == nullptr || HIWORD(wparam)) return false;
  SetFocus(focus);
  return true;
}

void NativeWindow::Impl::OnClose() {
  if (self.CloseAsked()) DestroyWindow(main);
}

void NativeWindow::Impl::OnDoubleClick(Box box) {
  if (box == Box::kTimRem) self.RemainingBoxDoubleClicked();
}

NativeWindow::NativeWindow(const Program& program, std::uintptr_t owner)
    : PresentedForm(program), impl_(std::make_unique<Impl>(*this, reinterpret_cast<HWND>(owner))) {
  RegisterClasses();
  impl_->Build();
  for (const ControlDesign& c : design_.controls) {
    if (c.box && (!c.read_only || *c.box == Box::kTimRem)) {
      const auto i = static_cast<std::size_t>(*c.box);
      SetWindowSubclass(impl_->boxes[i], BoxProc, kBoxSubclass, static_cast<DWORD_PTR>(i));
    }
  }
}

NativeWindow::~NativeWindow() {
  if (impl_->main != nullptr && IsWindow(impl_->main)) {
    SetWindowLongPtrW(impl_->main, GWLP_USERDATA, 0);
    DestroyWindow(impl_->main);
    // The quit message of that destruction belongs to no loop: take it away.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }
}

// Centred on the screen by the whole window, border included.
void NativeWindow::Centre() {
  RECT r;
  GetWindowRect(impl_->main, &r);
  const float left = (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2.0f;
  const float top = (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2.0f;
  SetWindowPos(impl_->main, nullptr, static_cast<int>(left), static_cast<int>(top), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void NativeWindow::AppendToCaption(const std::string& text) {
  SetWindowTextW(impl_->main, (WindowText(impl_->main) + Wide(text)).c_str());
}

void NativeWindow::ShowCaption(const std::string& caption) {
  SetWindowTextW(impl_->main, Wide(caption).c_str());
}

// Shown minimised, without taking the focus from the user's work.
void NativeWindow::StartMinimised() { impl_->show_command = SW_SHOWMINNOACTIVE; }

void NativeWindow::ShowWindowIcon() {
  HWND ico = impl_->by_name.at("img_Ico");
  impl_->pictures[ico] = IconResource(TARVEX_ICON_WINDOW, 32);
  InvalidateRect(ico, nullptr, TRUE);
}

void NativeWindow::FocusFirst(const ControlDesign& box) {
  impl_->focus = impl_->by_name.at(box.ObjectName());
}

void NativeWindow::Show() {
  ShowWindow(impl_->main, impl_->show_command);
  if (impl_->show_command != SW_SHOWMINNOACTIVE && impl_->focus != nullptr) {
    SetFocus(impl_->focus);
  }
}

std::uintptr_t NativeWindow::handle() const {
  return reinterpret_cast<std::uintptr_t>(impl_->main);
}

std::uintptr_t NativeWindow::Control(const std::string& object_name) const {
  auto it = impl_->by_name.find(object_name);
  return it == impl_->by_name.end() ? 0 : reinterpret_cast<std::uintptr_t>(it->second);
}

void NativeWindow::SetImageVisible(Image image, bool visible) {
  const char* const names[] = {"img_Ico", "img_Bad", "img_Goo"};
  ShowWindow(impl_->by_name.at(names[static_cast<int>(image)]), visible ? SW_SHOWNA : SW_HIDE);
}

void NativeWindow::SetInfoLabelToolTip(int index, const std::string& text) {
  impl_->AddTool(impl_->by_name.at("lbl_Info(" + std::to_string(index) + ")"), text);
}

void NativeWindow::SetMousePointer(int pointer) {
  impl_->wait_cursor = pointer == kPointerHourglass;
  SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(impl_->wait_cursor ? 32514 : 32512)));
}

// The whole window takes no input while disabled; its controls keep their colours and its
// pictures are not greyed. The box that had the focus gets it back.
void NativeWindow::SetEnabled(bool enabled) {
  Impl& w = *impl_;
  if (!enabled) {
    if (HWND f = GetFocus(); f != nullptr && IsChild(w.main, f)) w.focus = f;
    EnableWindow(w.main, FALSE);
    return;
  }
  EnableWindow(w.main, TRUE);
  if (GetActiveWindow() == w.main && w.focus != nullptr) SetFocus(w.focus);
}

void NativeWindow::ProcessPendingEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {  // for the message loop, once the pass has returned
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (!IsDialogMessageW(impl_->main, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

// The boxes are shown one frame after the first change that is not shown yet.
bool NativeWindow::StartPresentTimer(int ms) {
  return impl_->main != nullptr &&
         SetTimer(impl_->main, kPresentTimer, static_cast<UINT>(ms), nullptr) != 0;
}

void NativeWindow::StopPresentTimer() { KillTimer(impl_->main, kPresentTimer); }

bool NativeWindow::ShowBoxText(Box box, const std::string& text) {
  const auto i = static_cast<std::size_t>(box);
  const std::wstring wide = Wide(text);
  if (WindowText(impl_->boxes[i]) == wide) return false;
  impl_->PutBoxText(i, wide);
  return true;
}

void NativeWindow::ShowInProgress(Box box, const std::string& tooltip, bool show_end) {
  impl_->ShowInProgress(static_cast<std::size_t>(box), tooltip, show_end);
}

void NativeWindow::ShrinkToFit(Box box) { impl_->ShrinkToFit(static_cast<std::size_t>(box)); }

void NativeWindow::ShowBoxColor(Box box, std::uint32_t color) {
  HWND edit = impl_->boxes[static_cast<std::size_t>(box)];
  if (impl_->looks[edit].back != static_cast<COLORREF>(color)) {
    impl_->looks[edit].back = color;
    InvalidateRect(edit, nullptr, TRUE);
  }
}

int NativeWindow::RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(impl_->main, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

void NativeWindow::StopTimer1() { KillTimer(impl_->main, kTimer1); }

void NativeWindow::HideUntilClosed() { ShowWindow(impl_->main, SW_HIDE); }

void NativeWindow::CloseNow() { DestroyWindow(impl_->main); }

// The box is owned by the main window, which a second start brings forward.
void NativeWindow::ShowRunTimeError(const std::string& report) {
  if (IsIconic(impl_->main)) OpenIcon(impl_->main);  // a minimised owner would hide its box
  MessageBoxW(impl_->main, Wide(report).c_str(), Wide(program_.title).c_str(),
              MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

std::uintptr_t CreateApplicationWindow(const std::string& title) {
  RegisterClasses();
  HWND hwnd = CreateWindowExW(0, kApplicationClass, Wide(title).c_str(), WS_POPUP, 0, 0, 0, 0,
                              nullptr, nullptr, Instance(), nullptr);
  return reinterpret_cast<std::uintptr_t>(hwnd);
}

}  // namespace tarvex
