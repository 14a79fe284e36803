// The MP4 layout shared by clips and recordings: file type box, sample conversion from Annex B to
// length-prefixed NAL units, and the movie box of one 1280x720 H.264 track at 90 kHz with all
// samples in one chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mp4/byte_writer.h"

// What a writer collects for one file, one entry per sample in media-data order.
struct SampleTable {
  std::vector<std::int64_t> times;       // sample time, 100-ns units
  std::vector<std::uint8_t> keyframes;   // 1 for a keyframe
  std::vector<std::uint32_t> sizes;      // converted bytes in the media data
};

inline constexpr std::uint32_t kMovieTimeScale = 90000;
inline constexpr std::uint32_t kFileTypeBoxSize = 32;

// The largest media-data payload a 32-bit "mdat" size can describe (payload + 8 <= 2^32 - 1).
inline constexpr std::uint64_t kMaxMediaDataBytes = 4294967287ull;

inline bool MediaDataFits(std::uint64_t payloadBytes) { return payloadBytes <= kMaxMediaDataBytes; }

// 00 00 00 20 "ftyp" "isom" 00 00 02 00 "isomiso2avc1mp41".
ByteBuffer BuildFileTypeBox();

// Appends the MP4 form of one Annex B access unit: every NAL unit except SPS, PPS, access unit
// delimiters and empty units, each behind its 4-byte big-endian length. Parameter sets travel in
// the avcC record.
void ConvertAccessUnit(ByteBuffer& out, const std::uint8_t* bytes, std::size_t size);

// The number of bytes ConvertAccessUnit appends for the same bytes, without building them.
std::uint64_t ConvertedSize(const std::uint8_t* bytes, std::size_t size);

inline void ConvertAccessUnit(ByteBuffer& out, const std::vector<std::uint8_t>& accessUnit) {
  ConvertAccessUnit(out, accessUnit.data(), accessUnit.size());
}
inline std::uint64_t ConvertedSize(const std::vector<std::uint8_t>& accessUnit) {
  return ConvertedSize(accessUnit.data(), accessUnit.size());
}

// The payload of the movie box ("mvhd" then "trak", without the "moov" header). Pure: its length
// does not depend on chunkOffset, so a caller may build it with 0 first to learn its size.
// Preconditions (the callers' duty): at least one sample, sps of at least 4 bytes, equal vector
// lengths in table.
ByteBuffer BuildMoovPayload(const SampleTable& table, std::int64_t lastDuration,
                            const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                            std::uint32_t chunkOffset);
