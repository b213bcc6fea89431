#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/pages.h"

namespace platform {

void GiveBackPages(void* start, std::size_t bytes) {
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto from = (reinterpret_cast<std::uintptr_t>(start) + page - 1) / page * page;
  const auto to = (reinterpret_cast<std::uintptr_t>(start) + bytes) / page * page;
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

}  // namespace platform
