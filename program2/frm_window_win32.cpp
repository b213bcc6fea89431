#include "program2/frm_window_win32.h"

#include <windows.h>
// needs the types of <windows.h>
#include <commctrl.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/run_time_error.h"
#include "platform/wide_text.h"
#include "program2/box_input.h"
#include "program2/form_description.h"
#include "program2/window_resources.h"

namespace tarvex {
namespace {

using platform::Utf8;
using platform::Wide;

constexpr wchar_t kApplicationClass[] = L"TarvexApplication";
constexpr wchar_t kFormClass[] = L"TarvexForm";
constexpr wchar_t kFrameClass[] = L"TarvexFrame";
constexpr wchar_t kPictureClass[] = L"TarvexPicture";
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kFormExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT_PTR kPresentTimer = 2;
constexpr UINT_PTR kBoxSubclass = 1;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }
COLORREF ToColorRef(Rgb c) { return RGB(c.r, c.g, c.b); }

std::wstring WindowText(HWND hwnd) {
  const int n = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), n + 1)));
  return text;
}

// The owners of the window's GDI objects and icons.
struct GdiDeleter {
  void operator()(void* object) const { DeleteObject(static_cast<HGDIOBJ>(object)); }
};
struct IconDeleter {
  void operator()(HICON icon) const { DestroyIcon(icon); }
};
using OwnedBrush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, GdiDeleter>;
using OwnedFont = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiDeleter>;
using OwnedIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

bool MayBeTyped(wchar_t c) { return MayBecomeBoxNumber(Utf8(std::wstring(1, c))); }

