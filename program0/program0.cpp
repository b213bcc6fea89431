#include "program0/program0.h"

namespace tarvex {

const Program& Program0() {
  static const Program program = [] {
    Program p = Program2();
    p.title = "~~Tarvex";
    p.project = "VbTarvex";
    p.form_name = "frm_Tarvex";
    p.caption = "Tarvex";
    p.source_folder = "P:\\Ostrand\\Mail\\~Pegasus";
    p.file_pattern = "*.*";
    p.initial_period = "2";
    p.timer_box_names = {"Text1", "Text2", "Text3", "Text4"};
    p.timer_label_names = {"Label1", "Label2", "Label3", "Label4"};
    p.timer_tooltips = false;
    p.timer_box_colours = false;
    p.magenta_frame_captions = false;
    p.timer_in_frame = false;
    p.minimized_at_start = false;
    p.elapsed_by_clock = false;
    p.pause_per_file_ms = 100;
    p.throughput_estimate = false;
    p.double_click = DoubleClick::kCopyPeriodThenRunPass;
    p.wwwwww_condition = false;
    p.tab_order = {
        {"txt_InfoK(0)", 0},  {"txt_InfoK(1)", 1},  {"txt_InfoK(2)", 2},  {"txt_InfoK(3)", 3},
        {"Text1", 4},         {"Text2", 5},         {"FrameT", 6},        {"Text3", 7},
        {"Text4", 8},         {"txt_Info(3)", 9},   {"txt_Info(4)", 10},  {"txt_Info(5)", 11},
        {"txt_Info(6)", 12},  {"txt_Info(7)", 13},  {"txt_Info(8)", 14},  {"txt_Info(9)", 15},
        {"txt_Info(10)", 16}, {"txt_Info(11)", 17}, {"txt_Info(12)", 18}, {"Label1", 19},
        {"Label2", 20},       {"Label3", 21},       {"FrameK", 22},       {"lbl_InfoK(3)", 23},
        {"lbl_InfoK(2)", 24}, {"lbl_InfoK(1)", 25}, {"lbl_InfoK(0)", 26}, {"Label4", 27},
        {"FrameP", 28},       {"FrameR", 29},       {"lbl_Info(5)", 30},  {"lbl_Info(4)", 31},
    };
    return p;
  }();
  return program;
}

}  // namespace tarvex
