// Turning the host's frame time stamps into the encoder's strictly increasing sample times.
#pragma once

#include <cstdint>

struct FrameClock {
  bool timeBaseSet = false;   // the first frame's slotTime has been taken
  std::int64_t timeBase = 0;  // slotTime of the first frame offered to the encoder
  std::int64_t lastTime = -1;  // sample time of the last frame the encoder accepted
};

// The sample time, in 100-ns units since the first frame, for a frame stamped slotTime in ticks of
// clockFrequency; sets the time base at the first frame. Always greater than lastTime: a time that
// is not, or that cannot be computed (a clock frequency of 0 or below, a result out of range), is
// replaced by lastTime + 1. Defined for every input.
std::int64_t SampleTimeFor(FrameClock& clock, std::int64_t slotTime, std::int64_t clockFrequency);
