// Taking over a file left behind: opened only when nobody has it open for writing, in this or
// another process; while it is open, nobody else may write, delete or rename it; never anything
// but a regular file; reads at an offset that leave the write position alone.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/exclusive_file.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

using platform::ExclusiveOpen;
using testing_support::TempDir;

std::u16string selfPath;

void WriteWhole(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ExclusiveFile, OpensReadsAndWrites) {
  TempDir dir;
  WriteWhole(dir.path() / "a.bin", "0123456789");
  platform::FileHandle f = platform::kInvalidFile;
  ASSERT_EQ(platform::OpenFileExclusive(dir.File("a.bin"), f), ExclusiveOpen::Opened);
  std::uint64_t size = 0;
  ASSERT_TRUE(platform::FileSizeOf(f, size));
  EXPECT_EQ(size, 10u);
  char got[4] = {};
  ASSERT_TRUE(platform::ReadFileAt(f, 6, got, 4));
  EXPECT_EQ(std::string(got, 4), "6789");
  EXPECT_FALSE(platform::ReadFileAt(f, 8, got, 4));  // the file ends before
  // The reads moved nothing: a write goes where the position was (the start).
  ASSERT_TRUE(platform::WriteToFile(f, "ab", 2));
  ASSERT_TRUE(platform::SeekFile(f, 4));
  ASSERT_TRUE(platform::TruncateFileHere(f));
  platform::CloseFile(f);
  EXPECT_EQ(ReadAll(dir.path() / "a.bin"), "ab23");
}

TEST(ExclusiveFile, MissingAndNotRegular) {
  TempDir dir;
  platform::FileHandle f = platform::kInvalidFile;
  EXPECT_EQ(platform::OpenFileExclusive(dir.File("none.bin"), f), ExclusiveOpen::Missing);
  EXPECT_EQ(f, platform::kInvalidFile);
  std::filesystem::create_directory(dir.path() / "folder.bin");
  EXPECT_NE(platform::OpenFileExclusive(dir.File("folder.bin"), f), ExclusiveOpen::Opened);
  EXPECT_EQ(f, platform::kInvalidFile);
  // A symbolic link is not followed (where the system lets the test make one).
  WriteWhole(dir.path() / "target.bin", "x");
  std::error_code ec;
  std::filesystem::create_symlink(dir.path() / "target.bin", dir.path() / "link.bin", ec);
  if (!ec) {
    EXPECT_NE(platform::OpenFileExclusive(dir.File("link.bin"), f), ExclusiveOpen::Opened);
    EXPECT_EQ(f, platform::kInvalidFile);
  }
}

// A file that a writer of this process holds is not taken, and a taken one keeps every other
// writer and delete away until it is closed.
TEST(ExclusiveFile, HeldBothWaysInOneProcess) {
  TempDir dir;
  const std::u16string path = dir.File("a.bin");
  platform::FileHandle writer = platform::CreateFileForWrite(path, platform::ShareMode::Read);
  ASSERT_NE(writer, platform::kInvalidFile);
  platform::FileHandle f = platform::kInvalidFile;
  EXPECT_EQ(platform::OpenFileExclusive(path, f), ExclusiveOpen::Held);
  platform::CloseFile(writer);

  ASSERT_EQ(platform::OpenFileExclusive(path, f), ExclusiveOpen::Opened);
  platform::FileHandle second = platform::kInvalidFile;
  EXPECT_EQ(platform::OpenFileExclusive(path, second), ExclusiveOpen::Held);
  EXPECT_EQ(platform::CreateFileForWrite(path, platform::ShareMode::Read), platform::kInvalidFile);
  EXPECT_FALSE(platform::RemoveFile(path));
  EXPECT_FALSE(platform::MoveFileTo(path, dir.File("b.bin"), false));
  platform::CloseFile(f);
  EXPECT_TRUE(platform::RemoveFile(path));
}

// The same across processes: a file another process writes is Held here, and one taken here
// cannot be created anew by another process.
TEST(ExclusiveFile, HeldBothWaysAcrossProcesses) {
  TempDir dir;
  const std::u16string path = dir.File("a.bin");
  const std::u16string ready = dir.File("ready");
  platform::ProcessHandle child;
  ASSERT_TRUE(platform::StartProcess(selfPath, {u"--write-and-hold", path, ready, u"1500"}, child));
  for (int i = 0; i < 500 && !std::filesystem::exists(dir.path() / "ready"); ++i) platform::SleepMilliseconds(10);
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "ready"));
  platform::FileHandle f = platform::kInvalidFile;
  EXPECT_EQ(platform::OpenFileExclusive(path, f), ExclusiveOpen::Held);
  std::uint32_t code = 99;
  ASSERT_TRUE(platform::WaitProcessFor(child, 20000, code));
  EXPECT_EQ(code, 0u);

  ASSERT_EQ(platform::OpenFileExclusive(path, f), ExclusiveOpen::Opened);
  ASSERT_TRUE(platform::StartProcess(selfPath, {u"--try-create", path}, child));
  ASSERT_TRUE(platform::WaitProcessFor(child, 20000, code));
  EXPECT_EQ(code, 1u) << "another process created the file while it was taken";
  platform::CloseFile(f);
  EXPECT_EQ(ReadAll(dir.path() / "a.bin"), "written");
}

int RunChild(int argc, char** argv) {
  const std::string mode = argv[1];
  if (mode == "--write-and-hold" && argc >= 5) {
    platform::FileHandle f = platform::CreateFileForWrite(platform::Utf16FromUtf8(argv[2]), platform::ShareMode::Read);
    if (f == platform::kInvalidFile || !platform::WriteToFile(f, "written", 7)) return 2;
    platform::CloseFile(platform::CreateFileForWrite(platform::Utf16FromUtf8(argv[3]), platform::ShareMode::None));
    platform::SleepMilliseconds(static_cast<std::uint32_t>(std::stoul(argv[4])));
    platform::CloseFile(f);
    return 0;
  }
  if (mode == "--try-create" && argc >= 3) {
    platform::FileHandle f = platform::CreateFileForWrite(platform::Utf16FromUtf8(argv[2]), platform::ShareMode::Read);
    if (f == platform::kInvalidFile) return 1;
    platform::CloseFile(f);
    return 0;
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--", 2) == 0 &&
      (std::strcmp(argv[1], "--write-and-hold") == 0 || std::strcmp(argv[1], "--try-create") == 0)) {
    return RunChild(argc, argv);
  }
  selfPath = platform::ExecutablePath();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
