#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarvex_test {

// A drive letter mapped to a fresh temporary folder for the life of the object
// (TARVEX_DRIVE_<letter>), removed afterwards. Paths given to it are relative to the drive
// root and use "/".
class TempDrive {
 public:
  explicit TempDrive(char letter = 'P', const std::string& parent = "");
  ~TempDrive();
  TempDrive(const TempDrive&) = delete;
  TempDrive& operator=(const TempDrive&) = delete;

  const std::string& root() const { return root_; }
  std::string Host(const std::string& relative) const { return root_ + "/" + relative; }

  void MakeFolder(const std::string& relative) const;
  void WriteFile(const std::string& relative, const std::string& content) const;
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  // Names in a folder, sorted, without "." and "..".
  std::vector<std::string> Names(const std::string& relative) const;

 private:
  char letter_;
  std::string root_;
};

// Sets an environment variable of this process, as the programs read it.
void SetEnvironment(const std::string& name, const std::string& value);

// Runs a check without root's power over permissions: as is for an ordinary user, in a
// child process that has become "nobody" for root. True when the check returned true.
bool RunUnprivileged(const std::function<bool()>& check);

// Runs fn in a forked child; returns the child's exit status (fn's result).
int RunInChild(const std::function<int()>& fn);

// Two users of a shared drive besides the one running the tests: the mover and a writer.
inline constexpr unsigned kMoverUid = 65534;
inline constexpr unsigned kWriterUid = 65533;

// Runs fn in a forked child that has become the given user (when the tests run as root;
// else as is). Returns fn's result.
int RunAs(unsigned uid, const std::function<int()>& fn);

}  // namespace tarvex_test
