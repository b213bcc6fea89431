// Where the time of a pass goes, measured in one process with the real window (offscreen):
// - the window's pass against the in-memory form's pass over the same 20,000 files
//   (the window may add at most 10%);
// - the window's pass against the least any program can do for the same work: a plain
//   loop that appends one log line (open, write, close) and renames without replacing,
//   per file (target: at most 1.5 times);
// - the same pass into a target folder that already holds 100,000 files against an empty
//   target (target: at most 1.3 times);
// - the time from creating the window to its being shown.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <cstdio>

#include "bench/bench_support.h"
#include "platform/date_time.h"
#include "program2/frm_window.h"
#include "program2/transfer_log.h"

using namespace tarvex_bench;

namespace {

constexpr int kFiles = 20000;
constexpr char kSource[] = "PMail/Mail/_Remail";
constexpr char kTarget[] = "Ostrand/Mail/Mailin";

void Reset(const BenchDrive& drive, int in_target) {
  drive.Clear(kSource);
  drive.Clear(kTarget);
  std::filesystem::remove(drive.Path("Ostrand/Logs/~Mailin.log"));
  drive.Fill(kSource, kFiles);
  if (in_target > 0) drive.Fill(kTarget, in_target, "old");
  platform::ForgetFolderIndexes();
  sync();
}

double MemoryPass() {
  NullForm form;
  tarvex::FormLogic logic(tarvex::Program2(), form);
  return Time([&] { logic.ProcessAction(); });
}

double WindowPass() {
  tarvex::FormWindow window(tarvex::Program2());
  window.Form_Load(nullptr);
  window.show();
  QCoreApplication::processEvents();
  return Time([&] { window.logic().ProcessAction(); });
}

double PlainLoop(const BenchDrive& drive) {
  const std::string log = drive.Path("Ostrand/Logs/~Mailin.log");
  const std::string source = drive.Path(kSource);
  const std::string target = drive.Path(kTarget);
  return Time([&] {
    char name[64];
    for (int i = 0; i < kFiles; ++i) {
      std::snprintf(name, sizeof name, "f%05d.cnm", i);
      const std::string line = tarvex::TransferLogRecord(platform::Now(), 12);
      const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0 || write(fd, line.data(), line.size()) < 0) std::abort();
      close(fd);
      renameat2(AT_FDCWD, (source + "/" + name).c_str(), AT_FDCWD, (target + "/" + name).c_str(),
                RENAME_NOREPLACE);
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  BenchDrive drive;

  // Start-up: from creating the window to its being shown.
  const double startup = Time([] {
    tarvex::FormWindow window(tarvex::Program2());
    window.Form_Load(nullptr);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) std::abort();
  });

  // The disk's own pace varies from pass to pass: each figure is the median of three runs,
  // taken in turn.
  Reset(drive, 0);
  MemoryPass();  // warm-up
  std::vector<double> memories, windows, plains, crowdeds;
  for (int round = 0; round < 3; ++round) {
    Reset(drive, 0);
    memories.push_back(MemoryPass());
    Reset(drive, 0);
    windows.push_back(WindowPass());
    Reset(drive, 0);
    plains.push_back(PlainLoop(drive));
    Reset(drive, 100000);
    crowdeds.push_back(WindowPass());
  }
  const double memory = Median(memories), window = Median(windows), plain = Median(plains),
               crowded = Median(crowdeds);

  std::printf("one pass over %d files (median of three):\n", kFiles);
  std::printf("  plain loop (log line + rename):     %7.3f s (baseline)\n", plain);
  std::printf("  in-memory form:                     %7.3f s\n", memory);
  std::printf("  real window (offscreen):            %7.3f s\n", window);
  std::printf("  window / in-memory form:            %7.2f (target <= 1.10)\n", window / memory);
  std::printf("  window / plain loop:                %7.2f (target <= 1.5)\n", window / plain);
  std::printf(
      "  window, 100,000 files in target:    %7.3f s, ratio %.2f to an empty target "
      "(target <= 1.3)\n",
      crowded, crowded / window);
  std::printf("window created to shown:              %7.1f ms (target < 300)\n", startup * 1e3);
  return 0;
}
