#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "program2/form.h"
#include "program2/form_description.h"
#include "program2/form_logic.h"

class QGroupBox;
class QLabel;
class QLineEdit;

namespace tarvex {

// A program's window, built from its form description. It keeps the box texts itself (they
// are the store of every counter) and shows them on its widgets at most at the screen's
// frame rate while a pass runs, always at the end of a pass and before a per-file pause.
class FormWindow : public QWidget, public Form {
 public:
  explicit FormWindow(const Program& program);
  ~FormWindow() override;

  // The load event: centres the window, completes the caption, minimises it when the
  // program starts minimised, and asks whether another instance runs. True when this is
  // the instance that stays; then the constants, images and start time follow.
  bool Form_Load(const std::function<bool()>& prev_instance);

  // Restores the window if minimised and brings it to the front.
  void Activate();

  FormLogic& logic() { return logic_; }
  QTimer& timer1() { return *timer1_; }
  // Runs after every yield of the logic, before the pending events (tests).
  void SetYieldHookForTesting(std::function<void()> hook) { yield_hook_ = std::move(hook); }

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

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // A blinking text cursor wakes the program twice a second; it blinks only while the
  // window is shown and active.
  void UpdateCursorBlinking();
  void Build();
  QWidget* Container(const std::string& name);
  int Twips(int twips) const;
  // Runs an event's logic; a run-time failure is reported and ends the program.
  void Guarded(const std::function<void()>& event);
  void SchedulePresent();
  // Centres the window by its whole size, frame included: once shown, by the frame it was
  // given; before, by the usual title bar and border.
  void Centre(bool shown);
  void FitText(QLineEdit* edit, Box box);

  const Program& program_;
  FormDesign design_;
  FormLogic logic_;

  std::map<std::string, QGroupBox*> frames_;
  std::array<QLineEdit*, kBoxCount> boxes_{};
  std::array<QLabel*, 3> images_{};
  std::array<QLabel*, 2> info_labels_{};
  QTimer* timer1_ = nullptr;
  QWidget* first_in_focus_order_ = nullptr;
  bool centred_by_frame_ = false;

  std::array<std::string, kBoxCount> texts_;
  std::array<std::uint32_t, kBoxCount> colors_{};
  std::array<bool, kBoxCount> dirty_{};
  bool any_dirty_ = false;
  bool wait_cursor_ = false;
  int cursor_flash_ms_ = 0;  // the platform's blink period, put back when shown
  QElapsedTimer since_present_;
  QTimer present_timer_;
  std::function<void()> yield_hook_;
};

// The three icons: the window's (an outline map in blue, white and red bands), the
// snowflake of img_Bad and the sun of img_Goo, each with a 32x32 and a 16x16 image.

QIcon WindowIcon();
QPixmap DrawWindowIcon(int size);  // the window's icon drawn at any size (the installed icons)
QIcon SnowflakeIcon();
QIcon SunIcon();

// Reports a run-time failure the platform's way: a message box titled with the program
// title (none without a real display), the same text on standard error; then ends the
// program with status 1.
[[noreturn]] void ReportRunTimeErrorAndEnd(const std::string& title, int number,
                                           const std::string& description);

}  // namespace tarvex
