#include "platform/drive_folders_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "platform/drive_path.h"
#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/move_record.h"
#include "platform/names.h"
#include "platform/writers_posix.h"

namespace platform {
namespace {

thread_local ScopeFolders* t_scope = nullptr;

Held HeldInScope(std::string_view win_folder) {
  if (t_scope == nullptr) return nullptr;
  auto it = t_scope->by_path.find(win_folder);
  return it == t_scope->by_path.end() ? nullptr : it->second;
}

// True when a folder held open lies beneath the drive's root (or is the root): its chain of
// ".." entries reaches the root before the top of the host's tree.
bool IsBeneath(int fd, const HeldFolder& root) {
  UniqueFd current(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  for (int depth = 0; current.ok() && depth < 4096; ++depth) {
    struct stat st {};
    if (fstat(current.get(), &st) != 0) break;
    if (st.st_dev == root.dev && st.st_ino == root.ino) return true;
    UniqueFd up(openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat up_st {};
    if (!up.ok() || fstat(up.get(), &up_st) != 0 ||
        (up_st.st_dev == st.st_dev && up_st.st_ino == st.st_ino)) {
      break;
    }
    current = std::move(up);
  }
  return false;
}

// Opens the folder of one entry of a held folder. A symbolic link is followed only to a
// folder beneath the drive's root.
Held OpenChild(const HeldFolder& parent, const HeldFolder& root, const std::string& name,
               Probe& status) {
  UniqueFd fd(openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok() && (errno == ELOOP || errno == ENOTDIR)) {
    struct stat st {};
    if (fstatat(parent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
      status = Probe::kAbsent;
      return nullptr;
    }
    fd.reset(openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok() && !IsBeneath(fd.get(), root)) {
      status = Probe::kAbsent;
      return nullptr;
    }
  }
  if (!fd.ok()) {
    status = ProbeFromErrno(errno);
    return nullptr;
  }
  Held held = HoldDescriptor(std::move(fd));
  status = held ? Probe::kFound : Probe::kAbsent;
  return held;
}

// The folder of the first `count` components of a drive path, held open; null with the
// reason in status. Within a FolderScope each folder is resolved once.
Held ResolveFolder(const DrivePath& wp, std::size_t count, Probe& status) {
  std::string key(1, wp.drive);
  auto cached = [&](const std::string& k) -> Held {
    if (t_scope == nullptr) return nullptr;
    auto it = t_scope->by_key.find(k);
    return it == t_scope->by_key.end() ? nullptr : it->second;
  };
  auto remember = [&](const std::string& k, const Held& h) {
    if (t_scope != nullptr) t_scope->by_key[k] = h;
  };
  Held root = cached(key);
  if (!root) {
    UniqueFd fd(open(DriveRoot(wp.drive).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok()) {
      status = ProbeFromErrno(errno);
      return nullptr;
    }
    root = HoldDescriptor(std::move(fd));
    if (!root) {
      status = Probe::kAbsent;
      return nullptr;
    }
    remember(key, root);
  }
  Held current = root;
  for (std::size_t k = 0; k < count; ++k) {
    key.push_back('\\');
    key += LowerName(wp.components[k]);
    if (Held h = cached(key)) {
      current = std::move(h);
      continue;
    }
    std::string actual;
    status = Indexes().Lookup(*current, wp.components[k], SourceName::kAnyCase, actual);
    if (status != Probe::kFound) return nullptr;
    current = OpenChild(*current, *root, actual, status);
    if (!current) return nullptr;
    remember(key, current);
  }
  status = Probe::kFound;
  return current;
}

}  // namespace

// A whole drive path of a folder, held open; within a FolderScope looked up by the exact
// path first.
Held ResolveWholeFolder(std::string_view win_folder, Probe& status) {
  if (Held held = HeldInScope(win_folder)) {
    status = Probe::kFound;
    return held;
  }
  DrivePath wp;
  if (!ParseDrivePath(win_folder, wp)) {
    status = Probe::kAbsent;
    return nullptr;
  }
  Held held = ResolveFolder(wp, wp.components.size(), status);
  if (held && t_scope != nullptr) t_scope->by_path.emplace(win_folder, held);
  return held;
}

ParentAndName ResolveParent(std::string_view win_path) {
  ParentAndName out;
  const std::size_t cut = LastSeparator(win_path);
  const bool has_name = cut != std::string_view::npos && cut + 1 < win_path.size();
  if (cut != std::string_view::npos) out.cut = cut;
  if (has_name) {
    if (Held held = HeldInScope(win_path.substr(0, cut))) {  // only drive paths are held
      out.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(win_path[0])));
      out.name = win_path.substr(cut + 1);
      out.folder = std::move(held);
      out.status = Probe::kFound;
      return out;
    }
  }
  DrivePath wp;
  if (!ParseDrivePath(win_path, wp) || wp.components.empty()) return out;
  out.drive = wp.drive;
  out.name = wp.components.back();
  out.folder = ResolveFolder(wp, wp.components.size() - 1, out.status);
  if (out.folder && t_scope != nullptr && has_name) {
    t_scope->by_path.emplace(win_path.substr(0, cut), out.folder);
  }
  return out;
}

Kind KindOf(int dir_fd, const std::string& name, const struct stat& st, struct stat* followed) {
  if (S_ISREG(st.st_mode)) return Kind::kFile;
  if (S_ISDIR(st.st_mode)) return Kind::kFolder;
  if (!S_ISLNK(st.st_mode)) return Kind::kSystem;
  struct stat target {};
  if (fstatat(dir_fd, name.c_str(), &target, 0) != 0) return Kind::kSystem;  // dangling
  if (followed != nullptr) *followed = target;
  if (S_ISREG(target.st_mode)) return Kind::kFileLink;
  return S_ISDIR(target.st_mode) ? Kind::kFolder : Kind::kSystem;
}

bool IsHidden(std::string_view name) { return !name.empty() && name[0] == '.'; }

// A file that some mover has claimed, or its copy in the making.
bool IsMoversOwn(std::string_view name) {
  return name.substr(0, kClaimPrefix.size()) == kClaimPrefix ||
         name.substr(0, kPartialPrefix.size()) == kPartialPrefix;
}

bool DrivePresent(char drive) {
  struct stat st {};
  return drive != 0 && stat(DriveRoot(drive).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FolderRights RightsIn(const HeldFolder& folder) {
  if (t_scope != nullptr) {
    auto it = t_scope->rights.find(&folder);
    if (it != t_scope->rights.end()) return it->second;
  }
  FolderRights rights;
  rights.may_change = faccessat(folder.fd, ".", W_OK | X_OK, AT_EACCESS) == 0 ||
                      (errno != EACCES && errno != EROFS && errno != EPERM);
  struct stat st {};
  rights.own_files_only = geteuid() != 0 && fstat(folder.fd, &st) == 0 &&
                          (st.st_mode & S_ISVTX) != 0 && st.st_uid != geteuid();
  if (t_scope != nullptr) t_scope->rights.emplace(&folder, rights);
  return rights;
}

ScopeFolders* CurrentScope() { return t_scope; }

void LetTheLocksGo() {
  if (ScopeFolders* const scope = CurrentScope()) {
    scope->held_log.reset();
    scope->held_placing.reset();
  }
}

namespace {

// An entry of a drive path: its folder, its actual name and its status.
struct Entry {
  Probe status = Probe::kAbsent;
  Held folder;
  std::string name;
  struct stat st {};
  Kind kind = Kind::kSystem;
};

Entry FindEntry(std::string_view win_path) {
  Entry e;
  const ParentAndName parent = ResolveParent(win_path);
  e.status = parent.status;
  if (!parent.folder) return e;
  e.folder = parent.folder;
  e.status = Indexes().Lookup(*parent.folder, parent.name, SourceName::kAnyCase, e.name, &e.st);
  if (e.status == Probe::kFound) e.kind = KindOf(parent.folder->fd, e.name, e.st, nullptr);
  return e;
}

}  // namespace

FolderScope::FolderScope() : outermost_(t_scope == nullptr) {
  if (outermost_) t_scope = new ScopeFolders;
}

FolderScope::~FolderScope() {
  if (outermost_) {
    delete t_scope;
    t_scope = nullptr;
  }
}

std::string DriveRoot(char letter) {
  const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
  if (const char* v = getenv(DriveVariableName(letter).c_str()); v != nullptr && *v != '\0') {
    std::string root(v);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
  }
  return std::string("/mnt/") + lower;
}

Probe FolderTest(std::string_view win_path) {
  const std::size_t cut = LastSeparator(win_path);
  const bool hidden_last =
      cut != std::string_view::npos && cut + 1 < win_path.size() && win_path[cut + 1] == '.';
  if (!hidden_last && HeldInScope(win_path)) return Probe::kFound;  // tested once per scope
  DrivePath wp;
  if (!ParseDrivePath(win_path, wp)) return Probe::kAbsent;
  if (wp.components.empty()) {
    Probe status;
    return ResolveFolder(wp, 0, status) ? Probe::kFound : status;
  }
  if (IsHidden(wp.components.back())) return Probe::kAbsent;
  const Entry e = FindEntry(win_path);
  if (e.status != Probe::kFound) return e.status;
  if (e.kind == Kind::kFile || e.kind == Kind::kFileLink) return Probe::kFound;
  if (e.kind != Kind::kFolder) return Probe::kAbsent;
  Probe status;
  return ResolveWholeFolder(win_path, status) ? Probe::kFound : status;
}

Probe FileTest(std::string_view win_path) {
  const Entry e = FindEntry(win_path);
  if (e.status != Probe::kFound) return e.status;
  if (e.kind != Kind::kFile && e.kind != Kind::kFileLink) return Probe::kAbsent;
  return IsHidden(e.name) ? Probe::kAbsent : Probe::kFound;
}

Probe EntryTest(std::string_view win_path, bool before_move) {
  const ParentAndName parent = ResolveParent(win_path);
  if (!parent.folder) return parent.status;
  std::string name;
  return Indexes().Lookup(*parent.folder, parent.name, SourceName::kAnyCase, name, nullptr,
                          before_move ? Need::kExistenceBeforeMove : Need::kExistence);
}

std::size_t NameLimit(std::string_view win_folder) {
  if (t_scope != nullptr) {
    auto it = t_scope->name_limits.find(win_folder);
    if (it != t_scope->name_limits.end()) return it->second;
  }
  Probe status;
  const Held folder = ResolveWholeFolder(win_folder, status);
  const long limit = folder ? fpathconf(folder->fd, _PC_NAME_MAX) : -1;
  const std::size_t result = limit > 0 ? static_cast<std::size_t>(limit) : 255;
  if (folder && t_scope != nullptr) t_scope->name_limits.emplace(win_folder, result);
  return result;
}

double ClientCacheSeconds(std::string_view win_folder) {
  Probe status;
  const Held folder = ResolveWholeFolder(win_folder, status);
  return folder ? static_cast<double>(TraitsOf(*folder).attribute_cache_ns) * 1e-9 : 0;
}

namespace {

// As FindEntry, but the exact name is asked of the file system itself first: an index read in
// the same clock tick as a file's arrival (a ".q1" written just before its ".q0") would not
// know it, and a file not known is no file being written.
Entry FindEntryAfresh(std::string_view win_path) {
  const ParentAndName parent = ResolveParent(win_path);
  if (parent.folder && IsPlainComponent(parent.name)) {
    Entry e;
    e.folder = parent.folder;
    e.name = parent.name;
    if (StatEntry(parent.folder->fd, e.name.c_str(), &e.st, !TraitsOf(*parent.folder).local) == 0) {
      e.status = Probe::kFound;
      e.kind = KindOf(parent.folder->fd, e.name, e.st, nullptr);
      return e;
    }
  }
  return FindEntry(win_path);
}

}  // namespace

bool FileBeingWritten(std::string_view win_path) {
  const Entry e = FindEntryAfresh(win_path);
  return e.status == Probe::kFound && e.kind == Kind::kFile &&
         ReadLease::Take(*e.folder, e.name, e.st).BeingWritten();
}

bool FileChangedLately(std::string_view win_path) {
  const Entry e = FindEntryAfresh(win_path);
  return e.status == Probe::kFound && ChangedLately(*e.folder, e.st);
}

}  // namespace platform
