#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "program2/presented_form.h"

class QGroupBox;
class QLabel;
class QLineEdit;

namespace tarvex {

// A program's window, built from its form description, on Qt's widgets.
class FormWindow : public QWidget, public PresentedForm {
 public:
  explicit FormWindow(const Program& program);
  ~FormWindow() override;

  // Restores the window if minimised and brings it to the front.
  void Activate();

  QTimer& timer1() { return *timer1_; }

  // Form: what the toolkit does itself.
  void SetImageVisible(Image image, bool visible) override;
  void SetInfoLabelToolTip(int index, const std::string& text) override;
  void SetMousePointer(int pointer) override;
  void SetEnabled(bool enabled) override;

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

  // PresentedForm
  void ShowBoxText(Box box, const std::string& text) override;
  void ShowBoxColor(Box box, std::uint32_t color) override;
  bool StartPresentTimer(int ms) override;
  void StopPresentTimer() override;
  void ProcessPendingEvents() override;
  void Centre() override { CentreOnScreen(false); }
  void AppendToCaption(const std::string& text) override;
  void StartMinimised() override;
  void ShowWindowIcon() override;
  void FocusFirst(const ControlDesign& box) override;
  void Loaded() override { UpdateCursorBlinking(); }

 private:
  // A blinking text cursor wakes the program twice a second; it blinks only while the
  // window is shown and active.
  void UpdateCursorBlinking();
  void Build();
  QWidget* Container(const std::string& name);
  int Twips(int twips) const;
  // Runs an event's logic; a run-time failure is reported and ends the program. After a
  // failure no event's logic runs any more.
  void Guarded(const std::function<void()>& event);
  // From the moment of the failure no tick and no pass runs; it is shown in one message box
  // owned by the window (none without a real display) and on standard error, and the
  // program ends with status 1 once the box is closed.
  [[noreturn]] void EndWithRunTimeError(int number, const std::string& description);
  // Centres the window by its whole size, frame included: once shown, by the frame it was
  // given; before, by the usual title bar and border.
  void CentreOnScreen(bool shown);
  void FitText(QLineEdit* edit, Box box);

  std::map<std::string, QGroupBox*> frames_;
  std::array<QLineEdit*, kBoxCount> boxes_{};
  std::array<QLabel*, 3> images_{};
  std::array<QLabel*, 2> info_labels_{};
  QTimer* timer1_ = nullptr;
  bool centred_by_frame_ = false;
  bool ended_ = false;  // a run-time failure has stopped the program
  QWidget* error_box_ = nullptr;
  bool wait_cursor_ = false;
  int cursor_flash_ms_ = 0;  // the platform's blink period, put back when shown
  QTimer present_timer_;
};

}  // namespace tarvex
