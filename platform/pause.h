#pragma once

namespace platform {

// Suspends the calling thread for that many milliseconds (none for 0 or less).
void Pause(long milliseconds);

}  // namespace platform
