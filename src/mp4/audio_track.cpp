#include "mp4/audio_track.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "clips/media_time.h"

namespace {

constexpr std::uint32_t kAudioTrackId = 2;
constexpr std::int64_t kUnitsPerSecond = 10000000;

// ISO/IEC 14496-1 descriptor tags and the values that name AAC in them.
constexpr std::uint8_t kEsDescriptorTag = 0x03;
constexpr std::uint8_t kDecoderConfigTag = 0x04;
constexpr std::uint8_t kDecoderSpecificInfoTag = 0x05;
constexpr std::uint8_t kSlConfigTag = 0x06;
constexpr std::uint8_t kObjectTypeAudio = 0x40;        // ISO/IEC 14496-3 audio
constexpr std::uint8_t kStreamTypeAudio = 0x05 << 2 | 1;  // audio stream, reserved bit set

// The time (100-ns units after the first picture) at which audio frame j begins; frames before
// the priming's end begin before the first audible sample. Saturates rather than overflows.
std::int64_t FrameBegin(const AudioTable& audio, std::size_t j) {
  const std::int64_t lead = std::clamp(audio.firstAudibleTime, -kMaxAudioLead, kMaxAudioLead);
  const std::int64_t frame = static_cast<std::int64_t>(std::min<std::uint64_t>(j, std::uint64_t{1} << 40));
  const std::int64_t samples = frame * kAacFrameSamples - static_cast<std::int64_t>(audio.primingSamples);
  return lead + samples * (kUnitsPerSecond / 16) / (kAudioTimeScale / 16);
}

// A descriptor whose length fits one byte: every one here is under 128 bytes long, the bound on
// the AudioSpecificConfig sees to that.
void AppendDescriptor(ByteBuffer& out, std::uint8_t tag, const ByteBuffer& payload) {
  AppendU8(out, tag);
  AppendU8(out, static_cast<std::uint8_t>(payload.size()));
  AppendBytes(out, payload);
}

ByteBuffer ElementaryStreamDescriptor(const AudioTable& audio) {
  // Buffer size and bit rates as a reader expects them: the largest frame, the most bits in any
  // run of frames lasting about a second, and the mean over the whole track.
  std::uint32_t largest = 0;
  std::uint64_t total = 0;
  for (std::uint32_t size : audio.sizes) largest = std::max(largest, size), total += size;
  constexpr std::size_t kFramesPerSecond = (kAudioTimeScale + kAacFrameSamples - 1) / kAacFrameSamples;
  std::uint64_t window = 0, most = 0;
  for (std::size_t j = 0; j < audio.sizes.size(); ++j) {
    window += audio.sizes[j];
    if (j >= kFramesPerSecond) window -= audio.sizes[j - kFramesPerSecond];
    most = std::max(most, window);
  }
  const std::uint64_t samples = std::uint64_t{audio.sizes.size()} * kAacFrameSamples;
  const auto average = static_cast<std::uint32_t>(total * 8 * kAudioTimeScale / samples);
  const auto maximum = static_cast<std::uint32_t>(std::max<std::uint64_t>(most * 8, average));

  ByteBuffer specific;
  AppendBytes(specific, audio.audioSpecificConfig);
  ByteBuffer config;
  AppendU8(config, kObjectTypeAudio);
  AppendU8(config, kStreamTypeAudio);
  AppendU8(config, static_cast<std::uint8_t>(largest >> 16));  // buffer size, 24 bits
  AppendU16(config, static_cast<std::uint16_t>(largest));
  AppendU32(config, maximum);
  AppendU32(config, average);
  AppendDescriptor(config, kDecoderSpecificInfoTag, specific);
  ByteBuffer sl;
  AppendU8(sl, 0x02);  // predefined: the MP4 file's own
  ByteBuffer es;
  AppendU16(es, 0);  // ES ID
  AppendU8(es, 0);   // no dependence, URL or OCR stream; priority 0
  AppendDescriptor(es, kDecoderConfigTag, config);
  AppendDescriptor(es, kSlConfigTag, sl);

  ByteBuffer esds;
  AppendU32(esds, 0);  // version 0, flags 0
  AppendDescriptor(esds, kEsDescriptorTag, es);
  return esds;
}

ByteBuffer AudioSampleDescription(const AudioTable& audio) {
  ByteBuffer mp4a;
  AppendZeros(mp4a, 6);                                      // reserved
  AppendU16(mp4a, 1);                                        // data reference index
  AppendZeros(mp4a, 8);                                      // reserved
  AppendU16(mp4a, static_cast<std::uint16_t>(kAudioChannels));
  AppendU16(mp4a, static_cast<std::uint16_t>(kAudioSampleBits));
  AppendU16(mp4a, 0);                                        // pre-defined
  AppendU16(mp4a, 0);                                        // reserved
  AppendU32(mp4a, kAudioTimeScale << 16);                    // sample rate, 16.16
  AppendBox(mp4a, "esds", ElementaryStreamDescriptor(audio));
  ByteBuffer stsd;
  AppendU32(stsd, 0);  // version 0, flags 0
  AppendU32(stsd, 1);  // entry count
  AppendBox(stsd, "mp4a", mp4a);
  return stsd;
}

ByteBuffer AudioTrackHeader(std::uint32_t duration) {
  ByteBuffer b;
  AppendU32(b, 0x00000003);     // version 0, flags: enabled, in movie
  AppendU32(b, 0);              // creation time
  AppendU32(b, 0);              // modification time
  AppendU32(b, kAudioTrackId);  // track ID
  AppendU32(b, 0);              // reserved
  AppendU32(b, duration);       // duration, movie time scale
  AppendZeros(b, 8);            // reserved
  AppendU16(b, 0);              // layer
  AppendU16(b, 0);              // alternate group
  AppendU16(b, 0x0100);         // volume 1.0
  AppendU16(b, 0);              // reserved
  mp4detail::AppendMatrix(b);
  AppendU32(b, 0);  // width
  AppendU32(b, 0);  // height
  return b;
}

struct Edit {
  std::uint32_t duration;  // movie time scale
  std::int32_t mediaTime;  // media time scale; -1 for an empty edit
};

ByteBuffer EditList(const std::vector<Edit>& edits) {
  ByteBuffer elst;
  AppendU32(elst, 0);  // version 0, flags 0
  AppendU32(elst, static_cast<std::uint32_t>(edits.size()));
  for (const Edit& e : edits) {
    AppendU32(elst, e.duration);
    AppendU32(elst, static_cast<std::uint32_t>(e.mediaTime));
    AppendU16(elst, 1);  // media rate 1.0
    AppendU16(elst, 0);
  }
  ByteBuffer edts;
  AppendBox(edts, "elst", elst);
  return edts;
}

bool AudioFits(const AudioTable& audio) {
  const std::size_t frames = audio.sizes.size();
  if (frames == 0 || frames > kMaxAudioFrames) return false;
  if (audio.audioSpecificConfig.empty() || audio.audioSpecificConfig.size() > kMaxAudioSpecificConfigBytes) {
    return false;
  }
  for (std::uint32_t size : audio.sizes) {
    if (size == 0 || size > kMaxAacFrameBytes) return false;
  }
  if (audio.primingSamples > kMaxPrimingSamples) return false;
  if (std::uint64_t{frames} * kAacFrameSamples <= audio.primingSamples) return false;
  return audio.firstAudibleTime >= -kMaxAudioLead && audio.firstAudibleTime <= kMaxAudioLead;
}

}  // namespace

