// The three Windows programs as processes on a drive mapped for the test: moves, a
// collision, an empty file, the exact log bytes, a second start that brings the first
// forward and ends, a close of the window that ends the program, each program's version
// record, and a run-time error shown in the platform's message box.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "program0/program0.h"
#include "program1/program1.h"
#include "program2/program.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::TempDrive;

// "P:\Ostrand\Mail\Mailin" as a path of the test drive: "Ostrand/Mail/Mailin".
std::string OnDrive(const std::string& path) {
  std::string relative = path.substr(3);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return relative;
}

std::wstring Beside(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

class Process {
 public:
  explicit Process(const std::wstring& exe) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring command = L"\"" + exe + L"\"";
    started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &si, &info_);
  }
  ~Process() {
    if (!started_) return;
    if (Running()) TerminateProcess(info_.hProcess, 9);
    WaitForSingleObject(info_.hProcess, 5000);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  bool started() const { return started_; }
  // The process's top-level windows of the given class.
  std::vector<HWND> Windows(const wchar_t* window_class) const {
    struct Search {
      DWORD pid;
      const wchar_t* cls;
      std::vector<HWND> found;
    } search{info_.dwProcessId, window_class, {}};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
          auto* s = reinterpret_cast<Search*>(param);
          DWORD pid = 0;
          GetWindowThreadProcessId(hwnd, &pid);
          wchar_t cls[64] = {};
          GetClassNameW(hwnd, cls, 64);
          if (pid == s->pid && std::wcscmp(cls, s->cls) == 0) s->found.push_back(hwnd);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  // The process's main window (of the given class), or null.
  HWND Window(const wchar_t* window_class) const {
    const std::vector<HWND> found = Windows(window_class);
    return found.empty() ? nullptr : found.front();
  }
  bool Running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
  // The exit status once it has ended within the time, else -1.
  long Wait(DWORD ms) const {
    if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<long>(code);
  }

 private:
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

bool WaitFor(const std::function<bool()>& done, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

struct Case {
  const Program& (*program)();
  const wchar_t* exe;
  const char* name;  // a file the pattern takes
  const char* label;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

class EndToEndWindows : public ::testing::TestWithParam<Case> {};

TEST_P(EndToEndWindows, MovesLogsKeepsOneInstanceAndEndsWhenClosed) {
  const Program& program = GetParam().program();
  TempDrive drive;
  const std::string source = OnDrive(program.source_folder);
  const std::string target = OnDrive(program.target_folder);
  const std::string log = OnDrive(program.log_file);
  drive.MakeFolder(source);
  drive.MakeFolder(target);
  drive.MakeFolder(log.substr(0, log.rfind('/')));
  const std::string name = GetParam().name;
  drive.WriteFile(source + "/" + name, "12345");
  drive.WriteFile(source + "/empty.cnm", "");
  drive.WriteFile(source + "/.tarvex-claim-mine.cnm", "a user's file: it waits");
  drive.WriteFile(target + "/" + name, "taken");
  tarvex_test::SetEnvironment("TARVEX_TICK_MS", "200");

  Process first(Beside(GetParam().exe));
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(WaitFor([&] { return drive.Names(target).size() == 2; }, 30));
  EXPECT_EQ(drive.Names(source), (std::vector<std::string>{".tarvex-claim-mine.cnm", "empty.cnm"}));
  EXPECT_EQ(drive.ReadFile(target + "/" + name), "taken");
  for (const std::string& moved : drive.Names(target)) {
    if (moved != name) {
      EXPECT_EQ(drive.ReadFile(target + "/" + moved), "12345") << moved;
    }
  }
  ASSERT_TRUE(WaitFor([&] { return drive.Exists(log); }, 10));
  EXPECT_TRUE(std::regex_match(drive.ReadFile(log),
                               std::regex("#\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d#,"
                                          "\"0000005\"\r\n")))
      << drive.ReadFile(log);

  HWND window = first.Window(L"TarvexForm");
  ASSERT_NE(window, nullptr);
  // The caption says that a file waits; the second start finds the first all the same.
  const std::wstring loaded(
      std::wstring(program.caption.begin(), program.caption.end()) + L" " +
      std::wstring(program.source_folder.begin(), program.source_folder.end()));
  std::wstring caption;
  EXPECT_TRUE(WaitFor(
      [&] {
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        caption = text;
        return caption == loaded + L" \x2014 1 file waits";
      },
      10))
      << ::testing::PrintToString(caption);
  EXPECT_EQ(IsIconic(window) != FALSE, program.minimized_at_start);
  Process second(Beside(GetParam().exe));
  ASSERT_TRUE(second.started());
  EXPECT_EQ(second.Wait(10000), 0);
  EXPECT_TRUE(first.Running());
  // A minimised first instance comes back (the request reaches it as a message of its own).
  EXPECT_TRUE(WaitFor([&] { return !IsIconic(window); }, 5));

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(first.Wait(10000), 0);
}

TEST_P(EndToEndWindows, CarriesItsVersionRecord) {
  const std::wstring exe = Beside(GetParam().exe);
  DWORD ignored = 0;
  std::vector<char> record(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
  ASSERT_FALSE(record.empty());
  ASSERT_TRUE(
      GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));
  auto value = [&](const std::wstring& key) {
    wchar_t* text = nullptr;
    UINT n = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + key;
    if (!VerQueryValueW(record.data(), path.c_str(), reinterpret_cast<void**>(&text), &n))
      return std::wstring();
    return std::wstring(text);
  };
  const std::wstring name(GetParam().exe, std::wcslen(GetParam().exe) - 4);
  const Program& program = GetParam().program();
  EXPECT_EQ(value(L"FileDescription"),
            name + L": moves the files of " +
                std::wstring(program.source_folder.begin(), program.source_folder.end()) +
                L" into " +
                std::wstring(program.target_folder.begin(), program.target_folder.end()));
  EXPECT_EQ(value(L"ProductName"), name);
  EXPECT_EQ(value(L"InternalName"), name);
  EXPECT_EQ(value(L"OriginalFilename"), GetParam().exe);
  EXPECT_EQ(value(L"FileVersion"), L"1.00");
  EXPECT_EQ(value(L"ProductVersion"), L"1.00");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &n));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

// The box stops the program: the log folder put back while it is up, no tick moves the file
// and no second box comes; a second start brings the box forward and ends; OK ends with 1.
TEST(EndToEndWindowsError, AMissingLogFolderIsShownInAMessageBoxAndEndsTheProgram) {
  TempDrive drive;
  drive.MakeFolder("PMail/Mail/_Remail");
  drive.MakeFolder("Ostrand/Mail/Mailin");
  drive.WriteFile("PMail/Mail/_Remail/a.cnm", "12345");
  tarvex_test::SetEnvironment("TARVEX_TICK_MS", "200");
  Process program(Beside(L"~~Tarvex2.exe"));
  ASSERT_TRUE(program.started());
  HWND box = nullptr;
  // Found once it is shown: the box is created before its title and text are set.
  ASSERT_TRUE(WaitFor(
      [&] {
        box = program.Window(L"#32770");
        return box != nullptr && IsWindowVisible(box) && GetWindowTextLengthW(box) > 0;
      },
      30));
  char title[64] = {}, text[512] = {};
  GetWindowTextA(box, title, sizeof title);
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the message box's text
  EXPECT_STREQ(title, "~~Tarvex2");
  EXPECT_EQ(std::string(text).rfind("Run-time error '76':", 0), 0u) << text;
  EXPECT_EQ(GetWindow(box, GW_OWNER), program.Window(L"TarvexForm")) << "owned by the window";
  // Behind the box the window shows the file the pass had in hand when its line failed.
  std::vector<std::string> texts;
  EnumChildWindows(
      program.Window(L"TarvexForm"),
      [](HWND child, LPARAM found) {
        char t[512] = {};  // asked of the control itself: it belongs to another process
        DWORD_PTR copied = 0;
        SendMessageTimeoutA(child, WM_GETTEXT, sizeof t, reinterpret_cast<LPARAM>(t),
                            SMTO_ABORTIFHUNG, 2000, &copied);
        reinterpret_cast<std::vector<std::string>*>(found)->push_back(t);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  EXPECT_NE(std::find(texts.begin(), texts.end(), "P:\\PMail\\Mail\\_Remail\\a.cnm"), texts.end())
      << ::testing::PrintToString(texts);
  drive.MakeFolder("Ostrand/Logs");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // seven ticks
  EXPECT_EQ(program.Windows(L"#32770").size(), 1u);
  EXPECT_FALSE(drive.Exists("Ostrand/Logs/~Mailin.log"));
  Process second(Beside(L"~~Tarvex2.exe"));
  EXPECT_EQ(second.Wait(10000), 0);
  EXPECT_TRUE(WaitFor([&] { return GetForegroundWindow() == box; }, 5));
  EXPECT_TRUE(program.Running());
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(program.Wait(10000), 1);
  EXPECT_EQ(drive.Names("PMail/Mail/_Remail"), std::vector<std::string>{"a.cnm"});
  EXPECT_TRUE(drive.Names("Ostrand/Mail/Mailin").empty());
}

// With two programs running and another program's window active in between, every second
// start restores its own program's window and leaves the other's as it was.
TEST(EndToEndWindowsSecondStart, RestoresItsOwnWindowWhateverLiesAboveIt) {
  TempDrive drive;
  tarvex_test::SetEnvironment("TARVEX_TICK_MS", "60000");
  Process two(Beside(L"~~Tarvex2.exe")), one(Beside(L"~~Tarvex1.exe"));
  HWND window2 = nullptr, window1 = nullptr;
  ASSERT_TRUE(WaitFor(
      [&] {
        window2 = two.Window(L"TarvexForm");
        window1 = one.Window(L"TarvexForm");
        return window2 != nullptr && window1 != nullptr;
      },
      30));
  HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (const bool program2 : {true, false}) {
      HWND mine = program2 ? window2 : window1, theirs = program2 ? window1 : window2;
      ShowWindow(window2, SW_MINIMIZE);
      ShowWindow(window1, SW_MINIMIZE);
      SetForegroundWindow(other);
      Process second(Beside(program2 ? L"~~Tarvex2.exe" : L"~~Tarvex1.exe"));
      EXPECT_EQ(second.Wait(10000), 0);
      EXPECT_TRUE(WaitFor([&] { return !IsIconic(mine); }, 5)) << "program2 " << program2;
      EXPECT_TRUE(IsIconic(theirs)) << "program2 " << program2;
    }
  }
  DestroyWindow(other);
}

// Programs 1 and 0 on one folder, with pairs, names taken in the target, and a file that a
// reader holds without sharing the right to delete it for a few seconds: every file arrives
// once, each pair under one stem, and the log has exactly one line for each move; then with
// kills.
TEST(EndToEndWindowsTwoMovers, OneLineForEachMove) {
  TempDrive drive;
  const std::string src = "Ostrand/Mail/~Pegasus/", dst = "Ostrand/Mail/Mailin/";
  for (const char* f : {"Ostrand/Mail/~Pegasus", "Ostrand/Mail/Mailin", "Ostrand/Logs"}) {
    drive.MakeFolder(f);
  }
  int moves = 0;
  for (int i = 0; i < 30; ++i) {
    const std::string n = std::to_string(i);
    if (i % 3 == 0) {
      drive.WriteFile(src + "m" + n + ".q1", "tail " + n);
      drive.WriteFile(src + "m" + n + ".q0", "head " + n);
      if (i % 2 == 0) drive.WriteFile(dst + "m" + n + ".q1", "taken");
    } else {
      drive.WriteFile(src + "f" + n + ".txt", "file " + n);
      if (i % 2 == 0) drive.WriteFile(dst + "f" + n + ".txt", "taken");
    }
    ++moves;
  }
  drive.WriteFile(src + "held.txt", "held");
  ++moves;
  const std::string held = drive.Host(src + "held.txt");
  HANDLE reader =
      CreateFileW(std::wstring(held.begin(), held.end()).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  tarvex_test::SetEnvironment("TARVEX_TICK_MS", "200");
  {
    Process one(Beside(L"~~Tarvex1.exe")), zero(Beside(L"~~Tarvex.exe"));
    ASSERT_TRUE(one.started() && zero.started());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_TRUE(drive.Exists(src + "held.txt"));
    CloseHandle(reader);
    ASSERT_TRUE(WaitFor([&] { return drive.Names("Ostrand/Mail/~Pegasus").empty(); }, 60));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::size_t heads = 0, tails = 0;
  for (const std::string& name : drive.Names("Ostrand/Mail/Mailin")) {
    const std::string content = drive.ReadFile(dst + name);
    if (name.size() > 3 && name.substr(name.size() - 3) == ".q0") {
      ++heads;
      const std::string tail = drive.ReadFile(dst + name.substr(0, name.size() - 1) + "1");
      EXPECT_EQ("tail" + content.substr(4), tail) << name;
    } else if (content.rfind("tail", 0) == 0) {
      ++tails;
    }
  }
  EXPECT_EQ(heads, 10u);
  EXPECT_EQ(tails, 10u);
  std::string log = drive.ReadFile("Ostrand/Logs/~Mailin.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), moves);

  // Then again while files arrive and the programs are killed at random moments, each started
  // again at once: a kill between a line and its move costs no second line, and one before
  // the line no file.
  std::mt19937 random(7);
  const wchar_t* const exes[2] = {L"~~Tarvex1.exe", L"~~Tarvex.exe"};
  int kills = 0;
  {
    std::unique_ptr<Process> p[2] = {std::make_unique<Process>(Beside(exes[0])),
                                     std::make_unique<Process>(Beside(exes[1]))};
    for (int i = 0; i < 120; ++i, ++moves) {
      drive.WriteFile(src + "k" + std::to_string(i) + ".txt", "again " + std::to_string(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (random() % 15 == 0) {
        const unsigned k = random() % 2;
        p[k].reset();
        p[k] = std::make_unique<Process>(Beside(exes[k]));
        ++kills;
      }
    }
    ASSERT_TRUE(WaitFor([&] { return drive.Names("Ostrand/Mail/~Pegasus").empty(); }, 120));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::set<std::string> again;
  for (const std::string& name : drive.Names("Ostrand/Mail/Mailin")) {
    const std::string content = drive.ReadFile(dst + name);
    if (content.rfind("again ", 0) == 0) {
      EXPECT_TRUE(again.insert(content).second) << content;
    }
  }
  EXPECT_EQ(again.size(), 120u);
  log = drive.ReadFile("Ostrand/Logs/~Mailin.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), moves) << kills << " kills";
  std::printf("Windows programs, with %d kills: %lld lines for %d moves\n", kills,
              static_cast<long long>(std::count(log.begin(), log.end(), '\n')), moves);
}

INSTANTIATE_TEST_SUITE_P(ThreePrograms, EndToEndWindows,
                         ::testing::Values(Case{Program2, L"~~Tarvex2.exe", "a.cnm", "Program2"},
                                           Case{Program1, L"~~Tarvex1.exe", "a.txt", "Program1"},
                                           Case{Program0, L"~~Tarvex.exe", "a.txt", "Program0"}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tarvex
