// Continuous recording: while the host's record switch is on, every encoded sample also goes into
// a "rec_<date>_<time>.mp4" file that starts at a keyframe, rotates at the first keyframe 300 s
// after its first sample (or once its media data reach kRecordingRotationBytes), and gets its movie
// box and final name when it is closed.
//
// With the game's sound (the stream's AudioSpecificConfig known at open), the file also holds the
// AAC frames of one run from one frame before its first picture to its close: they wait in memory
// and go into the media data as one chunk before the first picture of each new second after the
// file's first, and at the close; the file keeps its own plan of chunks for the movie box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clips/sample_history.h"
#include "mp4/audio_track.h"
#include "mp4/boxes.h"
#include "mp4/recording_journal.h"
#include "platform/file.h"

// Process-wide; every field is touched only with processState.recordingLock held.
struct RecordingFile {
  platform::FileHandle handle = platform::kInvalidFile;  // the open temporary file, or none
  std::u16string finalPath;                              // the temporary file is finalPath + ".tmp"
  SampleTable table;                                     // the samples in the file, in order
  std::vector<std::uint8_t> sps;                         // parameter sets taken at open, for avcC
  std::vector<std::uint8_t> pps;
  PictureSize picture;                    // the stream's picture size, taken at open
  ByteBuffer writeBuffer;                 // one converted sample, reused
  std::uint64_t mdatPayloadBytes = 0;     // sample bytes written
  std::int64_t lastDuration = 0;          // duration of the last sample written, 100-ns units
  std::uint32_t mdatHeaderOffset = 0;     // offset of the media-data header (32)
  std::uint32_t lastRecordingWrite = 0;   // tick of the last successful append
  bool retryWaiting = false;              // a wait after a failure runs until retryTick
  std::uint32_t retryTick = 0;
  RecordingJournal journal;               // beside the open file: what rebuilds it after a crash

  // The sound. Without an AudioSpecificConfig (taken at open) the file has none and the rest stays
  // empty. Frames taken into the file wait in heldAudio until their chunk is written.
  std::vector<std::uint8_t> audioSpecificConfig;
  std::vector<EncodedAudio> heldAudio;       // taken, not yet written, oldest first
  std::vector<std::uint32_t> audioSizes;     // the frames written, in order
  std::int64_t firstAudioTime = 0;           // time of the first frame taken
  std::int64_t lastAudioTime = 0;            // time of the last frame taken
  std::uint32_t audioRun = 0;                // run of the frames taken
  bool audioTaken = false;                   // a frame has been taken
  bool audioEnded = false;                   // the file's sound has ended: no frame is taken any more
  std::int64_t nextChunkSecond = 1;          // the next audio chunk goes before a picture this many s in
  std::vector<PlannedChunk> plan;            // both tracks' chunks in media-data order
};

extern RecordingFile recordingFile;

inline constexpr std::int64_t kRecordingRotationAge = 3000000000;  // 300 s of sample time
// Media data at which a file ends at the next keyframe, however young: the media-data size field
// holds 32 bits, and a file beyond them cannot be finished. 3.75 GiB leaves 256 MiB for the rest of
// a group of pictures, 20 s of the highest bit rate a host may ask for.
inline constexpr std::uint64_t kRecordingRotationBytes = 0xF0000000;
inline constexpr std::uint32_t kRecordingRetryWaitMs = 60000;
inline constexpr std::uint32_t kRecordingIdleMs = 10000;
inline constexpr std::uint32_t kRecordingMdatHeaderOffset = 32;  // right after the file type box
// Frames waiting for their chunk: normally a second and the audio encoder's lead, some 60. A
// picture whose times stop advancing writes no chunk; past this many the file's sound ends.
inline constexpr std::size_t kMaxHeldAudioFrames = 1024;
// How far apart two frames of one run may lie from one AAC frame (100-ns units): the main loop
// rounds each frame's time on its own, so steps are 213333 or 213334.
inline constexpr std::int64_t kAudioStepTolerance = 2;

// Whether a frame at time follows the one at previous without a gap or an overlap.
bool AudioFrameFollows(std::int64_t previous, std::int64_t time);

// The movie box payload of a recording, the same for a clean close and a recovery: with no frame
// of sound in the media data, BuildMoovPayload's one chunk; with two frames or more that the
// builder describes, the audio-and-video box of the plan; else the video-only box whose chunks
// step over the sound (BuildPlannedVideoMoovPayload). Empty when not even that can be built.
ByteBuffer RecordingMoovPayload(const SampleTable& video, std::int64_t lastDuration,
                                const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                PictureSize picture, const std::vector<std::uint8_t>& audioSpecificConfig,
                                const std::vector<std::uint32_t>& audioSizes, std::int64_t firstAudioTime,
                                const std::vector<PlannedChunk>& plan);

// Main thread, for every encoded sample before it joins the history. Takes recordingLock.
void AppendToRecording(const EncodedSample& sample);

// Main thread, for every frame of the game's sound before it joins the history. Takes
// recordingLock. The open file holds the frame when it belongs there; frames wait in memory until
// their chunk is written.
void AppendAudioToRecording(const EncodedAudio& frame);

// recordingLock held. Opens a new temporary file with its header; false (and a 60 s wait) on any
// failure.
bool OpenRecording();

// recordingLock held. Finishes and keeps the open file, or deletes it when it cannot be finished.
// Does nothing when no file is open.
void CloseRecording();

// Once per pass of the main loop: mirrors the host's record switch into recordingWanted and closes
// an open file when the switch is off or nothing was appended for more than 10 s.
void RunRecordingControl(std::int32_t recordSwitch);

// The final close on the stop path and in the host watcher: under recordingLock, sets shuttingDown
// (nothing is opened or written afterwards) and closes the file.
void CloseRecordingForShutdown();
