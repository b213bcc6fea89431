#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/held_folder_posix.h"

struct stat;

// What the file system of a held folder can do, known in one place: whether every writer
// and every change passes through this machine's kernel, how coarse its time stamps are, how
// long a writer on another machine must have been quiet, and whether a no-replace rename and
// hard links work there (learned from the first refusal, remembered for the run).
namespace platform {

enum class Support { kUnknown, kYes, kNo };

// What a file system was found to do, learned by whichever call first tries it, in any
// thread: one atomic value, read and written without a lock.
class Learned {
 public:
  Learned() = default;
  Learned(Support s) : value_(s) {}  // NOLINT: stands for the value it holds
  Learned(const Learned& o) : value_(o.value_.load(std::memory_order_relaxed)) {}
  Learned& operator=(const Learned& o) { return *this = Support(o); }
  Learned& operator=(Support s) {
    value_.store(s, std::memory_order_relaxed);
    return *this;
  }
  operator Support() const { return value_.load(std::memory_order_relaxed); }  // NOLINT

 private:
  std::atomic<Support> value_{Support::kUnknown};
};

struct FileSystemTraits {
  // Local (ext4, tmpfs, ...): a lease sees every writer, an append is atomic, change
  // reports arrive. Otherwise mounted from elsewhere (NFS, SMB, FUSE, 9p, anything unknown).
  bool local = true;
  // The smallest step of its time stamps; a folder whose stamps never move (a FUSE client
  // that reports the epoch for every folder) has no stamp that tells a change.
  long long stamp_step_ns = 1;
  bool folder_stamps_move = true;
  // How long this client may answer from attributes and listings it cached: the mount
  // options actimeo= or acregmax= where the mount shows one; for sshfs, the timeouts of its
  // own cache (20 s unless its command line says otherwise, 0 with cache=no), which even a
  // stat asked afresh does not pass.
  long long attribute_cache_ns = 0;
  // On a drive mounted from elsewhere, a file whose size or change time moved within this
  // period counts as being written: 5 s beyond the attribute cache.
  long long quiet_ns = 0;
  Learned no_replace_rename;
  Learned hard_links;
  Learned appends;  // opening a file for appending
  // An SMB client renames an entry by opening it and renaming what it opened: of two clients
  // that opened one entry before either renamed it, both are told the rename succeeded, and
  // the entry ends under the later one's name. A mover there asks the server again, just
  // before it acts on a rename of its own (a claim, a lock's token), whether its name still
  // holds the entry.
  bool renames_by_handle = false;
  // Record locks reach the file server, so that clients on other machines see them (NFS, the
  // kernel's SMB client); a FUSE client keeps them to this machine.
  bool locks_reach_server = true;
  // Where they do not, how long a mover may hold the log's lock file before the others take
  // it for left by a killed one.
  long long lock_stale_ns = 10000000000LL;

  // How old an answer about a folder's names may be before it must be asked afresh.
  long long FreshWindowNs() const { return stamp_step_ns + attribute_cache_ns; }
};

// The traits of the file system that holds a folder; the same object for the whole run (until
// a test forces others). Any thread may ask; only the Learned answers change after.
FileSystemTraits& TraitsOf(const HeldFolder& folder);

// How long an sshfs client with this command line answers from its own cache, in ns.
long long SshfsAttributeCacheNs(const std::vector<std::string>& args);

// The lstat of an entry of a held folder; on a drive mounted from elsewhere fetched afresh
// from the server rather than from this client's cache. 0, or -1 with errno set.
int StatEntry(int dir_fd, const char* name, struct stat* st, bool fresh);
// The stat of a file just opened, as the open found it, with no further question to the
// server of a drive mounted from elsewhere. 0, or -1 with errno set.
int StatOpened(int fd, struct stat* st);

}  // namespace platform
