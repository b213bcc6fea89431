// What only the Windows window does: its controls from the design values, the colours it
// answers to the platform, typing, the double-click and the busy form. The logic behind it
// is tested by the shared suites.
#include <windows.h>
// needs the types of <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "program0/program0.h"
#include "program2/form_description.h"
#include "program2/frm_window_win32.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::TempDrive;

class NativeWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_.MakeFolder("PMail/Mail/_Remail");
    drive_.MakeFolder("Ostrand/Mail/Mailin");
    drive_.MakeFolder("Ostrand/Logs");
  }
  void Load(const Program& program) {
    // An application window of its own title, so that a program started by another suite
    // at the same time never takes this one for its first instance.
    window_ = std::make_unique<NativeWindow>(program, CreateApplicationWindow("window test"));
    ASSERT_TRUE(window_->Form_Load(nullptr));
  }
  HWND Get(const std::string& name) const { return reinterpret_cast<HWND>(window_->Control(name)); }
  std::string TextOf(const std::string& name) const {
    char text[256] = {};
    GetWindowTextA(Get(name), text, sizeof text);
    return text;
  }
  // Shown once the window is (the window itself is not shown in these tests).
  bool Shown(const std::string& name) const {
    return (GetWindowLongW(Get(name), GWL_STYLE) & WS_VISIBLE) != 0;
  }
  // The back colour the window gives a control when the platform asks for it.
  COLORREF BackOf(const std::string& name) const {
    HWND control = Get(name);
    wchar_t cls[16] = {};
    GetClassNameW(control, cls, 16);
    const bool editable =
        _wcsicmp(cls, L"EDIT") == 0 && !(GetWindowLongW(control, GWL_STYLE) & ES_READONLY);
    HDC dc = GetDC(control);
    SendMessageW(GetParent(control), editable ? WM_CTLCOLOREDIT : WM_CTLCOLORSTATIC,
                 reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
    const COLORREF back = GetBkColor(dc);
    ReleaseDC(control, dc);
    return back;
  }

  TempDrive drive_;
  std::unique_ptr<NativeWindow> window_;
};

// At the scale of its screen: the Windows stage runs this at 96, 120 and 144 dots per inch
// (TARVEX_TEST_DPI tells which).
TEST_F(NativeWindowTest, EveryControlHasItsDesignPlaceTextAndColour) {
  Load(Program2());
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  const auto get_dpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi != nullptr) {
    dpi = static_cast<int>(get_dpi(reinterpret_cast<HWND>(window_->handle())));
  }
  if (const char* wanted = std::getenv("TARVEX_TEST_DPI")) {
    EXPECT_EQ(dpi, std::atoi(wanted));
  }
  auto px = [dpi](int twips) { return static_cast<int>(std::lround(twips * dpi / 1440.0)); };
  const FormDesign design = DescribeForm(Program2());
  RECT client;
  GetClientRect(reinterpret_cast<HWND>(window_->handle()), &client);
  EXPECT_EQ(client.right, px(design.client_width));
  EXPECT_EQ(client.bottom, px(design.client_height));
  for (const ControlDesign& c : design.controls) {
    if (c.kind == ControlKind::kTimer) continue;
    HWND hwnd = Get(c.ObjectName());
    ASSERT_NE(hwnd, nullptr) << c.ObjectName();
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, px(c.left)) << c.ObjectName();
    EXPECT_EQ(r.top, px(c.top)) << c.ObjectName();
    EXPECT_EQ(r.right - r.left, px(c.width)) << c.ObjectName();
    EXPECT_EQ(r.bottom - r.top, px(c.height)) << c.ObjectName();
    if (c.kind == ControlKind::kLabel) {  // each caption whole in its place
      wchar_t text[256] = {};
      GetWindowTextW(hwnd, text, 256);
      HDC dc = GetDC(hwnd);
      HGDIOBJ old =
          SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
      SIZE size{};
      GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
      SelectObject(dc, old);
      ReleaseDC(hwnd, dc);
      RECT inside;
      GetClientRect(hwnd, &inside);
      EXPECT_LE(size.cx, inside.right) << c.ObjectName() << " at " << dpi << " dpi";
      EXPECT_LE(size.cy, inside.bottom) << c.ObjectName() << " at " << dpi << " dpi";
    }
    if (c.kind == ControlKind::kTextBox || c.kind == ControlKind::kLabel) {
      const COLORREF want = c.back_color ? RGB(c.back_color->r, c.back_color->g, c.back_color->b)
                                         : GetSysColor(COLOR_WINDOW);
      EXPECT_EQ(BackOf(c.ObjectName()), want) << c.ObjectName();
    }
  }
  EXPECT_EQ(Get("txt_Info(2)"), nullptr);
  char caption[128] = {};
  GetWindowTextA(reinterpret_cast<HWND>(window_->handle()), caption, sizeof caption);
  EXPECT_STREQ(caption, "Tarvex 2 P:\\PMail\\Mail\\_Remail");
  EXPECT_EQ(TextOf("txt_InfoK(3)"), "P:\\Ostrand\\Logs\\~Mailin.log");
  EXPECT_FALSE(Shown("img_Bad"));
  EXPECT_TRUE(Shown("img_Ico"));
  EXPECT_EQ(GetParent(Get("txt_TIM_Rem")), Get("FrameT"));
}

