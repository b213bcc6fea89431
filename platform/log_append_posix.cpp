#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/drive_folders_posix.h"
#include "platform/drive_path.h"
#include "platform/file_system.h"
#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/log_lock_posix.h"
#include "platform/move_record.h"
#include "platform/moving_posix.h"
#include "platform/run_time_error.h"

// The log's append: one whole line in one write, to a plain file with a single name reached
// without a link; on a drive mounted from elsewhere, under a lock on the log.
namespace platform {
namespace {

// Whether the server lists the name in the folder (a listing is asked of it afresh).
bool Listed(const HeldFolder& folder, const std::string& name) {
  bool found = false;
  ForEachName(folder.fd, [&](std::string_view entry) { found = found || entry == name; });
  return found;
}

// Opens a log file for appending, only as a plain file with a single name and never through
// a link at its name; nothing, with errno set, otherwise (EINVAL for an entry of another
// kind or a file with more names). A log this call creates lets write to it those whom its folder
// lets add to the folder, no one else: the other movers' users of a shared log. Where the
// file system refuses appending (some SMB clients), it is opened for writing and `at_end`
// says that each line is to be written at the end found under the lock. `size`: the file's
// size as opened.
UniqueFd OpenLogFile(const HeldFolder& folder, const std::string& name, bool& at_end, off_t& size) {
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
  // An SMB client through FUSE closes a file on the server only some time after close()
  // returns, and meanwhile another client's open of it may fail with an I/O error: such a
  // refusal on a drive mounted from elsewhere is asked again for up to a second.
  int busy = 0;
  auto transient = [&] {
    if (fs.local || (errno != EIO && errno != EBUSY && errno != ETXTBSY) || ++busy > 200) {
      return false;
    }
    const timespec pause{0, 5000000};
    nanosleep(&pause, nullptr);
    return true;
  };
  for (int attempt = 0; !fd.ok() && attempt < 4; ++attempt) {
    fd.reset(openat(folder.fd, name.c_str(), flags()));
    if (!fd.ok() && refused_append()) continue;
    if (!fd.ok() && transient()) {
      --attempt;
      continue;
    }
    if (fd.ok() || errno != ENOENT) break;
    if (!fs.local && Listed(folder, name) && ++busy <= 200) {
      // This client still remembers the log as absent, but the server has it (another client
      // made it just now): created again, it would be emptied by an SMB client that does not
      // pass on an exclusive create.
      const timespec pause{0, 10000000};
      nanosleep(&pause, nullptr);
      --attempt;
      continue;
    }
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
  size = opened.st_size;
  return fd;
}

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

// Writes the line in one write, at `start` (at_end) or appended; a line written only in part
// is taken out again unless someone appended after it.
template <typename Fail>
void WriteWholeLine(int fd, bool at_end, off_t start, std::string_view line, const Fail& fail) {
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
}

// A client that sends a write and returns before the server answers (sshfs) tells of a write
// the server never got only when the file is next flushed, which each close of a descriptor
// of it does: a line kept open is flushed so, through a copy of the descriptor, before it
// counts as written.
template <typename Fail>
void FlushKept(int fd, const Fail& fail) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0 || close(copy) != 0) throw fail(ErrorFromErrno(errno));
}

// What WriteLogLine returns instead of an offset when it wrote nothing: the lock's token or
// the claim went on to another mover's rename that overtook this one's.
constexpr off_t kLockLost = -2;
constexpr off_t kClaimLost = -3;

// Returns where the line went, and closes the file unless `keep` takes it. `size`: the
// file's size as opened. With a claim's token, the
// line is noted as being written for it (see NoteLoggingToken) once the log is open under its
// lock, just before the write. Where another client's rename may have overtaken one of this
// mover's, the lock and the claim are asked again last thing before that, when any such
// rename has long arrived: a lock lost is taken again, a claim lost gets no line.
template <typename Fail>
off_t WriteLogLine(const HeldFolder& folder, const std::string& name, UniqueFd file, bool at_end,
                   off_t size, std::string_view line, const Fail& fail, std::string_view token,
                   const LockFile* lock, const Claim* claim, bool ask_lock,
                   UniqueFd* keep = nullptr) {
  const int fd = file.get();
  const FileSystemTraits& fs = TraitsOf(folder);
  const bool record_lock = !fs.local && fs.locks_reach_server;
  if (record_lock) LockAcrossMachines(fd);
  off_t start = size;  // where an append goes, unless another appends first
  if (at_end || (record_lock && !token.empty())) {
    struct stat now {};
    if (StatEntry(fd, "", &now, true) != 0) throw fail(ErrorFromErrno(errno));
    start = now.st_size;
    // A client that cannot append may report a size older than the last holder's line: the
    // end is where the server's data ends.
    if (at_end && fs.appends == Support::kNo)
      start = std::max<off_t>(start, ServerEnd(folder, name, start));
  }
  if (ask_lock && lock != nullptr && lock->Held() && !lock->StillHeld()) return kLockLost;
  if (claim != nullptr && !StillClaimed(*claim)) return kClaimLost;
  if (!token.empty()) {
    NoteLoggingToken(token, line, start, lock != nullptr ? lock->HeldToken() : std::string());
  }
  WriteWholeLine(fd, at_end, start, line, fail);
  if (keep != nullptr) {
    FlushKept(fd, fail);
    *keep = std::move(file);
  } else if (close(file.release()) != 0) {
    throw fail(ErrorFromErrno(errno));
  }
  return start;
}

// What the log holds at `offset` as the server has it now (read by an open of its own), as
// many bytes as the line has: whether they are the line; `unread` where it cannot be read.
bool LineAt(const HeldFolder& folder, const std::string& name, off_t offset, std::string_view line,
            bool unread = false) {
  UniqueFd in(openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.ok()) return unread;
  std::string there(line.size(), '\0');
  const ssize_t n = pread(in.get(), there.data(), there.size(), offset);
  return n < 0 ? unread : static_cast<std::size_t>(n) == line.size() && there == line;
}

enum class Appended { kWritten, kNotOpened, kClaimLost };

}  // namespace

