#pragma once

#include "program2/program.h"

namespace tarvex {

// Program 1: every file of "P:\Ostrand\Mail\~Pegasus", a pause of 100 ms after each file,
// no throughput estimate.
const Program& Program1();

}  // namespace tarvex
