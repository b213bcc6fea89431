#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/names.h"
#include "platform/run_time_error.h"

namespace platform {
namespace {

// ---------------------------------------------------------------------------------------
// Folder indexes: the lower-cased names of a folder, so that a lookup without regard to
// case costs the same in a folder of ten entries and of a hundred thousand. An index is
// checked against the folder's identity and change times on every use and rebuilt when
// they differ. Changes stamped within the current clock tick cannot be told from the
// index's own moment, so such an index is rebuilt on its next use. The program's own
// renames update the index in place and adopt the folder's new stamp; a change by another
// process in the instant between a check and such a rename goes unseen until the folder
// changes again. At worst that lets two names differ only in case: the rename itself never
// replaces anything.
// ---------------------------------------------------------------------------------------

struct FolderStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  timespec mtime{};
  timespec ctime{};
  off_t size = 0;

  bool operator==(const FolderStamp& o) const {
    return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec && size == o.size;
  }
};

FolderStamp StampOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_mtim, st.st_ctim, st.st_size};
}

struct FolderIndex {
  FolderStamp stamp;
  bool trusted = false;                                    // false: rebuild on next use
  std::unordered_map<std::string, std::string> by_folded;  // lower-cased name -> name
};

std::mutex g_index_mutex;
std::unordered_map<std::string, FolderIndex> g_indexes;
constexpr std::size_t kMaxIndexes = 64;

// True when a stamp lies so close to now that a later change could carry the same stamp.
bool IsRecent(const timespec& t) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long diff_ns =
      (static_cast<long long>(now.tv_sec) - t.tv_sec) * 1000000000LL + (now.tv_nsec - t.tv_nsec);
  return diff_ns < 20000000LL;  // 20 ms, several coarse clock ticks
}

Probe ProbeFromErrno(int err) {
  return (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP) ? Probe::kAbsent
                                                                                  : Probe::kFailed;
}

// Brings the index of a folder up to date; the mutex is held by the caller.
Probe RefreshIndex(const std::string& folder, FolderIndex*& out) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return ProbeFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return Probe::kAbsent;
  auto it = g_indexes.find(folder);
  if (it != g_indexes.end() && it->second.trusted && it->second.stamp == StampOf(st)) {
    out = &it->second;
    return Probe::kFound;
  }
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return ProbeFromErrno(errno);
  FolderIndex index;
  index.stamp = StampOf(st);
  index.trusted = !IsRecent(st.st_mtim) && !IsRecent(st.st_ctim);
  while (const dirent* e = readdir(dir)) {
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    auto [pos, inserted] = index.by_folded.emplace(LowerName(name), std::string(name));
    if (!inserted && std::string_view(pos->second) > name) pos->second = name;
  }
  closedir(dir);
  if (g_indexes.size() >= kMaxIndexes && it == g_indexes.end()) g_indexes.clear();
  FolderIndex& slot = g_indexes[folder];
  slot = std::move(index);
  out = &slot;
  return Probe::kFound;
}

bool IsPlainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  path.push_back('/');
  path.append(name);
  return path;
}

// Finds the entry of a folder whose name equals the given one without regard to case.
Probe LookupName(const std::string& folder, std::string_view name, std::string& actual) {
  if (!IsPlainComponent(name)) return Probe::kAbsent;
  struct stat st {};
  if (lstat(Join(folder, name).c_str(), &st) == 0) {
    actual = name;
    return Probe::kFound;
  }
  if (errno != ENOENT) return ProbeFromErrno(errno);
  std::lock_guard<std::mutex> lock(g_index_mutex);
  FolderIndex* index = nullptr;
  const Probe p = RefreshIndex(folder, index);
  if (p != Probe::kFound) return p;
  auto it = index->by_folded.find(LowerName(name));
  if (it == index->by_folded.end()) return Probe::kAbsent;
  actual = it->second;
  return Probe::kFound;
}

// Keeps an index right after the program's own change to its folder.
void NoteChange(const std::string& folder, std::string_view removed, std::string_view added) {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  auto it = g_indexes.find(folder);
  if (it == g_indexes.end()) return;
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) {
    g_indexes.erase(it);
    return;
  }
  FolderIndex& index = it->second;
  if (!removed.empty()) {
    auto r = index.by_folded.find(LowerName(removed));
    if (r != index.by_folded.end() && r->second == removed) index.by_folded.erase(r);
  }
  if (!added.empty()) index.by_folded.emplace(LowerName(added), std::string(added));
  index.stamp = StampOf(st);
}

