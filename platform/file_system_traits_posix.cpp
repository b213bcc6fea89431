#include "platform/file_system_traits_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_system_testing.h"

namespace platform {
namespace {

constexpr long long kSecond = 1000000000LL;
constexpr long long kDefaultQuiet = 5 * kSecond;

std::mutex g_mutex;
std::map<std::uint64_t, FileSystemTraits> g_traits;  // by device; its entries stay put
std::atomic<unsigned> g_generation{0};               // counts the clearings of g_traits
std::optional<ForcedTraits> g_forced;

// Seconds of `key=` in a comma-separated option list; -1 when absent.
long long OptionSeconds(const std::string& options, const std::string& key) {
  std::istringstream in(options);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.compare(0, key.size() + 1, key + "=") == 0) {
      return std::strtoll(item.c_str() + key.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

struct MountFacts {
  std::string type;
  long long attribute_cache_ns = 0;
};

// A mount point as /proc/self/mountinfo writes it, with its octal escapes undone.
std::string Unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// The command line of the sshfs process that serves a mount point; empty where none is
// found (another user's process hidden from this one, or a mount point given relative).
std::vector<std::string> SshfsArguments(const std::string& point) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return {};
  std::vector<std::string> found;
  while (const dirent* e = readdir(proc)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
    if (args.empty()) continue;
    const std::string& program = args[0];
    const std::size_t slash = program.rfind('/');
    if (program.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "sshfs") !=
        0) {
      continue;
    }
    if (std::find(args.begin() + 1, args.end(), point) != args.end()) {
      found = std::move(args);
      break;
    }
  }
  closedir(proc);
  return found;
}

// The type of the mount of a device, and the attribute cache its options show.
MountFacts MountOf(std::uint64_t dev) {
  MountFacts facts;
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  const std::string id = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  long long seconds = -1;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string mount_id, parent, device, root, point, options;
    fields >> mount_id >> parent >> device >> root >> point >> options;
    if (device != id) continue;
    std::string word, super_options;
    while (fields >> word && word != "-") {
    }
    std::string type, source;
    fields >> type >> source >> super_options;
    facts.type = type;
    if (type == "fuse.sshfs") {
      facts.attribute_cache_ns = SshfsAttributeCacheNs(SshfsArguments(Unescaped(point)));
      return facts;
    }
    for (const std::string& all : {options, super_options}) {
      for (const char* key : {"actimeo", "acregmax", "acdirmax"}) {
        seconds = std::max(seconds, OptionSeconds(all, key));
      }
    }
    break;
  }
  facts.attribute_cache_ns = seconds < 0 ? 0 : seconds * kSecond;
  return facts;
}

long long QuietSetting() {
  const char* v = getenv("TARVEX_QUIET_SECONDS");
  if (v == nullptr || *v == '\0') return -1;
  char* end = nullptr;
  const double seconds = std::strtod(v, &end);
  if (end == v || seconds < 0 || seconds > 3600) return -1;
  return static_cast<long long>(seconds * 1e9);
}

FileSystemTraits Learn(const HeldFolder& folder) {
  FileSystemTraits t;
  t.local = IsLocalFileSystem(folder.fd);
  if (t.local) return t;
  struct stat st {};
  if (StatEntry(folder.fd, "", &st, true) == 0) {
    t.folder_stamps_move = st.st_mtim.tv_sec != 0 || st.st_ctim.tv_sec != 0;
    if (st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0) t.stamp_step_ns = kSecond;
  }
  if (!t.folder_stamps_move) t.stamp_step_ns = kSecond;  // unknown: taken as whole seconds
  const MountFacts mount = MountOf(folder.dev);
  t.attribute_cache_ns = mount.attribute_cache_ns;
  // An SMB client through FUSE fails an open for appending with an I/O error, and its
  // connection with it for a while: it is never asked to append.
  if (mount.type == "fuse.smbnetfs") t.appends = Support::kNo;
  t.locks_reach_server = mount.type.rfind("fuse", 0) != 0;
  t.renames_by_handle =
      mount.type == "fuse.smbnetfs" || mount.type == "cifs" || mount.type == "smb3";
  const long long setting = QuietSetting();
  // A writer's pause of kDefaultQuiet is seen however old the client's cached answer is.
  t.quiet_ns = setting >= 0 ? setting : kDefaultQuiet + t.attribute_cache_ns;
  return t;
}

}  // namespace

