#include "app/sample_time.h"

#include <cmath>

namespace {
// Sample times stay far below the 64-bit limit, so that lastTime + 1 and the later scaling to the
// 90 kHz movie time scale cannot overflow: 2^52 units of 100 ns are about 14 years.
constexpr double kLargestSampleTime = 4503599627370496.0;  // 2^52
}  // namespace

std::int64_t SampleTimeFor(FrameClock& clock, std::int64_t slotTime, std::int64_t clockFrequency) {
  if (!clock.timeBaseSet) {
    clock.timeBaseSet = true;
    clock.timeBase = slotTime;
  }
  const std::int64_t fallback = clock.lastTime + 1;
  if (clockFrequency <= 0) return fallback;
  std::int64_t difference = 0;
  double elapsed;
  if (__builtin_sub_overflow(slotTime, clock.timeBase, &difference)) {
    // Beyond 64 bits: the two converted apart are still a fine approximation.
    elapsed = static_cast<double>(slotTime) - static_cast<double>(clock.timeBase);
  } else {
    elapsed = static_cast<double>(difference);
  }
  const double scaled = elapsed * 10000000.0 / static_cast<double>(clockFrequency);
  if (!std::isfinite(scaled) || scaled >= kLargestSampleTime || scaled <= -kLargestSampleTime) return fallback;
  const auto time = static_cast<std::int64_t>(scaled);  // truncated toward zero
  return time > clock.lastTime ? time : fallback;
}
