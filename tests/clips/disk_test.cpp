// A real disk that is nearly full or fills up in the middle of a write (a tmpfs of the test's own;
// Linux, as root): free-space thresholds, disk full during a clip and a recording, the 60 s wait,
// and a sample write cut off part-way.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "clips/clip_request.h"
#include "clips/housekeeping.h"
#include "clips/save_wait.h"
#include "mp4/clip_writer.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "mp4/tmpfs.h"

namespace {

using namespace testing_files;
using namespace testing_samples;

constexpr std::uint64_t kGiB = 1ull << 30;

std::vector<std::string> Names(std::initializer_list<const char*> names) { return {names.begin(), names.end()}; }

class Disk : public RecordingTest {
 protected:
  Disk() { sampleHistory = SampleHistory{}; }
  ~Disk() override {
    WaitForSaves();
    {
      platform::LockHolder hold(processState.recordingLock);
      CloseRecording();
    }
    sampleHistory = SampleHistory{};
  }

  void UseFolder(const Tmpfs& disk) { processState.outputFolder = disk.system(); }

  void SaveClip(std::int32_t kind) {
    RequestClip(kind);
    WaitForSaves();
  }

  void FillHistory(int count, std::size_t payload = 100) {
    for (const EncodedSample& s : Sequence(count, 30, 0, payload)) {
      sampleHistory.heldBytes += SampleSize(s);
      sampleHistory.samples.push_back(s);
    }
  }
};

TEST_F(Disk, ClipNeedsOneGibibyteFree) {
  Tmpfs exactly(kGiB);
  SKIP_WITHOUT_TMPFS(exactly);
  UseFolder(exactly);
  FillHistory(30);
  SaveClip(2);
  EXPECT_EQ(FolderNames(exactly.path()), Names({"clip_20250314_211502_kill.mp4"}));

  Tmpfs short_(kGiB - Tmpfs::kPage);  // a page less: the nearest a real disk gets to one byte less
  SKIP_WITHOUT_TMPFS(short_);
  UseFolder(short_);
  SaveClip(2);
  EXPECT_TRUE(FolderNames(short_.path()).empty());
  EXPECT_EQ(log.Messages(),
            Names({"saved clip_20250314_211502_kill.mp4: ok, 30 frames, 1.0 s", "under 1 GB free: clip skipped"}));
}

// A clip skipped for want of space leaves the folder alone, however far above its budget the clips
// there are; the next save with room applies the budget.
TEST_F(Disk, NoFolderLimitAfterAClipSkippedForSpace) {
  Tmpfs disk(kGiB - Tmpfs::kPage);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  MakeSparseFile(disk.path() / "clip_20240101_000000_kill.mp4", 3 * kGiB, 5);  // takes no room
  FillHistory(30);
  SaveClip(2);
  EXPECT_EQ(log.Messages(), Names({"under 1 GB free: clip skipped"}));
  EXPECT_EQ(FolderNames(disk.path()), Names({"clip_20240101_000000_kill.mp4"}));

  ASSERT_TRUE(disk.Resize(kGiB + kGiB / 2));
  SaveClip(2);
  EXPECT_EQ(FolderNames(disk.path()), Names({"clip_20250314_211502_kill.mp4"}));
  EXPECT_EQ(log.Messages().back(), "removed an old file to stay under the folder limit");
}

// An empty output folder: every path is the bare name with its leading backslash, so leftovers,
// the clip and the folder budget all concern the root folder. Run in a child process whose root
// is a tmpfs of the test's own.
TEST_F(Disk, EmptyOutputFolderMeansTheRootFolder) {
  Tmpfs disk(2 * kGiB);
  SKIP_WITHOUT_TMPFS(disk);
  std::ofstream(disk.path() / "clip_20240101_000000_kill.mp4.tmp") << "left by an earlier run";
  MakeSparseFile(disk.path() / "clip_20240101_000000_kill.mp4", 3 * kGiB, 5);
  FillHistory(30);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No test macros here: the child reports through its exit code only.
    if (::chroot(disk.path().c_str()) != 0 || ::chdir("/") != 0) ::_exit(10);
    processState.outputFolder.clear();
    RemoveLeftoverTempFiles();
    RequestClip(2);
    std::atomic_ref<std::int32_t> saves(processState.runningSaves);
    for (int i = 0; i < 4000 && saves.load(std::memory_order_acquire) > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::_exit(saves.load(std::memory_order_acquire) == 0 ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(FolderNames(disk.path()), Names({"clip_20250314_211502_kill.mp4"}));
  EXPECT_EQ(log.Messages(), Names({"saved clip_20250314_211502_kill.mp4: ok, 30 frames, 1.0 s",
                                   "removed an old file to stay under the folder limit"}));
}

TEST_F(Disk, RecordingNeedsFiveGibibytesFreeAndRetriesAfterSixtySeconds) {
  Tmpfs disk(5 * kGiB - Tmpfs::kPage);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  RunRecordingControl(1);
  AppendToRecording(Sample(0, true));
  clock.Advance(59999);
  AppendToRecording(Sample(10000000, true));  // inside the wait: no attempt, no line
  EXPECT_EQ(log.Messages(), Names({"under 5 GB free: not recording"}));
  clock.Advance(1);
  AppendToRecording(Sample(20000000, true));
  EXPECT_EQ(log.Messages(), Names({"under 5 GB free: not recording", "under 5 GB free: not recording"}));
  EXPECT_FALSE(FileOpen());
  // With exactly 5 GiB free the next attempt after the wait records.
  ASSERT_TRUE(disk.Resize(5 * kGiB));
  clock.Advance(60000);
  AppendToRecording(Sample(30000000, true));
  EXPECT_TRUE(FileOpen());
  EXPECT_EQ(FolderNames(disk.path()), Names({"rec_20250314_211502.journal.mp4.tmp", "rec_20250314_211502.mp4.tmp"}));
}

TEST_F(Disk, FullInTheMiddleOfAClip) {
  Tmpfs disk(256 * 1024);
  SKIP_WITHOUT_TMPFS(disk);
  std::vector<EncodedSample> samples = Sequence(100, 30, 0, 10000);  // 1 MB
  EXPECT_FALSE(WriteClipFile(disk.system() + u"\\clip.mp4", samples, kSps, kPps));
  EXPECT_TRUE(FolderNames(disk.path()).empty());
}

// The volume fills up between the free-space check and the write of the clip.
TEST_F(Disk, FullInTheMiddleOfASave) {
  Tmpfs disk(kGiB + 64 * 1024);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  FillHistory(60, 20000);
  clock.OnNextLocalTimeElsewhere([&] { disk.LeaveFree(16 * 1024); });  // the save reads the time next
  SaveClip(1);
  EXPECT_EQ(log.Messages(), Names({"saved clip_20250314_211502_death.mp4: FAILED, 60 frames, 2.0 s"}));
  EXPECT_TRUE(FolderNames(disk.path()).empty());
}

// The disk is full to the last byte: the sample write fails and the movie box does not fit either.
TEST_F(Disk, FullInTheMiddleOfARecording) {
  Tmpfs disk(5 * kGiB + kGiB);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  RunRecordingControl(1);
  Append(Sequence(1200, 30, 0, 40));  // a movie box of more than a page
  ASSERT_TRUE(disk.LeaveFree(Tmpfs::kPage));
  std::vector<std::uint8_t> filler(2 * Tmpfs::kPage, 1);
  {
    // Another file takes the last free page, so that nothing more fits.
    std::ofstream eat(disk.path() / "filler", std::ios::binary);
    eat.write(reinterpret_cast<const char*>(filler.data()), static_cast<std::streamsize>(filler.size()));
  }
  AppendToRecording(Sample(1200 * 10000000LL / 30, false, 20000));
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(log.Messages(),
            Names({"recording write failed (disk full?)", "recording file closed: not kept, 1200 frames"}));
  EXPECT_EQ(FolderNames(disk.path()), Names({"filler"}));

  // No new attempt for 60 s, even with room again.
  std::filesystem::remove(disk.path() / "filler");
  ASSERT_TRUE(disk.Resize(6 * kGiB));
  clock.Advance(59000);
  AppendToRecording(Sample(2000 * 10000000LL / 30, true));
  EXPECT_FALSE(FileOpen());
  clock.Advance(1000);
  AppendToRecording(Sample(2030 * 10000000LL / 30, true));
  EXPECT_TRUE(FileOpen());
}

// A sample write that fails after part of its bytes reached the disk: the file is cut back to the
// samples the table describes, so the kept file is well formed.
TEST_F(Disk, PartlyWrittenSampleIsCutOff) {
  Tmpfs disk(6 * kGiB);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  RunRecordingControl(1);
  Append(Sequence(30, 30, 0, 1000));
  ASSERT_TRUE(disk.LeaveFree(3 * Tmpfs::kPage));
  AppendToRecording(Sample(10000000, false, 64 * 1024));  // some pages of it get written
  EXPECT_EQ(log.Messages(), Names({"recording write failed (disk full?)", "recording file closed: ok, 30 frames"}));
  ASSERT_EQ(FolderNames(disk.path()), Names({"rec_20250314_211502.mp4"}));
  const std::vector<std::uint8_t> bytes = ReadFileBytes(disk.path() / "rec_20250314_211502.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  ASSERT_EQ(f.boxes.size(), 3u);
  EXPECT_EQ(f.boxes[2].type, "moov");
  EXPECT_EQ(f.mdatSize, 8 + 30 * 1005u);
  EXPECT_EQ(bytes.size(), 40 + 30 * 1005u + f.boxes[2].size);
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>(30, 1005));
}

// The header (and the journal's) fits but the first sample does not: nothing is kept, and no
// attempt for 60 s.
TEST_F(Disk, FirstSampleDoesNotFit) {
  Tmpfs disk(6 * kGiB);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  RunRecordingControl(1);
  // OpenRecording reads the time after the check; a page for each file's header.
  clock.OnNextLocalTime([&] { disk.LeaveFree(2 * Tmpfs::kPage); });
  AppendToRecording(Sample(0, true, 20000));
  EXPECT_EQ(log.Messages(), Names({"recording write failed (disk full?)", "recording file closed: not kept, 0 frames"}));
  EXPECT_TRUE(FolderNames(disk.path()).empty());
  ASSERT_TRUE(disk.Resize(6 * kGiB));
  clock.Advance(59999);
  AppendToRecording(Sample(10000000, true));
  EXPECT_FALSE(FileOpen());
}

// Not even the 40-byte header fits: the file goes again without a line, and the wait starts.
TEST_F(Disk, HeaderDoesNotFit) {
  Tmpfs disk(6 * kGiB);
  SKIP_WITHOUT_TMPFS(disk);
  UseFolder(disk);
  {
    std::ofstream(disk.path() / "filler") << "x";  // so that a limit of "what is used" is not 0
  }
  RunRecordingControl(1);
  clock.OnNextLocalTime([&] { disk.LeaveFree(0); });
  AppendToRecording(Sample(0, true));
  EXPECT_FALSE(FileOpen());
  EXPECT_TRUE(log.Messages().empty());
  EXPECT_EQ(FolderNames(disk.path()), Names({"filler"}));
  ASSERT_TRUE(disk.Resize(6 * kGiB));
  clock.Advance(59999);
  AppendToRecording(Sample(10000000, true));
  EXPECT_FALSE(FileOpen());
  clock.Advance(1);
  AppendToRecording(Sample(20000000, true));
  EXPECT_TRUE(FileOpen());
}

}  // namespace
