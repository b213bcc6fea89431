#include "program2/run_program.h"

int main(int argc, char** argv) { return tarvex::RunProgram(tarvex::Program2(), argc, argv); }
