// The sync measurement against files of known sync: H.264 of the host's numbered test pictures and
// AAC of the host's own click track, put together by the ffmpeg command line with the clicks a known
// time away from their pictures (late, early, or the whole track moved), or with a click left out.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "host/click_track.h"
#include "host/test_picture.h"
#include "support/media_check.h"
#include "support/sync_check.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ClickSync;
using testing_support::MeasureClickSync;

constexpr std::uint32_t kWidth = 640, kHeight = 360;
constexpr std::uint32_t kFrames = 150;  // 5 s at 30 a second: clicks at frames 0, 30, 60, 90, 120

struct Reference {
  std::int64_t clickShiftSamples = 0;  // each click this far from its picture's time (48 kHz samples)
  std::set<std::uint32_t> silent;      // frames whose click is left out
  std::string trackOffset;             // ffmpeg -itsoffset of the whole sound, seconds ("" none)
};

// Writes the file: the sound starts with the first picture (at 0) unless moved by trackOffset.
fs::path MakeReference(const fs::path& folder, const std::string& name, const Reference& r) {
  // The click track in a clock of one tick per sample; a picture before the first click starts it
  // at time 0 whatever the shift.
  host::ClickTrack track(48000);
  const std::int64_t lead = 48000;  // room for clicks moved early
  std::vector<std::int16_t> pcm;
  track.AddPicture(1, -lead);
  for (std::uint32_t n = 0; n < kFrames; n += 30) {
    if (r.silent.count(n) == 0) {
      EXPECT_TRUE(track.AddPicture(n, std::int64_t{n} * 1600 + r.clickShiftSamples));
    }
  }
  track.Render(std::int64_t{kFrames} * 1600, pcm);
  const fs::path sound = folder / (name + ".pcm");
  {
    std::ofstream out(sound, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pcm.data() + lead * 2),
              static_cast<std::streamsize>((pcm.size() - static_cast<std::size_t>(lead) * 2) * sizeof pcm[0]));
  }
  const fs::path file = folder / (name + ".mp4");
  const std::string command =
      "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgra -s " + std::to_string(kWidth) + "x" +
      std::to_string(kHeight) + " -framerate 30 -i - " + (r.trackOffset.empty() ? "" : "-itsoffset " + r.trackOffset + " ") +
      "-f s16le -ar 48000 -ac 2 -i " + testing_support::Quote(sound) +
      " -map 0:v -map 1:a -c:v libx264 -preset ultrafast -bf 0 -g 30 -pix_fmt yuv420p -c:a aac -b:a 160k " +
      testing_support::Quote(file);
  std::FILE* pipe = ::popen(command.c_str(), "w");
  EXPECT_NE(pipe, nullptr);
  if (!pipe) return file;
  std::vector<std::uint8_t> picture(std::size_t{kWidth} * kHeight * 4);
  for (std::uint32_t n = 0; n < kFrames; ++n) {
    host::DrawTestPicture(picture.data(), kWidth, kHeight, std::size_t{kWidth} * 4, n);
    std::fwrite(picture.data(), 1, picture.size(), pipe);
  }
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return file;
}

class SyncCheck : public testing::Test {
 protected:
  testing_support::TempDir dir;

  ClickSync Measure(const std::string& name, const Reference& r) {
    const ClickSync sync = MeasureClickSync(MakeReference(dir.path(), name, r), kWidth, kHeight);
    std::printf("%s: %s", name.c_str(), testing_support::Describe(sync).c_str());
    EXPECT_TRUE(sync.clean) << sync.errors;
    EXPECT_EQ(sync.streams, 2);
    EXPECT_EQ(sync.pictures, kFrames);
    return sync;
  }
};

