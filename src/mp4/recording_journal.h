// The recording's journal: while a recording file is open, a small file beside it receives, with
// one short write per sample, what the file's movie box will need: the parameter sets once, then
// each sample's time, duration, size and keyframe flag with a CRC of its bytes. A recording that
// vistrel could not close (killed, crashed, power lost) is rebuilt from the two at the next start
// (mp4/recovery.h); every close deletes the journal. Nothing is flushed: what the system lost
// after a power failure is found out by the checks, not prevented.
//
// The journal of "rec_<stamp>.mp4" (recorded as "rec_<stamp>.mp4.tmp") is
// "rec_<stamp>.journal.mp4.tmp": a temporary file of the recording family, which the start-up
// clean-up of "rec_*.mp4.tmp" removes once nothing needs it, and never a "rec_*.mp4" of the
// recording folder budget.
//
// Layout, integers big-endian. A recording of the seed's 1280x720 picture has a version 1 header;
// any other picture size is in a version 2 header, whose fields after the identity stand 8 bytes
// further on. A recording with sound (of any picture size) has a version 3 header, which adds the
// sound's AudioSpecificConfig:
//   header  0   4  "VRJL"
//           4   4  version: 1, 2 or 3
//           8  16  identity of this journal: process id, tick count, number of journals this
//                  process opened before, local time of day in ms
//   version 1 only:
//          24   2  sps length (1..65535: the avcC record holds 16-bit lengths)
//          26   2  pps length
//          28      sps, then pps, whole NAL units without start codes
//   version 2 only:
//          24   4  picture width (even, 320..3840)
//          28   4  picture height (even, 180..2160)
//          32   2  sps length, as above
//          34   2  pps length
//          36      sps, then pps
//   version 3 only:
//          24   4  picture width, as in version 2
//          28   4  picture height
//          32   2  sps length, as above
//          34   2  pps length
//          36   2  AudioSpecificConfig length (1..64)
//          38      sps, then pps, then the AudioSpecificConfig
//   all:
//           …   4  CRC-32 of every header byte before it (the journal's "seed")
//   record i (32 bytes each, right after the header, one per sample in media-data order)
//           0   8  time, 100-ns units (signed)
//           8   8  duration, 100-ns units (signed)
//          16   4  bytes of the sample in the media data
//          20   4  CRC-32 of those bytes
//          24   4  flags: bit 0 keyframe, bit 1 a frame of sound (version 3 only; then bit 0 is 0
//                  and the duration one AAC frame), every other bit 0
//          28   4  CRC-32 of the seed (4 bytes), i (4 bytes) and bytes 0..27 of the record
// Records of sound stand among the picture's in the order of their bytes in the media data.
// The seed in every record's check ties it to this journal (not to an older one of the same name
// whose blocks a power failure left behind) and i to its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mp4/boxes.h"
#include "mp4/byte_writer.h"
#include "platform/file.h"

inline constexpr std::size_t kJournalRecordSize = 32;
inline constexpr std::size_t kJournalIdentitySize = 16;
inline constexpr std::size_t kMaxParameterSetSize = 65535;
inline constexpr std::size_t kMaxJournalAudioConfigSize = 64;  // as kMaxAudioSpecificConfigBytes
// The largest header: the fixed fields of version 3, two parameter sets and an AudioSpecificConfig
// of the largest sizes, the CRC.
inline constexpr std::size_t kMaxJournalHeaderSize = 38 + 2 * kMaxParameterSetSize + kMaxJournalAudioConfigSize + 4;

// What one record says about one sample.
struct JournalSample {
  std::int64_t time = 0;
  std::int64_t duration = 0;
  std::uint32_t size = 0;
  std::uint32_t checksum = 0;  // CRC-32 of the sample's bytes in the media data
  bool keyframe = false;
  bool audio = false;  // a frame of sound (duration one AAC frame, never a keyframe)
};

