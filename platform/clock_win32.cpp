#include <windows.h>

#include "platform/date_time.h"

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

void FollowTimeZone() {}

}  // namespace platform
