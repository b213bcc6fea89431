#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/claim_names.h"
#include "platform/drive_folders_win32.h"
#include "platform/file_system.h"
#include "platform/logged_record.h"
#include "platform/moving_win32.h"
#include "platform/name_hashes.h"
#include "platform/wide_text.h"

// Claims on Windows: a rename within the file's folder by a handle that shares only reading,
// so that a file another process holds for writing, or without delete sharing, is not
// claimed. Moves stay within one volume, so a placement is one rename too. The record of the
// logged claim (logged_record.h) tells the next start which claim cut short by a kill has its
// line: that one is placed without a second line, the others are put back.
namespace platform {

struct Claim::State : Claim::Basics {
  HeldFolder folder;
  std::string source_win_folder;
  std::string claim_name;
  std::wstring placed_at;  // where PlaceClaim put it, so that it can be taken back
};

Claim::State* Claim::state() const { return static_cast<State*>(state_.get()); }

std::string Token() {
  static std::mt19937_64 generator{std::random_device{}() ^
                                   static_cast<std::uint64_t>(GetTickCount64()) ^
                                   (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32)};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

const std::string& MoverId() {
  static const std::string id = [] {
    auto variable = [](const wchar_t* name) {
      wchar_t value[512] = {};
      const DWORD n = GetEnvironmentVariableW(name, value, 512);
      return n > 0 && n < 512 ? Utf8(std::wstring(value, n)) : std::string();
    };
    const std::uint64_t hash = FoldedHash(variable(L"COMPUTERNAME") + '\0' + variable(L"USERNAME"));
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
    return std::string(text);
  }();
  return id;
}

namespace {

ClaimOutcome ClaimIn(const HeldFolder& folder, std::string_view win_folder, std::string_view name,
                     SourceName match, const Claim* with, Claim& claim) {
  if (name.empty() || name.find_first_of("\\/") != std::string_view::npos ||
      name.substr(0, kClaimPrefix.size()) == kClaimPrefix) {
    return ClaimOutcome::kGone;
  }
  const std::wstring from = Joined(folder.path, name);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &data) == 0 ||
      !IsPlainFile(data.dwFileAttributes)) {
    return ClaimOutcome::kGone;
  }
  // The name the platform keeps for the file, whatever case the caller gave (exactly that
  // name, for an exact one).
  auto state = std::make_unique<Claim::State>();
  state->name = StoredName(folder, name);
  if (state->name.empty() || (match == SourceName::kExact && state->name != name)) {
    return ClaimOutcome::kGone;
  }
  state->token = with != nullptr && !with->Token().empty() ? with->Token() : Token();
  state->claim_name = ClaimName(state->token, state->name);
  switch (RenameOpenedFile(from, Joined(folder.path, state->claim_name))) {
    case MoveOutcome::kMoved:
      break;
    case MoveOutcome::kBeingWritten:
      return ClaimOutcome::kBeingWritten;
    case MoveOutcome::kGone:
      return ClaimOutcome::kGone;
    default:
      return NetworkError(GetLastError()) ? ClaimOutcome::kDriveAway : ClaimOutcome::kRefused;
  }
  state->folder = folder;
  state->source_win_folder = win_folder;
  state->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  claim = Claim(std::move(state));
  return ClaimOutcome::kClaimed;
}

}  // namespace

ClaimOutcome ClaimFile(std::string_view source_folder, std::string_view name, SourceName match,
                       Claim& claim, const Claim* with) {
  HeldFolder folder;
  Probe status;
  if (!ResolveWholeFolder(source_folder, folder, status)) return ClaimOutcome::kGone;
  return ClaimIn(folder, source_folder, name, match, with, claim);
}

ClaimOutcome FolderListing::ClaimLast(std::string_view source_folder, Claim& claim) {
  if (position_ == 0) return ClaimOutcome::kGone;
  return ClaimIn(*folder_, source_folder, names_[position_ - 1], SourceName::kExact, nullptr,
                 claim);
}

