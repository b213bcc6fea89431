#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/drive_folders_posix.h"
#include "platform/file_system.h"
#include "platform/held_folder_posix.h"
#include "platform/logged_record.h"
#include "platform/move_record.h"
#include "platform/state_folder_posix.h"

namespace platform {
namespace {

std::mutex g_mutex;

std::string Hex64Bits() {
  unsigned long long bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
    // No entropy to be had: still unique within this machine, if not unguessable.
    static unsigned counter = 0;
    bits = (static_cast<unsigned long long>(getpid()) << 32) ^ ++counter ^
           static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&bits));
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", bits);
  return text;
}

// The folder that holds the state folder: $XDG_STATE_HOME, else ~/.local/state, the home
// folder taken from $HOME when it is this user's, else from the user database.
std::string StateBase() {
  if (const char* x = getenv("XDG_STATE_HOME"); x != nullptr && x[0] == '/') return x;
  std::string home;
  struct stat st {};
  if (const char* h = getenv("HOME");
      h != nullptr && h[0] == '/' && stat(h, &st) == 0 && st.st_uid == geteuid()) {
    home = h;
  } else if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  }
  return home.empty() ? std::string() : home + "/.local/state";
}

}  // namespace

void TellOnce(const std::string& what) {
  static std::set<std::string> told;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!told.insert(what).second) return;
  std::fprintf(stderr, "%s: %s\n", MoverTag().c_str(), what.c_str());
  std::fflush(stderr);
}

namespace {

// Creates the missing folders of a path, each mode 0700. A folder that is there is not made
// again (an SMB client through FUSE loses its connection for a while when asked to).
void MakeFolders(const std::string& path) {
  for (std::size_t cut = 1; cut != std::string::npos;) {
    cut = path.find('/', cut + 1);
    const std::string folder = path.substr(0, cut);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) mkdir(folder.c_str(), 0700);
  }
}

// Whether no one but root and this user can change what a path leads to: every folder above
// the state folder (found by "..", so links on the way are what they lead to) is root's or
// this user's and writable by no one else unless sticky, and none of them is drive P:'s root
// or lies beneath it (a record on the shared drive would be anyone's to forge).
bool AboveIsSafe(int folder_fd) {
  struct stat drive {};
  const bool drive_known = stat(DriveRoot('P').c_str(), &drive) == 0;
  UniqueFd at(fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
  for (int depth = 0; at.ok() && depth < 256; ++depth) {
    struct stat self {};
    if (fstat(at.get(), &self) != 0) return false;
    if (drive_known && self.st_dev == drive.st_dev && self.st_ino == drive.st_ino) return false;
    UniqueFd up(openat(at.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat parent {};
    if (!up.ok() || fstat(up.get(), &parent) != 0) return false;
    if (parent.st_dev == self.st_dev && parent.st_ino == self.st_ino) return true;  // the root
    if (parent.st_uid != 0 && parent.st_uid != geteuid()) return false;
    if ((parent.st_mode & 022) != 0 && (parent.st_mode & S_ISVTX) == 0) return false;
    at = std::move(up);
  }
  return false;
}

}  // namespace

UniqueFd OpenStateFolder(bool create) {
  const std::string base = StateBase();
  if (base.empty()) {
    if (create) TellOnce("no home folder to keep the records of moves across file systems in");
    return UniqueFd();
  }
  const std::string path = base + "/tarvex";
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd(open(path.c_str(), kFlags));
  if (!fd.ok() && errno == ENOENT && create) {
    MakeFolders(path);
    fd.reset(open(path.c_str(), kFlags));
  }
  if (!fd.ok()) {
    if (create || errno != ENOENT) {
      TellOnce("cannot keep the records of moves across file systems in " + path + " (" +
               std::string(errno == ELOOP || errno == ENOTDIR ? "not a folder" : "no access") +
               "): such moves are not made");
    }
    return fd;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 022) != 0 ||
      !AboveIsSafe(fd.get())) {
    TellOnce("refuses " + path +
             " for the records of moves (another user's, writable by others, beneath a folder "
             "others may write, or on the drive): moves across file systems are not made, and "
             "a claim cut short by a kill is put back rather than finished");
    return UniqueFd();
  }
  return fd;
}

namespace {

std::string RecordName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::snprintf(host, 2, "-");
  std::string name = "journal-" + MoverTag() + "@" + host;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

bool WriteAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(w);
  }
  return true;
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::string MoveRecord::Encode() const {
  std::string out = "tarvex move 2";
  out.push_back('\0');
  for (const std::string& field :
       {source_folder, target_folder, std::to_string(source_folder_dev),
        std::to_string(source_folder_ino), std::to_string(target_folder_dev),
        std::to_string(target_folder_ino), name, claim_name, std::to_string(dev),
        std::to_string(ino), std::to_string(size), std::to_string(mtime_ns), partial_name,
        target_name, std::to_string(copy_ino), std::string(in_place ? "1" : "0"), back_name,
        std::to_string(back_ino)}) {
    out += field;
    out.push_back('\0');
  }
  return out;
}

bool MoveRecord::Decode(const std::string& text) {
  std::vector<std::string> f;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    f.push_back(text.substr(start, end - start));
  }
  // Version 1 records (before copies in place) have the first 16 fields.
  const bool v1 = f.size() == 16 && !f.empty() && f[0] == "tarvex move 1";
  if (start != text.size() || !(v1 || (f.size() == 19 && f[0] == "tarvex move 2"))) return false;
  try {
    source_folder = f[1];
    target_folder = f[2];
    source_folder_dev = std::stoull(f[3]);
    source_folder_ino = std::stoull(f[4]);
    target_folder_dev = std::stoull(f[5]);
    target_folder_ino = std::stoull(f[6]);
    name = f[7];
    claim_name = f[8];
    dev = std::stoull(f[9]);
    ino = std::stoull(f[10]);
    size = std::stoull(f[11]);
    mtime_ns = std::stoll(f[12]);
    partial_name = f[13];
    target_name = f[14];
    copy_ino = std::stoull(f[15]);
    in_place = !v1 && f[16] == "1";
    back_name = v1 ? std::string() : f[17];
    back_ino = v1 ? 0 : std::stoull(f[18]);
  } catch (const std::exception&) {
    return false;
  }
  return IsPlainName(name) && IsPlainName(target_name) && claim_name.rfind(kClaimPrefix, 0) == 0 &&
         IsPlainName(claim_name) && partial_name.rfind(kPartialPrefix, 0) == 0 &&
         IsPlainName(partial_name) && (back_name.empty() || IsPlainName(back_name));
}