struct WinPath {
  char drive = 0;
  std::vector<std::string_view> components;
};

bool ParseWinPath(std::string_view path, WinPath& out) {
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) {
    return false;
  }
  out.drive = path[0];
  std::size_t i = 2;
  while (i <= path.size()) {
    std::size_t j = path.find_first_of("\\/", i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) out.components.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return true;
}

// Folders resolved before, by drive root and lower-cased path: one stat confirms such a
// folder instead of a lookup per component.
std::unordered_map<std::string, std::string> g_folders;
constexpr std::size_t kMaxFolders = 256;

std::string FolderKey(const std::string& root, const std::vector<std::string_view>& components,
                      std::size_t count) {
  std::string key = root;
  for (std::size_t k = 0; k < count; ++k) {
    key.push_back('\\');
    key += LowerName(components[k]);
  }
  return key;
}

// The kind of entry at a host path, links followed; 0 when there is none.
unsigned ModeOf(const std::string& host_path) {
  struct stat st {};
  return stat(host_path.c_str(), &st) == 0 ? st.st_mode : 0;
}

Resolved ResolveComponents(char drive, const std::vector<std::string_view>& components,
                           std::size_t count) {
  Resolved r;
  const std::string root = DriveRoot(drive);
  const std::string key = FolderKey(root, components, count);
  {
    std::lock_guard<std::mutex> lock(g_index_mutex);
    auto it = g_folders.find(key);
    if (it != g_folders.end()) {
      const unsigned mode = ModeOf(it->second);
      if (S_ISDIR(mode)) return {Probe::kFound, it->second, mode};
      g_folders.erase(it);
    }
  }
  if (count == 0) {
    r.host_path = root;
    r.mode = ModeOf(root);
    r.status = S_ISDIR(r.mode) ? Probe::kFound : Probe::kAbsent;
    return r;
  }
  r = ResolveComponents(drive, components, count - 1);
  if (r.status != Probe::kFound) return r;
  std::string actual;
  r.status = LookupName(r.host_path, components[count - 1], actual);
  if (r.status != Probe::kFound) return r;
  r.host_path = Join(r.host_path, actual);
  r.mode = ModeOf(r.host_path);
  if (S_ISDIR(r.mode)) {
    std::lock_guard<std::mutex> lock(g_index_mutex);
    if (g_folders.size() >= kMaxFolders) g_folders.clear();
    g_folders[key] = r.host_path;
  }
  return r;
}

// The resolved folder of a path and its last component, as given.
struct ParentAndName {
  Resolved folder;
  std::string_view name;
  bool drive_present = true;
};

ParentAndName ResolveParent(std::string_view win_path) {
  ParentAndName out;
  WinPath wp;
  if (!ParseWinPath(win_path, wp) || wp.components.empty()) {
    out.folder.status = Probe::kAbsent;
    return out;
  }
  out.name = wp.components.back();
  out.folder = ResolveComponents(wp.drive, wp.components, wp.components.size() - 1);
  if (out.folder.status == Probe::kAbsent) {
    struct stat st {};
    out.drive_present = stat(DriveRoot(wp.drive).c_str(), &st) == 0;
  }
  return out;
}

bool IsHiddenName(const std::string& host_path) {
  const std::size_t slash = host_path.rfind('/');
  return slash != std::string::npos && slash + 1 < host_path.size() && host_path[slash + 1] == '.';
}

// ---------------------------------------------------------------------------------------
// Moving without replacing.
// ---------------------------------------------------------------------------------------

// A writer that opens the file while the lease is held makes the kernel signal the holder
// with SIGIO, whose default action ends the process. The lease is given up right after the
// rename, so the signal itself needs no handling.
void IgnoreLeaseBreakSignal() {
  static const bool done = [] {
    struct sigaction current {};
    if (sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGIO, SIG_IGN);
    }
    return true;
  }();
  (void)done;
}

