#include "platform/folder_index_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/file_system_testing.h"
#include "platform/file_system_traits_posix.h"
#include "platform/name_hashes.h"
#include "platform/names.h"

namespace platform {
namespace {

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
  bool trusted = false;  // false: read again once `window` has passed since read_at
  long long read_at = 0;
  // When the folder's stamp was last read: mounted from elsewhere, it is asked of the server
  // at most once a window, and an index changed by the program itself is read again after
  // one; here it is read again after kRecheckNanos.
  long long checked_at = 0;
  // How close to a change a stamp cannot tell it: a clock tick here, the time-stamp step
  // and attribute cache of a drive mounted from elsewhere.
  long long window = 0;
  // Mounted from elsewhere: stamps are asked of the server, and while the index is not
  // trusted an absent name is confirmed by a fresh look-up of its own.
  bool remote = false;
  NameHashes names;
};

using IndexKey = std::pair<std::uint64_t, std::uint64_t>;

constexpr long long kTickNanos = 20000000LL;  // several coarse clock ticks
// Mounted from elsewhere, a folder's index stands at least this long however fine its stamps:
// every name it calls taken, and while it is not trusted every name it calls free, is
// confirmed by a look-up of its own, so a reading older than the mover's last placement costs
// a look-up, not the reading of a folder of thousands of names after every file.
constexpr long long kRemoteWindowNanos = 1000000000LL;
// A folder's stamp read this recently is not read again for a look-up before a move: the
// rename that follows never replaces, and passes over a name found taken.
constexpr long long kRecheckNanos = 5000000LL;
constexpr std::size_t kMaxIndexes = 64;

// Counts the forks of this process, so that a child tells that its reports descriptor and
// watches are its parent's.
std::atomic<unsigned> g_fork_generation{0};

}  // namespace

struct FolderIndexes::State {
  explicit State(bool alike) : every_name_alike(alike) {}

  std::uint64_t Hash(std::string_view name) const {
    return every_name_alike ? 1 : FoldedHash(name);
  }

  static bool IsRecent(const timespec& t, long long window) {
    const long long age = RealtimeNanos() - NanosOf(t);
    return age < window && -age < window;
  }

  void EraseIndex(std::map<IndexKey, FolderIndex>::iterator it) {
    if (it->second.watch >= 0) {
      watched.erase(it->second.watch);
      if (reports.ok()) inotify_rm_watch(reports.get(), it->second.watch);
    }
    indexes.erase(it);
  }

  void EraseAllIndexes() {
    while (!indexes.empty()) EraseIndex(indexes.begin());
  }

