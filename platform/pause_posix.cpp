#include <chrono>
#include <thread>

#include "platform/pause.h"

namespace platform {

void Pause(long milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
