// Set-up shared by the recording tests: an output folder of the test's own, the log captured, a
// fake clock, usable parameter sets, the seed's stream and a recording state that starts idle.
#pragma once

#include <gtest/gtest.h>

#include "app/process_state.h"
#include "mp4/fake_clock.h"
#include "mp4/recording.h"
#include "mp4/samples.h"
#include "mp4/test_files.h"
#include "platform/lock.h"

class RecordingTest : public testing::Test {
 protected:
  RecordingTest() : log(folder.path().parent_path() / (folder.path().filename().string() + ".log")) {
    processState.outputFolder = folder.system();
    processState.stream = stream::SeedStreamFormat();
    processState.shuttingDown = false;
    processState.recordingWanted = 0;
    recordingFile = RecordingFile{};
    parameterSets.sps = testing_samples::kSps;
    parameterSets.pps = testing_samples::kPps;
  }
  ~RecordingTest() override {
    {
      platform::LockHolder hold(processState.recordingLock);
      CloseRecording();
    }
    processState.shuttingDown = false;
    processState.recordingWanted = 0;
    processState.outputFolder.clear();
    processState.stream = stream::SeedStreamFormat();
    parameterSets = ParameterSets{};
    std::error_code ec;
    testing_files::fs::remove(folder.path().parent_path() / (folder.path().filename().string() + ".log"), ec);
  }

  // Appends samples 1/30 s apart, the tick count moving with them.
  void Append(const std::vector<EncodedSample>& samples, std::uint32_t msPerSample = 33) {
    for (const EncodedSample& s : samples) {
      AppendToRecording(s);
      clock.Advance(msPerSample);
    }
  }

  bool FileOpen() {
    platform::LockHolder hold(processState.recordingLock);
    return recordingFile.handle != platform::kInvalidFile;
  }

  std::vector<std::string> Files() const { return testing_files::FolderNames(folder.path()); }

  testing_files::TempFolder folder;
  testing_files::LogCapture log;
  FakeClock clock;
};