int RenameNoReplaceRaw(const char* from, const char* to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

// Puts a new entry in place without replacing: the no-replace rename, else a hard link and
// the removal of the old name, else a test right before a plain rename.
bool PlaceWithoutReplacing(const char* from, const char* to) {
  if (RenameNoReplaceRaw(from, to) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  if (linkat(AT_FDCWD, from, AT_FDCWD, to, 0) == 0) {
    if (unlink(from) == 0) return true;
    unlink(to);
    return false;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) return false;
  struct stat st {};
  if (lstat(to, &st) == 0 || errno != ENOENT) return false;
  return rename(from, to) == 0;
}

bool CopyContents(int in, int out) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

// Across file systems: a flushed copy under a hidden temporary name, put in place without
// replacing, then the source removed. Leaves the source untouched on any failure.
bool MoveAcrossFileSystems(const std::string& from, const struct stat& st, int source_fd,
                           const std::string& target_folder, const std::string& to) {
  std::string temp = target_folder + "/.tarvex-move-XXXXXX";
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> link(static_cast<std::size_t>(st.st_size) + 1);
    const ssize_t n = readlink(from.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<std::size_t>(n) >= link.size()) return false;
    link[static_cast<std::size_t>(n)] = '\0';
    if (mkstemp(temp.data()) < 0) return false;  // reserves a free name
    unlink(temp.c_str());
    if (symlink(link.data(), temp.c_str()) != 0) return false;
  } else if (S_ISREG(st.st_mode) && source_fd >= 0) {
    const int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) return false;
    const bool ok = lseek(source_fd, 0, SEEK_SET) == 0 && CopyContents(source_fd, out) &&
                    fchmod(out, st.st_mode & 07777) == 0 && fsync(out) == 0;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
    if (close(out) != 0 || !ok) {
      unlink(temp.c_str());
      return false;
    }
  } else {
    return false;
  }
  if (!PlaceWithoutReplacing(temp.c_str(), to.c_str())) {
    unlink(temp.c_str());
    return false;
  }
  if (unlink(from.c_str()) != 0) {
    unlink(to.c_str());  // the source stays: take the copy back out
    return false;
  }
  return true;
}

}  // namespace

std::string DriveRoot(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
  const std::string variable = std::string("TARVEX_DRIVE_") + upper;
  if (const char* v = getenv(variable.c_str()); v != nullptr && *v != '\0') {
    std::string root(v);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
  }
  return std::string("/mnt/") + lower;
}

Resolved ResolvePath(std::string_view win_path) {
  WinPath wp;
  if (!ParseWinPath(win_path, wp)) return {};
  return ResolveComponents(wp.drive, wp.components, wp.components.size());
}

Probe FolderTest(std::string_view win_path) {
  const Resolved r = ResolvePath(win_path);
  if (r.status != Probe::kFound) return r.status;
  if (!S_ISDIR(r.mode) && !S_ISREG(r.mode)) return Probe::kAbsent;
  return IsHiddenName(r.host_path) ? Probe::kAbsent : Probe::kFound;
}

Probe FileTest(std::string_view win_path) {
  const Resolved r = ResolvePath(win_path);
  if (r.status != Probe::kFound) return r.status;
  if (!S_ISREG(r.mode)) return Probe::kAbsent;
  return IsHiddenName(r.host_path) ? Probe::kAbsent : Probe::kFound;
}

