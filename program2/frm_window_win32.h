#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "program2/form.h"
#include "program2/form_logic.h"
#include "program2/program.h"

namespace tarvex {

// A program's window on Windows, built from its form description out of the platform's own
// controls. Like the Qt window it keeps the box texts itself (they are the store of every
// counter) and shows them on its controls at most at the screen's frame rate while a pass
// runs, always at the end of a pass and before a per-file pause. Handles are the platform's
// window handles as integers, so that no platform header is needed here.
class NativeWindow : public Form {
 public:
  // owner: the instance's hidden application window, which owns the main window.
  NativeWindow(const Program& program, std::uintptr_t owner);
  ~NativeWindow() override;
  NativeWindow(const NativeWindow&) = delete;
  NativeWindow& operator=(const NativeWindow&) = delete;

  // The load event: centres the window, completes the caption, sets the minimised state
  // when the program starts minimised, and asks whether another instance runs. True when
  // this is the instance that stays; then the constants, images and start time follow.
  bool Form_Load(const std::function<bool()>& prev_instance);
  // Shows the window in the state the load event set.
  void Show();
  // Runs the message loop until the window is closed; returns the exit status.
  int RunMessageLoop();

  std::uintptr_t handle() const;
  // The control of an object name ("txt_TIM_Rem", "txt_Info(5)", "FrameT"), or 0.
  std::uintptr_t Control(const std::string& object_name) const;
  FormLogic& logic() { return logic_; }
  // Runs after every yield of the logic, before the pending messages (tests).
  void SetYieldHookForTesting(std::function<void()> hook);

  // Form
  std::string Text(Box box) const override;
  void SetText(Box box, const std::string& text) override;
  void SetBackColor(Box box, std::uint32_t color) override;
  void SetImageVisible(Image image, bool visible) override;
  void SetInfoLabelToolTip(int index, const std::string& text) override;
  void SetMousePointer(int pointer) override;
  void SetEnabled(bool enabled) override;
  void DoEvents() override;
  void Present() override;

  struct Impl;

 private:
  FormLogic logic_;
  std::unique_ptr<Impl> impl_;
};

// The instance's hidden application window, captioned with the program title; it owns the
// main window and carries the program's icon.
std::uintptr_t CreateApplicationWindow(const std::string& title);

// Reports a run-time failure the platform's way: a message box titled with the program
// title, the same text on standard error; then ends the program with status 1.
[[noreturn]] void ReportRunTimeErrorAndEnd(const std::string& title, int number,
                                           const std::string& description);

}  // namespace tarvex
