// The test drive on Windows: a fresh folder under the user's temporary folder, named to the
// programs through TARVEX_DRIVE_<letter>.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/temp_drive.h"

namespace tarvex_test {
namespace {

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string u = path.u8string();
  return std::string(u.begin(), u.end());
}

// A path of the drive in the long-path form, so that the test reaches every name the
// programs do (CON.cnm, a name ending in a dot) as it stands.
std::filesystem::path LongPathOf(std::string host) {
  std::replace(host.begin(), host.end(), '/', '\\');
  return PathOf(host.rfind("\\\\", 0) == 0 ? "\\\\?\\UNC\\" + host.substr(2) : "\\\\?\\" + host);
}

}  // namespace

void SetEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(PathOf(name).wstring().c_str(), PathOf(value).wstring().c_str());
}

TempDrive::TempDrive(char letter, const std::string& parent) : letter_(letter) {
  static unsigned counter = 0;
  const std::filesystem::path base =
      parent.empty() ? std::filesystem::temp_directory_path() : PathOf(parent);
  std::filesystem::path folder;
  do {
    folder = base / ("tarvex-drive-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(++counter));
  } while (!std::filesystem::create_directory(folder));
  root_ = Utf8Of(folder);
  std::replace(root_.begin(), root_.end(), '/', '\\');
  SetEnvironment(std::string("TARVEX_DRIVE_") + letter_, root_);
}

TempDrive::~TempDrive() {
  std::error_code ec;
  std::filesystem::remove_all(LongPathOf(root_), ec);
  SetEnvironmentVariableW((L"TARVEX_DRIVE_" + std::wstring(1, letter_)).c_str(), nullptr);
}

void TempDrive::MakeFolder(const std::string& relative) const {
  std::filesystem::create_directories(LongPathOf(Host(relative)));
}

void TempDrive::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream out(LongPathOf(Host(relative)), std::ios::binary);
  out << content;
}

std::string TempDrive::ReadFile(const std::string& relative) const {
  std::ifstream in(LongPathOf(Host(relative)), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TempDrive::Exists(const std::string& relative) const {
  std::error_code ec;
  return std::filesystem::symlink_status(LongPathOf(Host(relative)), ec).type() !=
         std::filesystem::file_type::not_found;
}

std::vector<std::string> TempDrive::Names(const std::string& relative) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(LongPathOf(Host(relative)), ec)) {
    names.push_back(Utf8Of(e.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarvex_test
