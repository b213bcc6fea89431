#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace tarvex {

// What the double-click on the remaining-time box does.
enum class DoubleClick {
  kRunPass,                // run a pass at once
  kCopyPeriodThenRunPass,  // put the period into the box, then run a pass
};

// Everything in which the three programs differ. The pass, the scheduler and the window
// read it; none of them is copied per program.
struct Program {
  std::string title;      // the executable's name; single instance per title
  std::string project;    // project name
  std::string form_name;  // name of the window
  std::string caption;    // caption as designed; the source folder is appended at load
  std::string source_folder;
  std::string file_pattern;
  std::string target_folder;
  std::string log_file;
  std::string initial_period;

  // Names of the period, remaining, elapsed and count boxes and of their labels.
  std::array<std::string, 4> timer_box_names;
  std::array<std::string, 4> timer_label_names;
  bool timer_tooltips = true;          // tooltips on the schedule boxes
  bool timer_box_colours = true;       // green elapsed and count boxes
  bool magenta_frame_captions = true;  // frame captions in RGB(255,0,255)
  bool timer_in_frame = true;          // Timer1 belongs to FrameT (else to the window)
  bool minimized_at_start = true;
  bool elapsed_by_clock = true;     // from StartTime; else a count of handled ticks
  long pause_per_file_ms = 0;       // after every file handled, moved or empty
  bool throughput_estimate = true;  // tooltips of lbl_Info(4) and lbl_Info(5)
  DoubleClick double_click = DoubleClick::kRunPass;
  bool wwwwww_condition = true;  // the safe rename never keeps the pair stem "wwwwww"
  // Focus order of controls that differs from program 2's ("name" or "name(index)").
  std::vector<std::pair<std::string, int>> tab_order;
};

// Program 2: moves "*.cnm" from "P:\PMail\Mail\_Remail".
const Program& Program2();

}  // namespace tarvex
