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
};

inline constexpr std::int64_t kHistorySpan = 150000000;          // 15 s in 100-ns units
inline constexpr std::uint32_t kHistoryByteCap = 100663296;      // 96 MiB
// The byte cap for a stream of bitRate bit/s: 20 s of it (the span and a group or two of
// headroom), never less than kHistoryByteCap. At most 250 MB, at 100 Mbit/s.
std::uint64_t HistoryByteCapFor(std::uint32_t bitRate);
inline constexpr std::int64_t kDefaultSampleDuration = 333333;   // one frame of the seed's 30 fps

// The bytes of a sample (none when it has no data vector).
inline std::size_t SampleSize(const EncodedSample& sample) { return sample.data ? sample.data->size() : 0; }
inline const std::uint8_t* SampleBytes(const EncodedSample& sample) {
  return sample.data ? sample.data->data() : nullptr;
}

// Process-wide, main thread only.
extern SampleHistory sampleHistory;
extern ParameterSets parameterSets;

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

// Drops whole keyframe groups from the front that lie 15 s or more before the newest sample, or
// while the history holds more than the byte cap; the last group always stays.
void TrimHistory(SampleHistory& history);
