#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "program2/presented_form.h"

namespace tarvex {

// A program's window on Windows, built from its form description out of the platform's own
// controls. Handles are the platform's window handles as integers, so that no platform
// header is needed here.
class NativeWindow : public PresentedForm {
 public:
  // owner: the instance's hidden application window, which owns the main window.
  NativeWindow(const Program& program, std::uintptr_t owner);
  ~NativeWindow() override;
  NativeWindow(const NativeWindow&) = delete;
  NativeWindow& operator=(const NativeWindow&) = delete;

  // Shows the window in the state the load event set.
  void Show();
  // Runs the message loop until the window is closed; returns the exit status.
  int RunMessageLoop();

  std::uintptr_t handle() const;
  // The control of an object name ("txt_TIM_Rem", "txt_Info(5)", "FrameT"), or 0.
  std::uintptr_t Control(const std::string& object_name) const;

  // Form: what the platform does itself.
  void SetImageVisible(Image image, bool visible) override;
  void SetInfoLabelToolTip(int index, const std::string& text) override;
  void SetMousePointer(int pointer) override;
  void SetEnabled(bool enabled) override;

  struct Impl;

 protected:
  // PresentedForm
  bool ShowBoxText(Box box, const std::string& text) override;
  void ShowBoxColor(Box box, std::uint32_t color) override;
  bool StartPresentTimer(int ms) override;
  void StopPresentTimer() override;
  void ProcessPendingEvents() override;
  void Centre() override;
  void AppendToCaption(const std::string& text) override;
  void ShowCaption(const std::string& caption) override;
  void StartMinimised() override;
  void ShowWindowIcon() override;
  void FocusFirst(const ControlDesign& box) override;
  void ShowInProgress(Box box, const std::string& tooltip, bool show_end) override;
  void ShrinkToFit(Box box) override;
  void StopTimer1() override;
  void HideUntilClosed() override;
  void CloseNow() override;
  void ShowRunTimeError(const std::string& report) override;

 private:
  std::unique_ptr<Impl> impl_;
};

// The instance's hidden application window, captioned with the program title; it owns the
// main window and carries the program's icon.
std::uintptr_t CreateApplicationWindow(const std::string& title);

}  // namespace tarvex
