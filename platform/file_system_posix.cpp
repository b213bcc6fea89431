#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/move_record.h"
#include "platform/names.h"
#include "platform/run_time_error.h"

namespace platform {

struct HeldFolder {
  HeldFolder(int descriptor, const struct stat& st)
      : fd(descriptor), dev(st.st_dev), ino(st.st_ino) {}
  ~HeldFolder() { close(fd); }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  bool SameAs(const HeldFolder& o) const { return dev == o.dev && ino == o.ino; }

  int fd;
  dev_t dev;
  ino_t ino;
};

namespace {

using Held = std::shared_ptr<const HeldFolder>;

Probe ProbeFromErrno(int err) {
  return (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP) ? Probe::kAbsent
                                                                                  : Probe::kFailed;
}

Held HoldDescriptor(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  return std::make_shared<const HeldFolder>(fd, st);
}

long long NanosOf(const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

long long ClockNanos(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return NanosOf(now);
}

bool IsPlainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// ---------------------------------------------------------------------------------------
// Folder indexes: 64-bit hashes of the lower-cased names of a folder, so that a lookup
// without regard to case costs the same in a folder of ten entries and of a million, at
// under 24 bytes per name. A hash answers "absent" for certain; a hit whose exact name is not
// there is settled by reading the folder again, which finds the entry that differs only in
// case (or none, when the hit was false or stale), so a false hit costs one read and never a
// replacement.
//
// Where the folder's file system reports its changes (local file systems), the index is kept
// current from those reports, applied in the order they happened; the program's own renames
// reach it the same way. Elsewhere (a drive mounted from another machine, whose changes no
// report covers) the index is checked against the folder's change times on every use and
// read again when they differ. A change stamped within the same clock tick as the reading
// cannot be told from it, so such an index read that close to a change is trusted for one
// tick only and then read again; the program's own renames update it in place and adopt the
// folder's new stamp, and a change by another process in the instant between a check and
// such a rename goes unseen until the folder changes again. At worst that lets two names
// differ only in case, or keeps a file in its source until the next pass (a rename refused
// because its exact name was taken drops the index): the rename itself never replaces
// anything.
// ---------------------------------------------------------------------------------------

std::uint64_t FoldedHash(std::string_view name) {
  std::uint64_t h = 1469598103934665603ULL;  // FNV-1a, then a final mix
  for (const unsigned char c : LowerName(name)) h = (h ^ c) * 1099511628211ULL;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h == 0 ? 1 : h;  // 0 marks an empty slot
}

// A multiset of hashes: open addressing with linear probing, 8 bytes a slot, at most three
// quarters full. Names that differ only in case each hold a slot of the same hash.
class NameHashes {
 public:
  bool Contains(std::uint64_t h) const {
    if (slots_.empty()) return false;
    for (std::size_t i = h & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
      if (slots_[i] == h) return true;
    }
    return false;
  }
  void Insert(std::uint64_t h) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    std::size_t i = h & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = h;
    ++count_;
  }
  void EraseOne(std::uint64_t h) {
    if (slots_.empty()) return;
    std::size_t i = h & mask_;
    while (slots_[i] != h) {
      if (slots_[i] == 0) return;
      i = (i + 1) & mask_;
    }
    // Backward shift: later entries of the run move up so that no probe stops short.
    for (std::size_t j = (i + 1) & mask_; slots_[j] != 0; j = (j + 1) & mask_) {
      const std::size_t home = slots_[j] & mask_;
      if (((j - home) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = 0;
    --count_;
  }
  std::size_t Bytes() const { return slots_.capacity() * sizeof(std::uint64_t); }
  std::size_t size() const { return count_; }

 private:
  void Grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
    mask_ = slots_.size() - 1;
    count_ = 0;
    for (const std::uint64_t h : old) {
      if (h != 0) Insert(h);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

struct FolderStamp {
  timespec mtime{};
  timespec ctime{};
  off_t size = 0;

  bool operator==(const FolderStamp& o) const {
    return NanosOf(mtime) == NanosOf(o.mtime) && NanosOf(ctime) == NanosOf(o.ctime) &&
           size == o.size;
  }
};

FolderStamp StampOf(const struct stat& st) { return {st.st_mtim, st.st_ctim, st.st_size}; }

struct FolderIndex {
  int watch = -1;  // the change reports' watch; -1: the index is checked by its stamp
  FolderStamp stamp;
  bool trusted = false;  // false: read again once a tick has passed since read_at
  long long read_at = 0;
  NameHashes names;
};

using IndexKey = std::pair<dev_t, ino_t>;

constexpr long long kTickNanos = 20000000LL;  // several coarse clock ticks
constexpr std::size_t kMaxIndexes = 64;

std::mutex g_index_mutex;
std::map<IndexKey, FolderIndex> g_indexes;
std::unordered_map<int, IndexKey> g_watched;  // watch -> its folder's index
int g_reports = -2;                           // the change-report descriptor; -2 before first use
// Folders of at least this many names follow the change reports: for a smaller one a read
// costs less than the reports that the program's own renames would raise.
std::size_t g_reports_from = kFollowChangeReportsFrom;
bool g_forked = false;  // a child process inherited its parent's watches: not its own to use
std::atomic<std::uint64_t> g_index_reads{0};

bool IsRecent(const timespec& t) { return ClockNanos(CLOCK_REALTIME) - NanosOf(t) < kTickNanos; }

// File systems whose every change passes through this machine's kernel, so that its change
// reports cover them; a drive mounted from elsewhere (NFS, SMB, FUSE) is checked by stamp.
bool ReportsEveryChange(int dir_fd) {
  struct statfs fs {};
  if (fstatfs(dir_fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x01021994:  // tmpfs
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0x794C7630:  // overlay
    case 0x4D44:      // vfat
    case 0x2011BAB0:  // exfat
    case 0x7366746E:  // ntfs3
      return true;
    default:
      return false;
  }
}

void EraseIndex(std::map<IndexKey, FolderIndex>::iterator it) {
  if (it->second.watch >= 0) {
    g_watched.erase(it->second.watch);
    if (g_reports >= 0) inotify_rm_watch(g_reports, it->second.watch);
  }
  g_indexes.erase(it);
}

void EraseAllIndexes() {
  while (!g_indexes.empty()) EraseIndex(g_indexes.begin());
}

// In a child process the parent's watches go on reporting to the parent alone.
void ForgetParentsReports() {
  if (g_reports >= 0) close(g_reports);
  g_reports = -2;
  g_forked = true;
}

// Applies the change reports that have arrived, in order; the mutex is held by the caller.
void ApplyReports() {
  if (g_forked) {
    g_forked = false;
    g_watched.clear();
    for (auto it = g_indexes.begin(); it != g_indexes.end();) {
      it = it->second.watch >= 0 ? g_indexes.erase(it) : std::next(it);
    }
  }
  if (g_reports < 0) return;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = read(g_reports, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: nothing more has happened
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if ((e->mask & IN_Q_OVERFLOW) != 0) {
        EraseAllIndexes();  // reports were lost: every index is read again
        continue;
      }
      auto w = g_watched.find(e->wd);
      if (w == g_watched.end()) continue;
      auto it = g_indexes.find(w->second);
      if ((e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) != 0) {
        if (it != g_indexes.end()) EraseIndex(it);
        continue;
      }
      if (it == g_indexes.end() || e->len == 0) continue;
      const std::string_view name(e->name);
      if ((e->mask & (IN_CREATE | IN_MOVED_TO)) != 0) it->second.names.Insert(FoldedHash(name));
      if ((e->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
        it->second.names.EraseOne(FoldedHash(name));
      }
    }
    // A read that left room for more took all there was; what comes later is for the next use.
    if (n + static_cast<ssize_t>(sizeof(inotify_event) + NAME_MAX + 1) <=
        static_cast<ssize_t>(sizeof buffer)) {
      return;
    }
  }
}

// A watch on the held folder for its change reports, or -1 where they are not to be had.
int WatchFolder(int dir_fd) {
  if (!ReportsEveryChange(dir_fd)) return -1;
  if (g_reports == -2) {
    static const bool registered = pthread_atfork(nullptr, nullptr, ForgetParentsReports) == 0;
    if (!registered) return -1;
    g_reports = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  }
  if (g_reports < 0) return -1;
  // Through the descriptor's own link, so that the watch is on the very folder held.
  const std::string self = "/proc/self/fd/" + std::to_string(dir_fd);
  return inotify_add_watch(
      g_reports, self.c_str(),
      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR);
}

// Reads every name of a folder into `names`; with `wanted` (lower-cased), also sets
// `actual` to the smallest name whose lower-cased form it is (empty when there is none).
Probe ReadNames(const HeldFolder& dir, NameHashes& names, const std::string* wanted,
                std::string* actual) {
  const int fd = openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    const int err = errno;
    if (fd >= 0) close(fd);
    return ProbeFromErrno(err);
  }
  names = NameHashes();
  if (actual != nullptr) actual->clear();
  while (const dirent* e = readdir(listing)) {
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    names.Insert(FoldedHash(name));
    if (actual != nullptr && (actual->empty() || name < *actual) && LowerName(name) == *wanted) {
      *actual = name;
    }
  }
  closedir(listing);
  ++g_index_reads;
  return Probe::kFound;
}

// Brings the index of a folder up to date; the mutex is held by the caller. kAbsent when
// the folder has been removed. With `wanted`, reads the folder in any case and sets `actual`
// to the smallest name whose lower-cased form is that of `wanted` (empty when there is none).
Probe RefreshIndex(const HeldFolder& dir, FolderIndex*& out, std::string_view wanted = {},
                   std::string* actual = nullptr) {
  ApplyReports();
  const IndexKey key{dir.dev, dir.ino};
  auto it = g_indexes.find(key);
  if (it != g_indexes.end() && it->second.watch >= 0 && actual == nullptr) {
    out = &it->second;
    return Probe::kFound;
  }
  struct stat st {};
  if (fstat(dir.fd, &st) != 0) return ProbeFromErrno(errno);
  if (st.st_nlink == 0) return Probe::kAbsent;
  const long long now = ClockNanos(CLOCK_MONOTONIC);
  if (it != g_indexes.end() && actual == nullptr && it->second.stamp == StampOf(st) &&
      (it->second.trusted || now - it->second.read_at < kTickNanos)) {
    out = &it->second;
    return Probe::kFound;
  }
  const std::size_t known = it != g_indexes.end() ? it->second.names.size() : 0;
  if (it != g_indexes.end()) EraseIndex(it);
  if (g_indexes.size() >= kMaxIndexes) EraseAllIndexes();

  FolderIndex index;
  const std::string folded_wanted = actual != nullptr ? LowerName(wanted) : std::string();
  // A folder's size in bytes grows with its names on the usual file systems (16 bytes or
  // more each), which tells a large folder before its first reading.
  if (known >= g_reports_from || static_cast<std::size_t>(st.st_size) / 16 >= g_reports_from) {
    index.watch = WatchFolder(dir.fd);  // before the reading, so that no change falls between
    ApplyReports();                     // reports from before the watch concern other folders
  }
  index.stamp = StampOf(st);
  index.trusted = !IsRecent(st.st_mtim) && !IsRecent(st.st_ctim);
  Probe p = ReadNames(dir, index.names, &folded_wanted, actual);
  if (p == Probe::kFound && index.watch < 0 && index.names.size() >= g_reports_from &&
      (index.watch = WatchFolder(dir.fd)) >= 0) {
    // Grown large enough to follow the change reports. A change between the reading and
    // the watch would go unreported: a stamp unchanged since, and old enough to be trusted,
    // shows there was none; otherwise the folder is read again under the watch.
    ApplyReports();
    struct stat again {};
    if (fstat(dir.fd, &again) != 0 || !(StampOf(again) == index.stamp) || !index.trusted) {
      p = ReadNames(dir, index.names, &folded_wanted, actual);
    }
  }
  if (p != Probe::kFound) {
    if (index.watch >= 0) inotify_rm_watch(g_reports, index.watch);
    return p;
  }
  index.read_at = ClockNanos(CLOCK_MONOTONIC);  // a long read must not count against itself
  FolderIndex& slot = g_indexes[key];
  slot = std::move(index);
  if (slot.watch >= 0) g_watched[slot.watch] = key;
  out = &slot;
  return Probe::kFound;
}

// What a lookup must tell: the entry itself (its actual name and lstat), or only whether
// there is one, which a hit in the folder's index answers without more ado.
enum class Need { kEntry, kExistence };

// Finds the entry of a folder with the given name, or (kAnyCase) the one whose name
// differs from it only in case; fills its lstat.
Probe LookupName(const HeldFolder& dir, std::string_view name, SourceName match,
                 std::string& actual, struct stat* st_out = nullptr, Need need = Need::kEntry) {
  if (!IsPlainComponent(name)) return Probe::kAbsent;
  struct stat st {};
  const std::string exact(name);
  if (match == SourceName::kAnyCase) {
    // A folder that already has an index tells an absent name without a lookup of its own.
    std::lock_guard<std::mutex> lock(g_index_mutex);
    FolderIndex* index = nullptr;
    if (g_indexes.count({dir.dev, dir.ino}) != 0) {
      const Probe p = RefreshIndex(dir, index);
      if (p != Probe::kFound) return p;
      if (!index->names.Contains(FoldedHash(name))) return Probe::kAbsent;
      if (need == Need::kExistence) return Probe::kFound;
    }
  }
  if (fstatat(dir.fd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    actual = exact;
    if (st_out != nullptr) *st_out = st;
    return Probe::kFound;
  }
  if (errno != ENOENT) return ProbeFromErrno(errno);
  if (match == SourceName::kExact) return Probe::kAbsent;
  {
    std::lock_guard<std::mutex> lock(g_index_mutex);
    FolderIndex* index = nullptr;
    Probe p = RefreshIndex(dir, index);
    if (p != Probe::kFound) return p;
    if (!index->names.Contains(FoldedHash(name))) return Probe::kAbsent;
    if (need == Need::kExistence) return Probe::kFound;
    p = RefreshIndex(dir, index, name, &actual);  // which entry, if any, the hash stands for
    if (p != Probe::kFound) return p;
    if (actual.empty()) return Probe::kAbsent;
  }
  if (st_out != nullptr && fstatat(dir.fd, actual.c_str(), st_out, AT_SYMLINK_NOFOLLOW) != 0) {
    return ProbeFromErrno(errno);
  }
  return Probe::kFound;
}

// Before the program's own change to a folder checked by stamp: an index that no longer
// matches the folder is dropped, so that the change is applied only to an index that was
// current.
void CheckIndexBeforeChange(const HeldFolder& dir) {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  auto it = g_indexes.find({dir.dev, dir.ino});
  if (it == g_indexes.end() || it->second.watch >= 0) return;
  struct stat st {};
  if (fstat(dir.fd, &st) != 0 || !(StampOf(st) == it->second.stamp)) EraseIndex(it);
}

// Keeps an index checked by stamp right after the program's own change to its folder (a
// watched index learns of it from the change reports).
void NoteChange(const HeldFolder& dir, std::string_view removed, std::string_view added) {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  auto it = g_indexes.find({dir.dev, dir.ino});
  if (it == g_indexes.end() || it->second.watch >= 0) return;
  struct stat st {};
  if (fstat(dir.fd, &st) != 0) {
    EraseIndex(it);
    return;
  }
  FolderIndex& index = it->second;
  if (!removed.empty()) index.names.EraseOne(FoldedHash(removed));
  if (!added.empty()) index.names.Insert(FoldedHash(added));
  index.stamp = StampOf(st);
}

void DropIndex(const HeldFolder& dir) {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  auto it = g_indexes.find({dir.dev, dir.ino});
  if (it != g_indexes.end()) EraseIndex(it);
}

// ---------------------------------------------------------------------------------------
// Drive paths, resolved into folders held open.
// ---------------------------------------------------------------------------------------

struct WinPath {
  char drive = 0;
  std::vector<std::string_view> components;
};

bool ParseWinPath(std::string_view path, WinPath& out) {
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) {
    return false;
  }
  out.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  std::size_t i = 2;
  while (i <= path.size()) {
    std::size_t j = path.find_first_of("\\/", i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) out.components.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return true;
}

struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// What this user may do in a folder: add and remove entries, and (in a sticky folder of
// another user's) remove only its own.
struct FolderRights {
  bool may_change = true;
  bool own_files_only = false;
};

// What the outermost FolderScope of a thread has resolved: folders by drive letter and
// lower-cased path, and again by the exact path a caller gave (so that a pass's repeated
// paths are neither parsed nor lower-cased again); name limits; the actual name of each
// log file appended to.
struct ScopeFolders {
  std::unordered_map<std::string, Held> by_key;
  std::unordered_map<std::string, Held, PathHash, std::equal_to<>> by_path;
  std::unordered_map<std::string, std::size_t, PathHash, std::equal_to<>> name_limits;
  std::unordered_map<std::string, std::pair<Held, std::string>, PathHash, std::equal_to<>>
      log_files;
  std::unordered_map<const HeldFolder*, FolderRights> rights;
};
thread_local ScopeFolders* t_scope = nullptr;

Held HeldInScope(std::string_view win_folder) {
  if (t_scope == nullptr) return nullptr;
  auto it = t_scope->by_path.find(win_folder);
  return it == t_scope->by_path.end() ? nullptr : it->second;
}

// True when a folder held open lies beneath the drive's root (or is the root): its chain of
// ".." entries reaches the root before the top of the host's tree.
bool IsBeneath(int fd, const HeldFolder& root) {
  int current = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  for (int depth = 0; current >= 0 && depth < 4096; ++depth) {
    struct stat st {};
    if (fstat(current, &st) != 0) break;
    if (st.st_dev == root.dev && st.st_ino == root.ino) {
      close(current);
      return true;
    }
    const int up = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat up_st {};
    if (up < 0 || fstat(up, &up_st) != 0 ||
        (up_st.st_dev == st.st_dev && up_st.st_ino == st.st_ino)) {
      if (up >= 0) close(up);
      break;
    }
    close(current);
    current = up;
  }
  if (current >= 0) close(current);
  return false;
}

// Opens the folder of one entry of a held folder. A symbolic link is followed only to a
// folder beneath the drive's root.
Held OpenChild(const HeldFolder& parent, const HeldFolder& root, const std::string& name,
               Probe& status) {
  int fd = openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
    struct stat st {};
    if (fstatat(parent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
      status = Probe::kAbsent;
      return nullptr;
    }
    fd = openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && !IsBeneath(fd, root)) {
      close(fd);
      status = Probe::kAbsent;
      return nullptr;
    }
  }
  if (fd < 0) {
    status = ProbeFromErrno(errno);
    return nullptr;
  }
  Held held = HoldDescriptor(fd);
  status = held ? Probe::kFound : Probe::kAbsent;
  return held;
}

// The folder of the first `count` components of a drive path, held open; null with the
// reason in status. Within a FolderScope each folder is resolved once.
Held ResolveFolder(const WinPath& wp, std::size_t count, Probe& status) {
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
    const int fd = open(DriveRoot(wp.drive).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      status = ProbeFromErrno(errno);
      return nullptr;
    }
    root = HoldDescriptor(fd);
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
    status = LookupName(*current, wp.components[k], SourceName::kAnyCase, actual);
    if (status != Probe::kFound) return nullptr;
    current = OpenChild(*current, *root, actual, status);
    if (!current) return nullptr;
    remember(key, current);
  }
  status = Probe::kFound;
  return current;
}

// The held folder of a path and its last component, as given.
struct ParentAndName {
  Held folder;
  Probe status = Probe::kAbsent;
  std::string_view name;
  char drive = 0;
  std::size_t cut = 2;  // where the folder's own drive path ends in the path given
};

// A whole drive path of a folder, held open; within a FolderScope looked up by the exact
// path first.
Held ResolveWholeFolder(std::string_view win_folder, Probe& status) {
  if (Held held = HeldInScope(win_folder)) {
    status = Probe::kFound;
    return held;
  }
  WinPath wp;
  if (!ParseWinPath(win_folder, wp)) {
    status = Probe::kAbsent;
    return nullptr;
  }
  Held held = ResolveFolder(wp, wp.components.size(), status);
  if (held && t_scope != nullptr) t_scope->by_path.emplace(win_folder, held);
  return held;
}

ParentAndName ResolveParent(std::string_view win_path) {
  ParentAndName out;
  const std::size_t cut = win_path.find_last_of("\\/");
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
  WinPath wp;
  if (!ParseWinPath(win_path, wp) || wp.components.empty()) return out;
  out.drive = wp.drive;
  out.name = wp.components.back();
  out.folder = ResolveFolder(wp, wp.components.size() - 1, out.status);
  if (out.folder && t_scope != nullptr && has_name) {
    t_scope->by_path.emplace(win_path.substr(0, cut), out.folder);
  }
  return out;
}

enum class Kind { kFile, kFileLink, kFolder, kSystem };

// The kind of an entry from its lstat; a link is what it leads to. `followed` receives the
// status of the file a file link leads to.
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
  e.status = LookupName(*parent.folder, parent.name, SourceName::kAnyCase, e.name, &e.st);
  if (e.status == Probe::kFound) e.kind = KindOf(parent.folder->fd, e.name, e.st, nullptr);
  return e;
}

// ---------------------------------------------------------------------------------------
// Writers: a file that some process holds open for writing has not arrived yet.
// ---------------------------------------------------------------------------------------

// Where no lease can tell, a file that changed within this many seconds counts as being
// written.
constexpr long long kQuietNanos = 3000000000LL;

bool ChangedRecently(const struct stat& st) {
  const long long age = ClockNanos(CLOCK_REALTIME) - NanosOf(st.st_ctim);
  return age < kQuietNanos && age > -kQuietNanos;
}

// A writer that opens the file while a lease is held makes the kernel signal the holder
// with SIGIO, whose default action ends the process. Leases are checked explicitly instead.
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

enum class Writers { kNone, kSome, kUnknown };

// Takes a read lease on a file opened for reading: granted only while no process holds it
// open for writing, and kept until the descriptor is closed. Without the capability to
// lease other users' files the answer is kUnknown.
Writers TakeReadLease(int fd) {
  IgnoreLeaseBreakSignal();
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Writers::kNone;
  return (errno == EAGAIN || errno == EBUSY) ? Writers::kSome : Writers::kUnknown;
}

// A writer has asked for the file since the lease was taken.
bool LeaseBroken(int fd) { return fcntl(fd, F_GETLEASE) != F_RDLCK; }

// The read lease that a listing took on the file it returned last, handed on to the rename
// that moves that file, so that the file is not opened and leased twice. It is given up by
// the next entry, the end of the listing, or the rename, whichever comes first.
struct HandedLease {
  int fd = -1;
  dev_t folder_dev = 0;
  ino_t folder_ino = 0;
  std::string name;
  dev_t dev = 0;
  ino_t ino = 0;
};
thread_local HandedLease t_handed;

HandedLease TakeHandedLease() {
  HandedLease handed = std::move(t_handed);
  t_handed.fd = -1;
  return handed;
}

void ReleaseHandedLease() {
  if (t_handed.fd >= 0) close(t_handed.fd);
  t_handed.fd = -1;
}

// Whether some process holds the file open for writing; where a lease can tell that none
// does and `hand_on` is set, the lease is kept for the rename.
bool BeingWritten(const HeldFolder& folder, const std::string& name, const struct stat& st,
                  bool hand_on) {
  const int fd =
      openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  Writers writers = Writers::kUnknown;
  if (fd >= 0) writers = TakeReadLease(fd);
  struct stat opened {};
  if (writers == Writers::kNone && hand_on && fstat(fd, &opened) == 0 &&
      opened.st_ino == st.st_ino && opened.st_dev == st.st_dev) {
    t_handed = {fd, folder.dev, folder.ino, name, st.st_dev, st.st_ino};
    return false;
  }
  if (fd >= 0) close(fd);
  return writers == Writers::kUnknown ? ChangedRecently(st) : writers == Writers::kSome;
}

// ---------------------------------------------------------------------------------------
// Moving without replacing.
// ---------------------------------------------------------------------------------------

// Puts an entry in place without replacing: the no-replace rename, else a hard link and
// the removal of the old name, else a test right before a plain rename. errno tells why it
// failed (EXDEV across file systems).
bool PlaceWithoutReplacing(int from_dir, const char* from, int to_dir, const char* to) {
  if (renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  if (linkat(from_dir, from, to_dir, to, 0) == 0) {
    if (unlinkat(from_dir, from, 0) == 0) return true;
    unlinkat(to_dir, to, 0);
    return false;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) return false;
  struct stat st {};
  if (fstatat(to_dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return false;
  return renameat(from_dir, from, to_dir, to) == 0;
}

bool CopyContents(int in, int out, bool watch_lease) {
  std::vector<char> buffer(1 << 20);
  for (off_t offset = 0;;) {
    const ssize_t n = pread(in, buffer.data(), buffer.size(), offset);
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
    offset += n;
    if (watch_lease && LeaseBroken(in)) return false;  // a writer waits: let it in
  }
}

// The source has not changed since st was taken (and, with a lease, no writer asked).
bool SourceUnchanged(int source_dir, const std::string& name, int fd, const struct stat& st,
                     bool leased) {
  struct stat now {};
  if (fstatat(source_dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      now.st_ino != st.st_ino || now.st_dev != st.st_dev || now.st_size != st.st_size ||
      NanosOf(now.st_mtim) != NanosOf(st.st_mtim) || NanosOf(now.st_ctim) != NanosOf(st.st_ctim)) {
    return false;
  }
  return !(leased && LeaseBroken(fd));
}

// Removes an entry only if it is still the given file (any file for inode 0: a name of the
// mover's own that no one else can guess) and this user's own.
void RemoveIfOwn(int dir_fd, const std::string& name, unsigned long long ino) {
  struct stat st {};
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      (ino == 0 || st.st_ino == ino) && st.st_uid == geteuid() && !S_ISDIR(st.st_mode)) {
    unlinkat(dir_fd, name.c_str(), 0);
  }
}

// Puts a claimed source back in view: under its own name, else (another file took that name
// meanwhile) under "~1" and its name, "~2"..., so that a later pass still moves it. False
// only when no such name could be had.
bool PutBack(const HeldFolder& source, const std::string& claim, const std::string& name,
             unsigned long long ino) {
  if (PlaceWithoutReplacing(source.fd, claim.c_str(), source.fd, name.c_str())) return true;
  struct stat st {};
  if (fstatat(source.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_ino == ino) {
    return unlinkat(source.fd, claim.c_str(), 0) == 0;  // a claim by link, cut short
  }
  for (int k = 1; k < 100; ++k) {
    const std::string other = "~" + std::to_string(k) + name;
    if (PlaceWithoutReplacing(source.fd, claim.c_str(), source.fd, other.c_str())) return true;
    if (errno != EEXIST) break;
  }
  return false;
}

// The record that a move cut short left for these folders, settled: true when none is left.
// A record is left while its folders cannot be reached (the drive is not there yet).
bool SettleRecordedMove(std::string_view source_win_folder, std::string_view target_win_folder) {
  MoveRecord record;
  if (!LoadMoveRecord(record)) return true;
  if (record.source_folder != source_win_folder || record.target_folder != target_win_folder) {
    SetMoveRecordAside(record);
    return true;
  }
  Probe status;
  const Held source = ResolveWholeFolder(source_win_folder, status);
  const Held target = ResolveWholeFolder(target_win_folder, status);
  if (!source || !target) return false;
  if (source->dev != record.source_folder_dev || source->ino != record.source_folder_ino ||
      target->dev != record.target_folder_dev || target->ino != record.target_folder_ino) {
    SetMoveRecordAside(record);  // the drive leads elsewhere now: these are other folders
    return true;
  }
  struct stat copy {};
  const bool placed =
      fstatat(target->fd, record.target_name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0 &&
      record.copy_ino != 0 && copy.st_dev == target->dev && copy.st_ino == record.copy_ino &&
      copy.st_uid == geteuid();
  RemoveIfOwn(target->fd, record.partial_name, record.copy_ino);  // a copy never put in place
  struct stat claimed {};
  if (fstatat(source->fd, record.claim_name.c_str(), &claimed, AT_SYMLINK_NOFOLLOW) == 0 &&
      claimed.st_dev == record.dev && claimed.st_ino == record.ino) {
    const bool copied = static_cast<unsigned long long>(claimed.st_size) == record.size &&
                        NanosOf(claimed.st_mtim) == record.mtime_ns;
    if (placed && copied) {
      unlinkat(source->fd, record.claim_name.c_str(), 0);
    } else if (!PutBack(*source, record.claim_name, record.name, record.ino)) {
      return false;
    }
    DropIndex(*source);
  }
  ClearMoveRecord();
  return true;
}

// Across file systems. The record is saved before anything changes on the drive, so that a
// kill at any later step leaves what FinishInterruptedMoves needs: the source is claimed
// first (a source that cannot be claimed is never copied, so no copy of it is ever seen),
// then copied, the copy put in place without replacing, and the claimed source removed if
// it did not change meanwhile.
bool MoveAcrossFileSystems(const HeldFolder& source, std::string_view source_win_folder,
                           const std::string& name, const struct stat& st, Kind kind, int fd,
                           bool leased, const HeldFolder& target,
                           std::string_view target_win_folder, const std::string& to) {
  std::string link_text;
  if (kind == Kind::kFileLink) {
    std::vector<char> text(static_cast<std::size_t>(st.st_size) + 2);
    const ssize_t n = readlinkat(source.fd, name.c_str(), text.data(), text.size());
    if (n < 0 || static_cast<std::size_t>(n) >= text.size()) return false;
    link_text.assign(text.data(), static_cast<std::size_t>(n));
  } else if (fd < 0) {
    return false;  // cannot be read, so cannot be copied
  }
  if (!SettleRecordedMove(source_win_folder, target_win_folder) || !MoveRecordsCanBeKept()) {
    return false;
  }

  MoveRecord record;
  record.source_folder = source_win_folder;
  record.target_folder = target_win_folder;
  record.source_folder_dev = source.dev;
  record.source_folder_ino = source.ino;
  record.target_folder_dev = target.dev;
  record.target_folder_ino = target.ino;
  record.name = name;
  record.claim_name = ClaimName();
  record.dev = st.st_dev;
  record.ino = st.st_ino;
  record.size = static_cast<unsigned long long>(st.st_size);
  record.mtime_ns = NanosOf(st.st_mtim);
  record.partial_name = PartialName();
  record.target_name = to;
  if (!SaveMoveRecord(record)) return false;
  const std::string& claim = record.claim_name;
  const std::string& partial = record.partial_name;
  if (!PlaceWithoutReplacing(source.fd, name.c_str(), source.fd, claim.c_str())) {
    ClearMoveRecord();  // the mover may not remove the source (or it went): nothing is copied
    return false;
  }
  // The claim names the leased file, unless another took its name since the lookup; the
  // rename changed its change time, so later checks compare with the claimed state.
  struct stat claimed {};
  bool ok = fstatat(source.fd, claim.c_str(), &claimed, AT_SYMLINK_NOFOLLOW) == 0 &&
            claimed.st_dev == st.st_dev && claimed.st_ino == st.st_ino &&
            claimed.st_size == st.st_size && NanosOf(claimed.st_mtim) == NanosOf(st.st_mtim);

  // The copy, made under a name the record already holds; the record then learns its inode,
  // by which the recovery tells it from anything put at its name later.
  int out = -1;
  if (ok && kind == Kind::kFileLink) {
    ok = symlinkat(link_text.c_str(), target.fd, partial.c_str()) == 0;
  } else if (ok) {
    out = openat(target.fd, partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0600);
    ok = out >= 0;
  }
  struct stat copy {};
  ok = ok && fstatat(target.fd, partial.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0;
  record.copy_ino = copy.st_ino;
  ok = ok && SaveMoveRecord(record);
  if (ok && out >= 0) {
    // Owned by this user, with the source's permissions but never set-user-id,
    // set-group-id or sticky.
    ok = CopyContents(fd, out, leased) && fchmod(out, st.st_mode & 0777) == 0;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ok && futimens(out, times) == 0 && fsync(out) == 0;
  }
  if (out >= 0 && close(out) != 0) ok = false;
  ok = ok && SourceUnchanged(source.fd, claim, fd, claimed, leased) &&
       PlaceWithoutReplacing(target.fd, partial.c_str(), target.fd, to.c_str());
  if (ok && (!SourceUnchanged(source.fd, claim, fd, claimed, leased) ||
             unlinkat(source.fd, claim.c_str(), 0) != 0)) {
    RemoveIfOwn(target.fd, to, copy.st_ino);  // the source stays: take the copy back out
    ok = false;
  }
  if (!ok) {
    RemoveIfOwn(target.fd, partial, copy.st_ino);
    // A source that cannot be put back keeps the record, which the next move or start
    // settles.
    if (!PutBack(source, claim, name, st.st_ino)) return false;
  }
  ClearMoveRecord();
  return ok;
}

RunTimeError ErrorFromErrno(int err) {
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
    case ENODEV:
      return RunTimeError::DeviceUnavailable();
    default:
      return RunTimeError::PathFileAccessError();
  }
}

// Opens a log file for appending, only as a plain file with a single name and never through
// a link at its name; -1 with errno set otherwise (EINVAL for an entry of another kind or a
// file with more names). A log this call creates lets write to it those whom its folder
// lets add to the folder, no one else: the other movers' users of a shared log.
int OpenLogFile(const HeldFolder& folder, const std::string& name) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
    fd = openat(folder.fd, name.c_str(), kFlags);
    if (fd >= 0 || errno != ENOENT) break;
    fd = openat(folder.fd, name.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      struct stat made {
      }, dir{};
      if (fstat(fd, &made) == 0 && fstat(folder.fd, &dir) == 0) {
        fchmod(fd, (made.st_mode & 0755) | (dir.st_mode & 0022));
      }
    } else if (errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) return -1;
  struct stat opened {};
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Writes one line in one write and closes the file; a line written only in part is taken
// out again unless someone appended after it.
template <typename Fail>
void WriteLogLine(int fd, std::string_view line, const Fail& fail) {
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  const int write_errno = errno;
  if (written >= 0 && static_cast<std::size_t>(written) < line.size()) {
    // Only part of the line went out: take it back unless someone appended after it.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat now {};
    if (end >= written && fstat(fd, &now) == 0 && now.st_size == end) {
      if (ftruncate(fd, end - written) != 0) { /* the error below still ends the program */
      }
    }
    close(fd);
    throw fail(RunTimeError::DiskFull());
  }
  if (written < 0) {
    close(fd);
    throw fail(ErrorFromErrno(write_errno));
  }
  if (close(fd) != 0) throw fail(ErrorFromErrno(errno));
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

Probe FolderTest(std::string_view win_path) {
  const std::size_t cut = win_path.find_last_of("\\/");
  const bool hidden_last =
      cut != std::string_view::npos && cut + 1 < win_path.size() && win_path[cut + 1] == '.';
  if (!hidden_last && HeldInScope(win_path)) return Probe::kFound;  // tested once per scope
  WinPath wp;
  if (!ParseWinPath(win_path, wp)) return Probe::kAbsent;
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

Probe EntryTest(std::string_view win_path) {
  const ParentAndName parent = ResolveParent(win_path);
  if (!parent.folder) return parent.status;
  std::string name;
  return LookupName(*parent.folder, parent.name, SourceName::kAnyCase, name, nullptr,
                    Need::kExistence);
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

bool RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path,
                     SourceName match) {
  FolderScope scope;  // each folder resolved once for the whole move
  struct Handed {
    HandedLease lease = TakeHandedLease();
    ~Handed() {
      if (lease.fd >= 0) close(lease.fd);
    }
  } owner;
  HandedLease& handed = owner.lease;
  const ParentAndName source = ResolveParent(from_win_path);
  const ParentAndName target = ResolveParent(to_win_path);
  if (!source.folder || !target.folder || source.folder->SameAs(*target.folder)) return false;
  if (!IsPlainComponent(target.name)) return false;
  std::string name;
  struct stat st {};
  if (LookupName(*source.folder, source.name, match, name, &st) != Probe::kFound) return false;
  const Kind kind = KindOf(source.folder->fd, name, st, nullptr);
  if (kind != Kind::kFile && kind != Kind::kFileLink) return false;
  std::string taken;
  if (LookupName(*target.folder, target.name, SourceName::kAnyCase, taken, nullptr,
                 Need::kExistence) == Probe::kFound) {
    return false;
  }
  const std::string to(target.name);

  // A read lease, held across the move, keeps writers out until the file has moved; a file
  // that some process holds open for writing stays. The listing's lease serves when it is on
  // this very file and no writer has asked for the file since.
  int fd = -1;
  Writers writers = Writers::kUnknown;
  if (handed.fd >= 0 && kind == Kind::kFile && handed.folder_dev == source.folder->dev &&
      handed.folder_ino == source.folder->ino && handed.name == name && handed.dev == st.st_dev &&
      handed.ino == st.st_ino) {
    fd = std::exchange(handed.fd, -1);
    if (LeaseBroken(fd)) {
      close(fd);
      return false;
    }
    writers = Writers::kNone;
  } else if (kind == Kind::kFile) {
    fd = openat(source.folder->fd, name.c_str(),
                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat opened {};
    if (fd >= 0 &&
        (fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev)) {
      close(fd);
      return false;  // replaced since it was looked up
    }
    if (fd >= 0) writers = TakeReadLease(fd);
    if (writers == Writers::kSome || (writers == Writers::kUnknown && ChangedRecently(st))) {
      if (fd >= 0) close(fd);
      return false;
    }
  }
  CheckIndexBeforeChange(*source.folder);
  bool moved =
      PlaceWithoutReplacing(source.folder->fd, name.c_str(), target.folder->fd, to.c_str());
  if (!moved && errno == EEXIST) {
    // The target's index missed an entry that another process made: read it again next time.
    DropIndex(*target.folder);
  }
  if (!moved && errno == EXDEV) {
    moved = MoveAcrossFileSystems(*source.folder, from_win_path.substr(0, source.cut), name, st,
                                  kind, fd, writers == Writers::kNone, *target.folder,
                                  to_win_path.substr(0, target.cut), to);
  }
  if (fd >= 0) close(fd);  // gives up the lease
  if (moved) {
    NoteChange(*source.folder, name, {});
    NoteChange(*target.folder, {}, to);
  }
  return moved;
}

void FinishInterruptedMoves(std::string_view source_folder, std::string_view target_folder) {
  FolderScope scope;
  SettleRecordedMove(source_folder, target_folder);
}

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  auto fail = [&](RunTimeError e) -> RunTimeError { return e.About(win_path); };
  // Within a pass the log's folder and actual name are found once; a log that cannot be
  // opened under that name any more is looked for afresh.
  if (t_scope != nullptr) {
    auto it = t_scope->log_files.find(win_path);
    if (it != t_scope->log_files.end()) {
      const int fd = OpenLogFile(*it->second.first, it->second.second);
      if (fd >= 0) {
        WriteLogLine(fd, line, fail);
        return;
      }
      t_scope->log_files.erase(it);
    }
  }
  const ParentAndName file = ResolveParent(win_path);
  if (!file.folder) {
    if (file.status == Probe::kFailed) throw fail(RunTimeError::PermissionDenied());
    struct stat st {};
    const bool drive_present =
        file.drive != 0 && stat(DriveRoot(file.drive).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    throw fail(drive_present ? RunTimeError::PathNotFound() : RunTimeError::DeviceUnavailable());
  }
  std::string name;
  struct stat st {};
  const Probe p = LookupName(*file.folder, file.name, SourceName::kAnyCase, name, &st);
  if (p == Probe::kFailed) throw fail(RunTimeError::PermissionDenied());
  if (p == Probe::kAbsent) {
    if (!IsPlainComponent(file.name)) throw fail(RunTimeError::PathFileAccessError());
    name = file.name;
  } else if (!S_ISREG(st.st_mode)) {
    throw fail(RunTimeError::PathFileAccessError());  // a link, pipe, device or folder
  }
  const int fd = OpenLogFile(*file.folder, name);
  if (fd < 0) {
    throw fail(errno == ELOOP || errno == ENXIO || errno == EISDIR
                   ? RunTimeError::PathFileAccessError()
                   : ErrorFromErrno(errno));
  }
  if (t_scope != nullptr) t_scope->log_files[std::string(win_path)] = {file.folder, name};
  WriteLogLine(fd, line, fail);
}

namespace {

// Only a clear refusal counts: where the question cannot be answered, the move finds out.
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

}  // namespace

MoveHindrance MoveCanHappen(std::string_view source_folder, std::string_view name,
                            std::string_view target_folder, std::uint64_t size) {
  Probe status;
  const Held target = ResolveWholeFolder(target_folder, status);
  if (!target) {
    return status == Probe::kAbsent ? MoveHindrance::kTargetAbsent : MoveHindrance::kNone;
  }
  const Held source = ResolveWholeFolder(source_folder, status);
  if (!source) return MoveHindrance::kNone;
  if (!RightsIn(*target).may_change) return MoveHindrance::kTargetReadOnly;
  const FolderRights rights = RightsIn(*source);
  if (!rights.may_change) return MoveHindrance::kSourceKept;
  struct stat file {};
  if (rights.own_files_only && IsPlainComponent(name) &&
      fstatat(source->fd, std::string(name).c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
      file.st_uid != geteuid()) {
    return MoveHindrance::kSourceKept;  // a sticky folder keeps other users' files
  }
  if (source->dev != target->dev) {
    if (!MoveRecordsCanBeKept()) return MoveHindrance::kNoRecordFolder;
    struct statfs fs {};
    if (fstatfs(target->fd, &fs) == 0 && fs.f_bsize > 0 &&
        static_cast<unsigned long long>(fs.f_bavail) <
            size / static_cast<unsigned long long>(fs.f_bsize) + 1) {
      return MoveHindrance::kTargetFull;
    }
  }
  return MoveHindrance::kNone;
}

bool FileBeingWritten(std::string_view win_path) {
  const Entry e = FindEntry(win_path);
  return e.status == Probe::kFound && e.kind == Kind::kFile &&
         BeingWritten(*e.folder, e.name, e.st, /*hand_on=*/false);
}

std::unique_ptr<FolderListing> FolderListing::Open(std::string_view search_spec) {
  const std::size_t cut = search_spec.rfind('\\');
  if (cut == std::string_view::npos) return nullptr;
  const std::string_view pattern = search_spec.substr(cut + 1);
  Probe status;
  Held folder = ResolveWholeFolder(search_spec.substr(0, cut), status);
  if (!folder) return nullptr;
  const int fd = openat(folder->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  std::vector<std::pair<std::string, std::string>> keyed;  // (upper-cased, name)
  std::vector<std::string> dots;
  while (const dirent* e = readdir(dir)) {
    const std::string_view name(e->d_name);
    if (name.find('\\') != std::string_view::npos || IsMoversOwn(name) ||
        !MatchesPattern(name, pattern)) {
      continue;
    }
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
  return std::unique_ptr<FolderListing>(new FolderListing(std::move(folder), std::move(names)));
}

FolderListing::FolderListing(std::shared_ptr<const HeldFolder> folder,
                             std::vector<std::string> names)
    : folder_(std::move(folder)), names_(std::move(names)) {}

FolderListing::~FolderListing() { ReleaseHandedLease(); }

bool FolderListing::Next(ListingEntry& entry) {
  ReleaseHandedLease();  // the last entry's, when it was not moved
  while (position_ < names_.size()) {
    const std::string& name = names_[position_++];
    struct stat st {};
    if (fstatat(folder_->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
    entry.name = name;
    entry.size = 0;
    struct stat followed {};
    const Kind kind =
        name == "." || name == ".." ? Kind::kFolder : KindOf(folder_->fd, name, st, &followed);
    switch (kind) {
      case Kind::kFolder:
        entry.attributes = kAttrDirectory;
        break;
      case Kind::kFile:
        // The lease on a non-empty file goes on to its move, which follows at once.
        if (BeingWritten(*folder_, name, st, st.st_size > 0)) continue;  // not arrived yet
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

std::uint64_t FolderIndexReads() { return g_index_reads; }

void ForgetFolderIndexes() {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  EraseAllIndexes();
}

void FollowChangeReportsFrom(std::size_t names) {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  EraseAllIndexes();
  g_reports_from = names;
}

std::size_t FolderIndexBytes() {
  std::lock_guard<std::mutex> lock(g_index_mutex);
  std::size_t bytes = 0;
  for (const auto& [key, index] : g_indexes) bytes += index.names.Bytes();
  return bytes;
}

}  // namespace platform
