#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/file_system.h"
#include "platform/run_time_error.h"

// The POSIX file system's smallest pieces, shared by its files: descriptors that close
// themselves, the folders it holds open, and the one reading of a folder's names. No system
// header here: a descriptor is an int.
namespace platform {

// A descriptor that closes itself; it moves, never copies. -1 holds nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A folder held open, known by its device and inode. It owns its descriptor.
struct HeldFolder {
  HeldFolder(UniqueFd folder, std::uint64_t device, std::uint64_t inode)
      : descriptor(std::move(folder)), fd(descriptor.get()), dev(device), ino(inode) {}
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  bool SameAs(const HeldFolder& o) const { return dev == o.dev && ino == o.ino; }

  const UniqueFd descriptor;
  const int fd;
  const std::uint64_t dev;
  const std::uint64_t ino;
};
using Held = std::shared_ptr<const HeldFolder>;

// The held folder of a descriptor; null (and the descriptor closed) when it is no folder.
Held HoldDescriptor(UniqueFd fd);

// kAbsent for the errors that say there is no such entry, kFailed for the others.
Probe ProbeFromErrno(int err);
// The run-time error of a failed open or write.
RunTimeError ErrorFromErrno(int err);
// An error that a network causes (the server stopped, the connection lost, a handle gone
// stale: the errors ErrorFromErrno calls device I/O errors) on a folder of a drive mounted
// from elsewhere, whose client also says so by EIO.
bool NetworkCaused(const HeldFolder& folder, int err);

// A name that can stand for one entry of a folder: not empty, ".", "..", nor holding "/".
bool IsPlainComponent(std::string_view name);

// A file system whose every change passes through this machine's kernel (ext4, tmpfs, xfs,
// btrfs, ...), so that its change reports cover it and a file keeps its inode number when it
// is renamed; false for a drive mounted from elsewhere (NFS, SMB, FUSE), and when unknown.
bool IsLocalFileSystem(int fd);

// Calls `each` with every name of a held folder, "." and ".." included; false with errno
// set when the folder cannot be read. The folder's directory stream is opened and closed here only.
bool ForEachName(int dir_fd, const std::function<void(std::string_view)>& each);

inline long long NanosOf(const std::timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }
long long RealtimeNanos();   // the system clock
long long MonotonicNanos();  // a clock that is never set

}  // namespace platform
