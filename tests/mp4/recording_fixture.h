// Set-up shared by the recording tests: an output folder of the test's own, the log captured, a
// fake clock, usable parameter sets, the seed's stream and a recording state that starts idle, with
// no sound unless a test gives the stream an AudioSpecificConfig.
#pragma once

#include <gtest/gtest.h>

#include <array>

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
    audioStream = AudioStreamInfo{};
    sampleHistory.audio.clear();
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
    audioStream = AudioStreamInfo{};
    sampleHistory.audio.clear();
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

  // A frame of sound as the main loop hands it on: to the recording first, then to the history.
  void AddAudio(const EncodedAudio& frame) {
    AppendAudioToRecording(frame);
    sampleHistory.audio.push_back(frame);
  }

  // The pictures and the sound in the main loop's order: each frame of sound from frames[first]
  // on as soon as its time is no more than lead after the next picture's (the audio encoder runs
  // ahead of the picture's). Returns the index of the first frame not handed on.
  std::size_t Interleave(const std::vector<EncodedSample>& samples, const std::vector<EncodedAudio>& frames,
                         std::size_t first = 0, std::int64_t lead = 3000000) {
    std::size_t a = first;
    for (const EncodedSample& s : samples) {
      while (a < frames.size() && frames[a].time <= s.time + lead) AddAudio(frames[a++]);
      AppendToRecording(s);
      clock.Advance(33);
    }
    return a;
  }

  bool FileOpen() {
    platform::LockHolder hold(processState.recordingLock);
    return recordingFile.handle != platform::kInvalidFile;
  }

  std::vector<std::string> Files() const { return testing_files::FolderNames(folder.path()); }

  // The sound's configuration of AAC-LC, 48 kHz, stereo.
  static std::vector<std::uint8_t> Config() { return {0x11, 0x90}; }

  testing_files::TempFolder folder;
  testing_files::LogCapture log;
  FakeClock clock;
};

namespace testing_samples {

// Frame j of a run as the main loop stamps it: runStart plus j frames of 1024 samples at 48 kHz in
// 100-ns units, rounded down each on its own. Its bytes are its own: size bytes whose first four
// hold j and run, so a test can tell every frame in a file.
inline EncodedAudio AudioFrame(std::int64_t runStart, std::uint32_t j, std::uint32_t run = 1,
                               std::size_t size = 0) {
  if (size == 0) size = 200 + (j * 37) % 160;
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0x21 + (i * 13 + j) % 200);
  bytes[0] = static_cast<std::uint8_t>(j >> 8);
  bytes[1] = static_cast<std::uint8_t>(j);
  if (size > 2) bytes[2] = static_cast<std::uint8_t>(run);
  EncodedAudio frame;
  frame.data = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  frame.time = runStart + static_cast<std::int64_t>(j) * 1024 * 10000000 / 48000;
  frame.run = run;
  return frame;
}

// Frames first .. first + count - 1 of a run.
inline std::vector<EncodedAudio> AudioRun(std::int64_t runStart, std::uint32_t first, std::uint32_t count,
                                          std::uint32_t run = 1) {
  std::vector<EncodedAudio> out;
  for (std::uint32_t j = first; j < first + count; ++j) out.push_back(AudioFrame(runStart, j, run));
  return out;
}

}  // namespace testing_samples

namespace mp4read {

// The file offset of every sample of a track, from its chunk offsets, sample-to-chunk runs and
// sizes; empty when they do not add up.
inline std::vector<std::uint64_t> SampleOffsets(const std::vector<std::array<std::uint32_t, 3>>& stsc,
                                                const std::vector<std::uint32_t>& stco,
                                                const std::vector<std::uint32_t>& stsz) {
  std::vector<std::uint64_t> out;
  std::size_t sample = 0;
  for (std::size_t c = 0; c < stco.size(); ++c) {
    std::uint32_t perChunk = 0;
    for (const auto& run : stsc) {
      if (run[0] <= c + 1) perChunk = run[1];
    }
    std::uint64_t at = stco[c];
    for (std::uint32_t k = 0; k < perChunk; ++k) {
      if (sample == stsz.size()) return {};
      out.push_back(at);
      at += stsz[sample++];
    }
  }
  if (sample != stsz.size()) return {};
  return out;
}

}  // namespace mp4read