// Every click a given time from its picture is measured at that time (AAC moves an onset by well
// under a millisecond), with no click and no picture left over.
TEST_F(SyncCheck, MeasuresClicksLateOrEarly) {
  for (const auto& [name, shift] : {std::pair<std::string, std::int64_t>{"late5ms", 240}, {"early5ms", -240},
                                    {"late40ms", 1920}, {"exact", 0}}) {
    SCOPED_TRACE(name);
    const ClickSync sync = Measure(name, {shift, {}, ""});
    const double expected = static_cast<double>(shift) / 48;
    // Frames 30, 60, 90 and 120 always; frame 0 too unless its click would lie before the sound.
    EXPECT_GE(sync.clicks.size(), 4u);
    for (const auto& c : sync.clicks) EXPECT_NEAR(c.offsetMs, expected, 0.5) << "frame " << c.frame;
    EXPECT_NEAR(sync.worstMs, std::abs(expected), 0.5);
    EXPECT_TRUE(sync.clicksWithoutPicture.empty());
    EXPECT_TRUE(sync.picturesWithoutClick.empty());
  }
}

// The 40 ms late file fails a bound of one AAC frame; the 5 ms one passes it.
TEST_F(SyncCheck, OneAacFrameSeparatesFiveFromFortyMilliseconds) {
  EXPECT_LT(Measure("late5ms", {240, {}, ""}).worstMs, 21.3);
  EXPECT_GT(Measure("late40ms", {1920, {}, ""}).worstMs, 21.3);
}

// The whole sound moved by the container (its clicks in place in the PCM): the measurement
// follows the sound's start time as a player does. ffmpeg's muxer writes the move as an empty edit
// in whole milliseconds that also takes in the encoder's delay (18 ms, then the 1024 primed
// samples): 39.3 ms in all.
TEST_F(SyncCheck, FollowsTheSoundsStartTime) {
  const ClickSync sync = Measure("moved40ms", {0, {}, "0.04"});
  EXPECT_GT(sync.audioStart, 0.01);
  EXPECT_GE(sync.clicks.size(), 4u);
  for (const auto& c : sync.clicks) EXPECT_NEAR(c.offsetMs, 40, 1.0) << "frame " << c.frame;
  EXPECT_NEAR(sync.worstMs, 40, 1.0);
}

// A picture whose click is missing is named; its neighbours are still measured.
TEST_F(SyncCheck, NamesAPictureWithoutItsClick) {
  const ClickSync sync = Measure("missing60", {240, {60}, ""});
  EXPECT_EQ(sync.picturesWithoutClick, std::vector<std::uint32_t>{60});
  EXPECT_TRUE(sync.clicksWithoutPicture.empty());
  EXPECT_GE(sync.clicks.size(), 3u);
  for (const auto& c : sync.clicks) EXPECT_NE(c.frame, 60u);
  EXPECT_NEAR(sync.worstMs, 5, 0.5);
}

// A click halfway between two marked pictures belongs to neither.
TEST_F(SyncCheck, NamesAClickFarFromEveryPicture) {
  const ClickSync sync = Measure("halfway", {24000, {}, ""});
  EXPECT_FALSE(sync.clicksWithoutPicture.empty());
  EXPECT_FALSE(sync.picturesWithoutClick.empty());
}

// A file without sound is no file of the click track.
TEST_F(SyncCheck, RefusesAFileWithoutSound) {
  const fs::path file = dir.path() / "video.mp4";
  const auto made = testing_support::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=640x360:rate=30 "
                                                "-t 1 -c:v libx264 -preset ultrafast " + testing_support::Quote(file));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const ClickSync sync = MeasureClickSync(file, kWidth, kHeight);
  EXPECT_FALSE(sync.clean);
  EXPECT_EQ(sync.streams, 1);
  EXPECT_TRUE(sync.clicks.empty());
}

// Onsets: the first loud sample after quiet, on either channel; ringing within the quiet span is
// the same click.
TEST(FindClickOnsets, FirstLoudSampleAfterQuiet) {
  std::vector<std::int16_t> pcm(48000 * 2, 0);
  pcm[2 * 100] = 9000;          // left
  pcm[2 * 150 + 1] = -20000;    // still the first click: within 20 ms
  pcm[2 * 5000 + 1] = -8192;    // right, exactly at the threshold
  pcm[2 * 9000] = 8191;         // below it
  pcm[2 * 20000] = 32767;
  EXPECT_EQ(testing_support::FindClickOnsets(pcm), (std::vector<std::size_t>{100, 5000, 20000}));
  EXPECT_TRUE(testing_support::FindClickOnsets(std::vector<std::int16_t>(1000, 100)).empty());
}

}  // namespace
