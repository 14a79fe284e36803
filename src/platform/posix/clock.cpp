#include <time.h>

#include "platform/clock.h"

namespace platform {

std::uint32_t SystemTickCount() {
  timespec t {};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  const auto ms = static_cast<std::uint64_t>(t.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(t.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps after 49.7 days, like the Windows tick count
}

LocalTime SystemLocalTime() {
  timespec t {};
  ::clock_gettime(CLOCK_REALTIME, &t);
  tm local {};
  ::localtime_r(&t.tv_sec, &local);
  LocalTime out;
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.milliseconds = static_cast<int>(t.tv_nsec / 1000000);
  return out;
}

}  // namespace platform
