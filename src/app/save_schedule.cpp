#include "app/save_schedule.h"

#include "exchange/exchange.h"
#include "log/log.h"
#include "platform/clock.h"

namespace {
constexpr std::uint32_t kDelay = 2000;
constexpr std::uint32_t kGap = 12000;
constexpr std::uint32_t kKeyDelay = 0;
constexpr std::uint32_t kKeyGap = 3000;
constexpr std::int32_t kKeyKind = 3;
}  // namespace

SaveSchedule StartSaveSchedule(std::uint32_t now) {
  SaveSchedule s;
  s.lastSaveTick = now - kGap;
  return s;
}

void RunSaveSchedule(SaveSchedule& s, const exchange::ExchangeHeader& header, std::uint32_t now,
                     RequestClipFunction requestClip) {
  std::int32_t kind = 0;
  if (exchange::TakeRequest(header, s.seenRequestCount, kind)) {
    const std::uint32_t delay = kind == kKeyKind ? kKeyDelay : kDelay;
    const std::uint32_t gap = kind == kKeyKind ? kKeyGap : kGap;
    const std::uint32_t byDelay = now + delay;
    const std::uint32_t byGap = s.lastSaveTick + gap;
    const std::uint32_t candidate = platform::TickDelta(byGap, byDelay) > 0 ? byGap : byDelay;
    if (!s.savePending || platform::TickDelta(candidate, s.saveDue) < 0) {
      s.savePending = true;
      s.saveDue = candidate;
      s.saveKind = kind;
    }
    LogLine("request %d, saving in %ld ms", kind, static_cast<long>(platform::TickDelta(s.saveDue, now)));
  }
  if (s.savePending && platform::TickDelta(now, s.saveDue) >= 0) {
    s.savePending = false;
    s.lastSaveTick = now;
    requestClip(s.saveKind);
  }
}
