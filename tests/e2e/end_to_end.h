#pragma once

// What the end-to-end scenarios share: the drive's folders, a program run as a process on
// the test's drive, and what a scenario reads back from the disk.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_drive.h"

namespace tarvex_e2e {

using tarvex_test::TempDrive;

constexpr char kPegasus[] = "Ostrand/Mail/~Pegasus";
constexpr char kRemail[] = "PMail/Mail/_Remail";
constexpr char kMailin[] = "Ostrand/Mail/Mailin";
constexpr char kLog[] = "Ostrand/Logs/~Mailin.log";

// Asks `done` every 50 ms until it is true or the time is up; its last answer.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms);

// A copy of an executable that any user can run, whatever the permissions of the folders
// the build lies in (a checkout in a private home folder, say).
std::string ReachableCopy(const char* exe);

// A running program on the test's drive, offscreen, with a short tick; `unprivileged` runs it
// as the mover user, `root` puts drive P: elsewhere than the test's drive.
class Program {
 public:
  Program(const char* exe, const TempDrive& drive, const QString& runtime, int tick_ms = 100,
          bool unprivileged = false, const std::string& root = "");
  ~Program() { Kill(); }
  bool Running() { return process_.state() == QProcess::Running; }
  void Kill();
  QProcess& process() { return process_; }

 private:
  QProcess process_;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  // Contents of every regular file in a folder.
  std::multiset<std::string> Contents(const std::string& folder) const;
  std::vector<std::string> LogLines() const;
  // Every line whole and well-formed; returns the logged sizes.
  std::multiset<std::string> LoggedSizes() const;
  // The folder answers, and holds nothing but the movers' lock folder (which a claim put
  // back under its name on a drive without no-replace rename leaves there).
  bool SourceEmpty(const char* folder) const;

  TempDrive drive_;
  // The programs' runtime and state folders are this machine's own, also when the drive is a
  // temporary folder on a network drive.
  QTemporaryDir runtime_{"/tmp/tarvex-e2e-rt-XXXXXX"};
};

// What a scenario wrote into the source folders: every content, and the contents of the
// files that get a line of their own (a ".q1" goes with its ".q0" under one line).
struct Written {
  std::multiset<std::string> all, logged_heads;
  void Add(const TempDrive& drive, const std::string& path, const std::string& content,
           bool own_line = true) {
    drive.WriteFile(path, content);
    all.insert(content);
    if (own_line) logged_heads.insert(content);
  }
};

}  // namespace tarvex_e2e
