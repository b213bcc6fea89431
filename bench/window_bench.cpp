// Where the time of a pass goes, measured in one process with the real window (offscreen),
// over 20,000 files, seven repetitions taken in turn (the disk's pace varies from one run to
// the next, so each ratio is also taken pair by pair, within a repetition):
// - the window's pass and the in-memory form's pass against a safe-floor loop that makes
//   only the calls that every safety property of a pass needs (targets: the window at most
//   1.12 times the floor, the in-memory form at most 1.08 times);
// - beside them a plain loop that appends one log line and renames without replacing, and
//   peers on the same files: "mv -n" and a short Python mover with a log line;
// - the longest gap between two handled events of the window during a pass of 20,000 files,
//   a pass whose listing holds 200,000 names, and the first pass into a target of 1,000,000
//   entries (target: at most 20 ms);
//   beside the longest gap over as long a time with no pass (what the machine itself adds);
// - the time from creating the window to its being shown.
// "window_bench calls none|pass|window|floor" makes 2,000 files and runs one pass (of the
// in-memory form or the window) or one floor loop over them, for counting system calls
// (bench/run.sh runs it under strace -c) and for profiles.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "bench/bench_support.h"
#include "platform/date_time.h"
#include "program2/frm_window.h"
#include "program2/transfer_log.h"

using namespace tarvex_bench;

namespace {

constexpr int kFiles = 20000;
// BENCH_ROUNDS sets fewer repetitions, and BENCH_RATIOS_ONLY leaves out the longest gaps and
// the start-up, for a quick look while working on the pass.
const int kRounds =
    std::getenv("BENCH_ROUNDS") != nullptr ? std::atoi(std::getenv("BENCH_ROUNDS")) : 7;

void Reset(const BenchDrive& drive, int files = kFiles) {
  drive.Clear(kSource);
  drive.Clear(kTarget);
  std::filesystem::remove(drive.Path(kLog));
  drive.Fill(kSource, files);
  platform::UseFreshFolderIndexes();
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

// The longest gap between handled events during a window's pass, and beside it the longest
// gap over as long a time while the thread does nothing but hand events over (a timer due
// every millisecond fires at each handling of the window's events): what the machine itself (a
// virtual machine's host taking its processors away now and then) adds to any gap.
struct Gaps {
  double pass = 0, machine = 0;
};

Gaps LongestEventGap() {
  tarvex::FormWindow window(tarvex::Program2());
  window.Form_Load(nullptr);
  window.show();
  QCoreApplication::processEvents();
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
    last = now;
  });
  probe.start(1);
  clock.start();
  window.logic().ProcessAction();
  Gaps gaps;
  const qint64 took = clock.nsecsElapsed();
  gaps.pass = static_cast<double>(std::max(longest, took - last)) * 1e-9;
  longest = 0;
  clock.restart();
  last = 0;
  while (clock.nsecsElapsed() < took) QCoreApplication::processEvents();
  gaps.machine = static_cast<double>(std::max(longest, clock.nsecsElapsed() - last)) * 1e-9;
  return gaps;
}

void PrintGap(const std::string& what, const Gaps& gaps) {
  std::printf("  %-36s %7.1f ms (the machine alone over as long: %.1f ms)\n", what.c_str(),
              gaps.pass * 1e3, gaps.machine * 1e3);
}

