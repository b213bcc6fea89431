#include "tests/support/temp_drive.h"

#include <dirent.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/file_system.h"
#include "platform/file_system_testing.h"

namespace tarvex_test {

void SetEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

TempDrive::TempDrive(char letter, const std::string& parent) : letter_(letter) {
  std::string base = parent.empty() ? std::filesystem::temp_directory_path().string() : parent;
  std::string templ = base + "/tarvex-drive-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  chmod(templ.c_str(), 0755);  // reachable for checks run as another user
  root_ = templ;
  setenv((std::string("TARVEX_DRIVE_") + letter_).c_str(), root_.c_str(), 1);
  platform::UseFreshFolderIndexes();
}

TempDrive::~TempDrive() {
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(
           root_, std::filesystem::directory_options::skip_permission_denied, ec)) {
    if (e.is_directory(ec) && !e.is_symlink(ec)) chmod(e.path().c_str(), 0755);
  }
  std::filesystem::remove_all(root_, ec);
  unsetenv((std::string("TARVEX_DRIVE_") + letter_).c_str());
  platform::UseFreshFolderIndexes();
}

void TempDrive::MakeFolder(const std::string& relative) const {
  std::filesystem::create_directories(Host(relative));
}

void TempDrive::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream out(Host(relative), std::ios::binary);
  out << content;
}

std::string TempDrive::ReadFile(const std::string& relative) const {
  std::ifstream in(Host(relative), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TempDrive::Exists(const std::string& relative) const {
  struct stat st {};
  return lstat(Host(relative).c_str(), &st) == 0;
}

std::vector<std::string> TempDrive::Names(const std::string& relative) const {
  std::vector<std::string> names;
  if (DIR* d = opendir(Host(relative).c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int RunInChild(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int RunAs(unsigned uid, const std::function<int()>& fn) {
  return RunInChild([&] {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
      return 99;
    }
    platform::UseFreshFolderIndexes();
    return fn();
  });
}

bool RunUnprivileged(const std::function<bool()>& check) {
  if (geteuid() != 0) return check();
  return RunAs(kMoverUid, [&] { return check() ? 0 : 1; }) == 0;
}

}  // namespace tarvex_test
