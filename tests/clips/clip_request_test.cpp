// Clip requests and the save thread: refusals, the file and its name, the one-at-a-time rule and
// the counter, and the log line of every outcome.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "clips/clip_request.h"
#include "clips/housekeeping.h"
#include "clips/save_wait.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "platform/atomic.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/failing_allocation.h"

namespace {

using namespace testing_files;
using namespace testing_samples;

class ClipRequest : public RecordingTest {
 protected:
  ClipRequest() { sampleHistory = SampleHistory{}; }
  ~ClipRequest() override {
    WaitForSaves();
    sampleHistory = SampleHistory{};
    audioStream = AudioStreamInfo{};
  }

  // Sound frames from start on, one after the other, into the history.
  void FillSound(std::int64_t start, int count) {
    for (int j = 0; j < count; ++j) {
      EncodedAudio a;
      a.data = std::make_shared<const std::vector<std::uint8_t>>(std::size_t{150}, static_cast<std::uint8_t>(j));
      a.time = start + std::int64_t{j} * 1024 * 10000000 / 48000;
      sampleHistory.heldBytes += a.data->size();
      sampleHistory.audio.push_back(std::move(a));
    }
  }

  void Fill(const std::vector<EncodedSample>& samples) {
    for (const EncodedSample& s : samples) {
      sampleHistory.heldBytes += SampleSize(s);
      sampleHistory.samples.push_back(s);
    }
  }

  void Save(std::int32_t kind) {
    RequestClip(kind);
    WaitForSaves();
  }
};

TEST_F(ClipRequest, NothingToSaveYet) {
  RequestClip(1);  // empty history
  Fill(Sequence(30));
  parameterSets.sps = {0x67, 0x4D, 0x40};
  RequestClip(1);  // sps too short, samples or not
  parameterSets.sps = kSps;
  parameterSets.pps.clear();
  RequestClip(1);
  EXPECT_EQ(log.Messages(), std::vector<std::string>(3, "nothing to save yet"));
  EXPECT_EQ(processState.runningSaves, 0);
  EXPECT_TRUE(Files().empty());
}

TEST_F(ClipRequest, NoKeyframeYet) {
  std::vector<EncodedSample> samples = Sequence(40);
  Fill({samples.begin() + 5, samples.end()});
  RequestClip(2);
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"no keyframe yet"}));
  EXPECT_EQ(processState.runningSaves, 0);
}

// The refusals are checked in a fixed order, and a request ends at the first that applies: nothing
// to save, then no keyframe at the front, then a save still running.
TEST_F(ClipRequest, RefusalsInOrder) {
  std::vector<EncodedSample> samples = Sequence(40);
  Fill({samples.begin() + 5, samples.end()});  // the front is not a keyframe
  parameterSets.pps.clear();                    // and the parameter sets are not usable
  processState.runningSaves = 1;                // and a save runs
  RequestClip(1);
  parameterSets.pps = kPps;
  RequestClip(1);
  sampleHistory = SampleHistory{};
  Fill(samples);
  RequestClip(1);
  processState.runningSaves = 0;
  EXPECT_EQ(log.Messages(),
            std::vector<std::string>({"nothing to save yet", "no keyframe yet", "a save is still running: skipped"}));
  EXPECT_TRUE(Files().empty());
}

TEST_F(ClipRequest, SavesTheWholeHistory) {
  Fill(Sequence(450, 30, 77000000, 500));
  Save(2);
  ASSERT_EQ(Files(), std::vector<std::string>({"clip_20250314_211502_kill.mp4"}));
  // 449 steps of 1/30 s: (449 * 10^7 / 30) / 10^7 = 14.97 s.
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved clip_20250314_211502_kill.mp4: ok, 450 frames, 15.0 s"}));
  const mp4read::File f = mp4read::ReadFile(ReadFileBytes(folder / "clip_20250314_211502_kill.mp4"));
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>(450, 505));
  EXPECT_EQ(f.movie.stss.size(), 15u);
  EXPECT_EQ(sampleHistory.samples.size(), 450u);  // nothing is taken out of the history
}

TEST_F(ClipRequest, OneKeyframeIsAOneFrameClipOfZeroSeconds) {
  Fill({Sample(123456789, true)});
  Save(1);
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved clip_20250314_211502_death.mp4: ok, 1 frames, 0.0 s"}));
}

struct KindCase {
  std::int32_t kind;
  const char* name;
};

class ClipKinds : public ClipRequest, public testing::WithParamInterface<KindCase> {};

