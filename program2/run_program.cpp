#include "program2/run_program.h"

#include <QApplication>
#include <clocale>

#include "program2/frm_window.h"
#include "shared/Module_PreviousInstanceActivate.h"

namespace tarvex {

int RunProgram(const Program& program, int argc, char** argv) {
  // The programs read no command line: the toolkit gets none of it either (no -reverse,
  // -platform or -style from a stray argument).
  int toolkit_argc = argc > 0 ? 1 : 0;
  char* toolkit_argv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
  QApplication app(toolkit_argc, toolkit_argv);
  QApplication::setApplicationName(QString::fromStdString(program.title));
  // Box numbers read the decimal separator through their own locale object; keep the
  // C library's numeric conventions fixed whatever Qt set from the environment.
  std::setlocale(LC_NUMERIC, "C");

  FormWindow window(program);
  SingleInstance instance(program.title);
  const bool stays = window.Form_Load([&] {
    if (!instance.PrevInstance([&window] { window.Activate(); })) return false;
    PreviousInstanceActivate(program.title);
    return true;
  });
  if (!stays) return 0;
  window.show();
  return QApplication::exec();
}

}  // namespace tarvex
