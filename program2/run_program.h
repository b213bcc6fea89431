#pragma once

#include "program2/program.h"

namespace tarvex {

// The start of a program: creates the window and its timer from the design values, raises
// the load event, and unless another instance runs, shows the window and runs the message
// loop until it is closed. Returns the exit status.
int RunProgram(const Program& program, int argc, char** argv);

}  // namespace tarvex
