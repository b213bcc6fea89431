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
  void closeEvent(QCloseEvent* event) override;

  // PresentedForm
  bool ShowBoxText(Box box, const std::string& text) override;
  void ShowBoxColor(Box box, std::uint32_t color) override;
  bool StartPresentTimer(int ms) override;
  void StopPresentTimer() override;
  void ProcessPendingEvents() override;
  void Centre() override { CentreOnScreen(false); }
  void AppendToCaption(const std::string& text) override;
  void ShowCaption(const std::string& caption) override;
  void StartMinimised() override;
  void ShowWindowIcon() override;
  void FocusFirst(const ControlDesign& box) override;
  void Loaded() override { UpdateCursorBlinking(); }
  void ShowInProgress(Box box, const std::string& tooltip, bool show_end) override;
  void ShrinkToFit(Box box) override;
  void StopTimer1() override;
  void HideUntilClosed() override;
  void CloseNow() override;
  void ShowRunTimeError(const std::string& report) override;

 private:
  // A blinking text cursor wakes the program twice a second; it blinks only while the
  // window is shown and active.
  void UpdateCursorBlinking();
  void Build();
  QWidget* Container(const std::string& name);
  int Twips(int twips) const;
  // Centres the window by its whole size, frame included: once shown, by the frame it was
  // given; before, by the usual title bar and border.
  void CentreOnScreen(bool shown);
  int Room(QLineEdit* edit) const;

  std::map<std::string, QGroupBox*> frames_;
  std::array<QLineEdit*, kBoxCount> boxes_{};
  std::array<QLabel*, 3> images_{};
  std::array<QLabel*, 2> info_labels_{};
  QTimer* timer1_ = nullptr;
  bool centred_by_frame_ = false;
  QWidget* error_box_ = nullptr;
  bool wait_cursor_ = false;
  int cursor_flash_ms_ = 0;  // the platform's blink period, put back when shown
  QTimer present_timer_;
};

}  // namespace tarvex
