// A second vistrel starting on the same folder while the first one records: its start-up clean-up
// must not delete the recording in progress (another process holds it open for writing).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "app/process_state.h"
#include "clips/housekeeping.h"
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

}  // namespace
