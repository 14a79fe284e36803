// Test helpers for code that writes files: a fresh folder per test, the log captured into a file,
// reading files back, and files of a given size that take no disk space.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "platform/file.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace testing_files {

namespace fs = std::filesystem;

// The system's form of a path: UTF-16 with backslashes (the POSIX layer turns them back).
inline std::u16string SystemPath(const fs::path& path) { return testing_support::TempDir::SystemPath(path); }

inline std::vector<std::uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names of the entries of a folder, sorted.
inline std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A folder of its own under the system's temporary folder, removed with everything in it.
class TempFolder : public testing_support::TempDir {
 public:
  std::u16string system() const { return Folder(); }
  fs::path operator/(const std::string& name) const { return path() / name; }
};

// A file of size bytes that holds no data blocks (a sparse file), with its last-write time set
// hoursAgo hours back so that tests can order files by age.
inline void MakeSparseFile(const fs::path& path, std::uint64_t size, int hoursAgo) {
  const platform::FileHandle file = platform::CreateFileForWrite(SystemPath(path), platform::ShareMode::None);
  ASSERT_NE(file, platform::kInvalidFile) << path;
  ASSERT_TRUE(platform::SeekFile(file, size));
  ASSERT_TRUE(platform::TruncateFileHere(file));
  platform::CloseFile(file);
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hoursAgo));
}

// Opens the process log on a file of the test's own and reads its messages back (without the
// 14-byte time prefix and the CR LF). Closes the log again when it goes.
class LogCapture {
 public:
  explicit LogCapture(const fs::path& path) : path_(path) {
    processState.logFile = platform::CreateFileForWrite(SystemPath(path), platform::ShareMode::Read);
    EXPECT_NE(processState.logFile, platform::kInvalidFile);
  }
  ~LogCapture() {
    platform::CloseFile(processState.logFile);
    processState.logFile = platform::kInvalidFile;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Messages() const {
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    const std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "log line without CR LF: " << text.substr(at);
        break;
      }
      const std::string line = text.substr(at, end - at);
      EXPECT_GE(line.size(), 14u) << line;
      out.push_back(line.size() >= 14 ? line.substr(14) : line);
      at = end + 2;
    }
    return out;
  }

 private:
  fs::path path_;
};

}  // namespace testing_files
