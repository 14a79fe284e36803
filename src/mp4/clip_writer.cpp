#include "mp4/clip_writer.h"

#include "clips/media_time.h"
#include "mp4/audio_track.h"
#include "mp4/placement.h"
#include "platform/file.h"

void BuildClipTable(const std::vector<EncodedSample>& samples, SampleTable& table, std::uint64_t& totalBytes) {
  const std::size_t n = samples.size();
  table.times.resize(n);
  table.keyframes.resize(n);
  table.sizes.resize(n);
  totalBytes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const EncodedSample& s = samples[i];
    const std::uint64_t size = ConvertedSize(SampleBytes(s), SampleSize(s));
    table.times[i] = s.time;
    table.keyframes[i] = s.keyframe ? 1 : 0;
    // A size beyond 32 bits cannot occur alone in a file that passes the total's gate.
    table.sizes[i] = static_cast<std::uint32_t>(size);
    totalBytes += size;
  }
}

bool BuildClipHeader(const SampleTable& table, std::uint64_t totalBytes, std::int64_t lastDuration,
                     const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                     ByteBuffer& header, PictureSize picture) {
  if (!MediaDataFits(totalBytes)) return false;
  header = BuildFileTypeBox();
  // The movie box stands before the media data, so its size must be known for the chunk offset;
  // its length does not depend on the offset's value.
  const std::size_t moovPayload = BuildMoovPayload(table, lastDuration, sps, pps, 0, picture).size();
  const auto chunkOffset = static_cast<std::uint32_t>(kFileTypeBoxSize + (moovPayload + 8) + 8);
  AppendBox(header, "moov", BuildMoovPayload(table, lastDuration, sps, pps, chunkOffset, picture));
  AppendU32(header, static_cast<std::uint32_t>(totalBytes + 8));
  AppendFourCC(header, "mdat");
  return true;
}

namespace {

// The file under its temporary name, written and given its final name while this handle still
// holds it. Removes the temporary file on every failure, also when memory runs out on the way.
// writeBody writes everything after the header and tells whether every byte went.
template <typename WriteBody>
bool WriteAndPlace(const std::u16string& path, const ByteBuffer& header, std::u16string* writtenPath,
                   const WriteBody& writeBody) {
  const std::u16string temporary = path + u".tmp";
  platform::FileHandle file = platform::CreateFileForWrite(temporary, platform::ShareMode::None);
  if (file == platform::kInvalidFile) return false;
  bool kept = false;
  try {
    const bool written = platform::WriteToFile(file, header.data(), header.size()) && writeBody(file);
    std::u16string used;
    kept = written && MoveToFreeName(file, temporary, path, used);
    if (kept && writtenPath) *writtenPath = std::move(used);
  } catch (...) {
    kept = false;
  }
  if (!kept) {
    platform::CloseFile(file);  // still open unless the move closed it
    platform::RemoveFile(temporary);
  }
  return kept;
}

// The video samples from..to, each converted to length prefixes.
bool WriteVideoSamples(platform::FileHandle file, const std::vector<EncodedSample>& samples, std::size_t from,
                       std::size_t to) {
  ByteBuffer sampleBytes;
  for (std::size_t i = from; i < to; ++i) {
    sampleBytes.clear();
    ConvertAccessUnit(sampleBytes, SampleBytes(samples[i]), SampleSize(samples[i]));
    if (!platform::WriteToFile(file, sampleBytes.data(), sampleBytes.size())) return false;
  }
  return true;
}

// The clip of one track, its samples in one chunk after the header; may throw when memory runs out.
bool WriteVideoOnlyClip(const std::u16string& path, const std::vector<EncodedSample>& samples,
                        const SampleTable& table, std::uint64_t totalBytes, const std::vector<std::uint8_t>& sps,
                        const std::vector<std::uint8_t>& pps, std::u16string* writtenPath, PictureSize picture) {
  ByteBuffer header;
  if (!BuildClipHeader(table, totalBytes, samples.back().duration, sps, pps, header, picture)) return false;
  return WriteAndPlace(path, header, writtenPath, [&](platform::FileHandle file) {
    return WriteVideoSamples(file, samples, 0, samples.size());
  });
}

// What a clip with sound writes after the picture's table is known: its header, the frames it
// holds and the order of the chunks.
struct SoundClipLayout {
  ByteBuffer header;
  AudioSelection frames;
  std::vector<PlannedChunk> plan;
};

// False when the clip cannot carry the sound (the caller then writes the video-only clip).
bool BuildSoundClipLayout(const std::vector<EncodedSample>& samples, const SampleTable& table,
                          std::uint64_t videoBytes, const std::vector<std::uint8_t>& sps,
                          const std::vector<std::uint8_t>& pps, PictureSize picture, const ClipSound& sound,
                          SoundClipLayout& layout) {
  if (sound.audioSpecificConfig.empty() || sound.frames.size() < 2) return false;
  const std::int64_t videoStart = samples.front().time;
  const std::int64_t videoEnd = MediaTimeDifference(samples.back().time, -samples.back().duration);
  layout.frames = SelectClipAudio(sound.frames, videoStart, videoEnd);
  if (layout.frames.count < 2) return false;

  std::vector<std::uint32_t> sizes;
  sizes.reserve(layout.frames.count);
  std::uint64_t mediaBytes = videoBytes;
  for (std::size_t j = layout.frames.first; j < layout.frames.first + layout.frames.count; ++j) {
    // A frame beyond 32 bits cannot be described; the builder refuses every size above the
    // largest AAC frame anyway.
    const std::size_t size = AudioFrameSize(sound.frames[j]);
    if (size > kMaxAacFrameBytes) return false;
    sizes.push_back(static_cast<std::uint32_t>(size));
    mediaBytes += size;
  }
  if (!MediaDataFits(mediaBytes)) return false;
  const AudioTable audio = MakeFileAudioTable(std::move(sizes), sound.audioSpecificConfig,
                                              sound.frames[layout.frames.first].time, videoStart);
  layout.plan = PlanChunks(table, audio);

  // The movie box stands before the media data: its size first, then the box with the offsets.
  const std::int64_t lastDuration = samples.back().duration;
  const ByteBuffer sized = BuildAudioVideoMoovPayload(table, lastDuration, sps, pps, picture, audio, layout.plan, 0);
  if (sized.empty()) return false;
  const std::uint64_t mediaDataStart = std::uint64_t{kFileTypeBoxSize} + 8 + sized.size() + 8;
  const ByteBuffer moov =
      BuildAudioVideoMoovPayload(table, lastDuration, sps, pps, picture, audio, layout.plan, mediaDataStart);
  if (moov.size() != sized.size()) return false;

  layout.header = BuildFileTypeBox();
  AppendBox(layout.header, "moov", moov);
  AppendU32(layout.header, static_cast<std::uint32_t>(mediaBytes + 8));
  AppendFourCC(layout.header, "mdat");
  return true;
}

// The media data of a clip with sound: the chunks in the plan's order, the picture's samples
// converted as in a video-only clip, the sound's frames as the encoder gave them.
bool WriteSoundClipBody(platform::FileHandle file, const std::vector<EncodedSample>& samples, const ClipSound& sound,
                        const SoundClipLayout& layout) {
  std::size_t v = 0, a = layout.frames.first;
  ByteBuffer chunkBytes;
  for (const PlannedChunk& chunk : layout.plan) {
    if (chunk.track == ChunkTrack::kVideo) {
      if (!WriteVideoSamples(file, samples, v, v + chunk.samples)) return false;
      v += chunk.samples;
      continue;
    }
    chunkBytes.clear();
    for (std::uint32_t k = 0; k < chunk.samples; ++k, ++a) {
      const EncodedAudio& frame = sound.frames[a];
      if (frame.data) AppendBytes(chunkBytes, *frame.data);
    }
    if (!platform::WriteToFile(file, chunkBytes.data(), chunkBytes.size())) return false;
  }
  return true;
}

}  // namespace

