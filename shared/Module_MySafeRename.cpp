#include "shared/Module_MySafeRename.h"

#include <algorithm>
#include <cmath>

#include "platform/file_system.h"
#include "platform/names.h"
#include "platform/pause.h"

namespace tarvex {

using platform::Probe;

std::string NameStem(const std::string& file_name) {
  return platform::LowerName(file_name.substr(0, file_name.find('.')));
}

std::string NameExtension(const std::string& file_name) {
  const std::size_t dot = file_name.find('.');
  return dot == std::string::npos ? std::string() : platform::LowerName(file_name.substr(dot));
}

std::string RandomName() {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";
  std::string name = "~COL";
  for (int i = 0; i < 4; ++i) {
    const float r = platform::NextRandom();
    const int position = std::clamp(static_cast<int>(std::floor(r * 36.0f)) + 1, 1, 36);
    name.push_back(kAlphabet[position - 1]);
  }
  return name;
}

void MySafeRename(const std::string& source_folder, const std::string& target_folder,
                  const std::string& file_name, bool wwwwww_condition) {
  if (platform::FolderTest(source_folder) != Probe::kFound) return;
  if (platform::FolderTest(target_folder) != Probe::kFound) return;
  const std::string stem = NameStem(file_name);
  const std::string extension = NameExtension(file_name);
  auto path = [](const std::string& folder, const std::string& s, const std::string& e) {
    return folder + "\\" + s + e;
  };

  if (extension != ".q0") {
    const std::string source = path(source_folder, stem, extension);
    std::string target = path(target_folder, stem, extension);
    // A test that cannot be answered leads straight to the rename, which never replaces.
    while (platform::FileTest(target) == Probe::kFound) {
      target = path(target_folder, platform::LowerName(RandomName()), extension);
    }
    platform::RenameNoReplace(source, target);
    return;
  }

  const std::string source_q0 = path(source_folder, stem, ".q0");
  const std::string source_q1 = path(source_folder, stem, ".q1");
  std::string candidate = stem;
  for (;;) {
    const std::string target_q0 = path(target_folder, candidate, ".q0");
    const std::string target_q1 = path(target_folder, candidate, ".q1");
    const Probe q0 = platform::FileTest(target_q0);
    const Probe q1 = q0 == Probe::kFailed ? Probe::kFailed : platform::FileTest(target_q1);
    const bool failed = q0 == Probe::kFailed || q1 == Probe::kFailed;
    const bool accepted = q0 == Probe::kAbsent && q1 == Probe::kAbsent &&
                          !(wwwwww_condition && candidate == "wwwwww");
    if (failed || accepted) {
      platform::RenameNoReplace(source_q0, target_q0);
      platform::RenameNoReplace(source_q1, target_q1);
      return;
    }
    candidate = platform::LowerName(RandomName());
  }
}

}  // namespace tarvex
