#include "platform/held_folder_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include "platform/long_work.h"

namespace platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Held HoldDescriptor(UniqueFd fd) {
  struct stat st {};
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  return std::make_shared<const HeldFolder>(std::move(fd), st.st_dev, st.st_ino);
}

Probe ProbeFromErrno(int err) {
  return (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP) ? Probe::kAbsent
                                                                                  : Probe::kFailed;
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
    case ENOTCONN:
    case ESTALE:
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
      return RunTimeError::DeviceIoError();
    case ENODEV:
      return RunTimeError::DeviceUnavailable();
    default:
      return RunTimeError::PathFileAccessError();
  }
}

bool NetworkCaused(const HeldFolder& folder, int err) {
  return ErrorFromErrno(err).number() == RunTimeError::DeviceIoError().number() &&
         !IsLocalFileSystem(folder.fd);
}

bool IsPlainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

bool IsLocalFileSystem(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return false;
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

bool ForEachName(int dir_fd, const std::function<void(std::string_view)>& each) {
  UniqueFd fd(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = fd.ok() ? fdopendir(fd.get()) : nullptr;
  if (stream == nullptr) {
    const int err = errno;
    fd.reset();
    errno = err;
    return false;
  }
  fd.release();  // the stream owns it now
  while (const dirent* e = readdir(stream)) {
    each(e->d_name);
    YieldDuringLongWork();
  }
  closedir(stream);
  return true;
}

long long RealtimeNanos() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return NanosOf(now);
}

long long MonotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return NanosOf(now);
}

}  // namespace platform
