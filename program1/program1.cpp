#include "program1/program1.h"

namespace tarvex {

const Program& Program1() {
  static const Program program = [] {
    Program p = Program2();
    p.title = "~~Tarvex1";
    p.project = "VbTarvex1";
    p.form_name = "frm_Tarvex1";
    p.caption = "Tarvex 1";
    p.source_folder = "P:\\Ostrand\\Mail\\~Pegasus";
    p.file_pattern = "*.*";
    p.pause_per_file_ms = 100;
    p.throughput_estimate = false;
    // The remaining box's tooltip promises an immediate pass on double-click: keep it.
    p.double_click = DoubleClick::kRunPass;
    return p;
  }();
  return program;
}

}  // namespace tarvex
