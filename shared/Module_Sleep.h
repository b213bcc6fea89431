#pragma once

namespace tarvex {

// Suspends the calling thread for that many milliseconds.
void Sleep(long milliseconds);

}  // namespace tarvex