TEST_F(NativeWindowTest, OnlyWhatCanBecomeANumberIsTypedAndKept) {
  Load(Program2());
  HWND period = Get("txt_TIM_Per");
  SetFocus(period);
  SendMessageW(period, EM_SETSEL, 0, -1);
  for (wchar_t c : std::wstring(L"1x5")) SendMessageW(period, WM_CHAR, c, 0);
  EXPECT_EQ(TextOf("txt_TIM_Per"), "15");
  EXPECT_EQ(window_->Text(Box::kTimPer), "15");
  // A pasted text that cannot become a number is undone; a half-typed one stays shown
  // until the box loses the focus, and the box keeps its last number.
  SetWindowTextW(period, L"abc");
  EXPECT_EQ(TextOf("txt_TIM_Per"), "15");
  SendMessageW(period, EM_SETSEL, 0, -1);
  SendMessageW(period, WM_CHAR, L'-', 0);
  EXPECT_EQ(TextOf("txt_TIM_Per"), "-");
  EXPECT_EQ(window_->Text(Box::kTimPer), "15");
  SendMessageW(GetParent(period), WM_COMMAND, MAKEWPARAM(0, EN_KILLFOCUS),
               reinterpret_cast<LPARAM>(period));
  EXPECT_EQ(TextOf("txt_TIM_Per"), "15");
}

TEST_F(NativeWindowTest, TheDoubleClickRunsAPassOnABusyFormThatKeepsItsPictures) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "12345");
  Load(Program2());
  HWND main = reinterpret_cast<HWND>(window_->handle());
  bool disabled_during_pass = false, pictures_enabled = true;
  window_->SetYieldHookForTesting([&] {
    disabled_during_pass = disabled_during_pass || !IsWindowEnabled(main);
    pictures_enabled = pictures_enabled && IsWindowEnabled(Get("img_Ico"));
  });
  SendMessageW(Get("txt_TIM_Rem"), WM_LBUTTONDBLCLK, MK_LBUTTON, 0);
  EXPECT_EQ(drive_.Names("Ostrand/Mail/Mailin"), std::vector<std::string>{"a.cnm"});
  EXPECT_TRUE(disabled_during_pass);
  EXPECT_TRUE(pictures_enabled);
  EXPECT_TRUE(IsWindowEnabled(main));
  window_->Present();
  EXPECT_EQ(TextOf("txt_Info(5)"), window_->Text(Info(5)));
  EXPECT_NE(TextOf("txt_Info(5)").find('5'), std::string::npos);
  EXPECT_EQ(TextOf("txt_TIM_NbT"), "1");
  EXPECT_TRUE(Shown("img_Goo"));
}

TEST_F(NativeWindowTest, Program0UsesItsOwnBoxNames) {
  drive_.MakeFolder("Ostrand/Mail/~Pegasus");
  Load(Program0());
  EXPECT_NE(Get("Text2"), nullptr);
  EXPECT_EQ(Get("txt_TIM_Rem"), nullptr);
}

}  // namespace
}  // namespace tarvex
