#pragma once

#include <cstddef>

// Memory that a large table no longer needs while it is still allocated. No system header
// here. Any thread.
namespace platform {

// Gives the whole pages within [start, start + bytes) back to the system: they read as zeros
// when touched again. The memory stays allocated, and is freed as usual. Where the platform
// cannot do this cheaply (Windows), nothing happens.
void GiveBackPages(void* start, std::size_t bytes);

}  // namespace platform
