#include <time.h>

#include "platform/date_time.h"

namespace platform {

DateParts LocalNowFromSystem() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  DateParts p;
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec;
  return p;
}

void FollowTimeZone() { tzset(); }

}  // namespace platform
