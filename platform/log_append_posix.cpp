#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/drive_folders_posix.h"
#include "platform/drive_path.h"
#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/run_time_error.h"

// The log's append: one whole line in one write, to a plain file with a single name reached
// without a link; on a drive mounted from elsewhere, under a lock on the log.
namespace platform {
namespace {

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
// a link at its name; nothing, with errno set, otherwise (EINVAL for an entry of another
// kind or a file with more names). A log this call creates lets write to it those whom its folder
// lets add to the folder, no one else: the other movers' users of a shared log. Where the
// file system refuses appending (some SMB clients), it is opened for writing and `at_end`
// says that each line is to be written at the end found under the lock.
UniqueFd OpenLogFile(const HeldFolder& folder, const std::string& name, bool& at_end) {
  FileSystemTraits& fs = TraitsOf(folder);
  // Where no lock reaches the server, a client's own idea of the end may be old: each line is
  // written at the end the server gives under the lock file.
  at_end = !fs.local && (fs.appends == Support::kNo || !fs.locks_reach_server);
  auto flags = [&] {
    return O_WRONLY | (at_end ? 0 : O_APPEND) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  };
  // A refusal to append, learned once for the run.
  auto refused_append = [&] {
    if (fs.local || at_end || (errno != EIO && errno != EINVAL && errno != ENOTSUP)) return false;
    fs.appends = Support::kNo;
    return at_end = true;
  };
  UniqueFd fd;
  for (int attempt = 0; !fd.ok() && attempt < 4; ++attempt) {
    fd.reset(openat(folder.fd, name.c_str(), flags()));
    if (!fd.ok() && refused_append()) continue;
    if (fd.ok() || errno != ENOENT) break;
    fd.reset(openat(folder.fd, name.c_str(), flags() | O_CREAT | O_EXCL, 0666));
    if (fd.ok()) {
      struct stat made {};
      struct stat dir {};
      if (fstat(fd.get(), &made) == 0 && fstat(folder.fd, &dir) == 0) {
        fchmod(fd.get(), (made.st_mode & 0755) | (dir.st_mode & 0022));
      }
    } else if (errno != EEXIST && !refused_append()) {
      break;
    }
  }
  if (!fd.ok()) return fd;
  struct stat opened {};
  if (StatOpened(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

// Writes one line in one write and closes the file; a line written only in part is taken
// out again unless someone appended after it.
// On a drive mounted from elsewhere, a lock on the whole log that the file server honours
// where the client passes locks on (NFS, the kernel's SMB client), so that lines of
// programs on other machines never mix; asked for a bounded time, after which the line is
// written all the same.
void LockAcrossMachines(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (fcntl(fd, F_SETLK, &whole) == 0) return;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return;  // no locks here
    const timespec pause{0, 10000000};
    nanosleep(&pause, nullptr);
  }
}

// A lock that every client of a file server sees, for file systems whose record locks stay on
// this machine: a file beside the log, created exclusively (the server decides), removed by its
// holder after the line. A lock file that stays the same for kStaleNs while others wait for
// it was left by a killed mover and is removed; no holder keeps it near that long. Asked for a
// bounded time, after which the line is written all the same.
class LockFile {
 public:
  LockFile(const HeldFolder& folder, const std::string& log_name)
      : folder_(folder), name_("." + log_name + ".tarvex-lock") {
    constexpr long long kStaleNs = 10000000000LL;
    struct stat seen {};
    long long seen_since = 0;
    const long long give_up = MonotonicNanos() + 3 * kStaleNs;
    while (MonotonicNanos() < give_up) {
      UniqueFd made(openat(folder_.fd, name_.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
      if (made.ok()) {
        held_ = true;
        return;
      }
      if (errno != EEXIST) return;  // no lock to be had here: the line goes out as before
      struct stat now {};
      if (StatEntry(folder_.fd, name_.c_str(), &now, true) == 0) {
        const bool same = seen_since != 0 && now.st_ino == seen.st_ino &&
                          NanosOf(now.st_mtim) == NanosOf(seen.st_mtim) &&
                          NanosOf(now.st_ctim) == NanosOf(seen.st_ctim);
        if (!same) {
          seen = now;
          seen_since = MonotonicNanos();
        } else if (MonotonicNanos() - seen_since > kStaleNs) {
          unlinkat(folder_.fd, name_.c_str(), 0);  // left by a mover that was killed
          seen_since = 0;
          continue;
        }
      }
      const timespec pause{0, 5000000};
      nanosleep(&pause, nullptr);
    }
  }
  ~LockFile() {
    if (held_) unlinkat(folder_.fd, name_.c_str(), 0);
  }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

 private:
  const HeldFolder& folder_;
  std::string name_;
  bool held_ = false;
};

template <typename Fail>
void WriteLogLine(const HeldFolder& folder, const std::string& name, UniqueFd file, bool at_end,
                  std::string_view line, const Fail& fail) {
  const int fd = file.get();
  const FileSystemTraits& fs = TraitsOf(folder);
  std::unique_ptr<LockFile> lock_file;
  if (!fs.local && fs.locks_reach_server) LockAcrossMachines(fd);
  if (!fs.local && !fs.locks_reach_server) lock_file = std::make_unique<LockFile>(folder, name);
  off_t start = 0;
  if (at_end) {
    struct stat now {};
    if (StatEntry(fd, "", &now, true) != 0) throw fail(ErrorFromErrno(errno));
    start = now.st_size;
  }
  ssize_t written;
  do {
    written =
        at_end ? pwrite(fd, line.data(), line.size(), start) : write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  const int write_errno = errno;
  if (written >= 0 && static_cast<std::size_t>(written) < line.size()) {
    // Only part of the line went out: take it back unless someone appended after it.
    const off_t end = at_end ? start + written : lseek(fd, 0, SEEK_CUR);
    struct stat now {};
    if (end >= written && fstat(fd, &now) == 0 && now.st_size == end) {
      if (ftruncate(fd, end - written) != 0) { /* the error below still ends the program */
      }
    }
    throw fail(RunTimeError::DiskFull());
  }
  if (written < 0) throw fail(ErrorFromErrno(write_errno));
  if (close(file.release()) != 0) throw fail(ErrorFromErrno(errno));
}

}  // namespace

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  auto fail = [&](RunTimeError e) -> RunTimeError { return e.About(win_path); };
  // Within a pass the log's folder and actual name are found once; a log that cannot be
  // opened under that name any more is looked for afresh.
  ScopeFolders* const scope = CurrentScope();
  if (scope != nullptr) {
    auto it = scope->log_files.find(win_path);
    if (it != scope->log_files.end()) {
      bool at_end = false;
      UniqueFd fd = OpenLogFile(*it->second.first, it->second.second, at_end);
      if (fd.ok()) {
        WriteLogLine(*it->second.first, it->second.second, std::move(fd), at_end, line, fail);
        return;
      }
      scope->log_files.erase(it);
    }
  }
  const ParentAndName file = ResolveParent(win_path);
  if (!file.folder) {
    if (file.status == Probe::kFailed) throw fail(RunTimeError::PermissionDenied());
    throw fail(MissingFolderError(DrivePresent(file.drive)));
  }
  std::string name;
  struct stat st {};
  const Probe p = Indexes().Lookup(*file.folder, file.name, SourceName::kAnyCase, name, &st);
  if (p == Probe::kFailed) throw fail(RunTimeError::PermissionDenied());
  if (p == Probe::kAbsent) {
    if (!IsPlainComponent(file.name)) throw fail(RunTimeError::PathFileAccessError());
    name = file.name;
  } else if (!S_ISREG(st.st_mode)) {
    throw fail(RunTimeError::PathFileAccessError());  // a link, pipe, device or folder
  }
  bool at_end = false;
  UniqueFd fd = OpenLogFile(*file.folder, name, at_end);
  if (!fd.ok()) {
    throw fail(errno == ELOOP || errno == ENXIO || errno == EISDIR
                   ? RunTimeError::PathFileAccessError()
                   : ErrorFromErrno(errno));
  }
  if (scope != nullptr) scope->log_files[std::string(win_path)] = {file.folder, name};
  WriteLogLine(*file.folder, name, std::move(fd), at_end, line, fail);
}

}  // namespace platform
