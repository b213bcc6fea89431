#include <time.h>

#include <atomic>

#include "platform/date_time.h"

namespace platform {
namespace {

// Bumped when the time zone may have changed, so that no second read before it is reused.
std::atomic<unsigned> g_zone_generation{0};

}  // namespace

DateParts LocalNowFromSystem() {
  const time_t now = time(nullptr);
  // The local time of a second is worked out once: a pass asks for it with every file.
  struct Last {
    time_t at = -1;
    unsigned zone = 0;
    DateParts parts;
  };
  static thread_local Last last;
  const unsigned zone = g_zone_generation.load(std::memory_order_relaxed);
  if (now == last.at && zone == last.zone) return last.parts;
  struct tm local {};
  localtime_r(&now, &local);
  DateParts p;
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec;
  last = {now, zone, p};
  return p;
}

void FollowTimeZone() {
  tzset();
  g_zone_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace platform
