#include "mp4/clip_writer.h"

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
bool WriteAndPlace(const std::u16string& path, const std::vector<EncodedSample>& samples, const ByteBuffer& header,
                   std::u16string* writtenPath) {
  const std::u16string temporary = path + u".tmp";
  platform::FileHandle file = platform::CreateFileForWrite(temporary, platform::ShareMode::None);
  if (file == platform::kInvalidFile) return false;
  bool kept = false;
  try {
    bool written = platform::WriteToFile(file, header.data(), header.size());
    ByteBuffer sampleBytes;
    for (std::size_t i = 0; written && i < samples.size(); ++i) {
      sampleBytes.clear();
      ConvertAccessUnit(sampleBytes, SampleBytes(samples[i]), SampleSize(samples[i]));
      written = platform::WriteToFile(file, sampleBytes.data(), sampleBytes.size());
    }
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

}  // namespace

bool WriteClipFile(const std::u16string& path, const std::vector<EncodedSample>& samples,
                   const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                   std::u16string* writtenPath, PictureSize picture) {
  if (samples.empty() || sps.size() < 4) return false;
  try {
    SampleTable table;
    std::uint64_t totalBytes = 0;
    BuildClipTable(samples, table, totalBytes);
    ByteBuffer header;
    if (!BuildClipHeader(table, totalBytes, samples.back().duration, sps, pps, header, picture)) return false;
    return WriteAndPlace(path, samples, header, writtenPath);
  } catch (...) {
    return false;  // memory ran out before the file existed
  }
}
