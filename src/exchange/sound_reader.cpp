#include "exchange/sound_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/atomic.h"

namespace exchange {

namespace {

std::uint32_t Saturate32(std::uint64_t v) {
  return v > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(v);
}

}  // namespace

SoundReader::SoundReader(const std::uint8_t* block, const SoundRing& ring, std::int64_t clockFrequency)
    : block_(block),
      ring_(ring),
      clockFrequency_(clockFrequency >= 1 && clockFrequency <= kMaxSoundClockFrequency ? clockFrequency : 0),
      packetsWritten_(&reinterpret_cast<const ExchangeHeader*>(block)->sound.packetsWritten) {
  heldPcm_.resize(ring.packetFrames);
}

void SoundReader::SetAfterCopyForTesting(void (*hook)(void*), void* argument) {
  afterCopy_ = hook;
  afterCopyArgument_ = argument;
}

bool SoundReader::CopyPacket(std::uint64_t number, std::int64_t& time) {
  const std::size_t index = static_cast<std::size_t>(number % ring_.packetCount);
  const std::uint8_t* packet = block_ + ring_.offset + index * ring_.packetBytes;
  const auto* head = reinterpret_cast<const SoundPacketHeader*>(packet);
  // The host writes kSoundSequenceWriting, then the packet, then its number: a packet that reads
  // its number before and after the copy was not touched in between.
  if (platform::AtomicLoad(head->sequence) != number) return false;
  time = platform::RelaxedLoad(head->time);
  const auto* words = reinterpret_cast<const std::uint32_t*>(packet + kSoundPacketHeaderBytes);
  for (std::uint32_t i = 0; i < ring_.packetFrames; ++i) heldPcm_[i] = platform::RelaxedLoad(words[i]);
  if (afterCopy_) afterCopy_(afterCopyArgument_);
  platform::FullBarrier();
  return platform::AtomicLoad(head->sequence) == number;
}

bool SoundReader::Ticks(std::uint64_t frames, std::int64_t& ticks) const {
  const auto frequency = static_cast<std::uint64_t>(clockFrequency_);
  std::uint64_t whole = 0;
  if (__builtin_mul_overflow(frames / kSoundRate, frequency, &whole)) return false;
  // The remainder is below 48,000 and the frequency below 2^40: no overflow.
  const std::uint64_t part = frames % kSoundRate * frequency / kSoundRate;
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(whole, part, &sum) || sum > static_cast<std::uint64_t>(INT64_MAX)) return false;
  ticks = static_cast<std::int64_t>(sum);
  return true;
}

bool SoundReader::TimeOfFrame(std::uint64_t n, std::int64_t& ticks) const {
  std::int64_t since = 0, start = 0;
  if (!started_ || clockFrequency_ == 0 || !Ticks(n, since) || __builtin_add_overflow(startTime_, clockShift_, &start)) {
    return false;
  }
  return !__builtin_add_overflow(start, since, &ticks);
}

std::uint64_t SoundReader::FramesIn(std::int64_t ticks) const {
  return static_cast<std::uint64_t>(ticks / clockFrequency_) * kSoundRate +
         static_cast<std::uint64_t>(ticks % clockFrequency_) * kSoundRate / static_cast<std::uint64_t>(clockFrequency_);
}

