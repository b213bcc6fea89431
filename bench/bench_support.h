#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "program2/form.h"
#include "program2/transfer_log.h"

namespace tarvex_bench {

inline double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The processor time (user and system) of this process so far, in seconds.
inline double ProcessorSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The processor time of the last Time() call: what this process itself spent, without the
// time a virtual machine's host held its processors or the disk kept it waiting.
inline double& LastProcessorSeconds() {
  static double seconds = 0;
  return seconds;
}

// The wall time a call takes (and its processor time in LastProcessorSeconds()).
template <typename F>
double Time(F&& f) {
  const double processor = ProcessorSeconds();
  const auto start = std::chrono::steady_clock::now();
  f();
  const double wall = Seconds(std::chrono::steady_clock::now() - start);
  LastProcessorSeconds() = ProcessorSeconds() - processor;
  return wall;
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The ratios a[i] / b[i] of runs taken side by side: their median, least and greatest.
struct Ratios {
  double median, low, high;
};
inline Ratios PairRatios(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> r;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(a[i] / b[i]);
  std::sort(r.begin(), r.end());
  return {r[r.size() / 2], r.front(), r.back()};
}

// Program 2's folders on its drive.
constexpr char kSource[] = "PMail/Mail/_Remail";
constexpr char kTarget[] = "Ostrand/Mail/Mailin";
constexpr char kLog[] = "Ostrand/Logs/~Mailin.log";

// A drive for program 2 in a fresh temporary folder (under $BENCH_DIR when set): source,
// target and log folders.
class BenchDrive {
 public:
  BenchDrive() {
    // BENCH_DIR puts the drive on another file system (a tmpfs such as /dev/shm takes the
    // disk's varying pace out of the figures).
    const char* base = std::getenv("BENCH_DIR");
    root_ = (base != nullptr && *base != '\0' ? std::filesystem::path(base)
                                              : std::filesystem::temp_directory_path()) /
            ("tarvex-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    for (const char* f : {"PMail/Mail/_Remail", "Ostrand/Mail/Mailin", "Ostrand/Logs"}) {
      std::filesystem::create_directories(root_ / f);
    }
    ::setenv("TARVEX_DRIVE_P", root_.c_str(), 1);
    platform::UseFreshFolderIndexes();
  }
  ~BenchDrive() { std::filesystem::remove_all(root_); }

  std::filesystem::path Path(const std::string& relative) const { return root_ / relative; }
  // The drive's own folder name, under BENCH_DIR or the temporary folder.
  std::filesystem::path Name() const { return root_.filename(); }

  // n non-empty files in a folder, named prefix00000.cnm and on.
  void Fill(const std::string& folder, int n, const std::string& prefix = "f") const {
    char name[64];
    for (int i = 0; i < n; ++i) {
      std::snprintf(name, sizeof name, "%s%05d.cnm", prefix.c_str(), i);
      std::ofstream(root_ / folder / name) << "payload " << i << '\n';
    }
  }
  // n entries in a folder, named prefix0000000 and on: hard links to a few files, the
  // quickest way to a large folder (60,000 links a file stays within every file system's
  // limit).
  void FillLarge(const std::string& folder, int n, const std::string& prefix = "old",
                 const char* extension = "", const char* content = "old\n") const {
    const std::string base = root_ / folder;
    std::string origin;
    char name[64];
    for (int i = 0; i < n; ++i) {
      std::snprintf(name, sizeof name, "/%s%07d%s", prefix.c_str(), i, extension);
      if (i % 60000 == 0) {
        origin = base + name;
        std::ofstream(origin) << content;
      } else if (::link(origin.c_str(), (base + name).c_str()) != 0) {
        std::abort();
      }
    }
  }
  void Clear(const std::string& folder) const {
    std::filesystem::remove_all(root_ / folder);
    std::filesystem::create_directories(root_ / folder);
  }

 private:
  std::filesystem::path root_;
};

// The plain loop: for each of the files BenchDrive::Fill made in the source, one log line
// (open for appending, write, close) and the placement that never replaces (a no-replace
// rename, or a hard link and the removal of the old name where the file system has no
// such rename). appends false: the line is written at the end found, as on a client that
// cannot open for appending (smbnetfs); and where neither rename nor link works, the
// placement is a look-up of the name and a plain rename, the least that keeps a file there.
inline double PlainLoop(const BenchDrive& drive, int files, bool appends = true) {
  const std::string log = drive.Path(kLog);
  const std::string source = drive.Path(kSource);
  const std::string target = drive.Path(kTarget);
  bool no_replace_rename = true, links = true;  // learned once, as the programs do
  return Time([&] {
    char name[64];
    for (int i = 0; i < files; ++i) {
      std::snprintf(name, sizeof name, "/f%05d.cnm", i);
      const std::string line = tarvex::TransferLogRecord(platform::Now(), 12);
      const int fd =
          open(log.c_str(), O_WRONLY | (appends ? O_APPEND : 0) | O_CREAT | O_CLOEXEC, 0666);
      struct stat st {};
      const bool written =
          fd >= 0 &&
          (appends ? write(fd, line.data(), line.size()) >= 0
                   : fstat(fd, &st) == 0 && pwrite(fd, line.data(), line.size(), st.st_size) >= 0);
      if (!written) std::abort();
      close(fd);
      const std::string from = source + name, to = target + name;
      if (no_replace_rename) {
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
          continue;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) continue;  // a name taken
        no_replace_rename = false;
      }
      if (links) {
        if (link(from.c_str(), to.c_str()) == 0) {
          unlink(from.c_str());
          continue;
        }
        if (errno == EEXIST) continue;
        links = false;
      }
      if (lstat(to.c_str(), &st) == 0) continue;
      if (rename(from.c_str(), to.c_str()) != 0) {
        std::perror("plain loop: no placement works here");
        std::exit(1);
      }
    }
  });
}

// A form that keeps the texts and nothing else: the least a pass can talk to.
class NullForm : public tarvex::Form {
 public:
  NullForm() {
    texts_.fill("0");
    texts_[static_cast<int>(tarvex::Box::kTimPer)] = "1";
    texts_[static_cast<int>(tarvex::Box::kTimRem)] = "1";
  }
  std::string Text(tarvex::Box b) const override { return texts_[static_cast<int>(b)]; }
  void SetText(tarvex::Box b, const std::string& t) override { texts_[static_cast<int>(b)] = t; }
  void SetBackColor(tarvex::Box, std::uint32_t) override {}
  void SetImageVisible(tarvex::Image, bool) override {}
  void SetInfoLabelToolTip(int, const std::string&) override {}
  void ShowWaiting(const std::string&, const std::string&) override {}
  void SetMousePointer(int) override {}
  void SetEnabled(bool) override {}
  void DoEvents() override {}
  void Present() override {}

 private:
  std::array<std::string, tarvex::kBoxCount> texts_;
};

}  // namespace tarvex_bench
