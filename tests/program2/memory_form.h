#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "program2/form.h"
#include "program2/form_description.h"

namespace tarvex_test {

// A form held in memory: starts with the design's initial texts, records every call in
// order, and runs a test's code at each yield (a tick or an edit in the middle of a pass).
class MemoryForm : public tarvex::Form {
 public:
  explicit MemoryForm(const tarvex::Program& program) : program_(program) {
    for (const auto& c : tarvex::DescribeForm(program).controls) {
      if (c.box) texts_[static_cast<std::size_t>(*c.box)] = c.text;
    }
  }

  std::string Text(tarvex::Box box) const override { return texts_[Index(box)]; }
  void SetText(tarvex::Box box, const std::string& text) override {
    texts_[Index(box)] = text;
    events.push_back(tarvex::BoxName(program_, box) + "=" + text);
  }
  void SetBackColor(tarvex::Box box, std::uint32_t color) override {
    colors[Index(box)] = color;
    events.push_back(tarvex::BoxName(program_, box) + ".color=" + std::to_string(color));
  }
  void SetImageVisible(tarvex::Image image, bool visible) override {
    images[static_cast<std::size_t>(image)] = visible;
    events.push_back("image" + std::to_string(static_cast<int>(image)) + (visible ? "+" : "-"));
  }
  void SetInfoLabelToolTip(int index, const std::string& text) override {
    tooltips[static_cast<std::size_t>(index - 4)] = text;
    events.push_back("tooltip" + std::to_string(index) + "=" + text);
  }
  void ShowWaiting(const std::string& note, const std::string& every) override {
    caption_note = note;
    waiting_tooltip = every;
    events.push_back("waiting=" + note);
  }
  void SetMousePointer(int pointer) override {
    this->pointer = pointer;
    events.push_back("pointer=" + std::to_string(pointer));
  }
  void SetEnabled(bool enabled) override {
    this->enabled = enabled;
    events.push_back(enabled ? "enabled" : "disabled");
  }
  void DoEvents() override {
    ++yields;
    events.push_back("yield");
    if (on_yield) on_yield();
  }
  void Present() override { ++presents; }

  // What the user typed and the box accepted.
  void Type(tarvex::Box box, const std::string& text) { texts_[Index(box)] = text; }

  std::vector<std::string> events;
  std::function<void()> on_yield;
  std::array<std::uint32_t, tarvex::kBoxCount> colors{};
  std::array<bool, 3> images{true, true, true};
  std::array<std::string, 2> tooltips;
  std::string caption_note, waiting_tooltip;
  int pointer = 0;
  bool enabled = true;
  int yields = 0;
  int presents = 0;

 private:
  static std::size_t Index(tarvex::Box box) { return static_cast<std::size_t>(box); }
  const tarvex::Program& program_;
  std::array<std::string, tarvex::kBoxCount> texts_;
};

}  // namespace tarvex_test
