// What anyone who can write into the output folder may put there: names with backslashes, FIFOs,
// sockets, symbolic links. The leftover clean-up, the folder limits and the writers must neither
// touch anything outside the folder nor wait on anything in it. The folder is "out" inside a
// folder of the test's own, so that what lies outside it can be checked too.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include "app/process_state.h"
#include "clips/housekeeping.h"
#include "mp4/clip_writer.h"
#include "mp4/fake_clock.h"
#include "mp4/recording.h"
#include "mp4/samples.h"
#include "mp4/test_files.h"
#include "platform/lock.h"
#include "support/fifo_guard.h"

namespace {

using namespace testing_files;
using testing_support::MakeFifo;
using testing_support::ReturnsByItself;

constexpr std::uint64_t kGiB = 1ull << 30;

std::string ReadText(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// A file of size bytes without data blocks, dated hoursAgo back, made by name without the
// platform layer (whose path conversion would turn a backslash in the name into a separator).
void MakeSparse(const fs::path& path, std::uint64_t size, int hoursAgo) {
  { std::ofstream(path, std::ios::binary) << ""; }
  fs::resize_file(path, size);
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hoursAgo));
}

// Dates an entry hoursAgo back without following it, when it is a link.
void Backdate(const fs::path& path, int hoursAgo) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= hoursAgo * 3600;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

fs::path MadeFolder(const fs::path& path) {
  fs::create_directory(path);
  return path;
}

class HostileFolder : public testing::Test {
 protected:
  HostileFolder() : out(MadeFolder(root.path() / "out")), log(root.path() / "vistrel.log") {
    processState.outputFolder = SystemPath(out);
  }
  ~HostileFolder() override { processState.outputFolder.clear(); }

  std::size_t RemovalLines() const {
    std::size_t n = 0;
    for (const std::string& m : log.Messages()) n += m == "removed an old file to stay under the folder limit";
    return n;
  }

  TempFolder root;
  fs::path out;
  LogCapture log;
};

// "clip_\..\..\victim.mp4" is one name here; turned into a path, with folders "clip_" and "rec_"
// beside it, it would name victim.mp4 outside the output folder. Such names are neither counted
// nor deleted, and what lies outside stays.
TEST_F(HostileFolder, BackslashNamesNeverLeadOutOfTheFolder) {
  fs::create_directory(out / "clip_");
  fs::create_directory(out / "rec_");
  for (const char* victim : {"victim.mp4", "victim.mp4.tmp"}) std::ofstream(root / victim) << "outside";
  MakeSparse(out / "clip_\\..\\..\\victim.mp4", 3 * kGiB, 3);
  MakeSparse(out / "rec_\\..\\..\\victim.mp4", 30 * kGiB, 3);
  MakeSparse(out / "clip_\\..\\..\\victim.mp4.tmp", 1, 3);
  MakeSparse(out / "rec_\\..\\..\\victim.mp4.tmp", 1, 3);
  MakeSparse(out / "clip_a.mp4", 1, 1);

  RemoveLeftoverTempFiles();
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EnforceFolderLimit(u"\\rec_*.mp4", kRecordingFolderLimit);

  EXPECT_EQ(ReadText(root / "victim.mp4"), "outside");
  EXPECT_EQ(ReadText(root / "victim.mp4.tmp"), "outside");
  EXPECT_EQ(FolderNames(out).size(), 7u);
  EXPECT_EQ(RemovalLines(), 0u);
}

// A FIFO is never opened: not as a leftover at start-up (before the status is set), and not as
// the oldest "clip" when the save thread applies the limit (it would keep the save running, and
// every later request would be skipped). It is neither counted nor deleted.
TEST_F(HostileFolder, FifosStopNothing) {
  const fs::path leftover = out / "rec_20250101_000000.mp4.tmp";
  const fs::path oldest = out / "clip_old.mp4";
  ASSERT_TRUE(MakeFifo(leftover));
  ASSERT_TRUE(MakeFifo(oldest));
  Backdate(oldest, 5);
  MakeSparse(out / "clip_a.mp4.tmp", 1, 4);
  MakeSparse(out / "clip_a.mp4", 2 * kGiB, 3);
  MakeSparse(out / "clip_b.mp4", 1, 2);

  EXPECT_TRUE(ReturnsByItself(leftover, [] { RemoveLeftoverTempFiles(); }));
  EXPECT_TRUE(ReturnsByItself(oldest, [] { EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit); }));

  EXPECT_EQ(FolderNames(out),
            std::vector<std::string>({"clip_b.mp4", "clip_old.mp4", "rec_20250101_000000.mp4.tmp"}));
  EXPECT_TRUE(fs::is_fifo(leftover));
  EXPECT_TRUE(fs::is_fifo(oldest));
  EXPECT_EQ(RemovalLines(), 1u);
}