struct JournalHeader {
  PictureSize picture;  // the recording's picture size (1280x720 in a version 1 header)
  std::vector<std::uint8_t> sps, pps;
  std::vector<std::uint8_t> audioSpecificConfig;  // a version 3 header's; empty in versions 1 and 2
  std::uint32_t seed = 0;  // the header's CRC, the start of every record's check
  std::size_t size = 0;    // bytes of the header; the first record follows
};

// "…\rec_<stamp>.mp4" -> "…\rec_<stamp>.journal.mp4.tmp" (a path without ".mp4" gets
// ".journal.mp4.tmp" appended).
std::u16string JournalPathFor(const std::u16string& finalPath);

// The header bytes: with an AudioSpecificConfig, version 3; without, version 1 for the seed's
// 1280x720, else version 2 with the picture size. Preconditions: sps and pps of 1..65535 bytes,
// an AudioSpecificConfig of at most 64.
ByteBuffer BuildJournalHeader(const std::uint8_t (&identity)[kJournalIdentitySize], const std::vector<std::uint8_t>& sps,
                              const std::vector<std::uint8_t>& pps, PictureSize picture = PictureSize{},
                              const std::vector<std::uint8_t>& audioSpecificConfig = {});

// Whether a picture size is one a stream can have (even sides, 320x180 to 3840x2160): a version 2
// header with any other size is no journal of vistrel's.
bool JournalPictureSizeValid(PictureSize picture);

// Reads the header from the first size bytes of a journal: false unless it is whole, of version 1,
// 2 or 3, with parameter sets of 1..65535 bytes, (version 3) an AudioSpecificConfig of 1..64
// bytes, a matching CRC and (versions 2 and 3) a valid picture size.
bool ParseJournalHeader(const std::uint8_t* bytes, std::size_t size, JournalHeader& header);

void BuildJournalRecord(std::uint32_t seed, std::uint32_t index, const JournalSample& sample,
                        std::uint8_t (&out)[kJournalRecordSize]);

// Reads record index from its 32 bytes: false when its check does not match this journal and
// place, or a reserved flag bit is set. withSound: the journal's header is of version 3, whose
// records may be frames of sound; such a record is false also when it is marked a keyframe or its
// duration is not one AAC frame (kAacFrameUnits).
bool ParseJournalRecord(std::uint32_t seed, std::uint32_t index, const std::uint8_t* bytes, JournalSample& sample,
                        bool withSound = false);

// The writing side, part of the recording state (guarded by recordingLock like the rest of it).
struct RecordingJournal {
  platform::FileHandle handle = platform::kInvalidFile;
  std::u16string path;
  std::uint32_t seed = 0;
  std::uint32_t records = 0;  // records written
};

// Creates the journal of the recording finalPath (of picture's size; with sound when
// audioSpecificConfig is not empty) and writes its header with one write. False, with nothing
// left behind, when the file cannot be created or written, or the parameter sets do not fit a
// journal (over 65535 bytes: no movie box could hold them either), or the AudioSpecificConfig is
// over 64 bytes.
bool OpenRecordingJournal(RecordingJournal& journal, const std::u16string& finalPath,
                          const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                          PictureSize picture = PictureSize{},
                          const std::vector<std::uint8_t>& audioSpecificConfig = {});

// One write of one record for the sample just written to the media data (bytes, size: exactly the
// bytes written there). False when the write fails.
bool AppendJournalRecord(RecordingJournal& journal, std::int64_t time, std::int64_t duration, bool keyframe,
                         const std::uint8_t* bytes, std::size_t size);

// The same for one frame of sound just written to the media data (a journal with sound only).
bool AppendJournalAudioRecord(RecordingJournal& journal, std::int64_t time, const std::uint8_t* bytes,
                              std::size_t size);

// Closes and deletes the journal; nothing when none is open.
void DiscardRecordingJournal(RecordingJournal& journal);
