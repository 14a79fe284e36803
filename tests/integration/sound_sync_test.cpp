// Sync of the game's sound with its pictures in every file vistrel writes, measured from the files
// alone: the reference host plays its click track (vistrel-host --audio tone: a click at the time of
// every picture whose number is a multiple of 30) and each clip and recording must hold both
// streams, decode cleanly, play in Chromium's <video> with both tracks (where Chromium is
// installed), and put every click within one AAC frame (1024 samples, 21.3 ms) of its picture,
// with no click missing and none astray. Runs: the real clock with a clip and a recording;
// the encoder announcing a type change; a rate of 30000/1001 in a 3,579,545 Hz clock at 60 frames a
// second; and a recording across its rotation after 300 s of the fast clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/vistrel_run.h"
#include "support/browser_check.h"
#include "support/sync_check.h"

namespace {

using namespace vistrel_run;
using testing_support::Quote;
using testing_support::RunCommand;

constexpr double kOneAacFrameMs = 1024.0 / 48;

class SoundSync : public VistrelRun {
 protected:
  // Runs vistrel-host with args into out; true when it and vistrel ended cleanly.
  void Host(const std::string& args) {
    const auto run = RunCommand(Quote(bin / "vistrel-host") + " --software-encoder --log --audio tone --out " +
                                Quote(out) + " " + args);
    std::printf("%s", run.output.c_str());
    ASSERT_EQ(run.exitCode, 0) << run.output << "\n" << Log();
    ASSERT_NE(run.output.find("sound: "), std::string::npos) << "the host wrote no sound";
  }

  // Every clip and recording: both streams, clean, every click in place. Returns the files checked.
  std::size_t CheckFiles(std::uint32_t width, std::uint32_t height) {
    std::size_t checked = 0;
    double worst = 0;
    for (const auto& file : FilesIn(out, "*.mp4")) {
      SCOPED_TRACE(file.string());
      const auto sync = testing_support::MeasureClickSync(file, width, height);
      std::printf("%s: %s", file.filename().string().c_str(), testing_support::Describe(sync).c_str());
      EXPECT_EQ(sync.streams, 2);
      EXPECT_TRUE(sync.clean) << sync.errors;
      EXPECT_FALSE(sync.clicks.empty());
      EXPECT_LT(sync.worstMs, kOneAacFrameMs);
      EXPECT_TRUE(sync.clicksWithoutPicture.empty());
      EXPECT_TRUE(sync.picturesWithoutClick.empty());
      worst = std::max(worst, sync.worstMs);
      ++checked;
      // A player's browser plays both tracks (where Chromium is installed).
      if (testing_support::BrowserAvailable()) {
        const auto played = testing_support::PlayInBrowser(file);
        EXPECT_TRUE(played.ran) << played.message;
        EXPECT_FALSE(played.error) << played.message;
        EXPECT_GT(played.audioBytes, 0) << played.message;
        EXPECT_GT(played.videoBytes, 0) << played.message;
      }
    }
    std::printf("worst click offset over %zu files: %.3f ms\n", checked, worst);
    return checked;
  }
};

// The real clock: a clip while recording, then the recording at the stop.
TEST_F(SoundSync, ClipAndRecording) {
  Host("--record --duration 8 --request key@6");
  EXPECT_EQ(FilesIn(out, "clip_*.mp4").size(), 1u);
  EXPECT_EQ(FilesIn(out, "rec_*.mp4").size(), 1u);
  EXPECT_EQ(CheckFiles(1280, 720), 2u);
}

// The encoder changes its output type midway: the sound stays in place.
TEST_F(SoundSync, AfterATypeChange) {
  Host("--type-change --record --duration 8 --request key@6");
  EXPECT_EQ(CheckFiles(1280, 720), 2u);
}

// Frame times that fall between samples: 29.97 and 60 frames a second in a clock of 3,579,545 Hz.
TEST_F(SoundSync, RatesAndClocksThatFallBetweenSamples) {
  Host("--fast --size 640x360 --fps 30000/1001 --clock-frequency 3579545 --clock-start 123456 --record "
       "--duration 12 --request key@10");
  EXPECT_EQ(CheckFiles(640, 360), 2u);
  for (const auto& file : FilesIn(out, "*.mp4")) fs::remove(file);
  Host("--fast --size 640x360 --fps 60 --clock-frequency 3579545 --record --duration 12 --request key@10");
  EXPECT_EQ(CheckFiles(640, 360), 2u);
}

// A recording rotates after 300 s of sample time; the fast clock gets there in a few minutes at a
// small picture. Both parts and the clip taken after the rotation keep their sound in place.
TEST_F(SoundSync, AcrossARotation) {
  Host("--fast --size 320x180 --record --duration 320 --request key@315");
  EXPECT_GE(FilesIn(out, "rec_*.mp4").size(), 2u) << Log();
  EXPECT_EQ(FilesIn(out, "clip_*.mp4").size(), 1u);
  EXPECT_GE(CheckFiles(320, 180), 3u);
}

}  // namespace
