// vistrel on a disk that fills up in the middle of a clip save and of a recording, and gets its
// space back: a RAM file system of its own as the output folder, made full by shrinking it at the
// moment the save opens its file.
#include <regex>

#include "integration/vistrel_run.h"

namespace {

using namespace vistrel_run;
using testing_support::OpenGate;
using testing_support::Tmpfs;

constexpr std::uint64_t kGiB = 1ull << 30;

using DiskFull = VistrelRun;

TEST_F(DiskFull, CostsOnlyTheFilesBeingWrittenAndRecordingResumesAfterItsWait) {
  // Room enough for vistrel's free-space checks (5 GiB for a recording); tmpfs takes memory only
  // for what is written.
  Tmpfs disk(8 * kGiB);
  if (!disk.mounted()) GTEST_SKIP() << "needs a tmpfs of its own (root): " << disk.error();
  const fs::path folder = disk.path();
  ASSERT_TRUE(Start(folder, /*record=*/true)) << Log();
  Feed();

  // Files from before the fault: one clip, one whole recording.
  ASSERT_TRUE(WaitFed(90));
  ex.RaiseRequest(3);
  ASSERT_TRUE(WaitLogged("saved clip_")) << Log();
  ex.SetRecordSwitch(false);
  ASSERT_TRUE(WaitLogged("recording file closed: ok")) << Log();
  ex.SetRecordSwitch(true);
  ASSERT_TRUE(WaitFed(fed.load() + 120));
  // The recording file and its journal.
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(folder, "rec_*.mp4.tmp").size() == 2; }, 10000));
  const auto earlier = FilesIn(folder, "*.mp4");
  ASSERT_EQ(earlier.size(), 2u);
  const auto before = Snapshot(folder);

  // The disk fills up as the next clip opens its file, while the recording is being written.
  OpenGate gate;
  ASSERT_TRUE(gate.Arm(folder, "clip_*.mp4.tmp", static_cast<pid_t>(child.pid),
                       [&disk](const fs::path&) { disk.LeaveFree(64 * 1024); }, 0))
      << gate.error();
  ex.RaiseRequest(3);
  ASSERT_TRUE(WaitLogged("recording write failed (disk full?)")) << Log();
  const auto failedAt = Clock::now();
  ASSERT_TRUE(WaitLogged("saved clip_", 2)) << Log();
  ASSERT_TRUE(WaitLogged("recording file closed: ", 2)) << Log();
  gate.Disarm();
  ASSERT_TRUE(gate.struck());
  Feed(30);  // real time from here: the recording's wait is counted in real milliseconds

  auto lines = LogMessages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "recording write failed (disk full?)"), 1) << Log();
  const std::regex failedSave("saved (clip_[0-9_]+_key\\.mp4): FAILED, [0-9]+ frames, [0-9.]+ s");
  std::smatch m;
  const auto failed = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, m, failedSave); });
  ASSERT_NE(failed, lines.end()) << Log();
  EXPECT_EQ(m[1].str() + ".tmp", gate.heldFile().filename().string());
  // The clip being written is gone without a trace. The recording being written was closed with
  // the samples written before the failure: kept as a whole file when its movie box still found
  // room (the failed clip gave its space back), deleted otherwise. The earlier files are as they
  // were.
  EXPECT_FALSE(fs::exists(folder / m[1].str()));
  EXPECT_TRUE(FilesIn(folder, "*.tmp").empty());
  const bool interruptedKept = CountLogged("recording file closed: ok") == 2;
  const auto afterFault = Snapshot(folder);
  std::size_t temporary = 0;  // the recording's file and its journal
  for (const auto& [name, bytes] : before) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".tmp") {
      ++temporary;
      continue;
    }
    ASSERT_TRUE(afterFault.count(name)) << name;
    EXPECT_TRUE(afterFault.at(name) == bytes) << name << " changed";
  }
  EXPECT_EQ(temporary, 2u);
  EXPECT_EQ(afterFault.size(), before.size() - temporary + (interruptedKept ? 1 : 0));

  // While the disk stays full a clip is refused before anything is written.
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));  // the gap after the last save
  ex.RaiseRequest(3);
  ASSERT_TRUE(WaitLogged("under 1 GB free: clip skipped")) << Log();

  // Space returns: clips go on at once; the recording waits out its 60 s after the failure.
  ASSERT_TRUE(disk.Resize(8 * kGiB));
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  ex.RaiseRequest(3);
  ASSERT_TRUE(WaitLogged("saved clip_", 3)) << Log();
  EXPECT_NE(LogMessages().back().find(": ok, "), std::string::npos) << Log();
  EXPECT_TRUE(FilesIn(folder, "rec_*.mp4.tmp").empty());
  ASSERT_TRUE(WaitUntil([&] { return !FilesIn(folder, "rec_*.mp4.tmp").empty(); }, 75000)) << Log();
  const double waited = std::chrono::duration<double>(Clock::now() - failedAt).count();
  EXPECT_GE(waited, 59.0);
  EXPECT_LE(waited, 70.0);

  ASSERT_TRUE(WaitFed(fed.load() + 90));
  EXPECT_EQ(Stop(), 0) << Log();
  lines = LogMessages();
  std::vector<std::string> closes;
  for (const auto& l : lines) {
    if (l.rfind("recording file closed: ", 0) == 0) closes.push_back(l.substr(23, l.find(',') - 23));
  }
  EXPECT_TRUE(closes == (std::vector<std::string>{"ok", interruptedKept ? "ok" : "not kept", "ok"})) << Log();
  EXPECT_TRUE(FilesIn(folder, "*.tmp").empty());
  const auto clips = FilesIn(folder, "clip_*.mp4");
  const auto recs = FilesIn(folder, "rec_*.mp4");
  EXPECT_EQ(clips.size(), 2u);
  EXPECT_EQ(recs.size(), interruptedKept ? 3u : 2u);
  for (const auto& file : FilesIn(folder, "*.mp4")) EXPECT_FALSE(CheckVideo(file).empty()) << file;
  for (const auto& file : earlier) EXPECT_TRUE(ReadWhole(file) == before.at(file.filename().string())) << file;
}

}  // namespace
