// The window's look: the colours of its controls, the frames and pictures it paints itself,
// and texts fitted to their controls.
#include <windows.h>

#include <string>

#include "platform/wide_text.h"
#include "program2/native_window_win32.h"

namespace tarvex {
namespace {

using platform::Utf8;

// The width of a text in a font, in pixels.
int TextWidth(HDC dc, HFONT font, const std::wstring& text) {
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  return size.cx;
}

}  // namespace

void GdiDeleter::operator()(void* object) const { DeleteObject(static_cast<HGDIOBJ>(object)); }
void IconDeleter::operator()(HICON icon) const { DestroyIcon(icon); }

unsigned long ColorOf(Rgb c) { return RGB(c.r, c.g, c.b); }

HBRUSH NativeWindow::Impl::Brush(unsigned long color) {
  auto it = brushes.find(color);
  if (it == brushes.end()) it = brushes.emplace(color, OwnedBrush(CreateSolidBrush(color))).first;
  return it->second.get();
}

unsigned long NativeWindow::Impl::BackOf(HWND hwnd) {
  auto it = looks.find(hwnd);
  if (it != looks.end() && it->second.back) return *it->second.back;
  return ColorOf(design.back_color);
}

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

std::intptr_t NativeWindow::Impl::OnControlColor(HWND control, HDC dc) {
  wchar_t name[16] = {};
  GetClassNameW(control, name, 16);
  const bool edit = _wcsicmp(name, L"EDIT") == 0;
  const Look& look = looks[control];
  const COLORREF back =
      look.back ? *look.back : (edit ? GetSysColor(COLOR_WINDOW) : BackOf(GetParent(control)));
  SetBkColor(dc, back);
  SetTextColor(dc, look.text ? *look.text : GetSysColor(COLOR_WINDOWTEXT));
  return reinterpret_cast<std::intptr_t>(Brush(back));
}

std::intptr_t NativeWindow::Impl::OnEraseBackground(HWND hwnd, HDC dc) {
  RECT r;
  GetClientRect(hwnd, &r);
  FillRect(dc, &r, Brush(BackOf(hwnd)));
  return 1;
}

void NativeWindow::Impl::ShowInProgress(std::size_t i, const std::string& tooltip, bool show_end) {
  HWND edit = boxes[i];
  const std::wstring text = WindowText(edit);
  RECT r;
  GetClientRect(edit, &r);
  // A tooltip breaks its lines at CR LF.
  std::string tip;
  for (const char c : tooltip) tip += c == '\n' ? std::string("\r\n") : std::string(1, c);
  AddTool(edit, tip);
  HDC dc = GetDC(edit);
  const LPARAM end =
      show_end && TextWidth(dc, font, text) > r.right - 8 ? static_cast<LPARAM>(text.size()) : 0;
  ReleaseDC(edit, dc);
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

void NativeWindow::Impl::ShrinkToFit(std::size_t i) {
  HWND edit = boxes[i];
  RECT r;
  GetClientRect(edit, &r);
  HDC dc = GetDC(edit);
  HFONT chosen = FittingFont(dc, WindowText(edit), r.right - 8);
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

}  // namespace tarvex
