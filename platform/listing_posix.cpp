#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/drive_folders_posix.h"
#include "platform/drive_path.h"
#include "platform/file_system_traits_posix.h"
#include "platform/names.h"
#include "platform/writers_posix.h"

// The listing of a folder: its names in the platform's order, each entry looked at again
// when the listing reaches it.
namespace platform {

std::unique_ptr<FolderListing> FolderListing::Open(std::string_view search_spec) {
  std::string_view folder_path, pattern;
  if (!SplitFolderAndPattern(search_spec, folder_path, pattern)) return nullptr;
  Probe status;
  Held folder = ResolveWholeFolder(folder_path, status);
  if (!folder) return nullptr;
  ListingNames names;
  const bool read = ForEachName(folder->fd, [&](std::string_view name) {
    if (name.find('\\') == std::string_view::npos && !IsMoversOwn(name) &&
        MatchesPattern(name, pattern)) {
      names.Add(name);
    }
  });
  if (!read || names.empty()) return nullptr;
  names.Order();
  return std::unique_ptr<FolderListing>(new FolderListing(std::move(folder), std::move(names)));
}

FolderListing::FolderListing(std::shared_ptr<const HeldFolder> folder, ListingNames names)
    : folder_(std::move(folder)), names_(std::move(names)) {}

namespace {

// Gives up the lease of the entry returned last, when its move did not take it.
void ReleaseHandedLease() { ListedFileLease() = ReadLease(); }

}  // namespace

FolderListing::~FolderListing() { ReleaseHandedLease(); }

bool FolderListing::Next(ListingEntry& entry) {
  ReleaseHandedLease();  // the last entry's, when it was not moved
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
        // The lease on a non-empty file goes on to its move, which follows at once.
        if (st.st_size > 0 && lease.Handed()) ListedFileLease() = std::move(lease);
      }
        entry.attributes = kAttrArchive;
        entry.size = static_cast<std::uint64_t>(st.st_size);
        break;
      case Kind::kFileLink:
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