bool RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path) {
  const ParentAndName source = ResolveParent(from_win_path);
  if (source.folder.status != Probe::kFound) return false;
  std::string source_name;
  if (LookupName(source.folder.host_path, source.name, source_name) != Probe::kFound) {
    return false;
  }
  const ParentAndName target = ResolveParent(to_win_path);
  if (target.folder.status != Probe::kFound || !IsPlainComponent(target.name)) return false;
  std::string taken;
  if (LookupName(target.folder.host_path, target.name, taken) == Probe::kFound) return false;

  const std::string from = Join(source.folder.host_path, source_name);
  const std::string to = Join(target.folder.host_path, target.name);
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;

  // A read lease is granted only while no process has the file open for writing; holding it
  // across the rename keeps writers out until the file has moved.
  int fd = -1;
  if (S_ISREG(st.st_mode)) {
    IgnoreLeaseBreakSignal();
    fd = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
      if (errno == EAGAIN || errno == EBUSY) {
        close(fd);
        return false;  // held open for writing
      }
      // The file system cannot tell (no lease support, not our file): go ahead.
    }
  }
  bool moved = PlaceWithoutReplacing(from.c_str(), to.c_str());
  if (!moved && errno == EXDEV) {
    moved = MoveAcrossFileSystems(from, st, fd, target.folder.host_path, to);
  }
  if (fd >= 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    close(fd);
  }
  if (moved) {
    NoteChange(source.folder.host_path, source_name, {});
    NoteChange(target.folder.host_path, {}, target.name);
  }
  return moved;
}

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  const ParentAndName file = ResolveParent(win_path);
  if (file.folder.status == Probe::kAbsent) {
    throw file.drive_present ? RunTimeError::PathNotFound() : RunTimeError::DeviceUnavailable();
  }
  if (file.folder.status == Probe::kFailed) throw RunTimeError::PermissionDenied();
  std::string name;
  const Probe p = LookupName(file.folder.host_path, file.name, name);
  if (p == Probe::kFailed) throw RunTimeError::PermissionDenied();
  if (p == Probe::kAbsent) {
    if (!IsPlainComponent(file.name)) throw RunTimeError::PathFileAccessError();
    name = file.name;
  }
  const std::string path = Join(file.folder.host_path, name);
  auto fail = [](int err) -> RunTimeError {
    switch (err) {
      case ENOENT:
      case ENOTDIR:
        return RunTimeError::PathNotFound();
      case EACCES:
      case EPERM:
      case EROFS:
      case ETXTBSY:
        return RunTimeError::PermissionDenied();
      case ENOSPC:
      case EDQUOT:
      case EFBIG:
        return RunTimeError::DiskFull();
      case EIO:
        return RunTimeError::DeviceIoError();
      case ENXIO:
      case ENODEV:
        return RunTimeError::DeviceUnavailable();
      default:
        return RunTimeError::PathFileAccessError();
    }
  };
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) throw fail(errno);
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  const int write_errno = errno;
  if (written >= 0 && static_cast<std::size_t>(written) < line.size()) {
    // Only part of the line went out: take it back unless someone appended after it.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat st {};
    if (end >= written && fstat(fd, &st) == 0 && st.st_size == end) {
      if (ftruncate(fd, end - written) != 0) { /* the error below still ends the program */
      }
    }
    close(fd);
    throw RunTimeError::DiskFull();
  }
  if (written < 0) {
    close(fd);
    throw fail(write_errno);
  }
  if (close(fd) != 0) throw fail(errno);
}

std::unique_ptr<FolderListing> FolderListing::Open(std::string_view search_spec) {
  const std::size_t cut = search_spec.rfind('\\');
  if (cut == std::string_view::npos) return nullptr;
  const std::string_view pattern = search_spec.substr(cut + 1);
  const Resolved folder = ResolvePath(search_spec.substr(0, cut));
  if (folder.status != Probe::kFound) return nullptr;
  DIR* dir = opendir(folder.host_path.c_str());
  if (dir == nullptr) return nullptr;
  std::vector<std::pair<std::string, std::string>> keyed;  // (upper-cased, name)
  std::vector<std::string> dots;
  while (const dirent* e = readdir(dir)) {
    const std::string_view name(e->d_name);
    if (name.find('\\') != std::string_view::npos || !MatchesPattern(name, pattern)) continue;
    if (name == "." || name == "..") {
      dots.emplace_back(name);
    } else {
      keyed.emplace_back(UpperName(name), std::string(name));
    }
  }
  closedir(dir);
  std::sort(dots.begin(), dots.end());  // "." before ".."
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> names = std::move(dots);
  names.reserve(names.size() + keyed.size());
  for (auto& k : keyed) names.push_back(std::move(k.second));
  if (names.empty()) return nullptr;
  return std::unique_ptr<FolderListing>(new FolderListing(folder.host_path, std::move(names)));
}

FolderListing::FolderListing(std::string host_folder, std::vector<std::string> names)
    : host_folder_(std::move(host_folder)), names_(std::move(names)) {}

bool FolderListing::Next(ListingEntry& entry) {
  while (position_ < names_.size()) {
    const std::string& name = names_[position_++];
    struct stat st {};
    if (lstat(Join(host_folder_, name).c_str(), &st) != 0) continue;  // gone meanwhile
    entry.name = name;
    entry.size = 0;
    if (name == "." || name == ".." || S_ISDIR(st.st_mode)) {
      entry.attributes = kAttrDirectory;
    } else {
      entry.attributes = kAttrArchive;
      if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        entry.size = static_cast<std::uint64_t>(st.st_size);
      } else {
        entry.attributes |= kAttrSystem;
      }
    }
    if (name[0] == '.' && name != "." && name != "..") entry.attributes |= kAttrHidden;
    return true;
  }
  return false;
}

void ForgetFolderIndexes() {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  g_indexes.clear();
  g_folders.clear();
}

}  // namespace platform
