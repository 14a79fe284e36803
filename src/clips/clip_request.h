// Clip requests: a snapshot of the history on the main thread, written to disk by a save thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clips/sample_history.h"
#include "mp4/clip_writer.h"
#include "platform/clock.h"

// What one save thread writes; owned and freed by that thread.
struct ClipJob {
  std::vector<EncodedSample> samples;  // the whole history, oldest first; shares the bytes
  std::vector<std::uint8_t> sps;       // copies of the parameter sets at the request
  std::vector<std::uint8_t> pps;
  std::int32_t kind = 0;
  ClipSound sound;  // the history's sound frames (sharing the bytes) and a copy of its configuration
};

// "death" for 1, "kill" for 2, "key" for anything else.
const char* ClipLabel(std::int32_t kind);

// "\clip_YYYYMMDD_HHMMSS_<label>.mp4", appended directly to the output folder.
std::u16string ClipFileName(const platform::LocalTime& time, std::int32_t kind);

// The snapshot a save works from: references to every record and sound frame, copies of the
// parameter sets and of the sound's AudioSpecificConfig.
std::unique_ptr<ClipJob> MakeClipJob(const SampleHistory& history, const ParameterSets& sets, std::int32_t kind,
                                     const AudioStreamInfo& sound = audioStream);

// Main thread, from the save schedule. Refuses with a log line when there is nothing to save, the
// history does not begin at a keyframe or a save still runs; otherwise starts one detached save
// thread.
void RequestClip(std::int32_t kind);

// Body of the save thread: free-space check, write, log, clip folder limit; frees the job and
// lowers processState.runningSaves as its very last step. Nothing is thrown: a failure on the way
// (memory running out) ends the save as "FAILED".
void SaveClipThread(ClipJob* job);
