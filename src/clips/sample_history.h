// The encoded-sample history: every access unit the encoder produces comes in here once, on the
// main thread; the last 15 s or so stay in memory for clips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "encoder/media_framework.h"

// One encoded H.264 access unit, Annex B, exactly as the encoder gave it. Copies share the bytes.
struct EncodedSample {
  std::shared_ptr<const std::vector<std::uint8_t>> data;
  std::int64_t time = 0;      // presentation time, 100-ns units
  std::int64_t duration = 0;  // 100-ns units
  bool keyframe = false;      // holds an IDR slice
};

// One AAC frame of the game's sound: the raw payload the audio encoder gave (no ADTS header), 1024
// samples of 48 kHz stereo. Copies share the bytes.
struct EncodedAudio {
  std::shared_ptr<const std::vector<std::uint8_t>> data;
  // The time of the frame's first sample on the picture's clock (100-ns units, the same origin as
  // EncodedSample::time). The encoder's priming is already taken out: a decoder's output sample k
  // of this frame is the host's sample at time + k / 48000 s. The first frames of a run begin
  // before the first sound (negative offsets from it are priming).
  std::int64_t time = 0;
  // Frames of one run follow one another without a gap (each 1024 samples after the last). A new
  // run starts when the sound's clock jumped or the encoder restarted; a file never holds frames
  // of two runs.
  std::uint32_t run = 0;
};

// What every file with sound needs of the audio stream, fixed while it runs: set once, on the main
// thread, when the audio encoder is up; empty audioSpecificConfig while there is no sound.
struct AudioStreamInfo {
  std::vector<std::uint8_t> audioSpecificConfig;  // from the encoder's output type, 1..64 bytes
};

struct ParameterSets {
  std::vector<std::uint8_t> sps;  // latest SPS NAL unit, no start code
  std::vector<std::uint8_t> pps;  // latest PPS NAL unit, no start code
};

// sps of at least 4 bytes and a non-empty pps.
bool ParameterSetsUsable(const ParameterSets& sets);

struct SampleHistory {
  std::deque<EncodedSample> samples;  // oldest first
  // Sum of data sizes in samples. 64 bits: the last keyframe group is never dropped, whatever its
  // size, so with an encoder that stops sending keyframes the sum could pass 4 GiB and wrap.
  std::uint64_t heldBytes = 0;
  // Bytes held before whole groups are dropped although younger than the span: the seed's cap, or
  // more for a stream whose bit rate would fill it in under 20 s (HistoryByteCapFor).
  std::uint64_t byteCap = 100663296;
  // The sound's frames, oldest first, trimmed with the picture's groups: the history keeps the
  // frames from one before the first picture's time on. Their bytes count in heldBytes too.
  std::deque<EncodedAudio> audio;
};

inline constexpr std::int64_t kHistorySpan = 150000000;          // 15 s in 100-ns units
inline constexpr std::uint32_t kHistoryByteCap = 100663296;      // 96 MiB
// The byte cap for a stream of bitRate bit/s: 20 s of it (the span and a group or two of
// headroom), never less than kHistoryByteCap. At most 250 MB, at 100 Mbit/s.
std::uint64_t HistoryByteCapFor(std::uint32_t bitRate);
inline constexpr std::int64_t kDefaultSampleDuration = 333333;
// With pictures in the history, the sound is held at most this much longer than the span before
// its newest frame: room for the groups a picture's history holds beyond the span.
inline constexpr std::int64_t kAudioHistoryHeadroom = 50000000;  // 5 s   // one frame of the seed's 30 fps

// The bytes of a sample (none when it has no data vector).
inline std::size_t SampleSize(const EncodedSample& sample) { return sample.data ? sample.data->size() : 0; }
inline const std::uint8_t* SampleBytes(const EncodedSample& sample) {
  return sample.data ? sample.data->data() : nullptr;
}

inline std::size_t AudioFrameSize(const EncodedAudio& frame) { return frame.data ? frame.data->size() : 0; }

// Process-wide, main thread only.
extern SampleHistory sampleHistory;
extern ParameterSets parameterSets;
extern AudioStreamInfo audioStream;

// Where parameter sets can be read when the samples have not carried them (the encoder's output
// type). read may write parameterSets; it runs on the calling thread, inside AddEncodedSample.
struct ParameterSetSource {
  void (*read)(void* context) = nullptr;
  void* context = nullptr;
};

// Takes one output sample of the encoder: copies its bytes once, learns keyframe and parameter
// sets, hands it to the recording, appends it to the history and trims. Keeps no reference to
// sample. A keyframe that arrives while the parameter sets are not usable first asks fallback
// (when given) for them, so the recording can open on that very keyframe.
void AddEncodedSample(IMFSample* sample, ParameterSetSource fallback = {});

// Takes one AAC frame from the audio encoder (main thread): hands it to the recording and appends
// it to the history. frame.data is at least one byte and at most kMaxAacFrameBytes.
void AddEncodedAudio(const EncodedAudio& frame);

// Drops whole keyframe groups from the front that lie 15 s or more before the newest sample, or
// while the history holds more than the byte cap; the last group always stays. Then drops the
// sound's frames that end one frame or more before the first remaining picture (without a picture:
// those 15 s or more before the newest frame), and the oldest frames while the history still
// holds more than the byte cap.
void TrimHistory(SampleHistory& history);
