#include "platform/log_lock_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/drive_folders_posix.h"
#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/long_work.h"
#include "platform/move_record.h"
#include "platform/moving_posix.h"

namespace platform {

LockFile::LockFile(const HeldFolder& folder, const std::string& log_name, NamesOnly)
    : folder_(folder),
      log_name_(log_name),
      free_("." + log_name + ".tarvex-lock"),
      held_prefix_("." + log_name + ".tarvex-held-"),
      token_(Token()),
      mine_(held_prefix_ + token_) {}

LockFile::LockFile(const HeldFolder& folder, const std::string& log_name)
    : LockFile(folder, log_name, NamesOnly{}) {
  const long long stale_ns = TraitsOf(folder).lock_stale_ns;
  std::string seen;
  long long seen_since = 0;
  const long long give_up = MonotonicNanos() + 3 * stale_ns;
  bool made = false;
  for (int attempt = 0; MonotonicNanos() < give_up; ++attempt) {
    if (renameat(folder_.fd, free_.c_str(), folder_.fd, mine_.c_str()) == 0) {
      // A token this mover made may have been made by another at the same moment (an
      // exclusive create is not one step on every file server, and a client may show a
      // folder's names late): it is looked for three times over 100 ms. Where two are held,
      // each gives its own up and both try again after a pause of their own.
      bool alone = true;
      for (int look = 0; made && alone && look < 3; ++look) {
        if (look > 0) {
          const timespec settle{0, 50000000};
          nanosleep(&settle, nullptr);
        }
        alone = Holder(mine_).empty();
      }
      if (alone) {
        held_ = true;
        return;
      }
      unlinkat(folder_.fd, mine_.c_str(), 0);
      made = false;
      const timespec pause{0, static_cast<long>(5000000 + Token()[0] % 16 * 3000000)};
      nanosleep(&pause, nullptr);
      continue;
    }
    if (errno != ENOENT) return;  // no lock to be had here: the line goes out as before
    const std::string holder = Holder();
    if (holder.empty()) {
      // No token at all (the first line, or a token given back just now): one is made, and
      // taken by a rename like any other.
      UniqueFd made_now(openat(folder_.fd, free_.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
      made = made_now.ok();
      if (made || errno == EEXIST) continue;
      if (attempt > 3) return;
    } else if (holder != seen) {
      seen = holder;
      seen_since = MonotonicNanos();
    } else if (MonotonicNanos() - seen_since > stale_ns) {
      // Left by a mover that was killed: set aside (by one of those who wait) with the log's
      // length, which no one changed while it was held.
      if (holder != " free") {
        struct stat log {};
        const off_t end = StatEntry(folder_.fd, log_name_.c_str(), &log, true) == 0
                              ? ServerEnd(folder_, log_name_, log.st_size)
                              : -1;
        const std::string left = LeftPrefix(log_name_) + holder.substr(held_prefix_.size()) + "-" +
                                 (end >= 0 ? std::to_string(end) : std::string("?"));
        renameat(folder_.fd, holder.c_str(), folder_.fd, left.c_str());
      }
      seen_since = MonotonicNanos();
      continue;
    }
    // Another mover has the token: this one waits holding no other lock (a placing lock kept
    // within its pass), so that no two movers each keep what the other waits for.
    LetTheLocksGo();
    YieldDuringLongWork();  // another mover's hold may last a second: the window goes on
    const timespec pause{0, 5000000};
    nanosleep(&pause, nullptr);
  }
}

LockFile::LockFile(const HeldFolder& folder, const std::string& log_name,
                   const std::string& earlier)
    : LockFile(folder, log_name, NamesOnly{}) {
  held_ = renameat(folder_.fd, (held_prefix_ + earlier).c_str(), folder_.fd, mine_.c_str()) == 0;
}

LockFile::~LockFile() {
  if (!held_ || renameat(folder_.fd, mine_.c_str(), folder_.fd, free_.c_str()) == 0 ||
      errno != ENOENT) {
    return;
  }
  // Held so long that another mover took it for left by a killed one and set it aside: this
  // mover was not killed, so no restart of its will ask the log's length then.
  const std::string left = LeftPrefix(log_name_) + token_ + "-";
  std::string found;
  ForEachName(folder_.fd, [&](std::string_view name) {
    if (name.substr(0, left.size()) == left) found = name;
  });
  if (!found.empty()) unlinkat(folder_.fd, found.c_str(), 0);
}

bool LockFile::StillHeld() const {
  if (!held_ || !TraitsOf(folder_).renames_by_handle) return held_;
  return StillNamed(folder_, mine_);
}

std::string LockFile::Holder(const std::string& except) const {
  std::string holder;
  ForEachName(folder_.fd, [&](std::string_view name) {
    if ((name.substr(0, held_prefix_.size()) == held_prefix_ && name != except) ||
        (holder.empty() && name == free_)) {
      holder = name;
    }
  });
  return holder == free_ ? std::string(" free") : holder;
}

std::unique_ptr<LockFile> LockFileFor(const HeldFolder& folder, const std::string& log_name) {
  const FileSystemTraits& fs = TraitsOf(folder);
  if (fs.local || fs.locks_reach_server) return nullptr;
  return std::make_unique<LockFile>(folder, log_name);
}

long long ServerEnd(const HeldFolder& folder, const std::string& name, long long from) {
  UniqueFd in(openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.ok()) return -1;
  char probe[4096];
  for (ssize_t n; (n = pread(in.get(), probe, sizeof probe, from)) > 0;) from += n;
  return from;
}

}  // namespace platform