TEST_P(ClipKinds, NameCarriesTheLabel) {
  Fill(Sequence(3));
  Save(GetParam().kind);
  EXPECT_EQ(Files(), std::vector<std::string>({GetParam().name}));
  std::u16string name = u"\\";
  name += platform::Utf16FromUtf8(GetParam().name);
  EXPECT_EQ(ClipFileName(platform::LocalTime{2025, 3, 14, 21, 15, 2, 999}, GetParam().kind), name);
}

INSTANTIATE_TEST_SUITE_P(Labels, ClipKinds,
                         testing::Values(KindCase{1, "clip_20250314_211502_death.mp4"},
                                         KindCase{2, "clip_20250314_211502_kill.mp4"},
                                         KindCase{3, "clip_20250314_211502_key.mp4"},
                                         KindCase{0, "clip_20250314_211502_key.mp4"},
                                         KindCase{-1, "clip_20250314_211502_key.mp4"}));

// A second request while the first save runs is dropped; the counter is 1 during the save and 0
// after it.
TEST_F(ClipRequest, OneSaveAtATime) {
  Fill(Sequence(60));
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false, release = false;
  clock.OnNextLocalTimeElsewhere([&] {
    std::unique_lock<std::mutex> hold(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(hold, [&] { return release; });
  });
  RequestClip(1);
  {
    std::unique_lock<std::mutex> hold(mutex);
    ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(20), [&] { return inside; }));
  }
  EXPECT_EQ(platform::AtomicLoad(processState.runningSaves), 1);
  clock.SetSecond(4);
  RequestClip(2);
  EXPECT_EQ(platform::AtomicLoad(processState.runningSaves), 1);
  {
    std::lock_guard<std::mutex> hold(mutex);
    release = true;
    changed.notify_all();
  }
  WaitForSaves();
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_20250314_211504_death.mp4"}));
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"a save is still running: skipped",
                                                      "saved clip_20250314_211504_death.mp4: ok, 60 frames, 2.0 s"}));
  // And the next request goes ahead.
  clock.SetSecond(9);
  Save(3);
  EXPECT_EQ(Files().size(), 2u);
}

TEST_F(ClipRequest, ExistingNameGetsTheNextNumber) {
  Fill(Sequence(3));
  Save(2);
  Save(2);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_20250314_211502_kill.mp4", "clip_20250314_211502_kill_2.mp4"}));
  EXPECT_EQ(log.Messages().back(), "saved clip_20250314_211502_kill_2.mp4: ok, 3 frames, 0.1 s");
}

TEST_F(ClipRequest, FailedWriteSaysSoAndLeavesOlderClips) {
  MakeSparseFile(folder / "clip_20240101_000000_kill.mp4", 3ull << 30, 5);
  fs::create_directory(folder / "clip_20250314_211502_kill.mp4.tmp");  // the writer cannot create its file
  Fill(Sequence(3));
  Save(2);
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved clip_20250314_211502_kill.mp4: FAILED, 3 frames, 0.1 s"}));
  // No folder limit after a failure: the old clip, far above the budget, stays.
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_20240101_000000_kill.mp4", "clip_20250314_211502_kill.mp4.tmp"}));
}

TEST_F(ClipRequest, FolderLimitAfterASuccessfulSave) {
  MakeSparseFile(folder / "clip_20240101_000000_kill.mp4", 1ull << 30, 5);
  MakeSparseFile(folder / "clip_20240102_000000_kill.mp4", 1ull << 30, 4);
  MakeSparseFile(folder / "rec_20240101_000000.mp4", 30ull << 30, 6);
  Fill(Sequence(3));
  Save(1);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_20240102_000000_kill.mp4", "clip_20250314_211502_death.mp4",
                                               "rec_20240101_000000.mp4"}));
  EXPECT_EQ(log.Messages().back(), "removed an old file to stay under the folder limit");
}

TEST_F(ClipRequest, MissingFolderIsCreated) {
  processState.outputFolder = folder.system() + u"\\clips";
  Fill(Sequence(3));
  Save(1);
  EXPECT_EQ(FolderNames(folder / "clips"), std::vector<std::string>({"clip_20250314_211502_death.mp4"}));
}

// Memory that runs out while the clip is written (its largest sample cannot be converted): the
// save ends as FAILED, the temporary file is gone, the counter is down again, and the next save
// goes ahead. The process lives on.
TEST_F(ClipRequest, OutOfMemoryWhileWritingIsAFailedSave) {
  std::vector<EncodedSample> samples = Sequence(30);
  samples.back() = Sample(samples.back().time, false, 200000);
  Fill(samples);
  clock.OnNextLocalTimeElsewhere([] { testing_support::FailAllocationsFrom(100000); });
  Save(1);
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved clip_20250314_211502_death.mp4: FAILED, 30 frames, 1.0 s"}));
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(platform::AtomicLoad(processState.runningSaves), 0);
  clock.SetSecond(7);
  Save(2);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_20250314_211507_kill.mp4"}));
}