// The least a loop can do while keeping every safety property of a pass, in plain C++ with
// its folders held open: the source folder's names read and put in order (a mover must
// find its files, and moves them in the order of their names), then 13 calls a file:
// - the entry's kind and size, without following a link (1);
// - a read lease, which only a file that no process writes gets: the file opened without
//   following a link, checked to be the entry looked at, leased, and closed after its move
//   (4);
// - the claim: a rename within the source folder to a name of the mover's, which another
//   mover sharing the folder cannot also make (1);
// - the log opened as a plain file without following a link, its one line written, closed
//   (4);
// - that no writer asked for the file while its line was written: a writer that opens it
//   meanwhile waits for the lease, and would write on in the moved file (1);
// - the rename that never replaces, from the claim (1);
// - the target's names tested without regard to case against an index in memory, checked
//   by one stat of the target folder a file: its stamp after the rename, against which the
//   next file's test tells another process's change (1).
// - the record of which claim's line is being written (with the line and where it goes in
//   the log) and which was written, so that after a kill in the line's write or before the
//   placement the next start places the claim without a second line: stores into a file of the
//   mover's state folder kept mapped (no call).
// kWithoutRecord leaves the record out, kWithoutClaim both the record and the claim (a mover
// that shares its folder with none): what each costs.
enum class Floor { kWhole, kWithoutRecord, kWithoutClaim };
double SafeFloorLoop(const BenchDrive& drive, Floor floor = Floor::kWhole) {
  const bool claim = floor != Floor::kWithoutClaim, record = floor == Floor::kWhole;
  const int source = open(drive.Path(kSource).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int target = open(drive.Path(kTarget).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int logs = open(drive.Path("Ostrand/Logs").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (source < 0 || target < 0 || logs < 0) std::abort();
  // Beside the program's own state folder, on the same file system.
  const char* state = std::getenv("XDG_STATE_HOME");
  const std::string record_path =
      (state != nullptr && *state == '/' ? std::string(state)
                                         : std::string(std::getenv("HOME")) + "/.local/state") +
      "/tarvex-bench-floor-record";
  const int logged = open(record_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (logged < 0 || ftruncate(logged, 104) != 0) std::abort();
  void* const map = mmap(nullptr, 104, PROT_READ | PROT_WRITE, MAP_SHARED, logged, 0);
  if (map == MAP_FAILED) std::abort();
  auto* const slot = static_cast<std::uint64_t*>(map);
  std::uint64_t bits = 0x0123456789abcdefULL;
  std::unordered_set<std::string> taken;  // the target is empty at the start
  const double seconds = Time([&] {
    std::vector<std::string> names;
    DIR* listing = fdopendir(fcntl(source, F_DUPFD_CLOEXEC, 0));
    if (listing == nullptr) std::abort();
    while (const dirent* e = readdir(listing)) {
      const std::string_view n(e->d_name);
      if (n.size() > 4 && n.substr(n.size() - 4) == ".cnm") names.emplace_back(n);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    struct stat stamp {};
    for (const std::string& entry : names) {
      const char* name = entry.c_str();
      struct stat st {};
      if (fstatat(source, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
      const int fd = openat(source, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      struct stat opened {};
      if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino ||
          fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        std::abort();
      }
      // A claim's name must be one no other user can guess: 64 random bits.
      const std::string claimed = claim ? ".tarvex-claim-0123456789abcdef-" + entry : entry;
      if (claim && renameat2(source, name, source, claimed.c_str(), RENAME_NOREPLACE) != 0) {
        std::abort();
      }
      const std::string line = tarvex::TransferLogRecord(platform::Now(), 12);
      const int log =
          openat(logs, "~Mailin.log",
                 O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
      struct stat log_st {};
      if (log < 0 || fstat(log, &log_st) != 0 || !S_ISREG(log_st.st_mode) || log_st.st_nlink != 1) {
        std::abort();
      }
      if (record) {
        std::memcpy(slot + 5, line.data(), std::min<std::size_t>(line.size(), 64));
        std::atomic_ref<std::uint64_t>(slot[2]).store(line.size(), std::memory_order_release);
        std::atomic_ref<std::uint64_t>(slot[3]).store(log_st.st_size, std::memory_order_release);
        std::atomic_ref<std::uint64_t>(slot[4]).store(0, std::memory_order_release);
        std::atomic_ref<std::uint64_t>(slot[1]).store(bits, std::memory_order_release);
      }
      if (write(log, line.data(), line.size()) < 0) std::abort();
      close(log);
      if (record) std::atomic_ref<std::uint64_t>(slot[0]).store(bits++, std::memory_order_release);
      std::string folded = entry;
      for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (taken.count(folded) == 0 && fcntl(fd, F_GETLEASE) == F_RDLCK &&
          renameat2(source, claimed.c_str(), target, name, RENAME_NOREPLACE) == 0) {
        taken.insert(folded);
      }
      if (fstat(target, &stamp) != 0) std::abort();
      close(fd);
    }
  });
  close(source);
  close(target);
  close(logs);
  munmap(map, 104);
  close(logged);
  unlink(record_path.c_str());
  return seconds;
}

// A peer run as a command on the same drive; a negative time when it is not installed.
double Peer(const BenchDrive& drive, const std::string& command, const std::string& needs) {
  if (std::system(("command -v " + needs + " >/dev/null 2>&1").c_str()) != 0) return -1;
  const std::string source = drive.Path(kSource), target = drive.Path(kTarget);
  std::string line = command;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"SRC", source},
                                   {"DST", target},
                                   {"LOG", drive.Path(kLog)},
                                   {"BENCH", TARVEX_BENCH_DIR}}) {
    for (std::size_t at; (at = line.find("@" + key)) != std::string::npos;) {
      line.replace(at, key.size() + 1, "'" + value + "'");
    }
  }
  return Time([&] {
    if (std::system(line.c_str()) != 0) std::abort();
  });
}

void PrintRatio(const char* what, const std::vector<double>& a, const std::vector<double>& b,
                const char* target) {
  const Ratios r = PairRatios(a, b);
  std::printf("  %-38s %5.2f (pairs %.2f-%.2f)%s\n", what, r.median, r.low, r.high, target);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  BenchDrive drive;

  if (argc >= 3 && std::strcmp(argv[1], "calls") == 0) {
    const int kCounted = argc > 3 ? std::atoi(argv[3]) : 2000;
    Reset(drive, kCounted);
    if (std::strcmp(argv[2], "pass") == 0) MemoryPass();
    if (std::strcmp(argv[2], "window") == 0) WindowPass();
    if (std::strcmp(argv[2], "floor") == 0) SafeFloorLoop(drive);
    return 0;
  }

  // Start-up: from creating the window to its being shown.
  const double startup = Time([] {
    tarvex::FormWindow window(tarvex::Program2());
    window.Form_Load(nullptr);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) std::abort();
  });

  Reset(drive);
  MemoryPass();  // warm-up
  std::vector<double> memories, windows, plains, floors, unrecorded, unclaimed, mvs, pythons;
  std::vector<double> memories_cpu, windows_cpu, floors_cpu;  // processor time of the same runs
  const bool have_python = std::system("command -v python3 >/dev/null 2>&1") == 0;
  for (int round = 0; round < kRounds; ++round) {
    Reset(drive);
    floors.push_back(SafeFloorLoop(drive));
    floors_cpu.push_back(LastProcessorSeconds());
    Reset(drive);
    unrecorded.push_back(SafeFloorLoop(drive, Floor::kWithoutRecord));
    Reset(drive);
    unclaimed.push_back(SafeFloorLoop(drive, Floor::kWithoutClaim));
    Reset(drive);
    memories.push_back(MemoryPass());
    memories_cpu.push_back(LastProcessorSeconds());
    Reset(drive);
    windows.push_back(WindowPass());
    windows_cpu.push_back(LastProcessorSeconds());
    Reset(drive);
    plains.push_back(PlainLoop(drive, kFiles));
    Reset(drive);
    mvs.push_back(Peer(
        drive,
        "cd @SRC && find . -maxdepth 1 -name '*.cnm' -size +0 -print0 | xargs -0 mv -n -t @DST",
        "mv"));
    if (have_python) {
      Reset(drive);
      pythons.push_back(Peer(drive, "python3 @BENCH/python_mover.py @SRC @DST @LOG", "python3"));
    }
  }

  std::printf("one pass over %d files (medians of %d, taken in turn):\n", kFiles, kRounds);
  std::printf("  safe-floor loop (13 calls a file):   %7.3f s (baseline)\n", Median(floors));
  std::printf("  in-memory form:                      %7.3f s\n", Median(memories));
  std::printf("  real window (offscreen):             %7.3f s\n", Median(windows));
  std::printf("  plain loop (log line + rename):      %7.3f s\n", Median(plains));
  std::printf("  mv -n:                               %7.3f s\n", Median(mvs));
  if (have_python) std::printf("  Python mover with a log line:        %7.3f s\n", Median(pythons));
  std::printf("ratios:\n");
  PrintRatio("window / safe floor", windows, floors, " (target <= 1.12)");
  PrintRatio("in-memory form / safe floor", memories, floors, " (target <= 1.08)");
  PrintRatio("window / in-memory form", windows, memories, " (target <= 1.05)");
  PrintRatio("window / plain loop", windows, plains, "");
  PrintRatio("safe floor / plain loop", floors, plains, "");
  PrintRatio("window / the floor without its record", windows, unrecorded, "");
  PrintRatio("safe floor / the same without record", floors, unrecorded, " (the record's cost)");
  PrintRatio("floor without record / nor claim", unrecorded, unclaimed, " (the claim's cost)");
  PrintRatio("mv -n / window", mvs, windows, "");
  if (have_python) PrintRatio("Python mover / window", pythons, windows, "");
  std::printf(
      "the same runs by processor time (user and system; the host's stalls and the "
      "disk's waits left out):\n");
  PrintRatio("window / safe floor", windows_cpu, floors_cpu, " (target <= 1.12)");
  PrintRatio("in-memory form / safe floor", memories_cpu, floors_cpu, " (target <= 1.08)");

  if (std::getenv("BENCH_RATIOS_ONLY") != nullptr) return 0;
  std::printf("longest gap between handled events during a window's pass (target <= 20 ms):\n");
  Reset(drive);
  PrintGap(std::to_string(kFiles) + " files:", LongestEventGap());
  constexpr int kListed = 200000;
  Reset(drive, 0);
  drive.FillLarge(kSource, kListed, "e", ".cnm", "");  // empty files: listed, not moved
  drive.Fill(kSource, kFiles);
  PrintGap("listing of " + std::to_string(kListed + kFiles) + " names:", LongestEventGap());
  constexpr int kLarge = 1000000;
  Reset(drive);
  drive.FillLarge(kTarget, kLarge);
  PrintGap("first pass into " + std::to_string(kLarge) + " entries:", LongestEventGap());
  drive.Clear(kTarget);
  drive.Clear(kSource);
  std::printf("window created to shown:               %7.1f ms (target < 300)\n", startup * 1e3);
  return 0;
}
