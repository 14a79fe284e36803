// Recordings that survive a crash. A recording file that vistrel could not close (killed, crashed,
// the machine losing power) stays behind as "rec_<stamp>.mp4.tmp" with its journal
// "rec_<stamp>.journal.mp4.tmp" (mp4/recording_journal.h). At the next start, every such pair
// that no running process holds is rebuilt in place: the movie box a clean close would have
// written for the file's whole samples (same layout, same time maths), the file cut right after
// the last of them, the media-data size patched, and the file moved to "rec_<stamp>.mp4" (never
// over a kept file) under the recording folder budget. A leftover without a whole first sample or
// without its parameter sets goes, as it always did.
//
// Nothing read back is trusted: the journal's records must carry their checks, the samples must
// lie inside the file, match their CRCs byte for byte and walk their length prefixes exactly to
// their ends, times must increase and the first sample must be a keyframe. A recording with sound
// (a version 3 journal) has records of AAC frames among the picture's: each frame of 1 to
// kMaxAacFrameBytes bytes matching its CRC, the first one of the frames a file beginning with the
// first picture holds, each later one a frame after the one before. The first record or sample
// that fails ends the file there: a damaged leftover gives a shorter file or none. Frames after
// the last picture that a clean close would not have written (beginning after its end, or fewer
// than two frames in all) are cut off as well.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mp4/audio_track.h"
#include "mp4/boxes.h"
#include "platform/file.h"

// Read access to the bytes of one file (or, in tests, of memory).
struct ByteSource {
  std::uint64_t size = 0;
  // Reads exactly n bytes at offset (offset + n <= size); false on failure.
  std::function<bool(std::uint64_t offset, std::uint8_t* out, std::size_t n)> read;
};

// What a leftover proves about its recording.
struct RecoveredRecording {
  SampleTable table;                // the whole samples, in media-data order
  std::int64_t lastDuration = 0;    // duration of the last of them
  std::vector<std::uint8_t> sps, pps;
  PictureSize picture;              // the size its journal states (1280x720 in a version 1 journal)
  std::uint64_t mediaBytes = 0;     // their bytes in the media data, right after its header
  // The sound of a version 3 journal's recording (its configuration even when no frame is whole).
  std::vector<std::uint8_t> audioSpecificConfig;
  std::vector<std::uint32_t> audioSizes;  // the whole frames, in media-data order
  std::int64_t firstAudioTime = 0;        // time of the first of them
  std::vector<PlannedChunk> plan;         // the runs of one track's records, in media-data order
};

// No more samples (pictures and frames of sound together) than this are taken from one leftover:
// ample for 300 s at any real frame rate, and a bound on what a forged journal can make vistrel
// allocate.
inline constexpr std::uint32_t kMaxRecoveredSamples = 1u << 20;

// Reads the journal and the media file of a leftover: true with the longest run of valid samples
// from the first, false when not even the first one (or the journal's header, or the media file's
// own header) is whole and valid. Reads the media data once, front to back, in blocks of 1 MiB.
bool ReadLeftoverRecording(const ByteSource& journal, const ByteSource& media, RecoveredRecording& out);

// Finishes the media file as a clean close would: cut after the whole samples, the movie box (at
// the recording's own picture size, whatever the size of the stream running now) appended, the
// media-data size patched. False when a write fails.
bool RebuildRecordingFile(platform::FileHandle media, const RecoveredRecording& recording);

// The leftovers one start has taken over: each held open, without sharing, from before the
// start-up clean-up (which therefore leaves them alone) until they are recovered.
struct LeftoverRecording {
  std::u16string mediaPath;    // "…\rec_<stamp>.mp4.tmp"
  std::u16string journalPath;  // "…\rec_<stamp>.journal.mp4.tmp"
  platform::FileHandle media = platform::kInvalidFile;
  platform::FileHandle journal = platform::kInvalidFile;
};
struct LeftoverRecordings {
  std::vector<LeftoverRecording> files;
};

// Start-up: lists "rec_*.mp4.tmp" in the output folder, takes over every recording leftover that
// has a journal and that no running process holds, and runs cleanUp (the start-up clean-up of
// temporary files) while they are held, so that it leaves them alone. Also held through cleanUp,
// and let go right after it: the journal of a recording file that someone else holds open (a
// player reading it, say), so that it can be recovered at a later start; and a recording file
// whose journal a running vistrel holds, which may be on its way to its final name. For a leftover
// that cannot be recovered (no journal) it logs "could not recover %s" and leaves it to cleanUp.
// Cheap: names and opens, no data read.
LeftoverRecordings TakeLeftoverRecordings(void (*cleanUp)());

// Recovers what TakeLeftoverRecordings took, one file after the other, logging "recovered %s: %u
// frames" (the final name) or "could not recover %s" (the leftover's name) for each, and closes
// every handle. A leftover whose rebuild could not be written or moved stays for a later start.
void RecoverLeftoverRecordings(LeftoverRecordings& leftovers);

// Start-up, once the encoder is up: runs RecoverLeftoverRecordings on a thread of its own,
// so that reading hundreds of megabytes holds up nothing; processState.runningRecoveries counts
// it while it runs. When the thread cannot start, the leftovers are let go for a later start.
void StartRecoveringLeftoverRecordings(LeftoverRecordings&& leftovers);
