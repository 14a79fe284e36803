// Folder housekeeping: leftover temporary files, free space, and the folder budgets at their exact
// boundaries (with sparse files: sizes without disk use).
#include <gtest/gtest.h>

#include "app/process_state.h"
#include "clips/housekeeping.h"
#include "mp4/test_files.h"

namespace {

using namespace testing_files;

constexpr std::uint64_t kGiB = 1ull << 30;

class Housekeeping : public testing::Test {
 protected:
  Housekeeping() : log(folder.path().string() + ".log") { processState.outputFolder = folder.system(); }
  ~Housekeeping() override {
    processState.outputFolder.clear();
    std::error_code ec;
    fs::remove(folder.path().string() + ".log", ec);
  }

  void Touch(const std::string& name) { std::ofstream(folder / name) << "x"; }
  std::vector<std::string> Files() const { return FolderNames(folder.path()); }
  std::size_t RemovalLines() const {
    std::size_t n = 0;
    for (const std::string& m : log.Messages()) {
      EXPECT_EQ(m, "removed an old file to stay under the folder limit");
      ++n;
    }
    return n;
  }

  TempFolder folder;
  LogCapture log;
};

TEST_F(Housekeeping, LeftoverTemporaryFilesGo) {
  for (const char* name : {"clip_20250101_000000_kill.mp4.tmp", "rec_20250101_000000.mp4.tmp", "clip_x.mp4",
                           "rec_y.mp4", "other.mp4.tmp", "clip_.tmp", "rec_z.mp4.tmp.old"}) {
    Touch(name);
  }
  RemoveLeftoverTempFiles();
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_.tmp", "clip_x.mp4", "other.mp4.tmp", "rec_y.mp4",
                                               "rec_z.mp4.tmp.old"}));
  EXPECT_TRUE(log.Messages().empty());
}

// A temporary file that a running writer holds open (another process on the same folder, or here
// a second handle) is not deleted; once it is closed, it is.
TEST_F(Housekeeping, TemporaryFileBeingWrittenStays) {
  const fs::path busy = folder / "rec_20250101_000000.mp4.tmp";
  const platform::FileHandle writer = platform::CreateFileForWrite(SystemPath(busy), platform::ShareMode::Read);
  ASSERT_NE(writer, platform::kInvalidFile);
  Touch("clip_a.mp4.tmp");
  RemoveLeftoverTempFiles();
  EXPECT_EQ(Files(), std::vector<std::string>({"rec_20250101_000000.mp4.tmp"}));
  ASSERT_TRUE(platform::WriteToFile(writer, "abc", 3));  // the writer goes on undisturbed
  platform::CloseFile(writer);
  EXPECT_EQ(fs::file_size(busy), 3u);
  RemoveLeftoverTempFiles();
  EXPECT_TRUE(Files().empty());
}

TEST_F(Housekeeping, DirectoryNamedLikeATemporaryFileStays) {
  fs::create_directory(folder / "clip_d.mp4.tmp");
  RemoveLeftoverTempFiles();
  EXPECT_TRUE(fs::is_directory(folder / "clip_d.mp4.tmp"));
}

