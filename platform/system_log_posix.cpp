#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/system_log.h"

namespace platform {
namespace {

// Whether standard error is the stream the journal gave this process (a user unit's), so
// that what it says reaches the journal already.
bool StandardErrorIsTheJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// One datagram in the form of the system's log socket ("<priority>tag[pid]: text"), which
// the journal reads as well as any syslog daemon. TARVEX_SYSLOG_SOCKET names another socket
// (tests).
void SendToLogSocket(std::string_view source, std::string_view text, Told kind) {
  const char* path = std::getenv("TARVEX_SYSLOG_SOCKET");
  if (path == nullptr || *path == '\0') path = "/dev/log";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return;
  std::strcpy(address.sun_path, path);
  // The user facility (1): a warning (4) when a cause starts, a notice (5) otherwise.
  const int priority = 1 * 8 + (kind == Told::kStarts ? 4 : 5);
  std::string datagram = "<" + std::to_string(priority) + ">";
  datagram.append(source).append("[").append(std::to_string(getpid())).append("]: ");
  datagram.append(text.substr(0, 8000));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A full socket drops the datagram rather than stopping the program.
  sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
         reinterpret_cast<const sockaddr*>(&address), sizeof address);
  close(fd);
}

}  // namespace

void TellSystemLog(std::string_view source, std::string_view text, Told kind) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(source.size()), source.data(),
               static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
  static const bool journal = StandardErrorIsTheJournal();
  if (!journal) SendToLogSocket(source, text, kind);
}

}  // namespace platform
