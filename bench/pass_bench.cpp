// A pass does a constant amount of work per file: files per second for 2,000 and for
// 20,000 files with the in-memory form, and the ratio of the per-file times.
#include <cstdio>

#include "bench/bench_support.h"
#include "program2/form_logic.h"

using namespace tarvex_bench;

int main() {
  BenchDrive drive;
  double per_file[2];
  const int sizes[2] = {2000, 20000};
  for (int k = 0; k < 2; ++k) {
    drive.Clear("PMail/Mail/_Remail");
    drive.Clear("Ostrand/Mail/Mailin");
    drive.Fill("PMail/Mail/_Remail", sizes[k]);
    NullForm form;
    tarvex::FormLogic logic(tarvex::Program2(), form);
    const double seconds = Time([&] { logic.ProcessAction(); });
    per_file[k] = seconds / sizes[k];
    std::printf("pass over %6d files: %8.0f files/s  (%.1f us per file)\n", sizes[k],
                sizes[k] / seconds, per_file[k] * 1e6);
  }
  std::printf("per-file time, 20,000 against 2,000: ratio %.2f (constant work per file: ~1)\n",
              per_file[1] / per_file[0]);
  return 0;
}
