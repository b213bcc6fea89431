#include "shared/Module_MySafeRename.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/file_system.h"
#include "platform/names.h"
#include "platform/random_source.h"

namespace tarvex {

using platform::MoveOutcome;
using platform::Probe;

std::string NameStem(const std::string& file_name) {
  return platform::LowerName(std::string_view(file_name).substr(0, file_name.find('.')));
}

std::string NameExtension(const std::string& file_name) {
  const std::size_t dot = file_name.find('.');
  return dot == std::string::npos ? std::string()
                                  : platform::LowerName(std::string_view(file_name).substr(dot));
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

std::string FitName(const std::string& name, std::size_t limit) {
  if (name.size() <= limit) return name;
  const std::size_t dot = name.rfind('.');
  std::string tail = dot == std::string::npos ? std::string() : name.substr(dot);
  if (tail.size() > limit / 2) tail.clear();  // no short type at the end: cut the end itself
  std::size_t keep = limit - tail.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + tail;
}

std::string Q1Companion(const std::string& q0_name) {
  std::string companion = q0_name;
  if (!companion.empty()) companion.back() = '1';  // ".q0" in some case becomes ".q1"
  return companion;
}

void MySafeRename(const std::string& source_folder, const std::string& target_folder,
                  const std::string& file_name, bool wwwwww_condition) {
  platform::FolderScope folders;  // each folder resolved once for the whole call
  if (platform::FolderTest(source_folder) != Probe::kFound) return;
  if (platform::FolderTest(target_folder) != Probe::kFound) return;
  // The source is the very entry the listing gave, whatever other names differ from it only
  // in case; its ".q1" companion is found without regard to case.
  platform::Claim file, companion;
  if (platform::ClaimFile(source_folder, file_name, platform::SourceName::kExact, file) !=
      platform::ClaimOutcome::kClaimed) {
    return;
  }
  if (NameExtension(file_name) == ".q0") {
    platform::ClaimFile(source_folder, Q1Companion(file_name), platform::SourceName::kAnyCase,
                        companion, &file);
  }
  MySafeRename(file, companion, target_folder, wwwwww_condition);
}  // whatever could not be placed goes back under its name

bool MySafeRename(platform::Claim& file, platform::Claim& companion,
                  const std::string& target_folder, bool wwwwww_condition) {
  platform::FolderScope folders;
  if (platform::FolderTest(target_folder) != Probe::kFound) return false;
  const std::string name = file.Name();
  const std::string stem = NameStem(name);
  const std::string extension = NameExtension(name);
  const std::size_t limit = platform::NameLimit(target_folder);
  auto target_path = [&](const std::string& s, const std::string& e) {
    return target_folder + "\\" + FitName(s + e, limit);
  };
  // Any entry at a target name, of any kind, makes the name taken. A name found taken at the
  // moment of the move, after its test called it free (another client of the drive made it
  // meanwhile), is passed over for the next one in the same move; a test that cannot be
  // answered leads straight to the placement, which never replaces.
  constexpr int kMostTakenAtMove = 100;

  if (extension != ".q0") {
    // The placement tests the name itself (and passes over a name found taken), so a single
    // file asks once a name.
    std::string target = target_path(stem, extension);
    for (int taken = 0; taken <= kMostTakenAtMove; ++taken) {
      const MoveOutcome outcome = platform::PlaceClaim(file, target).outcome;
      if (outcome == MoveOutcome::kMoved) return true;
      if (outcome != MoveOutcome::kTaken) return false;
      target = target_path(platform::LowerName(RandomName()), extension);
    }
    return false;
  }

  std::string candidate = stem;
  for (int taken = 0; taken <= kMostTakenAtMove;) {
    const std::string target_q0 = target_path(candidate, ".q0");
    const std::string target_q1 = target_path(candidate, ".q1");
    const Probe q0 = platform::EntryTest(target_q0);
    const Probe q1 = q0 == Probe::kFailed ? Probe::kFailed : platform::EntryTest(target_q1);
    const bool failed = q0 == Probe::kFailed || q1 == Probe::kFailed;
    const bool accepted = q0 == Probe::kAbsent && q1 == Probe::kAbsent &&
                          !(wwwwww_condition && candidate == "wwwwww");
    if (failed || accepted) {
      const MoveOutcome outcome = platform::PlaceClaim(file, target_q0).outcome;
      if (outcome == MoveOutcome::kTaken) {
        ++taken;
        candidate = platform::LowerName(RandomName());
        continue;
      }
      if (outcome != MoveOutcome::kMoved) return false;
      if (!companion.Held()) return true;
      const MoveOutcome second = platform::PlaceClaim(companion, target_q1).outcome;
      if (second == MoveOutcome::kMoved) return true;
      // The ".q1" cannot follow under this stem: the ".q0" comes back, so that the two stay
      // together (under the next stem, or back in the source).
      if (!platform::TakeBack(file)) {
        // Placed by a copy, or taken by a consumer already: the ".q1" follows alone under
        // a stem of its own rather than stay behind.
        std::fprintf(stderr, "%s: the pair %s was split: %s found no room beside it\n",
                     target_folder.c_str(), name.c_str(), companion.Name().c_str());
        platform::Claim none;
        return MySafeRename(companion, none, target_folder, wwwwww_condition);
      }
      if (second != MoveOutcome::kTaken) return false;
      ++taken;
    }
    candidate = platform::LowerName(RandomName());
  }
  return false;
}

}  // namespace tarvex