HICON LoadIconResource(int id, int size) {
  return static_cast<HICON>(
      LoadImageW(Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

OwnedIcon IconResource(int id, int size) { return OwnedIcon(LoadIconResource(id, size)); }

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK BoxProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                         DWORD_PTR data);

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
  wc.hIcon = LoadIconResource(TARVEX_ICON_WINDOW, GetSystemMetrics(SM_CXICON));
  wc.hIconSm = LoadIconResource(TARVEX_ICON_WINDOW, GetSystemMetrics(SM_CXSMICON));
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

// The window's platform side: its controls, their colours and GDI objects, and one member
// per message it handles and per job of building it.
struct NativeWindow::Impl {
  Impl(NativeWindow& window, HWND owner) : self(window), design(window.design()), owner(owner) {}

  NativeWindow& self;
  const FormDesign& design;
  HWND owner;
  HWND main = nullptr;
  HWND tooltip = nullptr;
  HFONT font = nullptr;  // the dialog font at the window's scale
  OwnedFont scaled_font;
  int dpi = 96;         // of the screen the window is on
  int system_dpi = 96;  // that the stock dialog font is made for

  struct Look {
    std::optional<COLORREF> back;
    std::optional<COLORREF> text;
  };
  std::map<HWND, Look> looks;  // the colours of each control that has its own
  std::map<COLORREF, OwnedBrush> brushes;
  std::map<HWND, OwnedIcon> pictures;
  std::map<int, OwnedFont> fitted_fonts;  // smaller fonts by height, for numbers that do not fit
  std::map<std::string, HWND> by_name;
  std::map<HWND, std::map<int, HWND>> focus_order;  // per container, by tab index

  std::array<HWND, kBoxCount> boxes{};
  // The last text of an editable box that may become a number.
  std::array<std::wstring, kBoxCount> typed;
  bool setting_text = false;
  bool wait_cursor = false;
  bool close_pending = false;
  bool ended = false;  // a run-time failure has stopped the program
  HWND focus = nullptr;
  int show_command = SW_SHOWNORMAL;

  int Pixels(int twips) const { return static_cast<int>(std::lround(twips * dpi / 1440.0)); }

  HBRUSH Brush(COLORREF color) {
    auto it = brushes.find(color);
    if (it == brushes.end()) it = brushes.emplace(color, OwnedBrush(CreateSolidBrush(color))).first;
    return it->second.get();
  }

  // The back colour of a frame or of the form itself.
  COLORREF BackOf(HWND hwnd) {
    auto it = looks.find(hwnd);
    if (it != looks.end() && it->second.back) return *it->second.back;
    return ToColorRef(design.back_color);
  }

  // Building, and laying out again at another scale.
  void Build();
  void UseDpi(int new_dpi);
  void Layout();
  void CreateForm();
  HWND CreateFrame(const ControlDesign& c, HWND parent);
  HWND CreateTextBox(const ControlDesign& c, HWND parent);
  HWND CreateLabel(const ControlDesign& c, HWND parent);
  HWND CreateImage(const ControlDesign& c, HWND parent);
  void ApplyFocusOrder();
  void AddTool(HWND control, const std::string& text);

  // Messages.
  LRESULT Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnEraseBackground(HWND hwnd, HDC dc);
  void OnDpiChanged(int new_dpi, const RECT& suggested);
  bool OnPaint(HWND hwnd);
  LRESULT OnControlColor(HWND control, HDC dc);
  void OnCommand(WPARAM wparam, HWND control);
  void OnTimer(WPARAM id);
  bool OnActivate(WPARAM wparam);
  void OnClose();

  // Jobs.
  void Guarded(const std::function<void()>& event);
  [[noreturn]] void EndWithRunTimeError(int number, const std::string& description);
  void PaintFrame(HWND frame);
  void PaintPicture(HWND picture);
  void BoxChanged(std::size_t i);
  // Puts a text into a box as the program's own, not as typing.
  void PutBoxText(std::size_t i, const std::wstring& text) {
    setting_text = true;
    SetWindowTextW(boxes[i], text.c_str());
    typed[i] = text;
    setting_text = false;
  }
  void FitText(std::size_t i);
  // The window's font, or the largest smaller one in which a text fits a room of pixels.
  HFONT FittingFont(HDC dc, const std::wstring& text, int room);
  void FitLabel(HWND label);
};

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
  if (message == WM_LBUTTONDBLCLK && box == Box::kTimRem && impl != nullptr) {
    FormLogic& logic = impl->self.logic();
    const bool text2 = impl->self.program().timer_box_names[1] == "Text2";
    impl->Guarded(
        [&logic, text2] { text2 ? logic.Text2_DblClick() : logic.txt_TIM_Rem_DblClick(); });
  }
  return result;
}

}  // namespace

namespace {

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

// The width of a text in a font, in pixels.
int TextWidth(HDC dc, HFONT font, const std::wstring& text) {
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  return size.cx;
}

}  // namespace

void NativeWindow::Impl::Build() {
  RegisterClasses();
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
    if (boxes[i] != nullptr) FitText(i);
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
      ToColorRef(*c.back_color),
      c.caption_color ? std::optional<COLORREF>(ToColorRef(*c.caption_color)) : std::nullopt};
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
  looks[hwnd].back = c.back_color ? ToColorRef(*c.back_color) : GetSysColor(COLOR_WINDOW);
  if (c.box) {
    const auto i = static_cast<std::size_t>(*c.box);
    boxes[i] = hwnd;
    typed[i] = Wide(c.text);
    if (!c.read_only || *c.box == Box::kTimRem) {
      SetWindowSubclass(hwnd, BoxProc, kBoxSubclass, static_cast<DWORD_PTR>(i));
    }
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
  looks[hwnd].back = ToColorRef(*c.back_color);
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

// Runs an event's logic; a run-time failure is reported and ends the program. After a
// failure no event's logic runs any more.
void NativeWindow::Impl::Guarded(const std::function<void()>& event) {
  if (ended) return;
  try {
    event();
  } catch (const platform::RunTimeError& e) {
    EndWithRunTimeError(e.number(), e.description());
  }
  // A close asked for during a pass takes effect once the pass has ended.
  if (close_pending && !self.logic().InPass()) DestroyWindow(main);
}

// A frame in the look of the platform's group box: its own background, an etched border
// below the middle of the caption, and the caption in the frame's caption colour.
void NativeWindow::Impl::PaintFrame(HWND frame) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(frame, &ps);
  RECT r;
  GetClientRect(frame, &r);
  FillRect(dc, &r, Brush(BackOf(frame)));
  HGDIOBJ old_font = SelectObject(dc, font);
  TEXTMETRICW tm;
  GetTextMetricsW(dc, &tm);
  RECT border = r;
  border.top += tm.tmHeight / 2;
  DrawEdge(dc, &border, EDGE_ETCHED, BF_RECT);
  const std::wstring caption = WindowText(frame);
  const Look& look = looks[frame];
  SetTextColor(dc, look.text ? *look.text : GetSysColor(COLOR_WINDOWTEXT));
  SetBkColor(dc, BackOf(frame));
  SetBkMode(dc, OPAQUE);
  const int inset = Pixels(120) - 2;
  TextOutW(dc, inset, 0, (L" " + caption + L" ").c_str(), static_cast<int>(caption.size() + 2));
  SelectObject(dc, old_font);
  EndPaint(frame, &ps);
}

