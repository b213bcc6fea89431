#include "program2/run_program.h"

#include <QApplication>
#include <clocale>

#include "program2/frm_window.h"
#include "shared/Module_PreviousInstanceActivate.h"

namespace tarvex {

int RunProgram(const Program& program, int argc, char** argv) {
  QApplication app(argc, argv);
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
