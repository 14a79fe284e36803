// Writing one clip: a self-contained MP4 file with the movie box before the media data, written
// under a temporary name and moved into place when every byte is on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clips/sample_history.h"
#include "mp4/boxes.h"

// The table of a clip, one entry per sample, and the sum of the converted sizes.
void BuildClipTable(const std::vector<EncodedSample>& samples, SampleTable& table, std::uint64_t& totalBytes);

// The bytes before the first sample: file type box, movie box (its chunk offset pointing just past
// the media-data header) and the media-data header; the movie box states picture as the size.
// False when totalBytes cannot be described by a 32-bit media-data size.
bool BuildClipHeader(const SampleTable& table, std::uint64_t totalBytes, std::int64_t lastDuration,
                     const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                     ByteBuffer& header, PictureSize picture = PictureSize{});

// Writes samples (oldest first, at least one) as a clip at path. A kept file is never replaced:
// when path exists, the clip gets the first free name numbered _2, _3, ... and writtenPath (when
// given) tells the name used; picture is the stream's size, stated in the movie box. On false
// nothing is left behind: no clip, no temporary file. Nothing is thrown: memory that runs out on
// the way is a failed write.
bool WriteClipFile(const std::u16string& path, const std::vector<EncodedSample>& samples,
                   const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                   std::u16string* writtenPath = nullptr, PictureSize picture = PictureSize{});