TEST_F(Housekeeping, MissingFolderIsNothingToDo) {
  processState.outputFolder = folder.system() + u"\\missing";
  RemoveLeftoverTempFiles();
  EnforceFolderLimit(u"\\clip_*.mp4", 0);
  EXPECT_FALSE(fs::exists(folder / "missing"));
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(Housekeeping, FreeSpaceCheckCreatesTheFolder) {
  processState.outputFolder = folder.system() + u"\\clips";
  EXPECT_TRUE(HasFreeSpace(0));
  EXPECT_TRUE(fs::is_directory(folder / "clips"));
  EXPECT_FALSE(HasFreeSpace(~0ull));  // no volume has 2^64 - 1 bytes free
  // One level only; the query on a folder that does not exist fails, and a failed query lets the
  // write go ahead.
  processState.outputFolder = folder.system() + u"\\a\\b";
  EXPECT_TRUE(HasFreeSpace(~0ull));
  EXPECT_FALSE(fs::exists(folder / "a"));
}

TEST_F(Housekeeping, ExactlyAtTheClipLimitNothingGoes) {
  MakeSparseFile(folder / "clip_1.mp4", kGiB, 3);
  MakeSparseFile(folder / "clip_2.mp4", kGiB / 2, 2);
  MakeSparseFile(folder / "clip_3.mp4", kGiB / 2, 1);
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EXPECT_EQ(Files().size(), 3u);
  EXPECT_EQ(RemovalLines(), 0u);
}

TEST_F(Housekeeping, OneByteOverRemovesTheOldestEvenIfSmallest) {
  MakeSparseFile(folder / "clip_old.mp4", 1, 3);
  MakeSparseFile(folder / "clip_mid.mp4", kGiB, 2);
  MakeSparseFile(folder / "clip_new.mp4", kGiB, 1);
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_mid.mp4", "clip_new.mp4"}));
  EXPECT_EQ(RemovalLines(), 1u);
}

TEST_F(Housekeeping, RemovesOldestFirstUntilUnderTheLimit) {
  MakeSparseFile(folder / "clip_a.mp4", kGiB, 4);
  MakeSparseFile(folder / "clip_b.mp4", kGiB, 3);
  MakeSparseFile(folder / "clip_c.mp4", kGiB, 2);
  MakeSparseFile(folder / "clip_d.mp4", kGiB, 1);
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_c.mp4", "clip_d.mp4"}));
  EXPECT_EQ(RemovalLines(), 2u);
}

// A file that cannot be deleted (held open by a writer) is passed over; the walk goes on and may
// reach the newest file.
TEST_F(Housekeeping, UndeletableFileIsPassedOver) {
  // The oldest file is held open by a writer (its time cannot be set while it is open, so the
  // others are dated after it).
  const platform::FileHandle held =
      platform::CreateFileForWrite(SystemPath(folder / "clip_a.mp4"), platform::ShareMode::Read);
  ASSERT_NE(held, platform::kInvalidFile);
  ASSERT_TRUE(platform::SeekFile(held, kGiB));
  ASSERT_TRUE(platform::TruncateFileHere(held));
  MakeSparseFile(folder / "clip_b.mp4", kGiB, -1);
  MakeSparseFile(folder / "clip_c.mp4", kGiB + 1, -2);
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  platform::CloseFile(held);
  // 3 GiB + 1: a is held, b goes (2 GiB + 1 left), and so does the newest, c (1 GiB left).
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_a.mp4"}));
  EXPECT_EQ(RemovalLines(), 2u);
}

TEST_F(Housekeeping, DirectoriesAreNeitherCountedNorRemoved) {
  fs::create_directory(folder / "clip_dir.mp4");
  MakeSparseFile(folder / "clip_dir.mp4" / "inner.bin", 3 * kGiB, 5);
  MakeSparseFile(folder / "clip_a.mp4", kGiB, 2);
  MakeSparseFile(folder / "clip_b.mp4", kGiB, 1);
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EXPECT_EQ(Files().size(), 3u);
  MakeSparseFile(folder / "clip_c.mp4", 1, 0);
  EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_b.mp4", "clip_c.mp4", "clip_dir.mp4"}));
  EXPECT_EQ(RemovalLines(), 1u);
}

TEST_F(Housekeeping, RecordingBudgetLeavesClipsAlone) {
  MakeSparseFile(folder / "clip_old.mp4", 30 * kGiB, 9);
  MakeSparseFile(folder / "rec_1.mp4", 10 * kGiB, 3);
  MakeSparseFile(folder / "rec_2.mp4", 10 * kGiB, 2);
  MakeSparseFile(folder / "rec_2.mp4.tmp", 10 * kGiB, 1);  // not a recording yet
  EnforceFolderLimit(u"\\rec_*.mp4", kRecordingFolderLimit);
  EXPECT_EQ(Files().size(), 4u);
  MakeSparseFile(folder / "rec_3.mp4", 1, 0);
  EnforceFolderLimit(u"\\rec_*.mp4", kRecordingFolderLimit);
  EXPECT_EQ(Files(), std::vector<std::string>({"clip_old.mp4", "rec_2.mp4", "rec_2.mp4.tmp", "rec_3.mp4"}));
  EXPECT_EQ(RemovalLines(), 1u);
}

}  // namespace
