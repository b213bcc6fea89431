#include <windows.h>
// needs the types of <windows.h>
#include <commctrl.h>

#include "program2/frm_window_win32.h"
#include "program2/run_program.h"
#include "shared/Module_PreviousInstanceActivate.h"

namespace tarvex {

// The programs read no command line.
int RunProgram(const Program& program, int, char**) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  NativeWindow window(program, CreateApplicationWindow(program.title));
  SingleInstance instance(program.title);
  const bool stays = window.Form_Load([&] {
    if (!instance.PrevInstance(nullptr)) return false;
    PreviousInstanceActivate(program.title, window.handle());
    return true;
  });
  if (!stays) return 0;
  window.Show();
  return window.RunMessageLoop();
}

}  // namespace tarvex
