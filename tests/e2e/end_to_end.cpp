#include "tests/e2e/end_to_end.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace tarvex_e2e {

namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

std::string ReachableCopy(const char* exe) {
  static std::map<std::string, std::string> copies;
  auto it = copies.find(exe);
  if (it != copies.end()) return it->second;
  std::string folder = fs::temp_directory_path().string() + "/tarvex-exe-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return exe;
  chmod(folder.c_str(), 0755);
  const std::string copy = folder + "/" + fs::path(exe).filename().string();
  fs::copy_file(exe, copy);
  chmod(copy.c_str(), 0755);
  return copies[exe] = copy;
}

Program::Program(const char* exe, const TempDrive& drive, const QString& runtime, int tick_ms,
                 bool unprivileged, const std::string& root) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("TARVEX_DRIVE_P", QString::fromStdString(root.empty() ? drive.root() : root));
  env.insert("XDG_RUNTIME_DIR", runtime);
  // The mover's own state, on this machine (never on the drive, nor in a temporary folder
  // on a network drive).
  env.insert("XDG_STATE_HOME", runtime + "/state");
  env.insert("TARVEX_TICK_MS", QString::number(tick_ms));
  env.insert("QT_QPA_PLATFORM", "offscreen");
  process_.setProcessEnvironment(env);
  std::string program = exe;
  if (unprivileged && geteuid() == 0) {
    program = ReachableCopy(exe);
    process_.setChildProcessModifier([] {
      if (setgroups(0, nullptr) != 0 || setgid(tarvex_test::kMoverUid) != 0 ||
          setuid(tarvex_test::kMoverUid) != 0) {
        _exit(99);
      }
    });
  }
  process_.start(QString::fromStdString(program), {});
  process_.waitForStarted();
}

void Program::Kill() {
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished();
  }
}

void EndToEnd::SetUp() {
  for (const char* f : {kPegasus, kRemail, kMailin, "Ostrand/Logs"}) drive_.MakeFolder(f);
  ASSERT_TRUE(runtime_.isValid());
  // Any user's program may keep its lock and its state there (sticky: none removes
  // another's).
  chmod(runtime_.path().toUtf8().constData(), 01777);
}

// Gigabyte files are told by their size alone.
std::multiset<std::string> EndToEnd::Contents(const std::string& folder) const {
  std::multiset<std::string> out;
  for (const auto& name : drive_.Names(folder)) {
    const std::string path = drive_.Host(folder + "/" + name);
    if (!fs::is_regular_file(fs::symlink_status(path))) continue;
    out.insert(fs::file_size(path) > (1 << 20) ? "size " + std::to_string(fs::file_size(path))
                                               : drive_.ReadFile(folder + "/" + name));
  }
  return out;
}

bool EndToEnd::SourceEmpty(const char* folder) const {
  std::error_code error;  // a folder that does not answer (its server away) is not empty
  if (!fs::is_directory(drive_.Host(folder), error)) return false;
  for (const auto& name : drive_.Names(folder)) {
    const auto path = drive_.Host(std::string(folder) + "/" + name);
    if (!name.starts_with(".tarvex-placing") || !fs::is_directory(fs::symlink_status(path)))
      return false;
  }
  return true;
}

std::vector<std::string> EndToEnd::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(drive_.ReadFile(kLog));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::multiset<std::string> EndToEnd::LoggedSizes() const {
  static const std::regex line("#\\d{4}-\\d\\d-\\d\\d( \\d\\d:\\d\\d:\\d\\d)?#,\"(\\d{7,})\"\r");
  std::multiset<std::string> sizes;
  for (const auto& l : LogLines()) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(l, m, line)) << l;
    sizes.insert(std::to_string(std::stoull(m[2])));
  }
  return sizes;
}

}  // namespace tarvex_e2e