// Where the log's lock is a token beside it (sshfs, SMB through FUSE), taking and giving back
// the token, opening and closing the log and finding its end cost the server five to a dozen
// requests a line, as many as the move itself or more. Within a pass the token is kept, and
// the log open, from one line to the next for at most a tenth of the lock's stale age: no
// other mover sets a token aside before it has seen it held for the whole stale age, so a hold
// this young is still this mover's, and the log ends where its own last line ended. Where
// renames go through a handle (SMB), a mover that opened the free token before this one took
// it may still rename it away late: there the token, like the claim, is asked again before
// each line, and a token lost ends the hold.
struct HeldLog {
  Held folder;
  std::string name;
  std::unique_ptr<LockFile> lock;
  UniqueFd file;  // closed before the token is given back
  off_t end = 0;
  long long until_ns = 0;
};

void HeldLogEnd::operator()(HeldLog* held) const { delete held; }

namespace {

// Opens the log, under its lock where it needs one, and writes the line; kNotOpened (errno
// set) when it cannot be opened. Under the lock, on a client that cannot append (an SMB client
// through FUSE, which may write at an end it learnt before the last holder's line arrived), a
// line that the server does not show where it was written is written again at the end.
// With a claim, the line is noted as being written for its token and, once written, as
// written; a claim that another mover's rename overtook gets none (kClaimLost).
template <typename Fail>
Appended Append(const Held& held_folder, const std::string& name, std::string_view line,
                const Fail& fail, const Claim* claim) {
  const HeldFolder& folder = *held_folder;
  const std::string token = claim != nullptr ? claim->Token() : std::string();
  ScopeFolders* const scope = CurrentScope();  // a hold is made only where there is a token
  if (scope != nullptr && scope->held_log != nullptr) {
    HeldLog& held = *scope->held_log;
    const bool same = held.folder == held_folder && held.name == name;
    const bool young = same && MonotonicNanos() < held.until_ns;
    if (young && held.lock->StillHeld()) {
      if (claim != nullptr && !StillClaimed(*claim)) return Appended::kClaimLost;
      if (!token.empty()) NoteLoggingToken(token, line, held.end, held.lock->HeldToken());
      WriteWholeLine(held.file.get(), true, held.end, line, fail);
      FlushKept(held.file.get(), fail);
      held.end += static_cast<off_t>(line.size());
      if (!token.empty()) NoteLoggedToken(token);
      return Appended::kWritten;
    }
    scope->held_log.reset();
    if (same && !young) LeaveFreeForAWaiter();
  }
  {
    const long long taking = MonotonicNanos();
    auto lock = LockFileFor(folder, name);
    for (int attempt = 0, taken = 1;; ++attempt) {
      bool at_end = false;
      off_t size = 0;
      UniqueFd fd = OpenLogFile(folder, name, at_end, size);
      if (!fd.ok()) return Appended::kNotOpened;
      // A lock lost to another mover is taken again a few times, then the line goes out as
      // it does when the lock cannot be had.
      const bool keep = scope != nullptr && at_end && lock != nullptr && lock->Held();
      UniqueFd kept;
      const off_t start = WriteLogLine(folder, name, std::move(fd), at_end, size, line, fail, token,
                                       lock.get(), claim, taken < 4, keep ? &kept : nullptr);
      if (start == kClaimLost) return Appended::kClaimLost;
      if (start == kLockLost) {
        lock.reset();
        lock = LockFileFor(folder, name);
        ++taken;
        --attempt;
        continue;
      }
      if (lock != nullptr && TraitsOf(folder).appends == Support::kNo && attempt < 3 &&
          !LineAt(folder, name, start, line, true)) {
        continue;
      }
      if (kept.ok()) {
        scope->held_log.reset(new HeldLog{held_folder, name, std::move(lock), std::move(kept),
                                          start + static_cast<off_t>(line.size()),
                                          taking + TraitsOf(folder).lock_stale_ns / 10});
      }
      break;
    }
  }
  if (!token.empty()) NoteLoggedToken(token);
  return Appended::kWritten;
}

}  // namespace

