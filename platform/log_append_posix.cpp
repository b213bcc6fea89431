#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/drive_folders_posix.h"
#include "platform/drive_path.h"
#include "platform/folder_index_posix.h"
#include "platform/run_time_error.h"

// The log's append: one whole line in one write, to a plain file with a single name reached
// without a link.
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
// lets add to the folder, no one else: the other movers' users of a shared log.
UniqueFd OpenLogFile(const HeldFolder& folder, const std::string& name) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd;
  for (int attempt = 0; !fd.ok() && attempt < 3; ++attempt) {
    fd.reset(openat(folder.fd, name.c_str(), kFlags));
    if (fd.ok() || errno != ENOENT) break;
    fd.reset(openat(folder.fd, name.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    if (fd.ok()) {
      struct stat made {};
      struct stat dir {};
      if (fstat(fd.get(), &made) == 0 && fstat(folder.fd, &dir) == 0) {
        fchmod(fd.get(), (made.st_mode & 0755) | (dir.st_mode & 0022));
      }
    } else if (errno != EEXIST) {
      break;
    }
  }
  if (!fd.ok()) return fd;
  struct stat opened {};
  if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

// Writes one line in one write and closes the file; a line written only in part is taken
// out again unless someone appended after it.
template <typename Fail>
void WriteLogLine(UniqueFd file, std::string_view line, const Fail& fail) {
  const int fd = file.get();
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
      UniqueFd fd = OpenLogFile(*it->second.first, it->second.second);
      if (fd.ok()) {
        WriteLogLine(std::move(fd), line, fail);
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
  UniqueFd fd = OpenLogFile(*file.folder, name);
  if (!fd.ok()) {
    throw fail(errno == ELOOP || errno == ENXIO || errno == EISDIR
                   ? RunTimeError::PathFileAccessError()
                   : ErrorFromErrno(errno));
  }
  if (scope != nullptr) scope->log_files[std::string(win_path)] = {file.folder, name};
  WriteLogLine(std::move(fd), line, fail);
}

}  // namespace platform
