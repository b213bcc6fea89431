#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/drive_folders_posix.h"
#include "platform/file_system.h"
#include "platform/logged_record.h"
#include "platform/move_record.h"
#include "platform/state_folder_posix.h"

namespace platform {
namespace {

// Whether the record must be opened again: in a child process, which may have become another
// user.
std::atomic<bool> g_logged_stale{false};

// The one file of this program's state folder that tells which claim's line was written
// (see logged_record.h), kept open and mapped while the state folder stays the same: each
// token goes in with one aligned store into the mapping, and the page reaches the file as a
// write's would, without a system call a file.
class MappedFile final : public LoggedStore {
 public:
  void Open() override;
  bool Tried() const override { return tried; }
  void Put(std::size_t at, const void* bytes, std::size_t n) override;

 private:
  void Close() {
    if (slot != nullptr) munmap(slot, kLoggedBytes);
    slot = nullptr;
    fd.reset();
  }
  std::string named_state, named_home;  // the variables that named the folder opened, or tried
  bool tried = false;
  UniqueFd fd;
  unsigned char* slot = nullptr;  // the mapping, or none (then tokens are written with pwrite)
};

std::string LoggedName() { return "logged-" + MoverTag() + "-" + MoverId(); }

}  // namespace

// Opens (and maps) the record when the state folder is new.
void MappedFile::Open() {
  // The state folder is found again only when the variables that name it change; a pass reads
  // them once.
  ScopeFolders* const scope = CurrentScope();
  if (tried && scope != nullptr && scope->state_named && !g_logged_stale.load()) return;
  if (scope != nullptr) scope->state_named = true;
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  if (state == nullptr) state = "";
  if (home == nullptr) home = "";
  static const bool registered =
      pthread_atfork(nullptr, nullptr, [] { g_logged_stale = true; }) == 0;
  (void)registered;
  if (tried && !g_logged_stale.exchange(false) && named_state == state && named_home == home) {
    return;
  }
  Close();
  named_state = state;
  named_home = home;
  tried = true;
  const UniqueFd folder = OpenStateFolder(true);
  if (!folder.ok()) return;
  fd.reset(
      openat(folder.get(), LoggedName().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  // A record of an earlier layout keeps its first token (the last claim logged), nothing else.
  struct stat st {};
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_size != static_cast<off_t>(kLoggedBytes) &&
       (ftruncate(fd.get(), std::min<off_t>(st.st_size, 8)) != 0 ||
        ftruncate(fd.get(), static_cast<off_t>(kLoggedBytes)) != 0))) {
    fd.reset();  // no record to keep
    return;
  }
  void* map = mmap(nullptr, kLoggedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (map != MAP_FAILED) slot = static_cast<unsigned char*>(map);
}

void MappedFile::Put(std::size_t at, const void* bytes, std::size_t n) {
  if (slot != nullptr) {
    if (n == 8) {
      std::uint64_t bits;
      std::memcpy(&bits, bytes, 8);
      std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(slot + at))
          .store(bits, std::memory_order_release);
    } else {
      std::memcpy(slot + at, bytes, n);
    }
  } else if (fd.ok() &&
             pwrite(fd.get(), bytes, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
    fd.reset();
  }
}

LoggedStore& TheLoggedStore() {
  static MappedFile file;
  return file;
}

LoggedRecord ReadLoggedRecord() {
  LoggedRecord record;
  const UniqueFd folder = OpenStateFolder(false);
  if (!folder.ok()) return record;
  const UniqueFd in(openat(folder.get(), LoggedName().c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!in.ok() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    return record;
  }
  unsigned char bytes[kLoggedBytes] = {};
  if (st.st_size == static_cast<off_t>(kLoggedBytes) &&
      pread(in.get(), bytes, kLoggedBytes, 0) == static_cast<ssize_t>(kLoggedBytes)) {
    return DecodeLogged(bytes);
  }
  char first[17] = {};
  if (st.st_size <= 88 && pread(in.get(), first, sizeof first, 0) >= 8) {
    return DecodeEarlierLogged(first, st.st_size);
  }
  return record;
}

}  // namespace platform
