// The MP4 layout shared by clips and recordings: file type box, sample conversion from Annex B to
// length-prefixed NAL units, and the movie box of one H.264 track of the stream's picture size
// (1280x720 unless told otherwise) at 90 kHz with all samples in one chunk.
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

// The picture size a movie box states in its track header and sample entry. The default is the
// seed stream's, so that every file of a 1280x720 stream keeps its bytes.
struct PictureSize {
  std::uint32_t width = 1280;
  std::uint32_t height = 720;
};

inline bool operator==(const PictureSize& a, const PictureSize& b) { return a.width == b.width && a.height == b.height; }
inline bool operator!=(const PictureSize& a, const PictureSize& b) { return !(a == b); }

// The sample entry holds 16-bit sizes and the track header 16.16 fixed point: each side is written
// within 1..65535. A size outside (none comes from a checked stream) is clamped to the nearest
// end, never cut to its low bits (65536 would become 0) nor written as 0, which no player takes.
PictureSize MoviePictureSize(PictureSize picture);

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
// lengths in table. picture: the size written in the track header and the sample entry, through
// MoviePictureSize. Times (100-ns units) become 90 kHz ticks relative to the first sample, and
// times that differ always get ticks that differ, also when they are under a tick apart; a
// positive last duration lasts at least one tick.
ByteBuffer BuildMoovPayload(const SampleTable& table, std::int64_t lastDuration,
                            const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                            std::uint32_t chunkOffset, PictureSize picture = PictureSize{});

// Where one track's samples lie in the media data: the number of samples of each chunk, in
// order, and each chunk's absolute file offset (both vectors one entry per chunk).
struct TrackChunks {
  std::vector<std::uint32_t> samples;
  std::vector<std::uint32_t> offsets;
};

// The parts of the movie box that the video-only and the audio-and-video layouts share.
namespace mp4detail {

void AppendMatrix(ByteBuffer& out);
ByteBuffer MediaHeader(std::uint32_t timeScale, std::uint32_t duration);
ByteBuffer HandlerReference(const char (&type)[5], const char* name);
ByteBuffer MovieHeader(std::uint32_t duration, std::uint32_t nextTrackId);
ByteBuffer DataInformation();
// "stsc" payload: runs of chunks of equal sample counts, sample description 1.
ByteBuffer SampleToChunk(const std::vector<std::uint32_t>& samplesPerChunk);
// "stco" payload: one 32-bit offset per chunk.
ByteBuffer ChunkOffsets(const std::vector<std::uint32_t>& offsets);

struct VideoTrak {
  ByteBuffer trak;                 // the "trak" payload, track ID 1
  std::uint32_t duration = 0;      // 90 kHz ticks, as in its headers
  std::int64_t firstPicture = 0;   // 90 kHz ticks at which the first sample in file order is shown
  std::uint32_t sttsEntries = 0;
  std::uint32_t keyframeCount = 0;
  bool reordered = false;
};

// The H.264 track exactly as BuildMoovPayload writes it, with its samples in the given chunks
// (their counts summing to the number of samples: the caller's duty).
VideoTrak BuildVideoTrak(const SampleTable& table, std::int64_t lastDuration, const std::vector<std::uint8_t>& sps,
                         const std::vector<std::uint8_t>& pps, PictureSize picture, const TrackChunks& chunks);

}  // namespace mp4detail