// An image control: its picture stretched to the control, on its container's background.
void NativeWindow::Impl::PaintPicture(HWND picture) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(picture, &ps);
  RECT r;
  GetClientRect(picture, &r);
  FillRect(dc, &r, Brush(BackOf(GetParent(picture))));
  if (HICON icon = pictures[picture].get()) {
    DrawIconEx(dc, 0, 0, icon, r.right, r.bottom, 0, nullptr, DI_NORMAL);
  }
  EndPaint(picture, &ps);
}

LRESULT NativeWindow::Impl::OnControlColor(HWND control, HDC dc) {
  wchar_t name[16] = {};
  GetClassNameW(control, name, 16);
  const bool edit = _wcsicmp(name, L"EDIT") == 0;
  const Look& look = looks[control];
  const COLORREF back =
      look.back ? *look.back : (edit ? GetSysColor(COLOR_WINDOW) : BackOf(GetParent(control)));
  SetBkColor(dc, back);
  SetTextColor(dc, look.text ? *look.text : GetSysColor(COLOR_WINDOWTEXT));
  return reinterpret_cast<LRESULT>(Brush(back));
}

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

// A number that does not fit its box is shown in a smaller font while it does not fit; the
// file in progress shows the end of its path, the part that tells files apart, and its whole
// path on hover.
void NativeWindow::Impl::FitText(std::size_t i) {
  HWND edit = boxes[i];
  const std::wstring text = WindowText(edit);
  RECT r;
  GetClientRect(edit, &r);
  const int room = r.right - 4 - 4;
  HDC dc = GetDC(edit);
  if (static_cast<Box>(i) == Info(3)) {
    AddTool(edit, Utf8(text));
    const LPARAM end = TextWidth(dc, font, text) > room ? static_cast<LPARAM>(text.size()) : 0;
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    ReleaseDC(edit, dc);
    return;
  }
  HFONT chosen = FittingFont(dc, text, room);
  ReleaseDC(edit, dc);
  if (reinterpret_cast<HFONT>(SendMessageW(edit, WM_GETFONT, 0, 0)) != chosen) {
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), TRUE);
  }
  SendMessageW(edit, EM_SETSEL, 0, 0);
}

HFONT NativeWindow::Impl::FittingFont(HDC dc, const std::wstring& text, int room) {
  LOGFONTW lf{};
  GetObjectW(font, sizeof lf, &lf);
  const int full = lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
  HFONT chosen = font;
  for (int height = full; TextWidth(dc, chosen, text) > room && height > 4;) {
    --height;
    auto it = fitted_fonts.find(height);
    if (it == fitted_fonts.end()) {
      LOGFONTW small = lf;
      small.lfHeight = -height;
      small.lfWidth = 0;
      it = fitted_fonts.emplace(height, OwnedFont(CreateFontIndirectW(&small))).first;
    }
    chosen = it->second.get();
  }
  return chosen;
}

