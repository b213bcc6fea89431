// A pass into a target that others change and into a very large target, each beside its
// baseline from the same run, with the folder indexes kept by change reports and (as on a
// drive mounted from another machine) by the folder's change times:
// - a pass of 20,000 files while another process changes the target every 100 ms, against
//   a quiet target (target: at most 1.1 times);
// - a pass of 20,000 files into a target of 1,000,000 entries, once its index is read,
//   against an empty target (target: at most 1.1 times), and the index's bytes per entry (target:
//   at most 24);
// - a long run into that target with a consumer taking one file from it between passes:
//   the CPU time of each one-file pass (target: at most 20 ms).
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_support.h"
#include "program2/form_logic.h"

using namespace tarvex_bench;

namespace {

constexpr int kFiles = 20000;
constexpr int kLarge = 1000000;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

long ResidentKiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = 0;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) break;
  }
  if (f != nullptr) std::fclose(f);
  return kib;
}

double Pass() {
  NullForm form;
  tarvex::FormLogic logic(tarvex::Program2(), form);
  return Time([&] { logic.ProcessAction(); });
}

// Another process that changes the target every 100 ms: a file made and taken away.
pid_t StartChanger(const BenchDrive& drive) {
  const std::string name = drive.Path(kTarget) / "neighbour.tmp";
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) {
      std::FILE* f = std::fopen(name.c_str(), "w");
      if (f != nullptr) std::fclose(f);
      usleep(50000);
      unlink(name.c_str());
      usleep(50000);
    }
  }
  return pid;
}

// A consumer that takes the target's old entries one by one, every 100 ms.
pid_t StartConsumer(const BenchDrive& drive) {
  const std::string target = drive.Path(kTarget);
  const pid_t pid = fork();
  if (pid == 0) {
    char name[64];
    for (int i = 0;; ++i) {
      std::snprintf(name, sizeof name, "/old%07d", i);
      unlink((target + name).c_str());
      usleep(100000);
    }
  }
  return pid;
}

void Stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void Reset(const BenchDrive& drive, bool forget = true, const std::string& prefix = "f") {
  drive.Clear(kSource);
  std::filesystem::remove(drive.Path(kLog));
  drive.Fill(kSource, kFiles, prefix);
  if (forget) platform::UseFreshFolderIndexes();
  sync();
}

void Report(const char* how, const BenchDrive& drive) {
  std::printf("index kept by %s:\n", how);

  std::vector<double> quiet, busy;
  for (int round = 0; round < 3; ++round) {
    drive.Clear(kTarget);
    Reset(drive);
    quiet.push_back(Pass());
    drive.Clear(kTarget);
    Reset(drive);
    const pid_t changer = StartChanger(drive);
    busy.push_back(Pass());
    Stop(changer);
  }
  std::printf("  pass of %d files, quiet target:            %7.3f s (baseline)\n", kFiles,
              Median(quiet));
  std::printf("  same, target changed every 100 ms:          %7.3f s, ratio %.2f (target <= 1.1)\n",
              Median(busy), Median(busy) / Median(quiet));

  drive.Clear(kTarget);
  drive.FillLarge(kTarget, kLarge);
  // The first pass reads the target in full; the index then stays with the program, which
  // runs for months, and later passes meet it current. Each pass brings names of its own,
  // so the target grows by 20,000 entries a round.
  Reset(drive, true, "a");
  const long rss = ResidentKiB();
  const double first_large = Pass();
  const long rss_growth = ResidentKiB() - rss;
  const std::size_t index_bytes = platform::FolderIndexBytes();
  std::vector<double> large;
  for (int round = 0; round < 3; ++round) {
    Reset(drive, false, "r" + std::to_string(round));
    large.push_back(Pass());
  }
  std::printf("  same, target of %d entries:            %7.3f s, ratio %.2f (target <= 1.1)\n",
              kLarge, Median(large), Median(large) / Median(quiet));
  std::printf("  the first such pass, reading the target:    %7.3f s, ratio %.2f\n", first_large,
              first_large / Median(quiet));
  std::printf("  index: %.1f bytes per entry (target <= 24); resident memory grew %ld KiB\n",
              static_cast<double>(index_bytes) / kLarge, rss_growth);

  // The long run: one file a pass, a consumer emptying the target meanwhile.
  drive.Clear(kSource);
  NullForm form;
  tarvex::FormLogic logic(tarvex::Program2(), form);
  logic.ProcessAction();  // meets the index current, as in a long run
  const pid_t consumer = StartConsumer(drive);
  std::vector<double> cpu;
  for (int pass = 0; pass < 20; ++pass) {
    usleep(150000);
    std::FILE* f =
        std::fopen((drive.Path(kSource) / ("n" + std::to_string(pass) + ".cnm")).c_str(), "w");
    if (f == nullptr) std::abort();
    std::fputs("new\n", f);
    std::fclose(f);
    const double before = CpuSeconds();
    logic.ProcessAction();
    cpu.push_back(CpuSeconds() - before);
  }
  Stop(consumer);
  double worst = 0;
  for (double c : cpu) worst = std::max(worst, c);
  std::printf(
      "  long run with a consumer, one file a pass: CPU per pass median %.1f ms, worst"
      " %.1f ms (target <= 20)\n",
      Median(cpu) * 1e3, worst * 1e3);
}

}  // namespace

int main() {
  BenchDrive drive;
  Report("change reports (folders of 4,096 names or more)", drive);
  platform::FollowChangeReportsFrom(SIZE_MAX);
  Report("the folder's change times (a drive from another machine)", drive);
  return 0;
}
