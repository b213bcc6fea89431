// The window's controls: built from the form description at the scale of the window's
// screen, and laid out again when the window moves to a screen of another scale.
#include <windows.h>
// needs the types of <windows.h>
#include <commctrl.h>

#include <cmath>
#include <string>

#include "platform/wide_text.h"
#include "program2/native_window_win32.h"
#include "program2/window_resources.h"

namespace tarvex {
namespace {

using platform::Wide;

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kFormExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
constexpr UINT_PTR kTimer1 = 1;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

// A function of user32 that older systems lack, or null.
template <typename Fn>
Fn User32(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// The scale of the screen a window is on, where the platform tells it per window.
int DpiOf(HWND hwnd, int fallback) {
  static const auto get_dpi = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  const UINT dpi = get_dpi != nullptr ? get_dpi(hwnd) : 0;
  return dpi > 0 ? static_cast<int>(dpi) : fallback;
}

// The whole window around a client area, its border and title bar at the given scale.
RECT OuterRect(int width, int height, int dpi) {
  static const auto adjust =
      User32<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT outer{0, 0, width, height};
  if (adjust == nullptr ||
      adjust(&outer, kFormStyle, FALSE, kFormExStyle, static_cast<UINT>(dpi)) == 0) {
    outer = RECT{0, 0, width, height};
    AdjustWindowRectEx(&outer, kFormStyle, FALSE, kFormExStyle);
  }
  return outer;
}

}  // namespace

OwnedIcon IconResource(int id, int size) {
  return OwnedIcon(static_cast<HICON>(
      LoadImageW(Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
}

int NativeWindow::Impl::Pixels(int twips) const {
  return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

void NativeWindow::Impl::Build() {
  HDC screen = GetDC(nullptr);
  system_dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  dpi = system_dpi;
  CreateForm();
  // Created at the system's scale; from here on at the scale of the window's own screen.
  UseDpi(DpiOf(main, system_dpi));
  const RECT outer = OuterRect(Pixels(design.client_width), Pixels(design.client_height), dpi);
  SetWindowPos(main, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const ControlDesign& c : design.controls) {
    HWND parent = c.container.empty() ? main : by_name.at(c.container);
    HWND hwnd = nullptr;
    switch (c.kind) {
      case ControlKind::kFrame:
        hwnd = CreateFrame(c, parent);
        break;
      case ControlKind::kTextBox:
        hwnd = CreateTextBox(c, parent);
        break;
      case ControlKind::kLabel:
        hwnd = CreateLabel(c, parent);
        break;
      case ControlKind::kImage:
        hwnd = CreateImage(c, parent);
        break;
      case ControlKind::kTimer:
        SetTimer(main, kTimer1, static_cast<UINT>(Timer1IntervalMs(c)), nullptr);  // enabled
        continue;
    }
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c.kind == ControlKind::kLabel) FitLabel(hwnd);
    by_name[c.ObjectName()] = hwnd;
    if (!c.tooltip.empty()) AddTool(hwnd, c.tooltip);
  }
  ApplyFocusOrder();
}

// The dialog font at a scale: the stock one is made for the system's.
void NativeWindow::Impl::UseDpi(int new_dpi) {
  dpi = new_dpi;
  LOGFONTW lf{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  lf.lfHeight = MulDiv(lf.lfHeight, dpi, system_dpi);
  lf.lfWidth = 0;
  scaled_font.reset(CreateFontIndirectW(&lf));
  font = scaled_font ? scaled_font.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  fitted_fonts.clear();  // made from the font of the old scale
}

// Every control at its twips at the window's scale, in the font of that scale.
void NativeWindow::Impl::Layout() {
  for (const ControlDesign& c : design.controls) {
    if (c.kind == ControlKind::kTimer) continue;
    HWND hwnd = by_name.at(c.ObjectName());
    SetWindowPos(hwnd, nullptr, Pixels(c.left), Pixels(c.top), Pixels(c.width), Pixels(c.height),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c.kind == ControlKind::kLabel) FitLabel(hwnd);
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i] != nullptr) self.FitBox(static_cast<Box>(i));
  }
  SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, Pixels(6000));
  InvalidateRect(main, nullptr, TRUE);
}

// Moved to a screen of another scale: the size the platform suggests, and every control
// laid out again.
void NativeWindow::Impl::OnDpiChanged(int new_dpi, const RECT& suggested) {
  UseDpi(new_dpi);
  SetWindowPos(main, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
}

void NativeWindow::Impl::CreateForm() {
  RECT outer{0, 0, Pixels(design.client_width), Pixels(design.client_height)};
  AdjustWindowRectEx(&outer, kFormStyle, FALSE, kFormExStyle);
  main = CreateWindowExW(kFormExStyle, kFormClass, Wide(design.caption).c_str(), kFormStyle,
                         CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
                         outer.bottom - outer.top, owner, nullptr, Instance(), nullptr);
  SetWindowLongPtrW(main, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  by_name[design.name] = main;
  tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                            WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, main, nullptr, Instance(), nullptr);
  SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, Pixels(6000));
}

HWND NativeWindow::Impl::CreateFrame(const ControlDesign& c, HWND parent) {
  HWND hwnd =
      CreateWindowExW(WS_EX_CONTROLPARENT, kFrameClass, Wide(c.text).c_str(),
                      WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, Pixels(c.left), Pixels(c.top),
                      Pixels(c.width), Pixels(c.height), parent, nullptr, Instance(), nullptr);
  looks[hwnd] = {
      ColorOf(*c.back_color),
      c.caption_color ? std::optional<unsigned long>(ColorOf(*c.caption_color)) : std::nullopt};
  return hwnd;
}

HWND NativeWindow::Impl::CreateTextBox(const ControlDesign& c, HWND parent) {
  DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
  style |= c.align_right ? ES_RIGHT : ES_LEFT;
  if (c.read_only) style |= ES_READONLY;
  HWND hwnd = CreateWindowExW(c.flat ? 0 : WS_EX_CLIENTEDGE, L"EDIT", Wide(c.text).c_str(), style,
                              Pixels(c.left), Pixels(c.top), Pixels(c.width), Pixels(c.height),
                              parent, nullptr, Instance(), nullptr);
  SendMessageW(hwnd, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(2, 2));
  // A read-only box keeps the platform's window colour, as an editable one does.
  looks[hwnd].back = c.back_color ? ColorOf(*c.back_color) : GetSysColor(COLOR_WINDOW);
  if (c.box) {
    const auto i = static_cast<std::size_t>(*c.box);
    boxes[i] = hwnd;
    typed[i] = Wide(c.text);
    if (*c.box == Info(3)) AddTool(hwnd, "");
  }
  focus_order[parent][c.tab_index] = hwnd;
  return hwnd;
}

HWND NativeWindow::Impl::CreateLabel(const ControlDesign& c, HWND parent) {
  HWND hwnd = CreateWindowExW(0, L"STATIC", Wide(c.text).c_str(),
                              WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOTIFY, Pixels(c.left),
                              Pixels(c.top), Pixels(c.width), Pixels(c.height), parent, nullptr,
                              Instance(), nullptr);
  looks[hwnd].back = ColorOf(*c.back_color);
  if (c.name == "lbl_Info") AddTool(hwnd, "");
  return hwnd;
}

HWND NativeWindow::Impl::CreateImage(const ControlDesign& c, HWND parent) {
  HWND hwnd = CreateWindowExW(0, kPictureClass, nullptr, WS_CHILD | WS_VISIBLE, Pixels(c.left),
                              Pixels(c.top), Pixels(c.width), Pixels(c.height), parent, nullptr,
                              Instance(), nullptr);
  const int id = c.picture == Picture::kSnowflake ? TARVEX_ICON_SNOWFLAKE
                 : c.picture == Picture::kSun     ? TARVEX_ICON_SUN
                                                  : 0;
  pictures[hwnd] = id != 0 ? IconResource(id, 32) : nullptr;
  return hwnd;
}

// The focus moves through the boxes in the order of the windows among their siblings, and
// the containers go in the order of their first boxes, so that each frame's boxes follow
// one another.
void NativeWindow::Impl::ApplyFocusOrder() {
  auto in_order = [](const std::map<int, HWND>& order) {
    HWND previous = HWND_TOP;
    for (auto& [tab, hwnd] : order) {
      SetWindowPos(hwnd, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      previous = hwnd;
    }
  };
  std::map<int, HWND> frames;
  for (auto& [parent, order] : focus_order) {
    in_order(order);
    if (parent != main && !order.empty()) frames[order.begin()->first] = parent;
  }
  in_order(frames);
}

void NativeWindow::Impl::AddTool(HWND control, const std::string& text) {
  std::wstring wide = Wide(text);
  TTTOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = main;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = wide.data();
  const bool known = SendMessageW(tooltip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool));
  tool.lpszText = wide.data();
  SendMessageW(tooltip, known ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0,
               reinterpret_cast<LPARAM>(&tool));
}

}  // namespace tarvex
