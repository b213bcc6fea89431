// Prints the first three random names of a fresh process.
#include <cstdio>

#include "shared/Module_MySafeRename.h"

int main() {
  for (int i = 0; i < 3; ++i) std::printf("%s\n", tarvex::RandomName().c_str());
  return 0;
}
