#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "program2/form.h"
#include "program2/program.h"

// The window's design values as data: every control with its kind, container, place and
// size in twips, text, colours and focus order. Both windows, Qt's and the native one, are
// built from it.
namespace tarvex {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

enum class ControlKind { kFrame, kTextBox, kLabel, kImage, kTimer };
enum class Picture { kNone, kSnowflake, kSun };

struct ControlDesign {
  std::string name;
  int index = -1;  // member of a control array when 0 or more
  ControlKind kind = ControlKind::kLabel;
  std::string container;                         // "" for the window itself
  int left = 0, top = 0, width = 0, height = 0;  // twips, relative to the container
  std::string text;                              // caption or initial text
  std::optional<Rgb> back_color;                 // none: the platform's default
  std::optional<Rgb> caption_color;              // frames only
  bool align_right = false;
  bool read_only = false;
  bool flat = false;
  int tab_index = -1;
  std::string tooltip;
  Picture picture = Picture::kNone;
  std::optional<Box> box;      // the Form box this text box stands for
  std::optional<Image> image;  // the Form image this image control stands for
  int timer_interval_ms = 0;   // timers only

  // "txt_Info(5)" for an array member, else the name.
  std::string ObjectName() const;
};

struct FormDesign {
  std::string name;
  std::string caption;  // as designed
  Rgb back_color;
  int client_width = 0, client_height = 0;  // twips
  std::vector<ControlDesign> controls;      // containers first, then their children
};

FormDesign DescribeForm(const Program& program);

// The object name of the control that shows a box ("txt_TIM_Rem", "Text2", "txt_Info(5)").
std::string BoxName(const Program& program, Box box);

}  // namespace tarvex
