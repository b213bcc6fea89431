#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/claim_names.h"
#include "platform/drive_folders_win32.h"
#include "platform/drive_path.h"
#include "platform/file_system.h"
#include "platform/long_work.h"
#include "platform/name_hashes.h"
#include "platform/names.h"
#include "platform/run_time_error.h"
#include "platform/wide_text.h"
#include "platform/writers_win32.h"

namespace platform {

// Nothing of an entry is handed to its claim here: the claim's own open asks the platform's
// sharing rules.
struct ListedFile {};

std::unique_ptr<FolderListing> FolderListing::Open(std::string_view search_spec) {
  ForgetNamesLikeAMoversOwn();
  std::string_view folder_path, pattern;
  if (!SplitFolderAndPattern(search_spec, folder_path, pattern)) return nullptr;
  HeldFolder folder;
  Probe status;
  if (!ResolveWholeFolder(folder_path, folder, status)) return nullptr;
  // The pattern is matched on the long name: a match through a short 8.3 name would let
  // "*.cnm" take "b.cnmx".
  ListingNames names;
  std::vector<std::uint64_t> pair_heads;
  const bool read = ForEachName(folder, "*", [&](std::string&& name) {
    YieldDuringLongWork();
    if (!MatchesPattern(name, pattern)) return true;
    // A mover's claims and partial copies are in no listing.
    const std::string_view view(name);
    if (view.substr(0, kClaimPrefix.size()) == kClaimPrefix ||
        view.substr(0, kPartialPrefix.size()) == kPartialPrefix) {
      NoteNameLikeAMoversOwn(name);
      return true;
    }
    if (IsPairHead(name)) pair_heads.push_back(FoldedHash(name));
    names.Add(name);
    return true;
  });
  if (!read) return nullptr;
  if (names.empty()) return nullptr;
  names.Order();
  std::unique_ptr<FolderListing> listing(
      new FolderListing(std::make_shared<const HeldFolder>(std::move(folder)), std::move(names)));
  std::sort(pair_heads.begin(), pair_heads.end());
  listing->pair_heads_ = std::move(pair_heads);
  return listing;
}

bool FolderListing::HadPairHead(std::string_view q0_name) const {
  return std::binary_search(pair_heads_.begin(), pair_heads_.end(), FoldedHash(q0_name));
}

FolderListing::FolderListing(std::shared_ptr<const HeldFolder> folder, ListingNames names)
    : folder_(std::move(folder)), names_(std::move(names)) {}

FolderListing::~FolderListing() = default;

bool FolderListing::Next(ListingEntry& entry) {
  while (position_ < names_.size()) {
    const std::string name(names_[position_++]);
    const std::wstring path = Joined(folder_->path, name);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) continue;  // gone
    entry.name = name;
    entry.attributes =
        data.dwFileAttributes & (kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive);
    entry.size = 0;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      if (BeingWritten(path)) continue;  // not arrived yet
      entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return true;
  }
  return false;
}

}  // namespace platform
