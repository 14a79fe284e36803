// Measuring the sync of picture and sound from an MP4 file alone, for files of the reference host's
// click track (vistrel-host --audio tone): a click starts at the time of every picture whose frame
// number is a multiple of 30. The sound is decoded as a player would (ffmpeg, edit lists applied),
// the pictures' frame numbers are read from the decoded pictures and their times from the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

inline constexpr int kClickThreshold = 8192;            // a quarter of full scale: the click's onset
inline constexpr std::size_t kClickQuietFrames = 960;   // 20 ms below it before an onset
inline constexpr double kAacFrameSeconds = 1024.0 / 48000;

// The first sample of every click in 48 kHz interleaved stereo: a sample of either channel whose
// level reaches threshold after quietFrames frames (or the start) below it. Frame indices.
std::vector<std::size_t> FindClickOnsets(const std::vector<std::int16_t>& stereo, int threshold = kClickThreshold,
                                         std::size_t quietFrames = kClickQuietFrames);

struct ClickOffset {
  double clickSeconds = 0;      // the onset, in the file's presentation time
  std::uint32_t frame = 0;      // the picture it belongs to (a multiple of 30)
  double pictureSeconds = 0;    // that picture's presentation time
  double offsetMs = 0;          // click - picture
};

struct ClickSync {
  bool clean = false;           // two streams, both decoded by ffmpeg -v error without a word
  std::string errors;
  int streams = 0;
  std::size_t pictures = 0;     // decoded
  double audioStart = 0, audioEnd = 0;  // the sound's span, seconds
  std::vector<ClickOffset> clicks;          // every click with its picture
  std::vector<double> clicksWithoutPicture;  // onsets (seconds) near no picture of a multiple of 30
  // Frame numbers (multiples of 30) inside the sound's span, one AAC frame away from its ends,
  // with no click.
  std::vector<std::uint32_t> picturesWithoutClick;
  double worstMs = 0;           // the largest |offset| over clicks
};

// Measures file (pictures of width x height, the host's numbered test picture). A click belongs to
// the picture of a multiple of 30 nearest to it when it lies within a quarter of the time between
// such pictures (at most 250 ms); a second click on the same picture has none.
ClickSync MeasureClickSync(const std::filesystem::path& file, std::uint32_t width = 1280, std::uint32_t height = 720);

// One line per click and the lists of the unmatched, for a test's output.
std::string Describe(const ClickSync& sync);

}  // namespace testing_support