  // Applies the change reports that have arrived, in order; the caller holds the mutex.
  void ApplyReports() {
    if (generation != g_fork_generation.load()) {
      // In a child process the parent's watches go on reporting to the parent alone.
      generation = g_fork_generation.load();
      reports.reset();
      reports_state = kNotOpened;
      watched.clear();
      for (auto it = indexes.begin(); it != indexes.end();) {
        it = it->second.watch >= 0 ? indexes.erase(it) : std::next(it);
      }
    }
    if (!reports.ok()) return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t n = read(reports.get(), buffer, sizeof buffer);
      if (n <= 0) return;  // EAGAIN: nothing more has happened
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if ((e->mask & IN_Q_OVERFLOW) != 0) {
          EraseAllIndexes();  // reports were lost: every index is read again
          continue;
        }
        auto w = watched.find(e->wd);
        if (w == watched.end()) continue;
        auto it = indexes.find(w->second);
        if ((e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) != 0) {
          if (it != indexes.end()) EraseIndex(it);
          continue;
        }
        if (it == indexes.end() || e->len == 0) continue;
        const std::string_view name(e->name);
        if ((e->mask & (IN_CREATE | IN_MOVED_TO)) != 0) it->second.names.Insert(Hash(name));
        if ((e->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
          it->second.names.EraseOne(Hash(name));
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
    // A drive mounted from elsewhere (NFS, SMB, FUSE) has changes that no report covers.
    if (!IsLocalFileSystem(dir_fd)) return -1;
    if (reports_state == kNotOpened) {
      static const bool registered =
          pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1); }) == 0;
      if (!registered) return -1;
      reports.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
      reports_state = kOpened;
    }
    if (!reports.ok()) return -1;
    // Through the descriptor's own link, so that the watch is on the very folder held.
    const std::string self = "/proc/self/fd/" + std::to_string(dir_fd);
    return inotify_add_watch(
        reports.get(), self.c_str(),
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR);
  }

  // Reads every name of a folder into `names`; with `wanted` (lower-cased), also sets
  // `actual` to the smallest name whose lower-cased form it is (empty when there is none).
  Probe ReadNames(const HeldFolder& dir, NameHashes& names, const std::string* wanted,
                  std::string* actual) {
    names = NameHashes();
    if (actual != nullptr) actual->clear();
    const bool read = ForEachName(dir.fd, [&](std::string_view name) {
      if (name == "." || name == "..") return;
      names.Insert(Hash(name));
      if (actual != nullptr && (actual->empty() || name < *actual) && LowerName(name) == *wanted) {
        *actual = name;
      }
    });
    if (!read) return ProbeFromErrno(errno);
    ++reads;
    return Probe::kFound;
  }

  // Brings the index of a folder up to date; the caller holds the mutex. kAbsent when
  // the folder has been removed. With `wanted`, reads the folder in any case and sets `actual`
  // to the smallest name whose lower-cased form is that of `wanted` (empty when there is none).
  Probe RefreshIndex(const HeldFolder& dir, FolderIndex*& out, std::string_view wanted = {},
                     std::string* actual = nullptr, bool before_move = false) {
    ApplyReports();
    const IndexKey key{dir.dev, dir.ino};
    auto it = indexes.find(key);
    if (it != indexes.end() && it->second.watch >= 0 && actual == nullptr) {
      out = &it->second;
      return Probe::kFound;
    }
    const long long now = MonotonicNanos();
    // An index whose reading is still good, unless its stamp says the folder has changed.
    FolderIndex* const kept =
        it != indexes.end() && actual == nullptr &&
                (it->second.trusted || now - it->second.read_at < it->second.window)
            ? &it->second
            : nullptr;
    if (kept != nullptr) {
      // Its stamp, read this recently, is not read again.
      const long long stands = kept->remote ? kept->window : before_move ? kRecheckNanos : 0;
      if (now - kept->checked_at < stands) {
        out = kept;
        return Probe::kFound;
      }
    }
    const FileSystemTraits& fs = TraitsOf(dir);
    struct stat st {};
    if (StatEntry(dir.fd, "", &st, !fs.local) != 0) return ProbeFromErrno(errno);
    if (st.st_nlink == 0) return Probe::kAbsent;
    if (kept != nullptr && kept->stamp == StampOf(st)) {
      kept->checked_at = now;
      out = kept;
      return Probe::kFound;
    }
    const std::size_t known = it != indexes.end() ? it->second.names.size() : 0;
    if (it != indexes.end()) EraseIndex(it);
    if (indexes.size() >= kMaxIndexes) EraseAllIndexes();

    FolderIndex index;
    const std::string folded_wanted = actual != nullptr ? LowerName(wanted) : std::string();
    // A folder's size in bytes grows with its names on the usual file systems (16 bytes or
    // more each), which tells a large folder before its first reading.
    if (known >= reports_from || static_cast<std::size_t>(st.st_size) / 16 >= reports_from) {
      index.watch = WatchFolder(dir.fd);  // before the reading, so that no change falls between
      ApplyReports();                     // reports from before the watch concern other folders
    }
    index.stamp = StampOf(st);
    index.remote = !fs.local;
    index.window = fs.local ? kTickNanos : std::max(kRemoteWindowNanos, fs.FreshWindowNs());
    index.trusted = fs.folder_stamps_move && !IsRecent(st.st_mtim, index.window) &&
                    !IsRecent(st.st_ctim, index.window);
    Probe p = ReadNames(dir, index.names, &folded_wanted, actual);
    if (p == Probe::kFound && index.watch < 0 && index.names.size() >= reports_from &&
        (index.watch = WatchFolder(dir.fd)) >= 0) {
      // Grown large enough to follow the change reports. A change between the reading and
      // the watch would go unreported: a stamp unchanged since, and old enough to be trusted,
      // shows there was none; otherwise the folder is read again under the watch.
      ApplyReports();
      struct stat again {};
      if (StatEntry(dir.fd, "", &again, index.remote) != 0 || !(StampOf(again) == index.stamp) ||
          !index.trusted) {
        p = ReadNames(dir, index.names, &folded_wanted, actual);
      }
    }
    if (p != Probe::kFound) {
      if (index.watch >= 0) inotify_rm_watch(reports.get(), index.watch);
      return p;
    }
    // A long read must not count against itself.
    index.read_at = index.checked_at = MonotonicNanos();
    FolderIndex& slot = indexes[key];
    slot = std::move(index);
    if (slot.watch >= 0) watched[slot.watch] = key;
    out = &slot;
    return Probe::kFound;
  }

  const bool every_name_alike;
  std::mutex mutex;
  std::map<IndexKey, FolderIndex> indexes;
  std::unordered_map<int, IndexKey> watched;  // watch -> its folder's index
  UniqueFd reports;                           // the change reports' descriptor
  enum { kNotOpened, kOpened } reports_state = kNotOpened;
  unsigned generation = g_fork_generation.load();
  // Folders of at least this many names follow the change reports: for a smaller one a read
  // costs less than the reports that the program's own renames would raise.
  std::size_t reports_from = kFollowChangeReportsFrom;
  std::atomic<std::uint64_t> reads{0};
};

FolderIndexes::FolderIndexes(bool every_name_alike)
    : state_(std::make_unique<State>(every_name_alike)) {}

