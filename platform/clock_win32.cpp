#include <windows.h>

#include "platform/date_time.h"
#include "platform/pause.h"

namespace platform {

DateParts LocalNowFromSystem() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  DateParts p;
  p.year = local.wYear;
  p.month = local.wMonth;
  p.day = local.wDay;
  p.hour = local.wHour;
  p.minute = local.wMinute;
  p.second = local.wSecond;
  return p;
}

void Pause(long milliseconds) {
  if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace platform
