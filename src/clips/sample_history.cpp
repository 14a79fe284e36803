#include "clips/sample_history.h"

#include "clips/media_time.h"

SampleHistory sampleHistory;
ParameterSets parameterSets;
AudioStreamInfo audioStream;

bool ParameterSetsUsable(const ParameterSets& sets) { return sets.sps.size() >= 4 && !sets.pps.empty(); }

std::uint64_t HistoryByteCapFor(std::uint32_t bitRate) {
  const std::uint64_t twentySeconds = std::uint64_t{bitRate} / 8 * 20;
  return twentySeconds > kHistoryByteCap ? twentySeconds : kHistoryByteCap;
}

void TrimHistory(SampleHistory& history) {
  std::deque<EncodedSample>& samples = history.samples;
  if (samples.empty()) return;
  const std::int64_t cutoff = MediaTimeDifference(samples.back().time, kHistorySpan);
  for (;;) {
    // The second group's keyframe: everything before it is one whole group that may go.
    std::size_t k = 1;
    while (k < samples.size() && !samples[k].keyframe) ++k;
    if (k >= samples.size()) return;
    if (samples[k].time > cutoff && history.heldBytes <= history.byteCap) return;
    for (std::size_t i = 0; i < k; ++i) {
      history.heldBytes -= SampleSize(samples.front());
      samples.pop_front();
    }
  }
}
