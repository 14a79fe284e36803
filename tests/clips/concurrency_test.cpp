// The storage paths that run on two threads at once: the host watcher closing the recording while
// the main loop appends to it, and a clip save writing while the main loop goes on adding to the
// history and trimming it. Each case checks the files; run under ThreadSanitizer (the linux-tsan
// preset) they also show that nothing is shared without the lock or the counter.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "clips/clip_request.h"
#include "clips/save_wait.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "platform/atomic.h"

namespace {

using namespace testing_files;
using namespace testing_samples;

class Concurrency : public RecordingTest {
 protected:
  Concurrency() { sampleHistory = SampleHistory{}; }
  ~Concurrency() override {
    WaitForSaves();
    sampleHistory = SampleHistory{};
  }

  // What the intake does with each new sample, without the framework object around it.
  void Intake(const EncodedSample& s) {
    AppendToRecording(s);
    sampleHistory.heldBytes += SampleSize(s);
    sampleHistory.samples.push_back(s);
    TrimHistory(sampleHistory);
  }

  mp4read::File ReadOnly(const std::string& name) {
    return mp4read::ReadFile(ReadFileBytes(folder.path() / name));
  }
};

// The watcher closes the recording at a moment of its own while the main loop appends as fast as
// it can: the file that results is whole, and nothing is written after the close.
TEST_F(Concurrency, WatcherClosesTheRecordingWhileTheMainLoopAppends) {
  const std::vector<EncodedSample> samples = Sequence(3000, 30, 0, 2000);
  std::atomic<int> appended{0};
  std::thread main([&] {
    for (const EncodedSample& s : samples) {
      RunRecordingControl(1);
      AppendToRecording(s);
      appended.fetch_add(1, std::memory_order_release);
    }
  });
  while (appended.load(std::memory_order_acquire) < 200) std::this_thread::yield();
  CloseRecordingForShutdown();
  const int atClose = appended.load(std::memory_order_acquire);
  main.join();

  const std::vector<std::string> names = Files();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].rfind("rec_", 0), 0u);
  const mp4read::File file = ReadOnly(names[0]);
  // Every sample appended before the close is in the file, and at most the one being appended
  // as the watcher took the lock came in after.
  EXPECT_GE(file.movie.stsz.size(), 200u);
  EXPECT_LE(file.movie.stsz.size(), static_cast<std::size_t>(atClose) + 1);
  EXPECT_FALSE(FileOpen());
}

// A save runs while the main loop adds 20 s more video: the history trims under it, and the clip
// still holds exactly the samples the history had at the request.
TEST_F(Concurrency, SaveRunsWhileTheHistoryTrims) {
  const std::vector<EncodedSample> first = Sequence(450, 30, 0, 3000);  // 15 s
  for (const EncodedSample& s : first) Intake(s);
  ASSERT_EQ(sampleHistory.samples.size(), 450u);
  RequestClip(2);
  for (const EncodedSample& s : Sequence(600, 30, 450 * 10000000LL / 30, 3000)) Intake(s);
  WaitForSaves();
  EXPECT_LT(sampleHistory.samples.front().time, 25 * 10000000LL);
  EXPECT_GT(sampleHistory.samples.front().time, 0);  // the history did trim during the save

  const std::vector<std::string> names = Files();
  ASSERT_EQ(names.size(), 1u);
  const mp4read::File file = ReadOnly(names[0]);
  ASSERT_EQ(file.movie.stsz.size(), first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(file.movie.stsz[i], ConvertedSize(*first[i].data)) << "sample " << i;
  }
}

}  // namespace
