#include "program0/program0.h"
#include "program2/run_program.h"

int main(int argc, char** argv) { return tarvex::RunProgram(tarvex::Program0(), argc, argv); }
