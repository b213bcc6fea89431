#include <windows.h>

#include "platform/pause.h"

namespace platform {

void Pause(long milliseconds) {
  if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace platform
