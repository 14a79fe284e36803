#include "app/sound_feed.h"

#include <cmath>

#include "clips/sample_history.h"
#include "log/log.h"

namespace {

constexpr std::int64_t kFrameSamples = 1024;
// As for the pictures: times stay far below the 64-bit limit.
constexpr double kLargestSoundTime = 4503599627370496.0;  // 2^52

}  // namespace

bool SoundTimeFor(std::int64_t ticks, std::int64_t timeBase, std::int64_t clockFrequency, std::int64_t& time) {
  if (clockFrequency <= 0) return false;
  std::int64_t difference = 0;
  const double elapsed = __builtin_sub_overflow(ticks, timeBase, &difference)
                             ? static_cast<double>(ticks) - static_cast<double>(timeBase)
                             : static_cast<double>(difference);
  const double scaled = elapsed * 10000000.0 / static_cast<double>(clockFrequency);
  if (!std::isfinite(scaled) || scaled >= kLargestSoundTime || scaled <= -kLargestSoundTime) return false;
  time = static_cast<std::int64_t>(scaled);
  return true;
}

const SoundRun* RunOfFrame(std::int64_t s, const SoundRun& current, const SoundRun* previous) {
  // The first run's earliest frames begin before its first sample: they are the encoder's priming.
  if (s >= current.firstSample || !previous) return &current;
  if (s + kFrameSamples <= current.firstSample) return previous;
  return nullptr;
}

std::int64_t FrameTimeIn(const SoundRun& run, std::int64_t s) {
  // 10,000,000 / 48,000 = 625 / 3 units a sample; every frame from the same base, so that the
  // steps between frames never drift.
  return run.time + (s - run.firstSample) * 625 / 3;
}

void SoundFeed::Start(const exchange::Exchange& ex) noexcept {
  if (!ex.sound.present) return;
  try {
    if (!SelectAudioEncoder(encoder_)) return;
    clockFrequency_ = ex.header->clockFrequency;
    reader_ = std::make_unique<exchange::SoundReader>(ex.block, ex.sound, clockFrequency_);
    pcm_.reserve(kSoundFramesPerPass * 2);
    audioStream.audioSpecificConfig = encoder_.audioSpecificConfig;
    on_ = true;
  } catch (...) {
    LogLine("sound stopped: out of memory");
    Stop();
  }
}

void SoundFeed::Stop() {
  ReleaseAudioEncoder(encoder_);
  on_ = false;
}

void SoundFeed::Report(const exchange::SoundReport& report) {
  if (report.lostPackets > 0 && !lapping_) LogLine("sound lapped: %u packets lost", report.lostPackets);
  lapping_ = report.lostPackets > 0;
  if (report.gapMilliseconds > 0 && !gapping_) LogLine("sound gap of %u ms filled with silence", report.gapMilliseconds);
  gapping_ = report.gapMilliseconds > 0;
  if (report.jumpSeconds > 0) LogLine("sound clock jumped: %u s not filled", report.jumpSeconds);
}

bool SoundFeed::StartRun(std::uint64_t readerFrame, const FrameClock& clock) {
  std::int64_t ticks = 0, time = 0;
  if (!reader_->TimeOfFrame(readerFrame, ticks) || !SoundTimeFor(ticks, clock.timeBase, clockFrequency_, time)) {
    if (!clockless_) LogLine("sound without a usable clock: not recorded");
    clockless_ = true;
    return false;
  }
  if (haveRun_) {
    previous_ = current_;
    havePrevious_ = true;
  }
  current_.firstSample = static_cast<std::int64_t>(encoder_.framesIn);
  current_.time = time;
  current_.id = runs_++;
  haveRun_ = true;
  return true;
}

void SoundFeed::Feed(const std::int16_t* pcm, std::size_t frames, std::uint64_t firstFrame, const FrameClock& clock) {
  if (frames == 0 || !on_) return;
  if (!haveRun_ && !StartRun(firstFrame, clock)) return;
  const std::uint64_t firstOut = encoder_.framesOut;
  out_.clear();
  if (!EncodeAudio(encoder_, pcm, frames, out_)) {
    Stop();
    return;
  }
  for (std::size_t i = 0; i < out_.size(); ++i) {
    const std::int64_t s =
        static_cast<std::int64_t>(firstOut + i) * kFrameSamples - static_cast<std::int64_t>(encoder_.primingSamples);
    const SoundRun* run = RunOfFrame(s, current_, havePrevious_ ? &previous_ : nullptr);
    if (!run) continue;
    EncodedAudio frame;
    frame.data = std::make_shared<const std::vector<std::uint8_t>>(std::move(out_[i].bytes));
    frame.time = FrameTimeIn(*run, s);
    frame.run = run->id;
    AddEncodedAudio(frame);
  }
}

void SoundFeed::RunPass(const FrameClock& clock) noexcept {
  if (!on_) return;
  try {
    Pass(clock);
  } catch (...) {
    // The picture goes on: the sound is the one to give way.
    LogLine("sound stopped: out of memory");
    Stop();
  }
}

void SoundFeed::Pass(const FrameClock& clock) {
  pcm_.clear();
  const exchange::SoundReport report = reader_->Take(pcm_, kSoundFramesPerPass);
  Report(report);
  if (report.jumpSeconds > 0) {
    jumpPending_ = true;
    jumpFrame_ = report.jumpFrame;
  }
  const std::size_t frames = pcm_.size() / 2;
  // Sound before the first picture has nowhere to go: no file begins before a picture.
  if (!clock.timeBaseSet || frames == 0) return;
  const std::uint64_t firstFrame = reader_->FramesOut() - frames;
  if (jumpPending_ && jumpFrame_ < firstFrame) jumpFrame_ = firstFrame;
  std::size_t split = frames;
  if (jumpPending_ && jumpFrame_ - firstFrame < frames) split = static_cast<std::size_t>(jumpFrame_ - firstFrame);
  // Frames before a jump belong to the run they were read in; without one they have no place.
  if (haveRun_ || !jumpPending_) Feed(pcm_.data(), split, firstFrame, clock);
  if (split == frames) return;
  // From the jump on the sound stands where the host's clock jumped to: a new run.
  jumpPending_ = false;
  if (haveRun_ && on_ && !StartRun(firstFrame + split, clock)) haveRun_ = false;
  Feed(pcm_.data() + split * 2, frames - split, firstFrame + split, clock);
}
