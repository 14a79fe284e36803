// Arithmetic on media times (signed 64-bit counts of 100-ns units) that cannot overflow.
//
// Times come from the encoder and are not trusted: a garbage stamp near either end of the 64-bit
// range must give a wrong-but-defined answer, never undefined behaviour.
#pragma once

#include <cstdint>
#include <limits>

// a - b, clamped to the 64-bit range.
inline std::int64_t MediaTimeDifference(std::int64_t a, std::int64_t b) {
  std::int64_t out = 0;
  if (!__builtin_sub_overflow(a, b, &out)) return out;
  return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// A 100-ns count in ticks of the 90 kHz MP4 time scale, truncated toward zero: the exact value of
// units * 90,000 / 10,000,000 = units * 9 / 1000, computed without the overflowing product.
inline std::int64_t MovieTicksFromMediaTime(std::int64_t units) {
  const std::int64_t whole = units / 1000;  // |whole| * 9 stays far inside the 64-bit range
  const std::int64_t rest = units % 1000;   // same sign as units, so both parts truncate alike
  return whole * 9 + rest * 9 / 1000;
}
