#include "platform/pages.h"

namespace platform {

// The working set gives back what is not touched again by itself.
void GiveBackPages(void*, std::size_t) {}

}  // namespace platform