void SoundReader::Place(std::int64_t time, SoundReport& report) {
  const std::uint64_t maxGapFrames = std::uint64_t{kMaxSoundGapSeconds} * kSoundRate;
  std::uint64_t silence = 0;
  std::uint32_t skip = 0;
  if (!started_) {
    // Whatever was lost before the first packet is before the start of the sound.
    started_ = true;
    startTime_ = time;
  } else {
    if (lostRun_ > maxGapFrames / ring_.packetFrames) {
      // More lost than the longest gap filled: the clock goes on from the packet's own place.
      const std::uint64_t seconds = lostRun_ > ~std::uint64_t{0} / ring_.packetFrames
                                        ? ~std::uint64_t{0}
                                        : lostRun_ * ring_.packetFrames / kSoundRate;
      report.jumpSeconds = std::max(report.jumpSeconds, Saturate32(seconds));
      report.jumpFrame = framesOut_;
    } else {
      silence = lostRun_ * ring_.packetFrames;
    }
    std::int64_t sinceStart = 0, expected = 0, packetTicks = 0, tolerance = 0, late = 0;
    if (clockFrequency_ != 0 && Ticks(framesOut_ + silence, sinceStart) && Ticks(ring_.packetFrames, packetTicks) &&
        Ticks(kSoundDriftFrames, tolerance) && !__builtin_add_overflow(startTime_, clockShift_, &expected) &&
        !__builtin_add_overflow(expected, sinceStart, &expected) && !__builtin_sub_overflow(time, expected, &late)) {
      if (late > tolerance) {
        if (late / clockFrequency_ >= kMaxSoundGapSeconds) {
          report.jumpSeconds =
              std::max(report.jumpSeconds, Saturate32(static_cast<std::uint64_t>(late / clockFrequency_)));
          if (__builtin_add_overflow(clockShift_, late, &clockShift_)) clockShift_ = 0;
          report.jumpFrame = framesOut_ + silence;  // the packet's first frame, after the silence owed
        } else {
          // Later than its place: silence until it. More than a packet (and more than the drift
          // allowed twice over) is time the host wrote no sound; less is a sound clock running
          // slower than the host's, brought back quietly.
          const std::uint64_t gap = FramesIn(late);
          silence += gap;
          if (late > std::max(packetTicks, 2 * tolerance)) {
            report.gapMilliseconds = Saturate32(std::uint64_t{report.gapMilliseconds} + gap / (kSoundRate / 1000));
          }
        }
      } else if (late < -tolerance && late != INT64_MIN) {
        // Earlier than its place: a sound clock running faster than the host's. The frames that
        // overlap what was handed on already are left out, so what follows plays at its time.
        skip = static_cast<std::uint32_t>(std::min<std::uint64_t>(FramesIn(-late), ring_.packetFrames));
      }
    }
  }
  lostRun_ = 0;
  owedSilence_ = silence;
  heldSkip_ = skip;
  held_ = skip < ring_.packetFrames;
}

bool SoundReader::Flush(std::vector<std::int16_t>& pcm, std::size_t maxFrames, std::size_t& emitted) {
  if (owedSilence_ > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(owedSilence_, maxFrames - emitted));
    pcm.insert(pcm.end(), n * kSoundChannels, std::int16_t{0});
    owedSilence_ -= n;
    emitted += n;
    framesOut_ += n;
    if (owedSilence_ > 0) return false;
  }
  if (held_) {
    const std::size_t frames = ring_.packetFrames - heldSkip_;
    if (maxFrames - emitted < frames) return false;
    const std::size_t at = pcm.size();
    pcm.resize(at + frames * kSoundChannels);
    std::memcpy(pcm.data() + at, heldPcm_.data() + heldSkip_, frames * kSoundFrameBytes);
    emitted += frames;
    framesOut_ += frames;
    held_ = false;
  }
  return true;
}

SoundReport SoundReader::Take(std::vector<std::int16_t>& pcm, std::size_t maxFrames) {
  SoundReport report;
  if (!ring_.present) return report;
  std::size_t emitted = 0;
  if (!Flush(pcm, maxFrames, emitted)) return report;
  const std::uint64_t written = platform::AtomicLoad(*packetsWritten_);
  const std::uint64_t count = ring_.packetCount;
  std::uint64_t lost = 0;
  if (written > next_ && written - next_ > count) {
    // The host wrote more than the ring holds since the last look. The oldest packet left is the
    // one it writes over next: start after it.
    const std::uint64_t from = written - count + 1;
    if (looked_) lost = from - next_;
    next_ = from;
  }
  looked_ = true;
  // A count that went back gives nothing until it passes the last packet taken.
  while (next_ < written) {
    std::int64_t time = 0;
    const bool whole = CopyPacket(next_, time);
    ++next_;
    if (!whole) {
      ++lost;
      continue;
    }
    if (started_) {
      lostRun_ += lost;
      report.lostPackets = Saturate32(std::uint64_t{report.lostPackets} + lost);
    }
    lost = 0;
    Place(time, report);
    if (!Flush(pcm, maxFrames, emitted)) break;
  }
  // Packets lost before the first one taken are before the start of the sound: nothing to report.
  if (lost > 0 && started_) {
    lostRun_ += lost;
    report.lostPackets = Saturate32(std::uint64_t{report.lostPackets} + lost);
  }
  return report;
}

}  // namespace exchange
