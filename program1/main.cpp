#include "program1/program1.h"
#include "program2/run_program.h"

int main(int argc, char** argv) { return tarvex::RunProgram(tarvex::Program1(), argc, argv); }
