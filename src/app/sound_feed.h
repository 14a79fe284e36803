// The game's sound on the main thread: the host's PCM from the sound ring, through the AAC encoder,
// placed on the picture's clock, into the recording and the history. It never fails a pass: when
// the encoder fails, the sound stops with one log line and the picture goes on as without sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/sample_time.h"
#include "encoder/audio_encoder.h"
#include "exchange/exchange.h"
#include "exchange/sound_reader.h"

// PCM frames taken from the ring in one pass at most: 8192 (two input calls, about a millisecond
// of encoding), so that catching up after a stall never holds the picture up; at about a hundred
// passes a second the sound still catches up more than ten times faster than it plays.
inline constexpr std::size_t kSoundFramesPerPass = 8192;

// Where the encoder's input samples stand on the picture's clock: from input sample firstSample on,
// sample s lies at time + (s - firstSample) / 48000 s.
struct SoundRun {
  std::int64_t firstSample = 0;
  std::int64_t time = 0;  // 100-ns units, the picture's clock
  std::uint32_t id = 0;
};

// The time (100-ns units since the picture's first frame) of a host time stamp, as SampleTimeFor
// computes the pictures' (without their rule of increasing). False when it cannot be computed.
bool SoundTimeFor(std::int64_t ticks, std::int64_t timeBase, std::int64_t clockFrequency, std::int64_t& time);

// The run an output frame whose first input sample is s belongs to: the current one, or the one
// before it when the frame lies wholly before the current one began. Null for a frame that spans
// both (its sound is half from either clock).
const SoundRun* RunOfFrame(std::int64_t s, const SoundRun& current, const SoundRun* previous);

// The time of the frame beginning at input sample s in run.
std::int64_t FrameTimeIn(const SoundRun& run, std::int64_t s);

class SoundFeed {
 public:
  // For a block that declares sound: brings up the audio encoder (COM and the media framework are
  // up on this thread) and publishes its AudioSpecificConfig in audioStream. Without sound, or
  // without an audio encoder, the feed stays off.
  void Start(const exchange::Exchange& ex) noexcept;

  // Once a pass: takes the host's new sound; before the first picture it is dropped, after it the
  // sound is encoded and every AAC frame goes to AddEncodedAudio with its time. Logs each lap, gap
  // and clock jump once. Never throws: memory that runs out on the way stops the sound (one line).
  void RunPass(const FrameClock& clock) noexcept;

  bool On() const { return on_; }

 private:
  void Report(const exchange::SoundReport& report);
  void Pass(const FrameClock& clock);
  void Feed(const std::int16_t* pcm, std::size_t frames, std::uint64_t firstFrame, const FrameClock& clock);
  bool StartRun(std::uint64_t readerFrame, const FrameClock& clock);
  void Stop();

  std::unique_ptr<exchange::SoundReader> reader_;
  AudioEncoder encoder_;
  bool on_ = false;
  std::int64_t clockFrequency_ = 0;
  std::vector<std::int16_t> pcm_;
  std::vector<AudioEncoderOutput> out_;
  bool haveRun_ = false;
  bool havePrevious_ = false;
  SoundRun current_;
  SoundRun previous_;
  std::uint32_t runs_ = 0;
  bool lapping_ = false;  // the last pass lost packets too: the same incident
  bool gapping_ = false;
  bool clockless_ = false;  // logged that the sound cannot be placed
  // A clock jump reported while the frames before it were still owed: the new run starts when the
  // sample clock reaches jumpFrame_.
  bool jumpPending_ = false;
  std::uint64_t jumpFrame_ = 0;
};