std::vector<PlannedChunk> PlanChunks(const SampleTable& video, const AudioTable& audio) {
  const std::size_t videoCount = video.times.size(), audioCount = audio.sizes.size();
  auto secondOf = [](std::int64_t time) { return time <= 0 ? std::int64_t{0} : time / kUnitsPerSecond; };
  auto videoSecond = [&](std::size_t i) { return secondOf(MediaTimeDifference(video.times[i], video.times[0])); };
  auto audioSecond = [&](std::size_t j) { return secondOf(FrameBegin(audio, j)); };

  std::vector<PlannedChunk> plan;
  std::size_t v = 0, a = 0;
  while (v < videoCount || a < audioCount) {
    // The earliest second still waiting: every turn takes at least one sample, however far apart
    // the times are.
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    const std::int64_t second =
        std::min(v < videoCount ? videoSecond(v) : kNever, a < audioCount ? audioSecond(a) : kNever);
    constexpr std::uint32_t kMostInChunk = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t taken = 0;
    while (v < videoCount && videoSecond(v) <= second && taken < kMostInChunk) ++v, ++taken;
    if (taken > 0) plan.push_back(PlannedChunk{ChunkTrack::kVideo, taken});
    taken = 0;
    while (a < audioCount && audioSecond(a) <= second && taken < kMostInChunk) ++a, ++taken;
    if (taken > 0) plan.push_back(PlannedChunk{ChunkTrack::kAudio, taken});
  }
  return plan;
}

