// Reading the MP4 files vistrel writes with the real ffprobe and ffmpeg, and reading the host's
// frame numbers back from the decoded pictures.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// Runs a shell command line and collects what it prints.
CommandResult RunCommand(const std::string& commandLine);

// Single-quotes a path for the shell.
std::string Quote(const std::filesystem::path& path);

struct ProbedVideo {
  bool ok = false;             // ffprobe read the file and reported no error
  std::string errors;          // anything ffprobe printed at level error
  std::string codec;           // "h264"
  std::string profile;         // "Main"
  int width = 0;
  int height = 0;
  std::int64_t frames = 0;     // frames read by decoding the stream
  double duration = 0;         // the stream's duration in seconds
};

ProbedVideo ProbeVideo(const std::filesystem::path& file);

struct DecodedFrames {
  bool clean = false;                           // ffmpeg -v error printed nothing and ended with 0
  std::string errors;
  std::vector<std::optional<std::uint32_t>> numbers;  // the host's frame number in each picture
};

// Decodes every frame to grey and reads the numbered test picture's band.
DecodedFrames DecodeFrameNumbers(const std::filesystem::path& file);

// True when numbers are all present and each is one more than the one before.
bool Consecutive(const std::vector<std::optional<std::uint32_t>>& numbers);

}  // namespace testing_support