MoveResult PlaceClaim(Claim& claim, std::string_view to_win_path) {
  auto result = [](MoveOutcome outcome) { return MoveResult{outcome}; };
  if (!claim.Held()) return result(MoveOutcome::kGone);
  Claim::State& s = *claim.state();
  const ParentAndName target = ResolveParent(to_win_path);
  if (!target.ok || SameFolder(s.folder, target.folder)) return result(MoveOutcome::kRefused);
  const std::wstring to = Joined(target.folder.path, target.name);
  const MoveOutcome outcome = RenameOpenedFile(Joined(s.folder.path, s.claim_name), to);
  if (outcome == MoveOutcome::kMoved) {
    s.held = false;
    s.placed_at = to;
  }
  return result(outcome);
}

bool TakeBack(Claim& claim) {
  Claim::State* s = claim.state();
  if (s == nullptr || s->held || s->placed_at.empty()) return false;
  if (RenameOpenedFile(s->placed_at, Joined(s->folder.path, s->claim_name)) !=
      MoveOutcome::kMoved) {
    return false;
  }
  s->placed_at.clear();
  s->held = true;
  return true;
}

// A claim here opens the file without sharing the right to delete it, so no other mover's
// rename can overtake it.
bool ClaimedByAnotherMover(std::string_view, std::string_view, const Claim&) { return false; }

bool ReleaseClaim(Claim& claim) {
  if (!claim.Held()) return true;
  Claim::State& s = *claim.state();
  const std::wstring from = Joined(s.folder.path, s.claim_name);
  s.held = false;
  for (int k = 0; k < 100; ++k) {
    const std::string name = k == 0 ? s.name : "~" + std::to_string(k) + s.name;
    const MoveOutcome outcome = RenameOpenedFile(from, Joined(s.folder.path, name));
    if (outcome == MoveOutcome::kMoved || outcome == MoveOutcome::kGone) return true;
    if (outcome != MoveOutcome::kTaken) break;
  }
  std::fprintf(
      stderr, "%s: could not put back %s\\%s (claimed as %s): it is put back at the next start\n",
      MoverTag().c_str(), s.source_win_folder.c_str(), s.name.c_str(), s.claim_name.c_str());
  return false;
}

std::vector<Claim> FinishInterruptedMoves(std::string_view source_folder, std::string_view,
                                          bool own_claims, std::string_view log_file) {
  std::vector<Claim> logged;
  HeldFolder folder;
  Probe status;
  if (!ResolveWholeFolder(source_folder, folder, status)) return logged;
  std::vector<std::string> claims;
  ForEachName(folder, std::string(kClaimPrefix) + "*", [&claims](std::string&& name) {
    claims.push_back(std::move(name));
    return true;
  });
  const LoggedRecord record = own_claims ? ReadLoggedRecord() : LoggedRecord();
  for (const std::string& claim_name : claims) {
    ClaimParts parts;
    if (!own_claims || !ParseClaimName(claim_name, parts) || parts.tag != MoverTag() ||
        parts.mover != MoverId()) {
      continue;
    }
    auto state = std::make_unique<Claim::State>();
    state->folder = folder;
    state->source_win_folder = source_folder;
    state->name = parts.name;
    state->claim_name = claim_name;
    state->token = parts.token;
    WIN32_FILE_ATTRIBUTE_DATA held{};
    if (GetFileAttributesExW(Joined(folder.path, claim_name).c_str(), GetFileExInfoStandard,
                             &held) != 0) {
      state->size = (static_cast<std::uint64_t>(held.nFileSizeHigh) << 32) | held.nFileSizeLow;
    }
    Claim claim(std::move(state));
    // A claim whose line was being written when the program was killed is taken for logged
    // when the log holds that line where it was written.
    if (ClaimWasLogged(record, parts.token, log_file)) {
      logged.push_back(std::move(claim));  // its line is written: the caller places it
      continue;
    }
    std::fprintf(stderr, "%s: puts back %s\\%s: its move was cut short before its line\n",
                 MoverTag().c_str(), std::string(source_folder).c_str(), parts.name.c_str());
    ReleaseClaim(claim);
  }
  return logged;
}

}  // namespace platform