std::string Token() {
  // Drawn from a generator (splitmix64) seeded once from the kernel's random bits: as
  // unguessable, without a system call a file.
  static std::mutex mutex;
  static std::uint64_t state = std::stoull(Hex64Bits(), nullptr, 16);
  std::uint64_t z;
  {
    std::lock_guard<std::mutex> lock(mutex);
    z = (state += 0x9e3779b97f4a7c15ULL);
  }
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return TokenText(z);
}

namespace {
// Whether MoverId must be found again: in a child process, which may have become another
// user.
std::atomic<bool> g_mover_id_stale{true};
}  // namespace

const std::string& MoverId() {
  static std::string id;
  static std::mutex mutex;
  static const bool registered =
      pthread_atfork(nullptr, nullptr, [] { g_mover_id_stale = true; }) == 0;
  (void)registered;
  std::lock_guard<std::mutex> lock(mutex);
  if (g_mover_id_stale.exchange(false)) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    const char* temp = getenv("TMPDIR");
    const std::string who = std::string(host) + '\0' + std::to_string(geteuid()) + '\0' +
                            (runtime != nullptr && *runtime != '\0' ? runtime
                             : temp != nullptr && *temp != '\0'     ? temp
                                                                    : "/tmp");
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : who) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    id = text;
  }
  return id;
}

bool MoveRecordsCanBeKept() {
  ScopeFolders* const scope = CurrentScope();
  if (scope != nullptr && scope->records_kept >= 0) return scope->records_kept == 1;
  const UniqueFd folder = OpenStateFolder(true);
  struct statvfs fs {};
  const bool kept = folder.ok() && (fstatvfs(folder.get(), &fs) != 0 || fs.f_blocks == 0 ||
                                    (geteuid() == 0 ? fs.f_bfree : fs.f_bavail) > 0);
  if (folder.ok() && !kept)
    TellOnce("the state folder's file system is full: moves across file systems wait");
  if (scope != nullptr) scope->records_kept = kept ? 1 : 0;
  return kept;
}

bool SaveMoveRecord(const MoveRecord& record) {
  const UniqueFd folder = OpenStateFolder(true);
  if (folder.get() < 0) return false;
  const std::string name = RecordName();
  const std::string fresh = name + ".new";
  bool ok;
  {
    const UniqueFd out(openat(folder.get(), fresh.c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    ok = out.get() >= 0 && WriteAll(out.get(), record.Encode()) && fsync(out.get()) == 0;
  }
  ok = ok && renameat(folder.get(), fresh.c_str(), folder.get(), name.c_str()) == 0 &&
       fsync(folder.get()) == 0;
  if (!ok) unlinkat(folder.get(), fresh.c_str(), 0);
  return ok;
}

bool LoadMoveRecord(MoveRecord& record) {
  const UniqueFd folder = OpenStateFolder(false);
  if (folder.get() < 0) return false;
  const UniqueFd in(openat(folder.get(), RecordName().c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (in.get() < 0 || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      st.st_nlink != 1 || st.st_size > (1 << 16)) {
    return false;
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  return pread(in.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
         record.Decode(text);
}

void ClearMoveRecord() {
  const UniqueFd folder = OpenStateFolder(false);
  if (folder.get() >= 0) unlinkat(folder.get(), RecordName().c_str(), 0);
}

void SetMoveRecordAside(const MoveRecord& record) {
  const UniqueFd folder = OpenStateFolder(false);
  if (folder.get() < 0) return;
  const std::string name = RecordName();
  if (renameat(folder.get(), name.c_str(), folder.get(), (name + ".unmatched").c_str()) == 0) {
    TellOnce("set aside the record of a move from " + record.source_folder + " to " +
             record.target_folder + ": not this program's folders, or not the folders they were");
  }
}

}  // namespace platform
