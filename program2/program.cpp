#include "program2/program.h"

namespace tarvex {

const Program& Program2() {
  static const Program program = [] {
    Program p;
    p.title = "~~Tarvex2";
    p.project = "VbTarvex2";
    p.form_name = "frm_Tarvex2";
    p.caption = "Tarvex 2";
    p.source_folder = "P:\\PMail\\Mail\\_Remail";
    p.file_pattern = "*.cnm";
    p.target_folder = "P:\\Ostrand\\Mail\\Mailin";
    p.log_file = "P:\\Ostrand\\Logs\\~Mailin.log";
    p.initial_period = "1";
    p.timer_box_names = {"txt_TIM_Per", "txt_TIM_Rem", "txt_TIM_Ela", "txt_TIM_NbT"};
    p.timer_label_names = {"lbl_TIM_Per", "lbl_TIM_Rem", "lbl_TIM_Ela", "lbl_TIM_NbT"};
    return p;
  }();
  return program;
}

}  // namespace tarvex
