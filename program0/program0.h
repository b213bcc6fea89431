#pragma once

#include "program2/program.h"

namespace tarvex {

// Program 0: every file of "P:\Ostrand\Mail\~Pegasus" with its own schedule controls, a
// window that is not minimised, elapsed minutes counted by ticks, a double-click that
// copies the period into the remaining box before the pass, a pause of 100 ms after each
// file, no throughput estimate, and a safe rename without the "wwwwww" condition.
const Program& Program0();

}  // namespace tarvex
