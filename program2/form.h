#pragma once

#include <cstdint>
#include <string>

// The window as the scheduler and the pass see it. The box texts are the only store of the
// counters: the logic reads a text back, computes, and writes the text again.
namespace tarvex {

enum class Box : int {
  kTimPer,
  kTimRem,
  kTimEla,
  kTimNbT,  // the schedule boxes of FrameT
  kInfo3,
  kInfo4,
  kInfo5,
  kInfo6,
  kInfo7,
  kInfo8,
  kInfo9,
  kInfo10,
  kInfo11,
  kInfo12,
  kInfoK0,
  kInfoK1,
  kInfoK2,
  kInfoK3,
};
inline constexpr int kBoxCount = static_cast<int>(Box::kInfoK3) + 1;

// txt_Info(index) for index 3 to 12; txt_InfoK(index) for 0 to 3.
constexpr Box Info(int index) {
  return static_cast<Box>(static_cast<int>(Box::kInfo3) + index - 3);
}
constexpr Box InfoK(int index) { return static_cast<Box>(static_cast<int>(Box::kInfoK0) + index); }

enum class Image { kIco, kBad, kGoo };

// Colours as 0x00BBGGRR.
inline constexpr std::uint32_t kYellow = 0x0000FFFF;
inline constexpr std::uint32_t kGreen = 0x0000FF00;
inline constexpr std::uint32_t kRed = 0x000000FF;

inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerHourglass = 11;

class Form {
 public:
  virtual ~Form() = default;

  // The text of a box; for a box the user is editing, its last accepted value.
  virtual std::string Text(Box box) const = 0;
  virtual void SetText(Box box, const std::string& text) = 0;
  virtual void SetBackColor(Box box, std::uint32_t color) = 0;
  virtual void SetImageVisible(Image image, bool visible) = 0;
  // Tooltip of lbl_Info(index), index 4 or 5.
  virtual void SetInfoLabelToolTip(int index, const std::string& text) = 0;
  // What waits, as the last pass found it: a few words the caption carries after its own
  // (empty when nothing waits), and every waiting cause, one a line, for the tooltip of the
  // file-in-progress box, which names the first of them.
  virtual void ShowWaiting(const std::string& caption_note, const std::string& every_cause) = 0;
  virtual void SetMousePointer(int pointer) = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // Yields once to the message loop: pending events (ticks, input, repaints) run.
  virtual void DoEvents() = 0;
  // Shows every text and colour set so far, now (a window may defer them until then).
  virtual void Present() = 0;
};

}  // namespace tarvex
