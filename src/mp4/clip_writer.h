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

// The game's sound offered to a clip: frames of the history, oldest first (sharing the bytes), and
// the stream's AudioSpecificConfig. Empty when there is no sound.
struct ClipSound {
  std::vector<EncodedAudio> frames;
  std::vector<std::uint8_t> audioSpecificConfig;
};

// The frames of a clip's sound: frames[first] to frames[first + count - 1].
struct AudioSelection {
  std::size_t first = 0;
  std::size_t count = 0;
};

// The part of frames a clip whose picture spans videoStart (its first sample's time) to videoEnd
// (its last sample's time and duration) holds. A file holds consecutive frames of one run only:
// the frames that belong (AudioFrameInFile) fall into stretches, each ending where the run
// changes, a frame does not belong or the next frame does not begin one frame (+-2 units) after
// the one before. The clip takes the longest stretch, the latest of equally long ones: a restart
// of the sound's encoder costs the clip the shorter part, never the longer. count 0 when no
// frame belongs.
AudioSelection SelectClipAudio(const std::vector<EncodedAudio>& frames, std::int64_t videoStart,
                               std::int64_t videoEnd);

// Writes samples (oldest first, at least one) as a clip at path. A kept file is never replaced:
// when path exists, the clip gets the first free name numbered _2, _3, ... and writtenPath (when
// given) tells the name used; picture is the stream's size, stated in the movie box. On false
// nothing is left behind: no clip, no temporary file. Nothing is thrown: memory that runs out on
// the way is a failed write.
bool WriteClipFile(const std::u16string& path, const std::vector<EncodedSample>& samples,
                   const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                   std::u16string* writtenPath = nullptr, PictureSize picture = PictureSize{});

// The same with the game's sound as a second track: the frames SelectClipAudio picks, their
// chunks of about a second taking turns with the picture's (PlanChunks). With fewer than 2 frames
// picked, no AudioSpecificConfig, or sound the movie box cannot describe, the file is the
// video-only clip above, byte for byte.
bool WriteClipFile(const std::u16string& path, const std::vector<EncodedSample>& samples,
                   const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                   const ClipSound& sound, std::u16string* writtenPath = nullptr,
                   PictureSize picture = PictureSize{});
