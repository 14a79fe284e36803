// Local time and the 32-bit millisecond tick count, with a seam that lets tests drive both.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

// Milliseconds since an arbitrary start, wrapping at 2^32. Compare two values only through their
// 32-bit difference.
std::uint32_t TickCount();

// later - earlier as a signed count of milliseconds, right across the wrap as long as the two lie
// less than 2^31 ms apart.
inline std::int32_t TickDelta(std::uint32_t later, std::uint32_t earlier) {
  return static_cast<std::int32_t>(later - earlier);
}

LocalTime LocalTimeNow();

// Replaces the clocks (null restores the system's). Tests only.
void SetClockForTesting(std::uint32_t (*tick)(), LocalTime (*local)());

// The system's clocks themselves, bypassing the seam.
std::uint32_t SystemTickCount();
LocalTime SystemLocalTime();

}  // namespace platform
