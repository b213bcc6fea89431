#include "platform/writers_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include "platform/file_system_traits_posix.h"

namespace platform {
namespace {

// Where no lease can tell, a file that changed within this many seconds counts as being
// written.
constexpr long long kQuietNanos = 3000000000LL;

// A stamp of a coarse file system stands for any moment up to one step after it.
bool ChangedWithin(const struct stat& st, long long quiet, long long step = 0) {
  const long long now = RealtimeNanos();
  for (const long long stamp : {NanosOf(st.st_ctim), NanosOf(st.st_mtim)}) {
    if (now - stamp < quiet + step && stamp - now < quiet) return true;
  }
  return false;
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

}  // namespace

ReadLease ReadLease::Take(const HeldFolder& folder, const std::string& name, const struct stat& st,
                          bool st_fresh) {
  ReadLease lease;
  lease.folder_dev_ = folder.dev;
  lease.folder_ino_ = folder.ino;
  lease.name_ = name;
  lease.dev_ = st.st_dev;
  lease.ino_ = st.st_ino;
  const FileSystemTraits& fs = TraitsOf(folder);
  if (!fs.local) {
    // A lease sees only the writers of this client. A writer on another machine shows in the
    // file's size and times, asked of the server: a file whose size or change time moved
    // within the quiet period is being written. The mover holds no handle of its own.
    auto now = std::make_shared<struct stat>(st);
    if (!st_fresh &&
        (StatEntry(folder.fd, name.c_str(), now.get(), true) != 0 || !S_ISREG(now->st_mode))) {
      lease.replaced_ = lease.being_written_ = true;
      return lease;
    }
    lease.being_written_ =
        now->st_size != st.st_size || ChangedWithin(*now, fs.quiet_ns, fs.stamp_step_ns);
    if (!lease.being_written_) lease.stat_ = std::move(now);
    return lease;
  }
  lease.fd_.reset(
      openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  // Without the capability to lease other users' files the answer is unknown.
  enum class Writers { kNone, kSome, kUnknown } writers = Writers::kUnknown;
  if (lease.fd_.ok()) {
    auto opened = std::make_shared<struct stat>();
    if (fstat(lease.fd_.get(), opened.get()) != 0 || opened->st_ino != st.st_ino ||
        opened->st_dev != st.st_dev) {
      lease.fd_.reset();
      lease.replaced_ = lease.being_written_ = true;
      return lease;
    }
    IgnoreLeaseBreakSignal();
    if (fcntl(lease.fd_.get(), F_SETLEASE, F_RDLCK) == 0) {
      writers = Writers::kNone;
      lease.stat_ = std::move(opened);
    } else if (errno == EAGAIN || errno == EBUSY) {
      writers = Writers::kSome;
    }
  }
  lease.granted_ = writers == Writers::kNone;
  lease.being_written_ =
      writers == Writers::kUnknown ? ChangedWithin(st, kQuietNanos) : writers == Writers::kSome;
  return lease;
}

bool ChangedLately(const HeldFolder& folder, const struct stat& st) {
  const FileSystemTraits& fs = TraitsOf(folder);
  return ChangedWithin(st, fs.local ? kQuietNanos : fs.quiet_ns, fs.stamp_step_ns);
}

bool ReadLease::Broken() const { return granted_ && fcntl(fd_.get(), F_GETLEASE) != F_RDLCK; }

bool ReadLease::IsFor(const HeldFolder& folder, const std::string& name, std::uint64_t dev,
                      std::uint64_t ino) const {
  return StatOf(folder, name) != nullptr && dev_ == dev && ino_ == ino;
}

const struct stat* ReadLease::StatOf(const HeldFolder& folder, std::string_view name) const {
  return stat_ != nullptr && folder_dev_ == folder.dev && folder_ino_ == folder.ino && name_ == name
             ? stat_.get()
             : nullptr;
}

}  // namespace platform
