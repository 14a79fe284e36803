// Placing the encoder's AAC frames on the picture's clock.
#include <gtest/gtest.h>

#include <cstdint>

#include "app/sound_feed.h"

namespace {

constexpr std::int64_t kFrame = 1024;

TEST(SoundFeed, FramesOfOneRunStepByOneFrameWithoutDrift) {
  const SoundRun run{0, 5000000, 0};
  // The encoder's priming puts the first frame before the first sample.
  EXPECT_EQ(FrameTimeIn(run, -kFrame), 5000000 - 213333);
  EXPECT_EQ(FrameTimeIn(run, 0), 5000000);
  // An hour of frames later the time is still the sample count's, to the unit.
  const std::int64_t hour = 48000LL * 3600;
  EXPECT_EQ(FrameTimeIn(run, hour), 5000000 + 36000000000LL);
  for (std::int64_t j = 0; j < 100; ++j) {
    const std::int64_t step = FrameTimeIn(run, (j + 1) * kFrame) - FrameTimeIn(run, j * kFrame);
    EXPECT_TRUE(step == 213333 || step == 213334) << step;
  }
}

TEST(SoundFeed, FrameSpanningAClockJumpBelongsToNeitherRun) {
  const SoundRun first{0, 0, 0};
  const SoundRun second{10000, 7000000000LL, 1};
  // Before any jump: every frame, priming included, is the first run's.
  EXPECT_EQ(RunOfFrame(-kFrame, first, nullptr), &first);
  EXPECT_EQ(RunOfFrame(5 * kFrame, first, nullptr), &first);
  // After it: frames wholly before the jump keep the old clock, frames from it on take the new one,
  // and the one frame holding sound of both clocks is dropped.
  EXPECT_EQ(RunOfFrame(10000 - kFrame, second, &first), &first);
  EXPECT_EQ(RunOfFrame(10000 - kFrame + 1, second, &first), nullptr);
  EXPECT_EQ(RunOfFrame(9999, second, &first), nullptr);
  EXPECT_EQ(RunOfFrame(10000, second, &first), &second);
  EXPECT_EQ(FrameTimeIn(second, 10000 + 48000), 7000000000LL + 10000000);
}

TEST(SoundFeed, HostTimesOfAnyClockBecomePictureTime) {
  std::int64_t time = 0;
  ASSERT_TRUE(SoundTimeFor(3579545 * 2 + 1000, 1000, 3579545, time));
  EXPECT_EQ(time, 20000000);
  // Sound stamped before the first picture lies before zero.
  ASSERT_TRUE(SoundTimeFor(0, 10000000, 10000000, time));
  EXPECT_EQ(time, -10000000);
  // A clock that cannot place anything, and times that cannot be scaled, place nothing.
  EXPECT_FALSE(SoundTimeFor(100, 0, 0, time));
  EXPECT_FALSE(SoundTimeFor(100, 0, -5, time));
  EXPECT_FALSE(SoundTimeFor(INT64_MAX, INT64_MIN, 1, time));
}

}  // namespace
