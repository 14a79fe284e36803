// A second vistrel starting on the same folder while the first one records: its start-up clean-up
// must not delete the recording in progress (another process holds it open for writing), nor a
// clip or recording that the first one has just finished.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "app/process_state.h"
#include "clips/housekeeping.h"
#include "mp4/clip_writer.h"
#include "mp4/fake_clock.h"
#include "mp4/recording.h"
#include "mp4/samples.h"
#include "mp4/test_files.h"

namespace {

using namespace testing_files;

TEST(SecondProcess, LeftoverCleanupSparesAFileAnotherProcessWrites) {
  TempFolder folder;
  processState.outputFolder = folder.system();
  const fs::path recording = folder / "rec_20250314_211502.mp4.tmp";
  int ready[2], finish[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(finish), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The first process: opens the recording the way the recorder does and keeps writing it.
    const platform::FileHandle file = platform::CreateFileForWrite(SystemPath(recording), platform::ShareMode::Read);
    char byte = file == platform::kInvalidFile ? 'n' : 'y';
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(finish[0], &byte, 1);
    const bool wrote = platform::WriteToFile(file, "samples", 7);
    platform::CloseFile(file);
    ::_exit(wrote ? 0 : 1);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  std::ofstream(folder / "clip_20250101_000000_key.mp4.tmp") << "left over";

  RemoveLeftoverTempFiles();  // the second process's start-up
  EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>({"rec_20250314_211502.mp4.tmp"}));

  (void)!::write(finish[1], &byte, 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(fs::file_size(recording), 7u);
  // Once the writer has gone, the file is a leftover like any other.
  RemoveLeftoverTempFiles();
  EXPECT_TRUE(FolderNames(folder.path()).empty());
  for (int fd : {ready[0], ready[1], finish[0], finish[1]}) ::close(fd);
  processState.outputFolder.clear();
}

// The other process clears leftovers again and again, as a start-up would at any moment, while
// this one writes clips and records. The files are finished and get their final names while
// their writer still holds them: not one is deleted on the way, and every clip and recording is
// reported and kept as written.
TEST(SecondProcess, FinishedFilesSurviveAnotherProcessClearingLeftovers) {
  TempFolder folder;
  processState.outputFolder = folder.system();
  int stop[2], cleanups[2];
  ASSERT_EQ(::pipe(stop), 0);
  ASSERT_EQ(::pipe(cleanups), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The second process, until the first one closes its end of the pipe.
    ::close(stop[1]);
    unsigned rounds = 0;
    pollfd p{stop[0], POLLIN, 0};
    do {
      RemoveLeftoverTempFiles();
      ++rounds;
    } while (::poll(&p, 1, 0) == 0);
    (void)!::write(cleanups[1], &rounds, sizeof rounds);
    ::_exit(0);
  }
  ::close(stop[0]);
  ::close(cleanups[1]);

  const fs::path logPath = folder.path().string() + ".log";
  std::vector<std::string> messages;
  int clipsWritten = 0;
  int clipsFailed = 0;
  int recordings = 0;
  {
    LogCapture log(logPath);
    FakeClock clock;
    recordingFile = RecordingFile{};
    parameterSets.sps = testing_samples::kSps;
    parameterSets.pps = testing_samples::kPps;
    const std::vector<EncodedSample> samples = testing_samples::Sequence(3);
    const fs::path recording = folder / "rec_20250314_211502.mp4";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int round = 0; round < 1000 && std::chrono::steady_clock::now() < until; ++round) {
      const std::string clip = "clip_" + std::to_string(round) + ".mp4";
      if (WriteClipFile(SystemPath(folder / clip), samples, testing_samples::kSps, testing_samples::kPps)) {
        ++clipsWritten;
        EXPECT_TRUE(fs::exists(folder / clip));
        fs::remove(folder / clip);
      } else {
        ++clipsFailed;
      }
      RunRecordingControl(1);
      for (const EncodedSample& s : samples) {
        AppendToRecording(s);
        clock.Advance(33);
      }
      RunRecordingControl(0);
      ++recordings;
      fs::remove(recording);  // the same name is free for the next one
    }
    messages = log.Messages();
    recordingFile = RecordingFile{};
    parameterSets = ParameterSets{};
  }
  ::close(stop[1]);
  unsigned rounds = 0;
  EXPECT_EQ(::read(cleanups[0], &rounds, sizeof rounds), static_cast<ssize_t>(sizeof rounds));
  ::close(cleanups[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_GT(rounds, 0u);

  EXPECT_EQ(clipsFailed, 0) << "of " << (clipsWritten + clipsFailed) << " clips";
  const auto kept = std::count(messages.begin(), messages.end(), "recording file closed: ok, 3 frames");
  EXPECT_EQ(kept, recordings) << "recordings kept";
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(recordings));
  std::error_code ec;
  fs::remove(logPath, ec);
  processState.outputFolder.clear();
}

}  // namespace
