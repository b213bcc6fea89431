#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "program2/form_description.h"
#include "program2/frm_window_win32.h"

// The platform's handle types, declared as its own headers declare them, so that no platform
// header is needed here. A colour is the platform's 0x00BBGGRR in an unsigned long.
struct HWND__;
struct HDC__;
struct HFONT__;
struct HBRUSH__;
struct HICON__;
struct tagRECT;

namespace tarvex {

// The owners of the window's GDI objects and icons.
struct GdiDeleter {
  void operator()(void* object) const;
};
struct IconDeleter {
  void operator()(HICON__* icon) const;
};
using OwnedBrush = std::unique_ptr<HBRUSH__, GdiDeleter>;
using OwnedFont = std::unique_ptr<HFONT__, GdiDeleter>;
using OwnedIcon = std::unique_ptr<HICON__, IconDeleter>;

// The window's platform side: its controls, their colours and GDI objects. Its building and
// laying out live in native_controls_win32.cpp, its painting and the fitting of texts in
// native_paint_win32.cpp, its messages in frm_window_win32.cpp. All of it runs on the
// window's thread.
struct NativeWindow::Impl {
  Impl(NativeWindow& window, HWND__* owner) : self(window), design(window.design()), owner(owner) {}

  NativeWindow& self;
  const FormDesign& design;
  HWND__* owner;
  HWND__* main = nullptr;
  HWND__* tooltip = nullptr;
  HFONT__* font = nullptr;  // the dialog font at the window's scale
  OwnedFont scaled_font;
  int dpi = 96;         // of the screen the window is on
  int system_dpi = 96;  // that the stock dialog font is made for

  struct Look {
    std::optional<unsigned long> back;
    std::optional<unsigned long> text;
  };
  std::map<HWND__*, Look> looks;  // the colours of each control that has its own
  std::map<unsigned long, OwnedBrush> brushes;
  std::map<HWND__*, OwnedIcon> pictures;
  std::map<int, OwnedFont> fitted_fonts;  // smaller fonts by height, for numbers that do not fit
  std::map<std::string, HWND__*> by_name;
  std::map<HWND__*, std::map<int, HWND__*>> focus_order;  // per container, by tab index

  std::array<HWND__*, kBoxCount> boxes{};
  // The last text of an editable box that may become a number.
  std::array<std::wstring, kBoxCount> typed;
  bool setting_text = false;
  bool wait_cursor = false;
  HWND__* focus = nullptr;
  int show_command = 1;  // SW_SHOWNORMAL

  int Pixels(int twips) const;

  // Building, and laying out again at another scale.
  void Build();
  void UseDpi(int new_dpi);
  void Layout();
  void OnDpiChanged(int new_dpi, const tagRECT& suggested);
  void AddTool(HWND__* control, const std::string& text);

  // Colours and painting.
  HBRUSH__* Brush(unsigned long color);
  // The back colour of a frame or of the form itself.
  unsigned long BackOf(HWND__* hwnd);
  // Frames and pictures paint themselves; true when this was one of them.
  bool OnPaint(HWND__* hwnd);
  std::intptr_t OnControlColor(HWND__* control, HDC__* dc);
  std::intptr_t OnEraseBackground(HWND__* hwnd, HDC__* dc);

  // Fitting texts.
  void ShowInProgress(std::size_t i, const std::string& tooltip, bool show_end);
  void ShrinkToFit(std::size_t i);
  void FitLabel(HWND__* label);

  // Messages.
  std::intptr_t Handle(HWND__* hwnd, unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
  void OnCommand(std::uintptr_t wparam, HWND__* control);
  void OnTimer(std::uintptr_t id);
  bool OnActivate(std::uintptr_t wparam);
  void OnClose();
  void OnDoubleClick(Box box);
  // Puts a text into a box as the program's own, not as typing.
  void PutBoxText(std::size_t i, const std::wstring& text);
  void BoxChanged(std::size_t i);

 private:
  void CreateForm();
  HWND__* CreateFrame(const ControlDesign& c, HWND__* parent);
  HWND__* CreateTextBox(const ControlDesign& c, HWND__* parent);
  HWND__* CreateLabel(const ControlDesign& c, HWND__* parent);
  HWND__* CreateImage(const ControlDesign& c, HWND__* parent);
  void ApplyFocusOrder();
  void PaintFrame(HWND__* frame);
  void PaintPicture(HWND__* picture);
  // The window's font, or the largest smaller one in which a text fits a room of pixels.
  HFONT__* FittingFont(HDC__* dc, const std::wstring& text, int room);
};

// The text a control shows.
std::wstring WindowText(HWND__* hwnd);
// A colour of the design as the platform's.
unsigned long ColorOf(Rgb c);
// An icon of the programs' resources at a size.
OwnedIcon IconResource(int id, int size);
// The window's own classes of the form, its frames and its pictures.
extern const wchar_t kFormClass[];
extern const wchar_t kFrameClass[];
extern const wchar_t kPictureClass[];

}  // namespace tarvex
