// vistrel's side of the sound ring: takes the host's packets in order and hands on PCM on a
// continuous sample clock, silence where sound is missing.
//
// Everything in the ring is the host's and may change while it is read: a packet is taken only
// when its sequence number reads its own number before and after the copy; the ring's size and
// place are the ones checked at open, never read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exchange/exchange.h"

namespace exchange {

// A gap longer than this is not filled: the host's clock moved, and the sound goes on from where
// its clock now stands.
inline constexpr std::uint32_t kMaxSoundGapSeconds = 600;
// How far a packet may stand from its place on the sample clock before the clock is brought back
// to it: half an AAC frame. A host's sound device runs on a crystal of its own, some parts in a
// million off the clock its time stamps come from; without this the sound would drift away from
// the picture by a frame every few minutes.
inline constexpr std::uint32_t kSoundDriftFrames = 512;

// What one Take met, for the log; each non-zero field is one incident.
struct SoundReport {
  // Packets the host wrote over before they were taken ("sound lapped: %u packets lost"); their
  // time is filled with silence.
  std::uint32_t lostPackets = 0;
  // Silence for time the host wrote no sound, beyond lost packets ("sound gap of %u ms filled with
  // silence").
  std::uint32_t gapMilliseconds = 0;
  // A packet time more than kMaxSoundGapSeconds ahead ("sound clock jumped: %u s not filled").
  std::uint32_t jumpSeconds = 0;
  // With jumpSeconds: the frame of the sample clock (FramesOut counting) from which the host's
  // clock stands where it jumped to; the frames before it keep the old place.
  std::uint64_t jumpFrame = 0;
};

class SoundReader {
 public:
  // block: the mapping the ring was checked against; clockFrequency: the header's ticks per
  // second. Without a usable clock (below 1 or above 2^40 ticks a second) gaps are found by lost
  // packets only.
  SoundReader(const std::uint8_t* block, const SoundRing& ring, std::int64_t clockFrequency);

  // Appends to pcm at most maxFrames frames (left, right): first any silence still owed, then the
  // packets written since the last call, in order, each preceded by the silence its gap needs (or
  // without its first frames when it stands more than kSoundDriftFrames before its place). A
  // packet that does not fit waits for the next call (it may then be lost to the host).
  SoundReport Take(std::vector<std::int16_t>& pcm, std::size_t maxFrames);

  // A packet has been taken; StartTime is the time of the first, the time of frame 0 handed on.
  bool Started() const { return started_; }
  std::int64_t StartTime() const { return startTime_; }
  // Frames handed on so far, silence included: the sample clock.
  std::uint64_t FramesOut() const { return framesOut_; }
  // The host's time (ticks of its clock) of frame n of the sample clock, as it stands since the
  // last jump. False before the start, without a usable clock, or beyond 64 bits.
  bool TimeOfFrame(std::uint64_t n, std::int64_t& ticks) const;

  // Tests only: runs between the copy of a packet and the second look at its sequence number.
  void SetAfterCopyForTesting(void (*hook)(void*), void* argument);

 private:
  bool Ticks(std::uint64_t frames, std::int64_t& ticks) const;
  bool CopyPacket(std::uint64_t number, std::int64_t& time);
  void Place(std::int64_t time, SoundReport& report);
  bool Flush(std::vector<std::int16_t>& pcm, std::size_t maxFrames, std::size_t& emitted);
  // Frames of the sound in ticks of the clock (clockFrequency_ not 0, ticks >= 0).
  std::uint64_t FramesIn(std::int64_t ticks) const;

  const std::uint8_t* block_;
  SoundRing ring_;
  std::int64_t clockFrequency_;
  const std::uint64_t* packetsWritten_;
  bool looked_ = false;           // packetsWritten has been read once
  bool started_ = false;
  std::int64_t startTime_ = 0;
  std::int64_t clockShift_ = 0;   // ticks the host's clock jumped, added to the expected time
  std::uint64_t framesOut_ = 0;
  std::uint64_t next_ = 0;        // number of the next packet to take
  std::uint64_t lostRun_ = 0;     // packets lost since the last one taken
  std::uint64_t owedSilence_ = 0;
  bool held_ = false;             // heldPcm_ holds a packet taken but not yet handed on
  std::uint32_t heldSkip_ = 0;    // its first frames left out: they stand where sound was handed on
  std::vector<std::uint32_t> heldPcm_;
  void (*afterCopy_)(void*) = nullptr;
  void* afterCopyArgument_ = nullptr;
};

}  // namespace exchange