// A link named like a clip, a recording or a leftover is neither followed, counted nor deleted,
// whatever it points at (a huge file outside, a folder, nothing); the regular files around it
// are handled as ever.
TEST_F(HostileFolder, LinksAreNeitherFollowedCountedNorDeleted) {
  MakeSparse(root / "big.bin", 3 * kGiB, 0);
  { std::ofstream(root / "keep.bin") << "keep"; }
  fs::create_symlink(root / "big.bin", out / "clip_link.mp4");
  fs::create_directory_symlink(root.path(), out / "clip_folder.mp4");
  fs::create_symlink(root / "big.bin", out / "rec_link.mp4");
  fs::create_symlink(root / "keep.bin", out / "clip_x.mp4.tmp");
  fs::create_symlink(root / "nowhere", out / "rec_x.mp4.tmp");
  for (const char* link : {"clip_link.mp4", "clip_folder.mp4", "rec_link.mp4"}) Backdate(out / link, 9);
  MakeSparse(out / "clip_a.mp4", kGiB, 3);
  MakeSparse(out / "clip_b.mp4", kGiB + 1, 2);

  RemoveLeftoverTempFiles();
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EnforceFolderLimit(u"\\rec_*.mp4", kRecordingFolderLimit);

  // 2 GiB + 1 of clips: the oldest regular clip goes, the links stay and are not counted.
  EXPECT_EQ(FolderNames(out), std::vector<std::string>({"clip_b.mp4", "clip_folder.mp4", "clip_link.mp4",
                                                        "clip_x.mp4.tmp", "rec_link.mp4", "rec_x.mp4.tmp"}));
  EXPECT_EQ(RemovalLines(), 1u);
  EXPECT_EQ(fs::file_size(root / "big.bin"), 3 * kGiB);
  EXPECT_EQ(ReadText(root / "keep.bin"), "keep");
  EXPECT_TRUE(fs::is_directory(root.path()));
}

// A link under the temporary name of a clip is not written through: the clip fails, and the file
// it points at keeps its bytes. A FIFO under the temporary name of a recording does not hold the
// recording up: the open fails at once and the wait after a failure begins.
TEST_F(HostileFolder, WritersNeitherFollowALinkNorWaitOnAFifo) {
  { std::ofstream(root / "victim.bin") << "victim"; }
  fs::create_symlink(root / "victim.bin", out / "clip_x.mp4.tmp");
  EXPECT_FALSE(WriteClipFile(SystemPath(out / "clip_x.mp4"), testing_samples::Sequence(3), testing_samples::kSps,
                             testing_samples::kPps));
  EXPECT_EQ(ReadText(root / "victim.bin"), "victim");
  EXPECT_TRUE(fs::is_symlink(out / "clip_x.mp4.tmp"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(out / "clip_x.mp4")));

  if (!HasFreeSpace(kRecordingFreeSpace)) GTEST_SKIP() << "a recording needs 5 GiB free here";
  ::signal(SIGPIPE, SIG_IGN);  // a writer that did open the FIFO would write into it
  FakeClock clock;  // the recording is named after 2025-03-14 21:15:02
  const fs::path fifo = out / "rec_20250314_211502.mp4.tmp";
  ASSERT_TRUE(MakeFifo(fifo));
  recordingFile = RecordingFile{};
  parameterSets.sps = testing_samples::kSps;
  parameterSets.pps = testing_samples::kPps;
  bool opened = true;
  EXPECT_TRUE(ReturnsByItself(fifo, [&] {
    platform::LockHolder hold(processState.recordingLock);
    opened = OpenRecording();
  }));
  EXPECT_FALSE(opened);
  EXPECT_TRUE(recordingFile.retryWaiting);
  {
    platform::LockHolder hold(processState.recordingLock);
    CloseRecording();
  }
  recordingFile = RecordingFile{};
  parameterSets = ParameterSets{};
  EXPECT_TRUE(fs::is_fifo(fifo));
}

}  // namespace