ByteBuffer BuildAudioVideoMoovPayload(const SampleTable& video, std::int64_t lastDuration,
                                      const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                      PictureSize picture, const AudioTable& audio,
                                      const std::vector<PlannedChunk>& plan, std::uint64_t mediaDataStart) {
  if (!AudioFits(audio)) return {};

  // The chunks' offsets follow from the plan and the sample sizes: the media data holds exactly
  // the planned chunks, back to back, from mediaDataStart.
  TrackChunks videoChunks, audioChunks;
  std::size_t v = 0, a = 0;
  std::uint64_t at = mediaDataStart;
  for (const PlannedChunk& chunk : plan) {
    const bool isVideo = chunk.track == ChunkTrack::kVideo;
    std::size_t& next = isVideo ? v : a;
    const std::size_t count = isVideo ? video.times.size() : audio.sizes.size();
    if (chunk.samples == 0 || chunk.samples > count - next) return {};
    if (at > std::numeric_limits<std::uint32_t>::max()) return {};
    TrackChunks& chunks = isVideo ? videoChunks : audioChunks;
    chunks.samples.push_back(chunk.samples);
    chunks.offsets.push_back(static_cast<std::uint32_t>(at));
    for (std::size_t k = next; k < next + chunk.samples; ++k) at += isVideo ? video.sizes[k] : audio.sizes[k];
    next += chunk.samples;
  }
  if (v != video.times.size() || a != audio.sizes.size()) return {};

  const mp4detail::VideoTrak videoTrak =
      mp4detail::BuildVideoTrak(video, lastDuration, sps, pps, picture, videoChunks);

  // The first audible sample (media time = priming) plays with the first picture's time plus the
  // sound's own lead: an empty edit waits for it, or media time skips what began before.
  const std::uint64_t frames = audio.sizes.size();
  const std::uint64_t mediaDuration = frames * kAacFrameSamples;
  const std::int64_t lead = videoTrak.firstPicture + MovieTicksFromMediaTime(audio.firstAudibleTime);
  const std::uint64_t audible = mediaDuration - audio.primingSamples;
  std::uint64_t skipped = 0;
  if (lead < 0) {
    // Far enough back to cut the sound away entirely (checked before the product could overflow).
    const std::uint64_t back = static_cast<std::uint64_t>(-(lead + 1)) + 1;
    if (back / kMovieTimeScale > audible / kAudioTimeScale + 1) return {};
    skipped = back * kAudioTimeScale / kMovieTimeScale;
  }
  if (skipped >= audible) return {};
  const std::uint64_t played = (audible - skipped) * kMovieTimeScale / kAudioTimeScale;
  const std::uint64_t waited = lead > 0 ? static_cast<std::uint64_t>(lead) : 0;
  const std::uint64_t audioDuration = waited + played;
  if (audioDuration > std::numeric_limits<std::uint32_t>::max()) return {};

  std::vector<Edit> edits;
  if (waited > 0) edits.push_back(Edit{static_cast<std::uint32_t>(waited), -1});
  edits.push_back(Edit{static_cast<std::uint32_t>(played), static_cast<std::int32_t>(audio.primingSamples + skipped)});

  ByteBuffer stts;
  AppendU32(stts, 0);  // version 0, flags 0
  AppendU32(stts, 1);  // entry count
  AppendU32(stts, static_cast<std::uint32_t>(frames));
  AppendU32(stts, kAacFrameSamples);

  ByteBuffer stsz;
  stsz.reserve(12 + 4 * frames);
  AppendU32(stsz, 0);  // version 0, flags 0
  AppendU32(stsz, 0);  // sample size: sizes vary
  AppendU32(stsz, static_cast<std::uint32_t>(frames));
  for (std::uint32_t size : audio.sizes) AppendU32(stsz, size);

  ByteBuffer stbl;
  AppendBox(stbl, "stsd", AudioSampleDescription(audio));
  AppendBox(stbl, "stts", stts);
  AppendBox(stbl, "stsc", mp4detail::SampleToChunk(audioChunks.samples));
  AppendBox(stbl, "stsz", stsz);
  AppendBox(stbl, "stco", mp4detail::ChunkOffsets(audioChunks.offsets));

  ByteBuffer smhd;
  AppendU32(smhd, 0);  // version 0, flags 0
  AppendU16(smhd, 0);  // balance: centre
  AppendU16(smhd, 0);  // reserved

  ByteBuffer minf;
  AppendBox(minf, "smhd", smhd);
  AppendBox(minf, "dinf", mp4detail::DataInformation());
  AppendBox(minf, "stbl", stbl);

  ByteBuffer mdia;
  AppendBox(mdia, "mdhd", mp4detail::MediaHeader(kAudioTimeScale, static_cast<std::uint32_t>(mediaDuration)));
  AppendBox(mdia, "hdlr", mp4detail::HandlerReference("soun", "SoundHandler"));
  AppendBox(mdia, "minf", minf);

  ByteBuffer trak;
  AppendBox(trak, "tkhd", AudioTrackHeader(static_cast<std::uint32_t>(audioDuration)));
  AppendBox(trak, "edts", EditList(edits));
  AppendBox(trak, "mdia", mdia);

  const auto movieDuration = static_cast<std::uint32_t>(std::max<std::uint64_t>(videoTrak.duration, audioDuration));
  ByteBuffer payload;
  AppendBox(payload, "mvhd", mp4detail::MovieHeader(movieDuration, kAudioTrackId + 1));
  AppendBox(payload, "trak", videoTrak.trak);
  AppendBox(payload, "trak", trak);
  return payload;
}

