#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/held_folder_posix.h"

struct stat;

// How is a writer detected: a file that some process, of any user, holds open for writing
// has not arrived yet.
namespace platform {

// A plain file of a held folder opened for reading, and the one answer to whether some
// process holds it open for writing. A read lease tells: the kernel grants it only while no
// process does, and keeps it until the file is closed; a writer that opens the file
// meanwhile breaks it. Where no lease can be had (a mover without the capability to lease
// other users' files), a file that changed within the last seconds counts as being written.
// The listing takes one for each file it returns and hands a granted one to the rename that
// moves that file, so that the question is asked once. On a drive mounted from elsewhere no
// lease sees the other machines' writers: there the answer is the file's stamps, asked of
// the server once, and handed on with them.
class ReadLease {
 public:
  ReadLease() = default;

  // Opens the entry `name` (never through a link) and asks; `st` is its lstat as looked up,
  // `st_fresh` when it was asked of the server just now.
  static ReadLease Take(const HeldFolder& folder, const std::string& name, const struct stat& st,
                        bool st_fresh = false);

  bool BeingWritten() const { return being_written_; }
  // The entry at that name is no longer the file looked up.
  bool Replaced() const { return replaced_; }
  // No process held the file open for writing when the lease was granted.
  bool Granted() const { return granted_; }
  // A granted lease that a writer has asked to break since.
  bool Broken() const;
  // The file opened for reading; -1 when it could not be opened.
  int fd() const { return fd_.get(); }
  // Granted (or, mounted from elsewhere, judged quiet by the server) on this very file of
  // this folder.
  bool IsFor(const HeldFolder& folder, const std::string& name, std::uint64_t dev,
             std::uint64_t ino) const;
  // The stat of the file at the entry `name` of `folder` when no one was found writing it
  // (of the file opened and leased; mounted from elsewhere, as the server gave it), or null.
  const struct stat* StatOf(const HeldFolder& folder, std::string_view name) const;
  // Worth handing from the listing to the rename.
  bool Handed() const { return stat_ != nullptr; }

 private:
  UniqueFd fd_;
  bool granted_ = false;
  bool being_written_ = false;
  bool replaced_ = false;
  std::uint64_t folder_dev_ = 0, folder_ino_ = 0, dev_ = 0, ino_ = 0;
  std::string name_;
  std::shared_ptr<const struct stat> stat_;
};

// Whether a file of a held folder (its lstat `st`) changed or arrived within the last seconds
// (mounted from elsewhere: within the quiet period).
bool ChangedLately(const HeldFolder& folder, const struct stat& st);

// What a listing learnt of the plain file (or link to one) it returned last, handed to the
// claim of that file: its name and, for a plain file, the lease that answered whether a
// writer holds it. The listing gives it up at its next entry and its end.
struct ListedFile {
  std::string name;
  ReadLease lease;
};

}  // namespace platform
