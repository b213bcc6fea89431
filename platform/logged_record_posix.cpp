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
struct LoggedFile {
  std::mutex mutex;
  std::string state, home;  // the variables that named the state folder opened, or tried
  bool tried = false;
  UniqueFd fd;
  unsigned char* slot = nullptr;  // the mapping, or none (then tokens are written with pwrite)
  void Close() {
    if (slot != nullptr) munmap(slot, kLoggedBytes);
    slot = nullptr;
    fd.reset();
  }
};
LoggedFile& Logged() {
  static LoggedFile file;
  return file;
}
std::string LoggedName() { return "logged-" + MoverTag() + "-" + MoverId(); }

// Opens (and maps) the record when the state folder is new; the caller holds the mutex.
void OpenLogged(LoggedFile& file) {
  // The state folder is found again only when the variables that name it change.
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  if (state == nullptr) state = "";
  if (home == nullptr) home = "";
  static const bool registered =
      pthread_atfork(nullptr, nullptr, [] { g_logged_stale = true; }) == 0;
  (void)registered;
  if (file.tried && !g_logged_stale.exchange(false) && file.state == state && file.home == home) {
    return;
  }
  file.Close();
  file.state = state;
  file.home = home;
  file.tried = true;
  const UniqueFd folder = OpenStateFolder(true);
  if (!folder.ok()) return;
  file.fd.reset(
      openat(folder.get(), LoggedName().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  // A record of an earlier layout keeps its first token (the last claim logged), nothing else.
  struct stat st {};
  if (!file.fd.ok() || fstat(file.fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_size != static_cast<off_t>(kLoggedBytes) &&
       (ftruncate(file.fd.get(), std::min<off_t>(st.st_size, 8)) != 0 ||
        ftruncate(file.fd.get(), static_cast<off_t>(kLoggedBytes)) != 0))) {
    file.fd.reset();  // no record to keep
    return;
  }
  void* map = mmap(nullptr, kLoggedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd.get(), 0);
  if (map != MAP_FAILED) file.slot = static_cast<unsigned char*>(map);
}

// Writes bytes at an offset of the record; a token (8 bytes at 0 or 8) in one store.
void PutLogged(LoggedFile& file, std::size_t at, const void* bytes, std::size_t n) {
  if (file.slot != nullptr) {
    if (n == 8) {
      std::uint64_t bits;
      std::memcpy(&bits, bytes, 8);
      std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(file.slot + at))
          .store(bits, std::memory_order_release);
    } else {
      std::memcpy(file.slot + at, bytes, n);
    }
  } else if (file.fd.ok() &&
             pwrite(file.fd.get(), bytes, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
    file.fd.reset();
  }
}

}  // namespace

void NoteLoggingToken(std::string_view token, std::string_view line, std::int64_t offset,
                      std::string_view lock_token) {
  LoggedFile& file = Logged();
  std::lock_guard<std::mutex> lock(file.mutex);
  OpenLogged(file);
  PutLogging(
      [&](std::size_t at, const void* bytes, std::size_t n) { PutLogged(file, at, bytes, n); },
      token, line, offset, lock_token);
}

void NoteLoggedToken(std::string_view token) {
  LoggedFile& file = Logged();
  std::lock_guard<std::mutex> lock(file.mutex);
  // The line's record, a moment before, found the state folder.
  if (!file.tried) OpenLogged(file);
  const std::uint64_t bits = TokenBits(token);
  PutLogged(file, 0, &bits, 8);
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
