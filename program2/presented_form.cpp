#include "program2/presented_form.h"

#include <cstdio>
#include <cstdlib>

#include "platform/run_time_error.h"
#include "program2/box_input.h"

namespace tarvex {
namespace {

constexpr int kFrameIntervalMs = 16;
// A yield hands the window its pending events at most this often: asking the toolkit costs
// more than moving a file, and a user cannot tell 4 ms apart.
constexpr auto kYieldInterval = std::chrono::milliseconds(4);
constexpr std::uint32_t kColorSet = 0x80000000u;  // a colour the program has set

}  // namespace

PresentedForm::PresentedForm(const Program& program)
    : program_(program), design_(DescribeForm(program)), logic_(program, *this) {
  for (const ControlDesign& c : design_.controls) {
    if (c.box) texts_[static_cast<std::size_t>(*c.box)] = c.text;
  }
}

bool PresentedForm::Form_Load(const std::function<bool()>& prev_instance) {
  // 1. Centre on the screen.
  Centre();
  // 2. Caption.
  loaded_caption_ = design_.caption + " " + program_.source_folder;
  AppendToCaption(" " + program_.source_folder);
  // 3. Minimised.
  if (program_.minimized_at_start) StartMinimised();
  // 4. Another instance: it is brought forward and this one ends unseen.
  if (prev_instance && prev_instance()) return false;
  // 5, 6, 8: constants, images, start time; 7: the icon picture.
  logic_.Form_Load();
  ShowWindowIcon();
  if (const ControlDesign* first = FirstInFocusOrder(design_)) FocusFirst(*first);
  Present();
  Loaded();
  return true;
}

std::string PresentedForm::Text(Box box) const { return texts_[static_cast<std::size_t>(box)]; }

void PresentedForm::SetText(Box box, const std::string& text) {
  const auto i = static_cast<std::size_t>(box);
  texts_[i] = text;
  dirty_[i] = true;
  any_dirty_ = true;
  if (!present_scheduled_) present_scheduled_ = StartPresentTimer(kFrameIntervalMs);
}

void PresentedForm::SetBackColor(Box box, std::uint32_t color) {
  const auto i = static_cast<std::size_t>(box);
  colors_[i] = color | kColorSet;
  dirty_[i] = true;
  any_dirty_ = true;
  if (!present_scheduled_) present_scheduled_ = StartPresentTimer(kFrameIntervalMs);
}

void PresentedForm::Typed(Box box, const std::string& text) {
  if (IsReadableBoxNumber(text)) texts_[static_cast<std::size_t>(box)] = text;
}

void PresentedForm::Timer1Fired() {
  Guarded([this] { logic_.Timer1_Timer(); });
}

void PresentedForm::RemainingBoxDoubleClicked() {
  const bool text2 = program_.timer_box_names[1] == "Text2";
  Guarded([this, text2] { text2 ? logic_.Text2_DblClick() : logic_.txt_TIM_Rem_DblClick(); });
}

void PresentedForm::BoxLeft(Box box) {
  if (ShowBoxText(box, texts_[static_cast<std::size_t>(box)])) FitBox(box);
}

bool PresentedForm::CloseAsked() {
  if (!logic_.InPass()) return true;
  close_pending_ = true;
  HideUntilClosed();
  return false;
}

void PresentedForm::ShowWaiting(const std::string& caption_note, const std::string& every_cause) {
  if (caption_note != caption_note_) {
    caption_note_ = caption_note;
    ShowCaption(loaded_caption_ + caption_note_);
  }
  waiting_text_ = every_cause.empty() ? std::string() : Text(Info(3));
  if (every_cause != waiting_tooltip_) {
    waiting_tooltip_ = every_cause;
    SetText(Info(3), Text(Info(3)));  // its tooltip is shown with it
    tooltip_dirty_ = true;
  }
}

void PresentedForm::FitBox(Box box) {
  if (box == Info(3)) {
    const std::string& text = texts_[static_cast<std::size_t>(box)];
    const bool waiting = !waiting_text_.empty() && text == waiting_text_;
    ShowInProgress(box, waiting ? waiting_tooltip_ : text, !waiting);
  } else {
    ShrinkToFit(box);
  }
}

void PresentedForm::Guarded(const std::function<void()>& event) {
  if (ended_) return;
  try {
    event();
  } catch (const platform::RunTimeError& e) {
    EndWithRunTimeError(e.number(), e.description());
  }
  if (close_pending_ && !logic_.InPass()) {
    close_pending_ = false;
    CloseNow();
  }
}

void PresentedForm::EndWithRunTimeError(int number, const std::string& description) {
  ended_ = true;
  StopTimer1();
  // Behind the box the window shows what the pass had shown before the failing step (the
  // file in hand, its colour, its counts), not the last frame shown before it; a frame still
  // scheduled is called off there.
  Present();
  TellRunTimeError(program_.title, number, description);
  ShowRunTimeError(RunTimeErrorHeading(number) + "\n\n" + description);
  std::_Exit(1);
}

void PresentedForm::DoEvents() {
  const auto now = std::chrono::steady_clock::now();
  if (any_dirty_ && now - presented_at_ >= std::chrono::milliseconds(kFrameIntervalMs)) {
    Present();
  }
  if (yield_hook_) yield_hook_();
  if (now - events_at_ < kYieldInterval) return;
  events_at_ = now;
  ProcessPendingEvents();
}

void PresentedForm::Present() {
  presented_at_ = std::chrono::steady_clock::now();
  if (present_scheduled_) {
    StopPresentTimer();
    present_scheduled_ = false;
  }
  if (!any_dirty_) return;
  any_dirty_ = false;
  for (std::size_t i = 0; i < dirty_.size(); ++i) {
    if (!dirty_[i]) continue;
    dirty_[i] = false;
    const bool tooltip = tooltip_dirty_ && static_cast<Box>(i) == Info(3);
    if (ShowBoxText(static_cast<Box>(i), texts_[i]) || tooltip) FitBox(static_cast<Box>(i));
    if (tooltip) tooltip_dirty_ = false;
    if (colors_[i] & kColorSet) ShowBoxColor(static_cast<Box>(i), colors_[i] & 0x00FFFFFFu);
  }
}

int Timer1IntervalMs(const ControlDesign& timer) {
  const char* tick = std::getenv("TARVEX_TICK_MS");
  const long ms = tick != nullptr ? std::strtol(tick, nullptr, 10) : 0;
  return ms > 0 && ms <= 0x7FFFFFFF ? static_cast<int>(ms) : timer.timer_interval_ms;
}

const ControlDesign* FirstInFocusOrder(const FormDesign& design) {
  const ControlDesign* first = nullptr;
  for (const ControlDesign& c : design.controls) {
    if (c.kind == ControlKind::kTextBox && (first == nullptr || c.tab_index < first->tab_index)) {
      first = &c;
    }
  }
  return first;
}

std::string RunTimeErrorHeading(int number) {
  return "Run-time error '" + std::to_string(number) + "':";
}

void TellRunTimeError(const std::string& title, int number, const std::string& description) {
  std::fprintf(stderr, "%s: %s %s\n", title.c_str(), RunTimeErrorHeading(number).c_str(),
               description.c_str());
  std::fflush(stderr);
}

}  // namespace tarvex