long long SshfsAttributeCacheNs(const std::vector<std::string>& args) {
  bool cached = true;  // sshfs's defaults
  long long stat_seconds = 20, dir_seconds = 20;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string list;
    if (args[i] == "-o" && i + 1 < args.size()) {
      list = args[++i];
    } else if (args[i].rfind("-o", 0) == 0) {
      list = args[i].substr(2);
    } else {
      continue;
    }
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
      const std::size_t eq = item.find('=');
      const std::string key = item.substr(0, eq),
                        value = eq == item.npos ? "" : item.substr(eq + 1);
      const long long n = std::strtoll(value.c_str(), nullptr, 10);
      if (key == "cache" || key == "dir_cache") cached = value != "no";
      if (key == "cache_timeout" || key == "dcache_timeout") stat_seconds = dir_seconds = n;
      if (key == "cache_stat_timeout" || key == "dcache_stat_timeout") stat_seconds = n;
      if (key == "cache_dir_timeout" || key == "dcache_dir_timeout") dir_seconds = n;
    }
  }
  return cached ? std::max(stat_seconds, dir_seconds) * kSecond : 0;
}

FileSystemTraits& TraitsOf(const HeldFolder& folder) {
  // A pass asks several times a file about the same one or two devices.
  struct Last {
    unsigned generation;
    std::uint64_t dev;
    FileSystemTraits* traits;
  };
  thread_local Last last{~0u, 0, nullptr};
  if (last.traits != nullptr && last.dev == folder.dev &&
      last.generation == g_generation.load(std::memory_order_acquire)) {
    return *last.traits;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_traits.find(folder.dev);
  if (it == g_traits.end()) {
    FileSystemTraits t = Learn(folder);
    if (g_forced) {
      if (g_forced->remote) {
        t.local = false;
        t.quiet_ns = g_forced->quiet_ns;
        t.stamp_step_ns = std::max(t.stamp_step_ns, g_forced->stamp_step_ns);
      }
      if (g_forced->no_rename) t.no_replace_rename = Support::kNo;
      if (g_forced->no_links) t.hard_links = Support::kNo;
      if (g_forced->local_locks) t.locks_reach_server = false;
      if (g_forced->by_handle) t.renames_by_handle = true;
      if (g_forced->lock_stale_ns > 0) t.lock_stale_ns = g_forced->lock_stale_ns;
    }
    it = g_traits.emplace(folder.dev, t).first;
  }
  last = {g_generation.load(std::memory_order_acquire), folder.dev, &it->second};
  return it->second;
}

namespace {

int StatX(int dir_fd, const char* name, int flags, struct stat* st) {
  const int empty = *name == '\0' ? AT_EMPTY_PATH : 0;
  struct statx x {};
  if (statx(dir_fd, name, AT_SYMLINK_NOFOLLOW | flags | empty, STATX_BASIC_STATS, &x) != 0) {
    if (errno != ENOSYS) return -1;
    return fstatat(dir_fd, name, st, AT_SYMLINK_NOFOLLOW | empty);
  }
  *st = {};
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_nlink = x.stx_nlink;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
  st->st_size = static_cast<off_t>(x.stx_size);
  st->st_blksize = x.stx_blksize;
  st->st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
  st->st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
  st->st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
  st->st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
  return 0;
}

}  // namespace

int StatEntry(int dir_fd, const char* name, struct stat* st, bool fresh) {
  if (!fresh) return fstatat(dir_fd, name, st, AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH));
  return StatX(dir_fd, name, AT_STATX_FORCE_SYNC, st);
}

int StatOpened(int fd, struct stat* st) { return StatX(fd, "", AT_STATX_DONT_SYNC, st); }

void ForceFileSystemTraits(const ForcedTraits* forced) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_traits.clear();
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  if (forced != nullptr) {
    g_forced = *forced;
  } else {
    g_forced.reset();
  }
}

}  // namespace platform

namespace platform {
namespace {
std::function<void()> g_before_placement;
}  // namespace

void SetBeforePlacement(std::function<void()> hook) { g_before_placement = std::move(hook); }
void BeforePlacement() {
  if (g_before_placement) g_before_placement();
}

}  // namespace platform
