// The movie box with a sound track from arbitrary tables, encoder values and chunk plans: it is
// either nothing or a box the independent test reader walks whole, whose samples of both tracks
// tile the media data in the plan's order from its start, whose sound keeps every frame size and
// the AudioSpecificConfig, and whose edit list starts at or after the priming and plays no sample
// the track does not hold. Values within their bounds with the writer's own plan always give one.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "mp4/audio_track.h"
#include "mp4/mp4_reader.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// The chunk of each sample, from the sample-to-chunk runs.
std::vector<std::size_t> ChunkOfSample(const std::vector<std::array<std::uint32_t, 3>>& stsc,
                                       const std::vector<std::uint32_t>& stco, std::size_t samples) {
  std::vector<std::size_t> out;
  for (std::size_t chunk = 0; chunk < stco.size(); ++chunk) {
    std::uint32_t perChunk = 0;
    for (const auto& e : stsc) {
      if (e[0] <= chunk + 1) perChunk = e[1];
    }
    for (std::uint32_t k = 0; k < perChunk; ++k) out.push_back(chunk);
  }
  Require(out.size() == samples);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::uint8_t> sps = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(4, 16));
  while (sps.size() < 4) sps.push_back(0x42);
  const std::vector<std::uint8_t> pps = {0x68, 0xCE};
  const auto lastDuration = in.ConsumeIntegralInRange<std::int64_t>(-1000000, 1000000);

  SampleTable video;
  std::int64_t t = 0;
  const auto videoCount = in.ConsumeIntegralInRange<std::size_t>(1, 300);
  const bool rawTimes = in.ConsumeBool();
  for (std::size_t i = 0; i < videoCount; ++i) {
    t = rawTimes ? in.ConsumeIntegral<std::int64_t>() : t + in.ConsumeIntegralInRange<std::int64_t>(-700000, 700000);
    video.times.push_back(t);
    video.keyframes.push_back(in.ConsumeBool() ? 1 : 0);
    video.sizes.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, 1 << 20));
  }

  AudioTable audio;
  const auto frames = in.ConsumeIntegralInRange<std::size_t>(0, 3000);
  const bool wildSizes = in.ConsumeBool();
  for (std::size_t j = 0; j < frames; ++j) {
    audio.sizes.push_back(wildSizes ? in.ConsumeIntegral<std::uint32_t>()
                                    : in.ConsumeIntegralInRange<std::uint32_t>(1, kMaxAacFrameBytes));
  }
  audio.audioSpecificConfig =
      in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, kMaxAudioSpecificConfigBytes + 8));
  audio.primingSamples = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                          : in.ConsumeIntegralInRange<std::uint32_t>(0, 2112);
  audio.firstAudibleTime = in.ConsumeBool() ? in.ConsumeIntegral<std::int64_t>()
                                            : in.ConsumeIntegralInRange<std::int64_t>(-20000000, 20000000);

  // The writer's own plan, or any plan at all.
  const bool ownPlan = in.ConsumeBool();
  std::vector<PlannedChunk> plan;
  if (ownPlan) {
    plan = PlanChunks(video, audio);
  } else {
    const auto chunks = in.ConsumeIntegralInRange<std::size_t>(0, 64);
    for (std::size_t c = 0; c < chunks; ++c) {
      plan.push_back(PlannedChunk{in.ConsumeBool() ? ChunkTrack::kAudio : ChunkTrack::kVideo,
                                  in.ConsumeIntegralInRange<std::uint32_t>(0, 400)});
    }
  }
  const std::uint64_t start = in.ConsumeBool() ? in.ConsumeIntegral<std::uint64_t>()
                                               : in.ConsumeIntegralInRange<std::uint64_t>(0, 1 << 20);

  const ByteBuffer payload =
      BuildAudioVideoMoovPayload(video, lastDuration, sps, pps, PictureSize{}, audio, plan, start);

  bool inBounds = frames > 0 && !audio.audioSpecificConfig.empty() &&
                  audio.audioSpecificConfig.size() <= kMaxAudioSpecificConfigBytes &&
                  audio.primingSamples <= kMaxPrimingSamples && std::uint64_t{frames} * 1024 > audio.primingSamples;
  for (std::uint32_t s : audio.sizes) inBounds = inBounds && s > 0 && s <= kMaxAacFrameBytes;
  if (!inBounds) Require(payload.empty());
  if (payload.empty()) {
    // Only a sound that starts before the picture or far from it, a plan of the caller's own or
    // offsets beyond 32 bits leave values within their bounds without a box.
    const bool nearPicture = !rawTimes && audio.firstAudibleTime >= 0 && audio.firstAudibleTime <= 20000000;
    Require(!(inBounds && ownPlan && nearPicture && start <= (1 << 20)));
    return 0;
  }

  mp4read::Movie movie;
  try {
    movie = mp4read::ReadMoovPayload(payload);
  } catch (const mp4read::ParseError&) {
    std::abort();  // the writer built a box the reader cannot walk
  }
  const mp4read::SoundTrack& s = movie.sound;
  Require(s.present && s.handlerType == "soun" && s.trackId == 2 && movie.nextTrackId == 3);
  Require(movie.stsz == video.sizes && s.stsz == audio.sizes);
  Require(s.audioSpecificConfig == audio.audioSpecificConfig);
  Require(s.stts.size() == 1 && s.stts[0].count == frames && s.stts[0].value == 1024);
  Require(s.mediaTimeScale == 48000 && s.mediaDuration == frames * 1024);

  // Both tracks tile the media data from its start, chunk by chunk in the plan's order.
  // (Empty video samples take no bytes and are left out.)
  const std::vector<std::size_t> videoChunk = ChunkOfSample(movie.stsc, movie.stco, videoCount);
  const std::vector<std::size_t> soundChunk = ChunkOfSample(s.stsc, s.stco, frames);
  std::map<std::uint64_t, std::uint64_t> ranges;  // offset -> bytes
  std::vector<std::uint64_t> videoAt(movie.stco.begin(), movie.stco.end()), soundAt(s.stco.begin(), s.stco.end());
  for (std::size_t i = 0; i < videoCount; ++i) {
    if (video.sizes[i] > 0) Require(ranges.emplace(videoAt[videoChunk[i]], video.sizes[i]).second);
    videoAt[videoChunk[i]] += video.sizes[i];
  }
  for (std::size_t j = 0; j < frames; ++j) {
    Require(ranges.emplace(soundAt[soundChunk[j]], audio.sizes[j]).second);
    soundAt[soundChunk[j]] += audio.sizes[j];
  }
  std::uint64_t at = start;
  for (const auto& [offset, bytes] : ranges) {
    Require(offset == at);
    at += bytes;
  }

  // The edit list: at most a wait, then the sound from the priming's end on, never past its end.
  Require(!s.edits.empty() && s.edits.size() <= 2);
  if (s.edits.size() == 2) Require(s.edits[0].mediaTime == -1 && s.edits[0].duration > 0);
  const mp4read::EditEntry& play = s.edits.back();
  Require(play.mediaTime >= 0 && static_cast<std::uint32_t>(play.mediaTime) >= audio.primingSamples);
  Require(std::uint64_t{static_cast<std::uint32_t>(play.mediaTime)} + std::uint64_t{play.duration} * 48000 / 90000 <=
          std::uint64_t{frames} * 1024);
  std::uint64_t total = 0;
  for (const mp4read::EditEntry& e : s.edits) total += e.duration, Require(e.rate == 1);
  Require(total == s.trackDuration);
  Require(movie.movieDuration == std::max(movie.trackDuration, s.trackDuration));
  return 0;
}