// Memory that runs out before the file has a name: still a failed save, told as such.
TEST_F(ClipRequest, OutOfMemoryBeforeTheNameIsAFailedSave) {
  Fill(Sequence(30));
  clock.OnNextLocalTimeElsewhere([] { testing_support::FailAllocationsFrom(1); });
  Save(3);
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved : FAILED, 30 frames, 1.0 s"}));
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(platform::AtomicLoad(processState.runningSaves), 0);
}

// A save thread that cannot be started: no line, the counter restored, the job and its references
// to the samples gone, and the next request is not refused as "still running".
TEST_F(ClipRequest, ThreadThatCannotStartDropsTheRequest) {
  Fill(Sequence(30));
  platform::RefuseThreadStartsForTesting(true);
  RequestClip(1);
  platform::RefuseThreadStartsForTesting(false);
  EXPECT_EQ(platform::AtomicLoad(processState.runningSaves), 0);
  EXPECT_TRUE(log.Messages().empty());
  EXPECT_EQ(sampleHistory.samples.front().data.use_count(), 1);
  Save(1);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_20250314_211502_death.mp4"}));
}

// The snapshot shares the bytes and copies the parameter sets; the history may drop its records
// while the job keeps them alive.
TEST_F(ClipRequest, JobSharesBytesAndOutlivesTheHistory) {
  Fill(Sequence(40));
  std::unique_ptr<ClipJob> job = MakeClipJob(sampleHistory, parameterSets, 7);
  ASSERT_EQ(job->samples.size(), 40u);
  EXPECT_EQ(job->samples[17].data.get(), sampleHistory.samples[17].data.get());
  EXPECT_EQ(job->kind, 7);
  EXPECT_EQ(job->sps, kSps);
  EXPECT_NE(job->sps.data(), parameterSets.sps.data());
  const std::uint8_t* bytes = job->samples[0].data->data();
  sampleHistory = SampleHistory{};
  EXPECT_EQ(job->samples[0].data.use_count(), 1);
  EXPECT_EQ(bytes, job->samples[0].data->data());
}

}  // namespace

namespace {

// The snapshot takes the history's sound too: references to its frames and a copy of its
// configuration; without a configuration no frame is taken, and the clip is the video-only one.
TEST_F(ClipRequest, JobTakesTheSoundAndItsConfiguration) {
  Fill(Sequence(40));
  FillSound(-213333, 70);
  std::unique_ptr<ClipJob> silent = MakeClipJob(sampleHistory, parameterSets, 1);
  EXPECT_TRUE(silent->sound.frames.empty());
  EXPECT_TRUE(silent->sound.audioSpecificConfig.empty());
  audioStream.audioSpecificConfig = {0x11, 0x90};
  std::unique_ptr<ClipJob> job = MakeClipJob(sampleHistory, parameterSets, 1);
  ASSERT_EQ(job->sound.frames.size(), 70u);
  EXPECT_EQ(job->sound.frames[33].data.get(), sampleHistory.audio[33].data.get());
  EXPECT_EQ(job->sound.frames[33].time, sampleHistory.audio[33].time);
  EXPECT_EQ(job->sound.audioSpecificConfig, audioStream.audioSpecificConfig);
  EXPECT_NE(job->sound.audioSpecificConfig.data(), audioStream.audioSpecificConfig.data());
  sampleHistory = SampleHistory{};
  EXPECT_EQ(job->sound.frames[0].data.use_count(), 1);
}

// A save with sound: the clip carries it as a second track, the frames of the picture's span.
TEST_F(ClipRequest, SavedClipCarriesTheSound) {
  Fill(Sequence(90, 30, 0, 200));  // 3 s
  FillSound(-213333, 160);         // to 3.4 s
  audioStream.audioSpecificConfig = {0x11, 0x90};
  Save(1);
  ASSERT_EQ(Files(), std::vector<std::string>({"clip_20250314_211502_death.mp4"}));
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved clip_20250314_211502_death.mp4: ok, 90 frames, 3.0 s"}));
  const mp4read::File f = mp4read::ReadFile(ReadFileBytes(folder / "clip_20250314_211502_death.mp4"));
  EXPECT_EQ(f.movie.stsz.size(), 90u);
  ASSERT_TRUE(f.movie.sound.present);
  EXPECT_EQ(f.movie.sound.audioSpecificConfig, audioStream.audioSpecificConfig);
  // The pre-roll frame and the 141 that begin before the picture's end at 3 s (140.6 frames).
  EXPECT_EQ(f.movie.sound.stsz, std::vector<std::uint32_t>(142, 150));
}

}  // namespace
