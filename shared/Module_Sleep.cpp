#include "shared/Module_Sleep.h"

#include "platform/pause.h"

namespace tarvex {

void Sleep(long milliseconds) { platform::Pause(milliseconds); }

}  // namespace tarvex
