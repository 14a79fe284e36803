// The reference host's click track: silence, and a short loud click that starts at the time of
// every picture whose number is a multiple of 30, so that a file's sync can be measured from the
// file alone (the click's onset against its picture's presentation time).
//
//   host::ClickTrack track(clockFrequency);
//   every picture:  track.AddPicture(n, time);          // before any sound at or after time is rendered
//   then:           track.Render(until, pcm);           // the sound up to until, 48 kHz stereo
//                   ex.OfferAudio(pcm.data(), pcm.size() / 2, track.TimeOf(first sample rendered));
//
// Sample k of the track lies at start + k / 48000 s, start being the first picture's time (or an
// earlier one given by StartAt, for sound before the first picture); a click starts at the first
// sample at or after its picture's time (less than one sample, 20.8 us, after).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace host {

inline constexpr std::uint32_t kClickEveryFrames = 30;  // a click on every picture n with n % 30 == 0
inline constexpr std::uint32_t kClickFrames = 96;       // 2 ms at 48 kHz
inline constexpr std::uint32_t kClickHertz = 4000;      // a 4 kHz tone ...
inline constexpr std::int16_t kClickAmplitude = 29000;  // ... near full scale, starting at its peak

// The first sample k (from the sound's start) whose time start + k / 48000 s lies at or after time,
// in a clock of clockFrequency ticks a second; 0 for a time at or before start or a clock below 1.
std::uint64_t SampleAtOrAfter(std::int64_t start, std::int64_t time, std::int64_t clockFrequency);

// The time of sample k, cut to whole ticks toward the start.
std::int64_t TimeOfSample(std::int64_t start, std::uint64_t k, std::int64_t clockFrequency);

// Samples [from, to) of a sound, counted from its first.
struct SampleSpan {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  friend bool operator==(const SampleSpan&, const SampleSpan&) = default;
};

// The parts of the samples [first, first + count) that lie in none of the spans of held (in any
// order, overlapping or empty), in order: what a host that keeps quiet over held writes of them.
std::vector<SampleSpan> SpansToWrite(std::uint64_t first, std::uint64_t count, const std::vector<SampleSpan>& held);

class ClickTrack {
 public:
  explicit ClickTrack(std::int64_t clockFrequency) : clockFrequency_(clockFrequency) {}

  // Starts the track at time, before its first picture (sound that comes before any picture).
  // False (nothing changes) once it has started.
  bool StartAt(std::int64_t time);

  // A picture n shown at time. The first picture starts the track. False (nothing changes) when
  // the click it asks for would start on a sample already rendered: the caller renders only up to
  // a time no later picture can precede.
  bool AddPicture(std::uint32_t n, std::int64_t time);

  // Appends to pcm (left, right interleaved) every sample not yet rendered whose time lies before
  // until; returns the frames appended. Nothing before the first picture.
  std::size_t Render(std::int64_t until, std::vector<std::int16_t>& pcm);

  bool Started() const { return started_; }
  std::int64_t Start() const { return start_; }
  // Samples rendered so far: the index of the next one.
  std::uint64_t Rendered() const { return rendered_; }
  // The time of sample k in the host's clock.
  std::int64_t TimeOf(std::uint64_t k) const { return TimeOfSample(start_, k, clockFrequency_); }

 private:
  std::int64_t clockFrequency_;
  bool started_ = false;
  std::int64_t start_ = 0;
  std::uint64_t rendered_ = 0;
  std::deque<std::uint64_t> clicks_;  // first samples of clicks not yet wholly rendered, in order
};

}  // namespace host
