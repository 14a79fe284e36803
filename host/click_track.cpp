#include "host/click_track.h"

#include <algorithm>
#include <cmath>

#include "exchange/layout.h"

namespace host {

namespace {

constexpr std::uint64_t kRate = exchange::kSoundRate;
// Up to this clock a product of a remainder and the other rate fits 64 bits, and the arithmetic is
// exact; a faster clock (none a game uses) goes through long double.
constexpr std::uint64_t kExactClock = ~std::uint64_t{0} / kRate;

// ceil(a * b / c) for a < c.
std::uint64_t MulDivUp(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  if (c <= kExactClock && b <= kExactClock) return (a * b + c - 1) / c;
  return static_cast<std::uint64_t>(std::ceil(static_cast<long double>(a) * b / c));
}

// floor(a * b / c) for a < c.
std::uint64_t MulDivDown(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  if (c <= kExactClock && b <= kExactClock) return a * b / c;
  return static_cast<std::uint64_t>(std::floor(static_cast<long double>(a) * b / c));
}

// The click's samples: a cosine, so that its first sample is already at full level.
std::int16_t ClickSample(std::uint64_t j) {
  const double phase = 2.0 * 3.14159265358979323846 * kClickHertz * static_cast<double>(j) / kRate;
  return static_cast<std::int16_t>(std::lround(kClickAmplitude * std::cos(phase)));
}

}  // namespace

std::uint64_t SampleAtOrAfter(std::int64_t start, std::int64_t time, std::int64_t clockFrequency) {
  if (clockFrequency < 1 || time <= start) return 0;
  const std::uint64_t d = static_cast<std::uint64_t>(time) - static_cast<std::uint64_t>(start);
  const auto f = static_cast<std::uint64_t>(clockFrequency);
  return d / f * kRate + MulDivUp(d % f, kRate, f);
}

std::int64_t TimeOfSample(std::int64_t start, std::uint64_t k, std::int64_t clockFrequency) {
  if (clockFrequency < 1) return start;
  const auto f = static_cast<std::uint64_t>(clockFrequency);
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + k / kRate * f + MulDivDown(k % kRate, f, kRate));
}

std::vector<SampleSpan> SpansToWrite(std::uint64_t first, std::uint64_t count, const std::vector<SampleSpan>& held) {
  std::vector<SampleSpan> spans;
  const std::uint64_t end = count > ~std::uint64_t{0} - first ? ~std::uint64_t{0} : first + count;
  std::uint64_t at = first;
  while (at < end) {
    // The held span that covers at pushes it past its end; else the sound runs to the next one.
    std::uint64_t next = end;
    bool covered = false;
    for (const SampleSpan& h : held) {
      if (h.from >= h.to) continue;
      if (h.from <= at && at < h.to) {
        at = h.to;
        covered = true;
        break;
      }
      if (h.from > at) next = std::min(next, h.from);
    }
    if (covered) continue;
    spans.push_back({at, next});
    at = next;
  }
  return spans;
}

bool ClickTrack::StartAt(std::int64_t time) {
  if (started_) return false;
  started_ = true;
  start_ = time;
  return true;
}

bool ClickTrack::AddPicture(std::uint32_t n, std::int64_t time) {
  if (!started_) {
    started_ = true;
    start_ = time;
  }
  if (n % kClickEveryFrames != 0) return true;
  if (time < start_) return false;
  const std::uint64_t first = SampleAtOrAfter(start_, time, clockFrequency_);
  if (first < rendered_) return false;
  clicks_.insert(std::upper_bound(clicks_.begin(), clicks_.end(), first), first);
  return true;
}

std::size_t ClickTrack::Render(std::int64_t until, std::vector<std::int16_t>& pcm) {
  if (!started_) return 0;
  const std::uint64_t end = SampleAtOrAfter(start_, until, clockFrequency_);
  if (end <= rendered_) return 0;
  const std::size_t frames = static_cast<std::size_t>(end - rendered_);
  const std::size_t base = pcm.size();
  pcm.resize(base + frames * 2, 0);
  for (std::uint64_t click : clicks_) {
    const std::uint64_t from = std::max(click, rendered_);
    const std::uint64_t to = std::min(click + kClickFrames, end);
    for (std::uint64_t k = from; k < to; ++k) {
      const std::int16_t v = ClickSample(k - click);
      const std::size_t at = base + static_cast<std::size_t>(k - rendered_) * 2;
      pcm[at] = v;
      pcm[at + 1] = v;
    }
  }
  rendered_ = end;
  while (!clicks_.empty() && clicks_.front() + kClickFrames <= rendered_) clicks_.pop_front();
  return frames;
}

}  // namespace host
