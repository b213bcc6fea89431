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
// events at most every few milliseconds. Each window derives from this and does
// only what its toolkit does.
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
  void DoEvents() override;
  void Present() override;

 protected:
  // A box's text as the user typed it: a readable number becomes the box's value.
  void Typed(Box box, const std::string& text);

  // The toolkit's part of showing: a box's text (when it differs from what the control
  // shows) and its background colour (0x00BBGGRR).
  virtual void ShowBoxText(Box box, const std::string& text) = 0;
  virtual void ShowBoxColor(Box box, std::uint32_t color) = 0;
  // A one-shot timer after which the window calls Present(); false when none can be set.
  virtual bool StartPresentTimer(int ms) = 0;
  virtual void StopPresentTimer() = 0;
  // Processes the pending window events once.
  virtual void ProcessPendingEvents() = 0;
  // The toolkit's part of the load event.
  virtual void Centre() = 0;
  virtual void AppendToCaption(const std::string& text) = 0;
  virtual void StartMinimised() = 0;
  virtual void ShowWindowIcon() = 0;
  virtual void FocusFirst(const ControlDesign& box) = 0;
  virtual void Loaded() {}

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