bool AudioFrameInFile(std::int64_t frameTime, std::int64_t videoStart, std::int64_t videoEnd) {
  const std::int64_t end = MediaTimeDifference(frameTime, -kAacFrameUnits);
  return end > MediaTimeDifference(videoStart, kAacFrameUnits) && frameTime < videoEnd;
}

AudioTable MakeFileAudioTable(std::vector<std::uint32_t> sizes, const std::vector<std::uint8_t>& audioSpecificConfig,
                              std::int64_t firstFrameTime, std::int64_t videoStart) {
  AudioTable table;
  table.sizes = std::move(sizes);
  table.audioSpecificConfig = audioSpecificConfig;
  table.primingSamples = kAacFrameSamples;
  table.firstAudibleTime = MediaTimeDifference(MediaTimeDifference(firstFrameTime, -kAacFrameUnits), videoStart);
  return table;
}

ByteBuffer BuildPlannedVideoMoovPayload(const SampleTable& video, std::int64_t lastDuration,
                                        const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                        PictureSize picture, const std::vector<std::uint32_t>& audioSizes,
                                        const std::vector<PlannedChunk>& plan, std::uint64_t mediaDataStart) {
  TrackChunks videoChunks;
  std::size_t v = 0, a = 0;
  std::uint64_t at = mediaDataStart;
  for (const PlannedChunk& chunk : plan) {
    const bool isVideo = chunk.track == ChunkTrack::kVideo;
    std::size_t& next = isVideo ? v : a;
    const std::size_t count = isVideo ? video.times.size() : audioSizes.size();
    if (chunk.samples == 0 || chunk.samples > count - next) return {};
    if (isVideo) {
      if (at > std::numeric_limits<std::uint32_t>::max()) return {};
      videoChunks.samples.push_back(chunk.samples);
      videoChunks.offsets.push_back(static_cast<std::uint32_t>(at));
    }
    for (std::size_t k = next; k < next + chunk.samples; ++k) at += isVideo ? video.sizes[k] : audioSizes[k];
    next += chunk.samples;
  }
  if (v != video.times.size() || a != audioSizes.size() || v == 0) return {};

  const mp4detail::VideoTrak videoTrak =
      mp4detail::BuildVideoTrak(video, lastDuration, sps, pps, picture, videoChunks);
  ByteBuffer payload;
  AppendBox(payload, "mvhd", mp4detail::MovieHeader(videoTrak.duration, 2));
  AppendBox(payload, "trak", videoTrak.trak);
  return payload;
}
