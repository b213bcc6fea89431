#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/claim_names.h"
#include "platform/drive_folders_posix.h"
#include "platform/drive_path.h"
#include "platform/file_system_traits_posix.h"
#include "platform/name_hashes.h"
#include "platform/names.h"
#include "platform/writers_posix.h"

// The listing of a folder: its names in the platform's order, each entry looked at again
// when the listing reaches it.
namespace platform {

std::unique_ptr<FolderListing> FolderListing::Open(std::string_view search_spec) {
  ForgetNamesLikeAMoversOwn();
  std::string_view folder_path, pattern;
  if (!SplitFolderAndPattern(search_spec, folder_path, pattern)) return nullptr;
  Probe status;
  Held folder = ResolveWholeFolder(folder_path, status);
  if (!folder) return nullptr;
  ListingNames names;
  std::vector<std::uint64_t> pair_heads;
  const bool read = ForEachName(folder->fd, [&](std::string_view name) {
    if (name.find('\\') != std::string_view::npos || !MatchesPattern(name, pattern)) return;
    if (IsMoversOwn(name)) {
      NoteNameLikeAMoversOwn(name);
      return;
    }
    names.Add(name);
    if (IsPairHead(name)) pair_heads.push_back(FoldedHash(name));
  });
  if (!read || names.empty()) return nullptr;
  names.Order();
  std::unique_ptr<FolderListing> listing(new FolderListing(std::move(folder), std::move(names)));
  std::sort(pair_heads.begin(), pair_heads.end());
  listing->pair_heads_ = std::move(pair_heads);
  return listing;
}

FolderListing::FolderListing(std::shared_ptr<const HeldFolder> folder, ListingNames names)
    : folder_(std::move(folder)), names_(std::move(names)) {}

FolderListing::~FolderListing() = default;

bool FolderListing::HadPairHead(std::string_view q0_name) const {
  return std::binary_search(pair_heads_.begin(), pair_heads_.end(), FoldedHash(q0_name));
}

bool FolderListing::Next(ListingEntry& entry) {
  last_.reset();  // the last entry's lease, when it was not claimed
  // Mounted from elsewhere, each entry is asked of the server, once: its stamps tell whether
  // another machine writes it.
  const bool remote = !TraitsOf(*folder_).local;
  while (position_ < names_.size()) {
    const std::string name(names_[position_++]);
    struct stat st {};
    if (StatEntry(folder_->fd, name.c_str(), &st, remote) != 0) continue;  // gone
    entry.name = name;
    entry.size = 0;
    struct stat followed {};
    const Kind kind =
        name == "." || name == ".." ? Kind::kFolder : KindOf(folder_->fd, name, st, &followed);
    switch (kind) {
      case Kind::kFolder:
        entry.attributes = kAttrDirectory;
        break;
      case Kind::kFile: {
        ReadLease lease = ReadLease::Take(*folder_, name, st, remote);
        if (lease.BeingWritten()) continue;  // not arrived yet
        // The lease on a non-empty file goes on to its claim, which follows at once.
        if (st.st_size > 0)
          last_.reset(new ListedFile{name, lease.Handed() ? std::move(lease) : ReadLease()});
      }
        entry.attributes = kAttrArchive;
        entry.size = static_cast<std::uint64_t>(st.st_size);
        break;
      case Kind::kFileLink:
        last_.reset(new ListedFile{name, ReadLease()});
        entry.attributes = kAttrArchive;
        entry.size = static_cast<std::uint64_t>(followed.st_size);
        break;
      case Kind::kSystem:
        entry.attributes = kAttrArchive | kAttrSystem;
        break;
    }
    if (IsHidden(name) && name != "." && name != "..") entry.attributes |= kAttrHidden;
    return true;
  }
  return false;
}

}  // namespace platform
