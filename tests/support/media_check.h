// Reading the MP4 files vistrel writes with the real ffprobe and ffmpeg, and reading the host's
// frame numbers back from the decoded pictures.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
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
  std::string frameRate;       // r_frame_rate, "60/1"
  std::string averageFrameRate;  // avg_frame_rate, "15840000/263999"
  std::string timeBase;        // "1/90000"
};

// countFrames false: without decoding the stream (frames stays 0), for the header's fields alone.
ProbedVideo ProbeVideo(const std::filesystem::path& file, bool countFrames = true);

struct Packet {
  std::int64_t pts = 0;  // in the stream's time base
  std::int64_t dts = 0;
  std::int64_t duration = 0;
  bool keyframe = false;
};

// The video stream's packets in file order, as ffprobe reads them; empty when it fails.
std::vector<Packet> ProbePackets(const std::filesystem::path& file);

// "N/D" as a number; 0 when it is not one.
double Rate(const std::string& fraction);

struct DecodedFrames {
  bool clean = false;                           // ffmpeg -v error printed nothing and ended with 0
  std::string errors;
  std::vector<std::optional<std::uint32_t>> numbers;  // the host's frame number in each picture
};

// Decodes every frame to grey and reads the numbered test picture's band, pictures of
// width x height.
DecodedFrames DecodeFrameNumbers(const std::filesystem::path& file, std::uint32_t width = 1280,
                                 std::uint32_t height = 720);

// Decodes every frame as planar 4:2:0 (width x height luma, then the Cb and Cr planes of a quarter
// each) and keeps the pictures whose frame number is in wanted, by number.
std::map<std::uint32_t, std::vector<std::uint8_t>> DecodePictures(const std::filesystem::path& file,
                                                                  std::uint32_t width, std::uint32_t height,
                                                                  const std::set<std::uint32_t>& wanted);

// True when numbers are all present and each is one more than the one before.
bool Consecutive(const std::vector<std::optional<std::uint32_t>>& numbers);

}  // namespace testing_support
