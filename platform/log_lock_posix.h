#pragma once

#include <memory>
#include <string>

#include "platform/held_folder_posix.h"

// The log's lock on file systems whose record locks stay on this machine, and what the
// server holds of the log. No system header here: a file offset is a long long.
namespace platform {

// A lock that every client of a file server sees, for file systems whose record locks stay on
// this machine (FUSE clients: sshfs, smbnetfs): one token beside the log, ".<log>.tarvex-lock",
// that a mover takes by renaming it to a name of its own, ".<log>.tarvex-held-<64 bits>", and
// gives back by renaming it again. The server decides which of two renames finds the token
// (an exclusive create is no such test through an SMB client that looks the name up first and
// then creates without the test). Where two clients opened the token before either renamed
// it, both are told they took it (see FileSystemTraits::renames_by_handle): each asks again
// just before its line, and takes the lock afresh if the token went on to the other. A token
// is made only where none is there, free or held. A held token that stays for the file
// system's stale age (10 s) while others wait was left by a killed mover; no holder keeps it
// near that long. Whoever sees it first sets it aside as ".<log>.tarvex-left-<its 64
// bits>-<the log's length then>", so that the killed mover can tell whether its line went in
// before, and makes a new token. Asked for a bounded time, after which the line is written
// all the same. A lock file belongs to the thread that took it.
class LockFile {
 public:
  // Takes the lock of the log `log_name` of a folder, waiting a bounded time.
  LockFile(const HeldFolder& folder, const std::string& log_name);
  // Takes over this mover's own hold of an earlier run (its 64 bits), if it is still there.
  LockFile(const HeldFolder& folder, const std::string& log_name, const std::string& earlier);
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  bool Held() const { return held_; }
  // Whether the token is still this mover's, asked of the server where a rename said to
  // succeed may have been overtaken by another client's (an SMB client: see
  // FileSystemTraits::renames_by_handle); elsewhere whether it was taken.
  bool StillHeld() const;
  // The 64 bits of this hold, or "" when the lock is not held.
  std::string HeldToken() const { return held_ ? token_ : std::string(); }
  static std::string LeftPrefix(const std::string& log_name) {
    return "." + log_name + ".tarvex-left-";
  }

 private:
  struct NamesOnly {};
  // The names of the lock of a log, and of a hold of this mover's: nothing is taken yet.
  LockFile(const HeldFolder& folder, const std::string& log_name, NamesOnly);
  // The name of the token as held (by another than `except`), " free" when it is free, ""
  // when there is none.
  std::string Holder(const std::string& except = std::string()) const;

  const HeldFolder& folder_;
  std::string log_name_, free_, held_prefix_, token_, mine_;
  bool held_ = false;
};

// The lock file of a log on a file system that needs one, taken before the log is opened (an
// SMB client learns the file's size at its open), else nothing.
std::unique_ptr<LockFile> LockFileFor(const HeldFolder& folder, const std::string& log_name);

// Where the server's data of a file ends, read by an open of its own from `from` on (a client
// that cannot append may report a size older than another client's last line); -1 when the
// file cannot be read.
long long ServerEnd(const HeldFolder& folder, const std::string& name, long long from);

}  // namespace platform
