// A recording as a kill leaves it: written by the recorder itself (file and journal), then
// abandoned without its close.
#pragma once

#include <filesystem>
#include <string>

#include "app/process_state.h"
#include "bench_samples.h"
#include "clips/sample_history.h"
#include "mp4/recording.h"
#include "platform/lock.h"

namespace bench_samples {

// The system's form of a folder path (backslashes).
inline std::u16string SystemFolder(const std::filesystem::path& folder) {
  std::u16string path = folder.u16string();
  for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
  return path;
}

// samples access units of about bytes each (a keyframe every 30, 1/30 s apart) recorded into
// folder and left there as "rec_<stamp>.mp4.tmp" with its journal. 9,000 of 33,000 bytes are a
// 300 s recording at 8 Mbit/s, about 300 MB.
inline void MakeLeftoverRecording(const std::filesystem::path& folder, int samples, std::size_t bytes) {
  processState.outputFolder = SystemFolder(folder);
  parameterSets.sps = {0x67, 0x4D, 0x40, 0x1F, 0xDA, 0x01, 0x40, 0x16, 0xEC, 0x04};
  parameterSets.pps = {0x68, 0xEF, 0x0F, 0xC8};
  processState.recordingWanted = 1;
  std::vector<EncodedSample> group(30);
  for (int i = 0; i < 30; ++i) {
    group[i].data = std::make_shared<const std::vector<std::uint8_t>>(AccessUnit(i == 0, bytes, static_cast<std::uint32_t>(i)));
    group[i].duration = 333333;
    group[i].keyframe = i == 0;
  }
  for (int i = 0; i < samples; ++i) {
    EncodedSample s = group[i % 30];
    s.time = i * 10000000LL / 30;
    AppendToRecording(s);
  }
  platform::LockHolder hold(processState.recordingLock);
  platform::CloseFile(recordingFile.handle);
  platform::CloseFile(recordingFile.journal.handle);
  recordingFile = RecordingFile{};
  processState.recordingWanted = 0;
}

}  // namespace bench_samples