bool LogHoldsLine(std::string_view win_path, const LoggedRecord& record) {
  if (record.line.empty() || record.offset < 0) return false;
  const ParentAndName file = ResolveParent(win_path);
  if (!file.folder) return false;
  std::string name;
  struct stat st {};
  if (Indexes().Lookup(*file.folder, file.name, SourceName::kAnyCase, name, &st) != Probe::kFound ||
      !S_ISREG(st.st_mode)) {
    return false;
  }
  const off_t offset = static_cast<off_t>(record.offset);
  if (!record.lock.empty()) {
    // Still held by the run that was killed: no one wrote since, and no one does while this
    // looks.
    const LockFile taken_over(*file.folder, name, record.lock);
    if (taken_over.Held()) return LineAt(*file.folder, name, offset, record.line);
    // Set aside by another mover, with the log's length then: the line went in if the log
    // reached past it (after, others wrote where it would have gone).
    const std::string left = LockFile::LeftPrefix(name) + record.lock + "-";
    std::string found;
    ForEachName(file.folder->fd, [&](std::string_view entry) {
      if (entry.substr(0, left.size()) == left) found = entry;
    });
    if (!found.empty()) {
      unlinkat(file.folder->fd, found.c_str(), 0);
      const std::string length = found.substr(left.size());
      char* end = nullptr;
      const long long was = std::strtoll(length.c_str(), &end, 10);
      if (!length.empty() && end != nullptr && *end == '\0') {
        return was >= offset + static_cast<off_t>(record.line.size()) &&
               LineAt(*file.folder, name, offset, record.line);
      }
    }
  }
  return LineAt(*file.folder, name, offset, record.line);
}

namespace {

// Whether a failure of the log on `drive` is its file server away: the drive's root does not
// answer when asked afresh, or it does but the failure was an I/O error of a drive mounted
// from elsewhere, which is how its client tells a lost connection.
bool ServerAway(char drive, const RunTimeError& e) {
  const std::string root = DriveRoot(drive);
  struct stat st {};
  if (StatEntry(AT_FDCWD, root.c_str(), &st, true) != 0) return true;
  if (e.number() != RunTimeError::DeviceIoError().number()) return false;
  UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  return !fd.ok() || !IsLocalFileSystem(fd.get());
}

// False when the claim went on to another mover before its line (nothing written).
bool AppendLineOnce(std::string_view win_path, std::string_view line, const Claim* claim) {
  auto fail = [&](RunTimeError e) -> RunTimeError { return e.About(win_path); };
  // Within a pass the log's folder and actual name are found once; a log that cannot be
  // opened under that name any more is looked for afresh.
  ScopeFolders* const scope = CurrentScope();
  if (scope != nullptr) {
    auto it = scope->log_files.find(win_path);
    if (it != scope->log_files.end()) {
      const Appended appended = Append(it->second.first, it->second.second, line, fail, claim);
      if (appended != Appended::kNotOpened) return appended == Appended::kWritten;
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
  const Appended appended = Append(file.folder, name, line, fail, claim);
  if (appended == Appended::kNotOpened) {
    throw fail(errno == ELOOP || errno == ENXIO || errno == EISDIR
                   ? RunTimeError::PathFileAccessError()
                   : ErrorFromErrno(errno));
  }
  if (scope != nullptr) scope->log_files[std::string(win_path)] = {file.folder, name};
  return appended == Appended::kWritten;
}

bool AppendLine(std::string_view win_path, std::string_view line, const Claim* claim) {
  try {
    return AppendLineOnce(win_path, line, claim);
  } catch (const RunTimeError& e) {
    if (ScopeFolders* const scope = CurrentScope()) scope->held_log.reset();
    if (!win_path.empty() && ServerAway(win_path[0], e)) {
      if (ScopeFolders* const scope = CurrentScope()) scope->log_files.clear();
      throw DriveAway(e);
    }
    throw;
  }
}

}  // namespace

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  AppendLine(win_path, line, nullptr);
}

bool AppendNotedLine(std::string_view win_path, std::string_view line, const Claim& claim) {
  return AppendLine(win_path, line, &claim);
}

}  // namespace platform
