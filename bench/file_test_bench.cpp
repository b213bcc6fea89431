// The cost of a file test for an absent name must not grow with the size of the folder:
// a folder of 100,000 entries against one of 10, also while the program renames files
// into the big folder between the tests.
#include <cstdio>

#include "bench/bench_support.h"
#include "platform/file_system.h"

using namespace tarvex_bench;

namespace {

double MedianAbsentTest(const char* folder, int calls) {
  std::vector<double> t;
  t.reserve(static_cast<std::size_t>(calls));
  const std::string path = std::string("P:\\") + folder + "\\Absent-Name.TXT";
  for (int i = 0; i < calls; ++i) {
    t.push_back(Time([&] { platform::FileTest(path); }));
  }
  return Median(t);
}

}  // namespace

int main() {
  BenchDrive drive;
  drive.Clear("small");
  drive.Clear("big");
  drive.Clear("src");
  drive.Fill("small", 10);
  drive.Fill("big", 100000);
  drive.Fill("src", 2000, "m");
  platform::FileTest("P:\\small\\warm");  // indexes built, caches warm
  platform::FileTest("P:\\big\\warm");

  const double small = MedianAbsentTest("small", 20000);
  const double big = MedianAbsentTest("big", 20000);
  std::vector<double> interleaved;
  char name[64];
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(name, sizeof name, "m%05d.cnm", i);
    platform::RenameNoReplace(std::string("P:\\src\\") + name, std::string("P:\\big\\") + name);
    interleaved.push_back(Time([] { platform::FileTest("P:\\big\\Absent-Name.TXT"); }));
  }
  const double renamed = Median(interleaved);
  std::printf("file test, absent name, median of many calls:\n");
  std::printf("  folder of 10 entries:                 %8.2f us (baseline)\n", small * 1e6);
  std::printf("  folder of 100,000 entries:            %8.2f us  ratio %.2f (target <= 2)\n",
              big * 1e6, big / small);
  std::printf("  same, with own renames between tests: %8.2f us  ratio %.2f (target <= 2)\n",
              renamed * 1e6, renamed / small);
  return 0;
}