// A caption that the font of a larger scale makes wider than its place (the font's widths do
// not grow exactly with the scale) is shown whole in a smaller font.
void NativeWindow::Impl::FitLabel(HWND label) {
  RECT r;
  GetClientRect(label, &r);
  HDC dc = GetDC(label);
  HFONT chosen = FittingFont(dc, WindowText(label), r.right);
  ReleaseDC(label, dc);
  if (reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)) != chosen) {
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), TRUE);
  }
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

LRESULT NativeWindow::Impl::OnEraseBackground(HWND hwnd, HDC dc) {
  RECT r;
  GetClientRect(hwnd, &r);
  FillRect(dc, &r, Brush(BackOf(hwnd)));
  return 1;
}

// Frames and pictures paint themselves; true when this was one of them.
bool NativeWindow::Impl::OnPaint(HWND hwnd) {
  wchar_t name[32] = {};
  GetClassNameW(hwnd, name, 32);
  if (std::wstring(name) == kFrameClass) {
    PaintFrame(hwnd);
    return true;
  }
  if (std::wstring(name) == kPictureClass) {
    PaintPicture(hwnd);
    return true;
  }
  return false;
}

void NativeWindow::Impl::OnCommand(WPARAM wparam, HWND control) {
  if (control == nullptr) return;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i] != control) continue;
    if (HIWORD(wparam) == EN_CHANGE) BoxChanged(i);
    const std::string text = self.Text(static_cast<Box>(i));
    if (HIWORD(wparam) == EN_KILLFOCUS && !setting_text && Utf8(WindowText(control)) != text) {
      PutBoxText(i, Wide(text));
    }
  }
}

void NativeWindow::Impl::OnTimer(WPARAM id) {
  if (id == kTimer1) Guarded([this] { self.logic().Timer1_Timer(); });
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
  if (self.logic().InPass()) {
    close_pending = true;
    ShowWindow(main, SW_HIDE);
    return;
  }
  DestroyWindow(main);
}

NativeWindow::NativeWindow(const Program& program, std::uintptr_t owner)
    : PresentedForm(program), impl_(std::make_unique<Impl>(*this, reinterpret_cast<HWND>(owner))) {
  impl_->Build();
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

void NativeWindow::ShowBoxText(Box box, const std::string& text) {
  const auto i = static_cast<std::size_t>(box);
  const std::wstring wide = Wide(text);
  if (WindowText(impl_->boxes[i]) != wide) {
    impl_->PutBoxText(i, wide);
    impl_->FitText(i);
  }
}

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

std::uintptr_t CreateApplicationWindow(const std::string& title) {
  RegisterClasses();
  HWND hwnd = CreateWindowExW(0, kApplicationClass, Wide(title).c_str(), WS_POPUP, 0, 0, 0, 0,
                              nullptr, nullptr, Instance(), nullptr);
  return reinterpret_cast<std::uintptr_t>(hwnd);
}

// From the moment of the failure no tick and no pass runs (the timers are gone, and a tick
// already queued finds the program ended); the failure is shown in one message box owned by
// the main window, which a second start brings forward, and on standard error; the program
// ends with status 1 once the box is closed.
void NativeWindow::Impl::EndWithRunTimeError(int number, const std::string& description) {
  ended = true;
  KillTimer(main, kTimer1);
  KillTimer(main, kPresentTimer);
  TellRunTimeError(self.program().title, number, description);
  if (IsIconic(main)) OpenIcon(main);  // a minimised owner would hide its box
  MessageBoxW(main, Wide(RunTimeErrorHeading(number) + "\n\n" + description).c_str(),
              Wide(self.program().title).c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  std::_Exit(1);
}

}  // namespace tarvex
