#include "clips/sample_history.h"

#include "clips/media_time.h"
#include "mp4/audio_track.h"

SampleHistory sampleHistory;
ParameterSets parameterSets;
AudioStreamInfo audioStream;

bool ParameterSetsUsable(const ParameterSets& sets) { return sets.sps.size() >= 4 && !sets.pps.empty(); }

std::uint64_t HistoryByteCapFor(std::uint32_t bitRate) {
  const std::uint64_t twentySeconds = std::uint64_t{bitRate} / 8 * 20;
  return twentySeconds > kHistoryByteCap ? twentySeconds : kHistoryByteCap;
}

namespace {

// Drops whole keyframe groups from the front while the second group's keyframe lies at or before
// the cutoff or the history holds more than its cap; the last group always stays.
void TrimGroups(SampleHistory& history) {
  std::deque<EncodedSample>& samples = history.samples;
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

// AudioFrameInFile with the file's picture from front on and no end: the frame ends after one
// frame before front. (The history cannot call into the writers' library; the history's tests hold
// the two to the same answers.)
bool AudioFrameInHistory(std::int64_t frameTime, std::int64_t front) {
  return MediaTimeDifference(frameTime, -kAacFrameUnits) > MediaTimeDifference(front, kAacFrameUnits);
}

void DropFrontAudio(SampleHistory& history) {
  history.heldBytes -= AudioFrameSize(history.audio.front());
  history.audio.pop_front();
}

// The sound follows the picture's groups: a frame that ends one frame or more before the first
// remaining picture can be in no file made from the history any more (the rule every file with
// sound keeps). While there is no picture yet (the sound's encoder runs ahead of the picture's),
// the frames of the last span stay, so the first file can take them. Beyond that the cap holds
// against sound that runs on while the picture stalls: the picture's last group is never
// dropped, so the sound goes first.
void TrimAudio(SampleHistory& history) {
  std::deque<EncodedAudio>& audio = history.audio;
  if (audio.empty()) return;
  if (!history.samples.empty()) {
    const std::int64_t front = history.samples.front().time;
    while (!audio.empty() && !AudioFrameInHistory(audio.front().time, front)) DropFrontAudio(history);
  }
  // Sound that runs on while the picture stalls (or a host whose sound runs far ahead of its
  // pictures) is held for a span and a little more, never without end: silence encodes to a few
  // bytes a frame, so the byte cap alone would let millions of frames pile up.
  const std::int64_t span = history.samples.empty() ? kHistorySpan : kHistorySpan + kAudioHistoryHeadroom;
  const std::int64_t cutoff = MediaTimeDifference(audio.back().time, span);
  while (!audio.empty() && audio.front().time <= cutoff) DropFrontAudio(history);
  while (!audio.empty() && history.heldBytes > history.byteCap) DropFrontAudio(history);
}

}  // namespace

void TrimHistory(SampleHistory& history) {
  if (!history.samples.empty()) TrimGroups(history);
  TrimAudio(history);
}