FolderIndexes::~FolderIndexes() = default;

Probe FolderIndexes::Lookup(const HeldFolder& dir, std::string_view name, SourceName match,
                            std::string& actual, struct stat* st_out, Need need) {
  if (!IsPlainComponent(name)) return Probe::kAbsent;
  State& s = *state_;
  const std::string exact(name);
  const bool remote = !TraitsOf(dir).local;
  if (match == SourceName::kAnyCase) {
    // A folder that already has an index tells an absent name without a lookup of its own
    // (on a drive mounted from elsewhere, only an index old enough to be trusted).
    std::lock_guard<std::mutex> lock(s.mutex);
    FolderIndex* index = nullptr;
    if (s.indexes.count({dir.dev, dir.ino}) != 0) {
      const Probe p = s.RefreshIndex(dir, index, {}, nullptr, need == Need::kExistenceBeforeMove);
      if (p != Probe::kFound) return p;
      if (!index->names.Contains(s.Hash(name)) &&
          (!remote || index->trusted || need == Need::kExistenceBeforeMove)) {
        return Probe::kAbsent;
      }
    }
  }
  struct stat st {};
  if (StatEntry(dir.fd, exact.c_str(), &st, remote) == 0) {
    actual = exact;
    if (st_out != nullptr) *st_out = st;
    return Probe::kFound;
  }
  if (errno != ENOENT) return ProbeFromErrno(errno);
  if (match == SourceName::kExact) return Probe::kAbsent;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    FolderIndex* index = nullptr;
    Probe p = s.RefreshIndex(dir, index);
    if (p != Probe::kFound) return p;
    if (!index->names.Contains(s.Hash(name))) return Probe::kAbsent;
    p = s.RefreshIndex(dir, index, name, &actual);  // which entry, if any, the hash stands for
    if (p != Probe::kFound) return p;
    if (actual.empty()) return Probe::kAbsent;
  }
  if (need != Need::kEntry) return Probe::kFound;
  if (st_out != nullptr && StatEntry(dir.fd, actual.c_str(), st_out, remote) != 0) {
    return ProbeFromErrno(errno);
  }
  return Probe::kFound;
}

void FolderIndexes::CheckBeforeChange(const HeldFolder& dir) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.indexes.find({dir.dev, dir.ino});
  // Mounted from elsewhere the program's own change is never taken for the folder's stamp.
  if (it == s.indexes.end() || it->second.watch >= 0 || it->second.remote) return;
  struct stat st {};
  if (StatEntry(dir.fd, "", &st, false) != 0 || !(StampOf(st) == it->second.stamp)) {
    s.EraseIndex(it);
  }
}

void FolderIndexes::NoteChange(const HeldFolder& dir, std::string_view removed,
                               std::string_view added) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.indexes.find({dir.dev, dir.ino});
  if (it == s.indexes.end() || it->second.watch >= 0) return;
  FolderIndex& index = it->second;
  if (!removed.empty()) index.names.EraseOne(s.Hash(removed));
  if (!added.empty()) index.names.Insert(s.Hash(added));
  // Mounted from elsewhere, a coarse stamp taken now may hide another client's change of the
  // same moment: the folder keeps its old stamp, and is read again once the window has
  // passed.
  if (index.remote) {
    index.trusted = false;
    return;
  }
  struct stat st {};
  if (StatEntry(dir.fd, "", &st, false) != 0) {
    s.EraseIndex(it);
    return;
  }
  index.stamp = StampOf(st);
  index.checked_at = MonotonicNanos();
}

void FolderIndexes::Drop(const HeldFolder& dir) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.indexes.find({dir.dev, dir.ino});
  if (it != s.indexes.end()) s.EraseIndex(it);
}

std::uint64_t FolderIndexes::Reads() const { return state_->reads; }

std::size_t FolderIndexes::Bytes() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::size_t bytes = 0;
  for (const auto& [key, index] : state_->indexes) bytes += index.names.Bytes();
  return bytes;
}

std::size_t FolderIndexes::FollowsReportsFrom() const { return state_->reports_from; }

void FolderIndexes::FollowReportsFrom(std::size_t names) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->EraseAllIndexes();
  state_->reports_from = names;
}

namespace {
std::unique_ptr<FolderIndexes> g_in_use = std::make_unique<FolderIndexes>();
}  // namespace

FolderIndexes& Indexes() { return *g_in_use; }

void UseFreshFolderIndexes(bool every_name_alike) {
  auto fresh = std::make_unique<FolderIndexes>(every_name_alike);
  fresh->FollowReportsFrom(g_in_use->FollowsReportsFrom());
  g_in_use = std::move(fresh);
}

std::uint64_t FolderIndexReads() { return Indexes().Reads(); }
void FollowChangeReportsFrom(std::size_t names) { Indexes().FollowReportsFrom(names); }
std::size_t FolderIndexBytes() { return Indexes().Bytes(); }

}  // namespace platform
