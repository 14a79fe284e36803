// The save schedule: turns the host's clip requests into RequestClip calls, 2 s after the request
// (at once for kind 3), and never sooner than a gap after the last triggered save.
#pragma once

#include <cstdint>

#include "exchange/layout.h"

struct SaveSchedule {
  std::int32_t seenRequestCount = 0;
  bool savePending = false;
  std::uint32_t saveDue = 0;
  std::int32_t saveKind = 0;
  std::uint32_t lastSaveTick = 0;
};

// The state as the loop sets it up: with lastSaveTick 12 s in the past no first request waits for
// the gap.
SaveSchedule StartSaveSchedule(std::uint32_t now);

using RequestClipFunction = void (*)(std::int32_t kind);

// One pass of the schedule at tick now: notices a new request, then triggers a due save.
void RunSaveSchedule(SaveSchedule& schedule, const exchange::ExchangeHeader& header, std::uint32_t now,
                     RequestClipFunction requestClip);
