#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "program2/form.h"
#include "program2/form_description.h"
#include "program2/form_logic.h"
#include "program2/program.h"

namespace tarvex {

// What both windows do alike, above their toolkits. A window keeps the box texts itself
// (they are the store of every counter) and shows them on its controls at most at the
// screen's frame rate while a pass runs, always at the end of a pass and before a per-file
// pause; it runs the load event in the same steps. A yield hands the toolkit its pending
// events at most every few milliseconds. Every event of the logic runs here under one guard
// (a run-time failure ends the program, a close asked for during a pass waits for its end).
// Each window derives from this and does only what its toolkit does. All of it runs on the
// window's thread.
class PresentedForm : public Form {
 public:
  explicit PresentedForm(const Program& program);

  // The load event: centres the window, completes the caption, minimises it when the
  // program starts minimised, and asks whether another instance runs. True when this is
  // the instance that stays; then the constants, images and start time follow, the first box
  // of the focus order takes the focus and the boxes are shown.
  bool Form_Load(const std::function<bool()>& prev_instance);

  FormLogic& logic() { return logic_; }
  const Program& program() const { return program_; }
  const FormDesign& design() const { return design_; }
  // Runs after every yield of the logic, before the pending events (tests).
  void SetYieldHookForTesting(std::function<void()> hook) { yield_hook_ = std::move(hook); }

  // Form: the store of the box texts and colours, the yield and the showing.
  std::string Text(Box box) const override;
  void SetText(Box box, const std::string& text) override;
  void SetBackColor(Box box, std::uint32_t color) override;
  void ShowWaiting(const std::string& caption_note, const std::string& every_cause) override;
  void DoEvents() override;
  void Present() override;

 protected:
  // A box's text as the user typed it: a readable number becomes the box's value.
  void Typed(Box box, const std::string& text);
  // The window's events, as its toolkit reports them.
  void Timer1Fired();
  void RemainingBoxDoubleClicked();
  // A box lost the focus: it shows its value again, not an edit that is no number.
  void BoxLeft(Box box);
  // The user asks to close the window: true when it may close now; during a pass the window
  // is hidden and closes once the pass has ended.
  bool CloseAsked();
  // Fits a box's shown text to it: the file in progress shows the end of its path, the
  // part that tells files apart, and its whole path on hover (or, naming what waits, the
  // start of its text and every waiting cause on hover); a number that does not fit is shown
  // in a smaller font while it does not fit.
  void FitBox(Box box);

  // The toolkit's part of showing: a box's text (true when it differed from what the control
  // showed) and its background colour (0x00BBGGRR).
  virtual bool ShowBoxText(Box box, const std::string& text) = 0;
  virtual void ShowBoxColor(Box box, std::uint32_t color) = 0;
  // A one-shot timer after which the window calls Present(); false when none can be set.
  virtual bool StartPresentTimer(int ms) = 0;
  virtual void StopPresentTimer() = 0;
  // Processes the pending window events once.
  virtual void ProcessPendingEvents() = 0;
  // The toolkit's part of the load event.
  virtual void Centre() = 0;
  virtual void AppendToCaption(const std::string& text) = 0;
  // The whole caption, once loaded (the loaded one and what waits).
  virtual void ShowCaption(const std::string& caption) = 0;
  virtual void StartMinimised() = 0;
  virtual void ShowWindowIcon() = 0;
  virtual void FocusFirst(const ControlDesign& box) = 0;
  virtual void Loaded() {}
  // The toolkit's part of fitting a box's text.
  // The file-in-progress box: its tooltip, and whether it shows the end of its text.
  virtual void ShowInProgress(Box box, const std::string& tooltip, bool show_end) = 0;
  virtual void ShrinkToFit(Box box) = 0;
  // The toolkit's part of a close and of the run-time error: Timer1 stopped; the window
  // hidden, or closed for good (which ends the program); the report in a message box owned by
  // the window, restored first when minimised, returning once the box is closed.
  virtual void StopTimer1() = 0;
  virtual void HideUntilClosed() = 0;
  virtual void CloseNow() = 0;
  virtual void ShowRunTimeError(const std::string& report) = 0;

  const Program& program_;
  const FormDesign design_;
  FormLogic logic_;

 private:
  std::array<std::string, kBoxCount> texts_;
  std::array<std::uint32_t, kBoxCount> colors_{};
  std::array<bool, kBoxCount> dirty_{};
  bool any_dirty_ = false;
  bool present_scheduled_ = false;
  std::chrono::steady_clock::time_point presented_at_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point events_at_{};  // when pending events were last handled
  std::function<void()> yield_hook_;
  std::string loaded_caption_;   // the caption of the load event
  std::string caption_note_;     // what waits, after it
  std::string waiting_text_;     // the file-in-progress box's text that names what waits
  std::string waiting_tooltip_;  // and its tooltip
  bool tooltip_dirty_ = false;   // the box's tooltip is to be shown again
  bool ended_ = false;           // a run-time failure has stopped the program
  bool close_pending_ = false;

  // Runs an event's logic; a run-time failure is reported and ends the program. After a
  // failure no event's logic runs any more.
  void Guarded(const std::function<void()>& event);
  // From the moment of the failure no tick and no pass runs (the timers are stopped, and a
  // tick already queued finds the program ended); the failure is shown in one message box
  // owned by the window and on standard error; the program ends with status 1 once the box is
  // closed.
  [[noreturn]] void EndWithRunTimeError(int number, const std::string& description);
};

// The interval of Timer1: TARVEX_TICK_MS when set to a positive number (tests and
// demonstrations), else the designed one.
int Timer1IntervalMs(const ControlDesign& timer);

// The text box first in the focus order of a design (the lowest tab index); null for none.
const ControlDesign* FirstInFocusOrder(const FormDesign& design);

// "Run-time error 'N':", the heading of the run-time error's box; the whole report is also
// written to standard error, as "<title>: <heading> <description>".
std::string RunTimeErrorHeading(int number);
void TellRunTimeError(const std::string& title, int number, const std::string& description);

}  // namespace tarvex