bool WriteClipFile(const std::u16string& path, const std::vector<EncodedSample>& samples,
                   const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                   std::u16string* writtenPath, PictureSize picture) {
  if (samples.empty() || sps.size() < 4) return false;
  try {
    SampleTable table;
    std::uint64_t totalBytes = 0;
    BuildClipTable(samples, table, totalBytes);
    return WriteVideoOnlyClip(path, samples, table, totalBytes, sps, pps, writtenPath, picture);
  } catch (...) {
    return false;  // memory ran out before the file existed
  }
}

AudioSelection SelectClipAudio(const std::vector<EncodedAudio>& frames, std::int64_t videoStart,
                               std::int64_t videoEnd) {
  AudioSelection best;
  AudioSelection current;
  for (std::size_t j = 0; j < frames.size(); ++j) {
    if (!AudioFrameInFile(frames[j].time, videoStart, videoEnd)) {
      current.count = 0;
      continue;
    }
    // A stretch goes on with the next frame of its run, one frame later.
    bool continues = false;
    if (current.count > 0) {
      const std::int64_t step = MediaTimeDifference(frames[j].time, frames[j - 1].time);
      continues = frames[j].run == frames[j - 1].run && step >= kAacFrameUnits - 2 && step <= kAacFrameUnits + 2;
    }
    if (!continues) current = AudioSelection{j, 0};
    ++current.count;
    if (current.count >= best.count) best = current;
  }
  return best;
}

bool WriteClipFile(const std::u16string& path, const std::vector<EncodedSample>& samples,
                   const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                   const ClipSound& sound, std::u16string* writtenPath, PictureSize picture) {
  if (samples.empty() || sps.size() < 4) return false;
  try {
    SoundClipLayout layout;
    SampleTable table;
    std::uint64_t videoBytes = 0;
    BuildClipTable(samples, table, videoBytes);
    // The table is the video-only clip's too: built once, whichever file it becomes.
    if (!BuildSoundClipLayout(samples, table, videoBytes, sps, pps, picture, sound, layout)) {
      return WriteVideoOnlyClip(path, samples, table, videoBytes, sps, pps, writtenPath, picture);
    }
    return WriteAndPlace(path, layout.header, writtenPath, [&](platform::FileHandle file) {
      return WriteSoundClipBody(file, samples, sound, layout);
    });
  } catch (...) {
    return false;  // memory ran out before the file existed
  }
}
