// The reference host's click track: every click starts on the first sample at or after its
// picture's time, in clocks of any frequency and at any frame rate, and nowhere else is there sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/click_track.h"

namespace {

struct Clock {
  std::int64_t frequency;
  std::uint32_t rateNumerator, rateDenominator;
  std::int64_t start;  // the first picture's time
};

// The time stamp a host gives picture n: n frame durations after the start, cut to whole ticks.
std::int64_t PictureTime(const Clock& c, std::uint64_t n) {
  return c.start + static_cast<std::int64_t>(n * static_cast<std::uint64_t>(c.frequency) * c.rateDenominator /
                                             c.rateNumerator);
}

class ClickTrackAt : public testing::TestWithParam<Clock> {};

// Ten seconds of pictures, the sound rendered in uneven pieces between them as a host loop does;
// each click's first sample lies at or after its picture's time by less than one sample, at full
// level, and every other sample is silence.
TEST_P(ClickTrackAt, EachClickStartsOnItsPicturesSample) {
  const Clock c = GetParam();
  host::ClickTrack track(c.frequency);
  std::vector<std::int16_t> pcm;
  const std::uint64_t pictures = 10ull * c.rateNumerator / c.rateDenominator;
  std::vector<std::uint64_t> expected;  // the first samples of the clicks
  for (std::uint64_t n = 0; n < pictures; ++n) {
    const std::int64_t time = PictureTime(c, n);
    // Rendered up to this picture's time first (as the host does before it stamps the picture).
    track.Render(time, pcm);
    ASSERT_TRUE(track.AddPicture(static_cast<std::uint32_t>(n), time)) << n;
    // Then a part of the way to the next picture.
    track.Render(time + (PictureTime(c, n + 1) - time) / 3, pcm);
    if (n % host::kClickEveryFrames != 0) continue;
    // The exact place of the click's first sample k: k / 48000 s >= (time - start) / frequency,
    // and the sample before it lies before the picture.
    const std::uint64_t k = host::SampleAtOrAfter(c.start, time, c.frequency);
    const std::uint64_t ticks = static_cast<std::uint64_t>(time - c.start);
    EXPECT_GE(k * static_cast<std::uint64_t>(c.frequency), ticks * 48000) << "picture " << n;
    if (k > 0) {
      EXPECT_LT((k - 1) * static_cast<std::uint64_t>(c.frequency), ticks * 48000) << "picture " << n;
    }
    expected.push_back(k);
  }
  track.Render(PictureTime(c, pictures), pcm);
  ASSERT_EQ(pcm.size() % 2, 0u);
  ASSERT_EQ(track.Rendered(), pcm.size() / 2);
  // The whole track holds the last picture's time and one frame more.
  EXPECT_EQ(track.Rendered(), host::SampleAtOrAfter(c.start, PictureTime(c, pictures), c.frequency));

  std::vector<std::uint64_t> onsets;
  std::uint64_t loud = 0;
  for (std::uint64_t k = 0; k < pcm.size() / 2; ++k) {
    EXPECT_EQ(pcm[2 * k], pcm[2 * k + 1]) << "both channels, sample " << k;
    if (pcm[2 * k] != 0) ++loud;
    const bool startsClick = pcm[2 * k] == host::kClickAmplitude && (k == 0 || pcm[2 * (k - 1)] == 0);
    if (startsClick) onsets.push_back(k);
  }
  EXPECT_EQ(onsets, expected);
  // Each click its 2 ms and no more: a 4 kHz cosine at 48 kHz is 0 on 16 of its 96 samples.
  EXPECT_EQ(loud, expected.size() * (host::kClickFrames - 16));
}

INSTANTIATE_TEST_SUITE_P(Clocks, ClickTrackAt,
                         testing::Values(Clock{10000000, 30, 1, 0}, Clock{10000000, 60, 1, 123456789},
                                         Clock{10000000, 30000, 1001, 5}, Clock{3579545, 30, 1, 0},
                                         Clock{3579545, 60, 1, 987654321}, Clock{3579545, 30000, 1001, 7},
                                         Clock{1000, 30000, 1001, 0}, Clock{1000000000, 144, 1, 1}));

// The exact sample of a few pictures, worked out by hand.
TEST(ClickTrack, SamplesOfKnownTimes) {
  // 10 MHz at 30 fps: picture 30 at 1 s is sample 48000.
  EXPECT_EQ(host::SampleAtOrAfter(0, 10000000, 10000000), 48000u);
  // 29.97 fps: picture 30 at 1.001 s is sample 48048.
  EXPECT_EQ(host::SampleAtOrAfter(0, 10010000, 10000000), 48048u);
  // 3,579,545 Hz at 60 fps: picture 30 at half a second is 1789772 ticks (cut from 1789772.5),
  // a hair before sample 24000 (1789772.5 ticks), so sample 24000.
  EXPECT_EQ(host::SampleAtOrAfter(0, 1789772, 3579545), 24000u);
  // One tick after a sample's time goes to the next sample.
  EXPECT_EQ(host::SampleAtOrAfter(100, 100 + 10000000 + 1, 10000000), 48001u);
  EXPECT_EQ(host::SampleAtOrAfter(100, 100, 10000000), 0u);
  EXPECT_EQ(host::SampleAtOrAfter(100, 50, 10000000), 0u);
  // Times of samples, cut toward the start.
  EXPECT_EQ(host::TimeOfSample(0, 48000, 3579545), 3579545);
  EXPECT_EQ(host::TimeOfSample(0, 1, 10000000), 208);
  EXPECT_EQ(host::TimeOfSample(5, 24000, 3579545), 5 + 1789772);
}

// A click whose sample has gone out already cannot be placed; the track says so and stays as it
// was. Pictures not on a multiple of 30 need no sample.
TEST(ClickTrack, RefusesAClickForSoundAlreadyRendered) {
  host::ClickTrack track(10000000);
  std::vector<std::int16_t> pcm;
  EXPECT_EQ(track.Render(10000000, pcm), 0u) << "no sound before the first picture";
  ASSERT_TRUE(track.AddPicture(1, 0));
  EXPECT_EQ(track.Render(10000000, pcm), 48000u);
  EXPECT_TRUE(track.AddPicture(29, 9000000));
  EXPECT_FALSE(track.AddPicture(30, 9990000));
  // A tick before a sample not yet rendered still goes to that sample.
  EXPECT_TRUE(track.AddPicture(90, 9999999));
  EXPECT_TRUE(track.AddPicture(60, 10000000));
  pcm.clear();
  EXPECT_EQ(track.Render(10000000 + 10000000 / 100, pcm), 480u);
  EXPECT_EQ(pcm[0], host::kClickAmplitude);
  EXPECT_EQ(pcm[2 * (host::kClickFrames - 1)] != 0, true);
  EXPECT_EQ(pcm[2 * host::kClickFrames], 0);
}

// Sound from before the first picture: the track starts where StartAt says, the first picture's
// click lands at its own sample from there, and the start cannot move once set.
TEST(ClickTrack, StartsBeforeItsFirstPicture) {
  host::ClickTrack track(10000000);
  std::vector<std::int16_t> pcm;
  ASSERT_TRUE(track.StartAt(-15000000));  // 1.5 s before a first picture at 0
  EXPECT_FALSE(track.StartAt(0));
  EXPECT_EQ(track.Start(), -15000000);
  EXPECT_EQ(track.Render(0, pcm), 72000u);
  EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](std::int16_t v) { return v == 0; }));
  ASSERT_TRUE(track.AddPicture(0, 0));
  EXPECT_EQ(track.Start(), -15000000) << "the first picture does not restart a track started before it";
  pcm.clear();
  EXPECT_EQ(track.Render(10000000, pcm), 48000u);
  EXPECT_EQ(pcm[0], host::kClickAmplitude);
  EXPECT_EQ(track.TimeOf(72000), 0);
}

// What a host keeping quiet over some spans writes of a stretch of samples: the rest, in order,
// whether the spans overlap, touch, come unsorted, lie outside the stretch or are empty.
TEST(ClickTrack, SpansToWriteLeaveOutTheHeldOnes) {
  using host::SampleSpan;
  using Spans = std::vector<SampleSpan>;
  EXPECT_EQ(host::SpansToWrite(100, 50, {}), (Spans{{100, 150}}));
  EXPECT_EQ(host::SpansToWrite(100, 0, {}), Spans{});
  // Held over the start, the middle and the end.
  EXPECT_EQ(host::SpansToWrite(0, 100, {{0, 10}}), (Spans{{10, 100}}));
  EXPECT_EQ(host::SpansToWrite(0, 100, {{40, 60}}), (Spans{{0, 40}, {60, 100}}));
  EXPECT_EQ(host::SpansToWrite(0, 100, {{90, 200}}), (Spans{{0, 90}}));
  // All of it held.
  EXPECT_EQ(host::SpansToWrite(50, 50, {{0, 1000}}), Spans{});
  EXPECT_EQ(host::SpansToWrite(50, 50, {{50, 100}}), Spans{});
  // Unsorted, overlapping and touching spans; an empty one and ones outside change nothing.
  EXPECT_EQ(host::SpansToWrite(0, 100, {{70, 80}, {20, 30}, {25, 40}, {40, 45}, {60, 60}, {200, 300}, {0, 0}}),
            (Spans{{0, 20}, {45, 70}, {80, 100}}));
  // A stretch wholly between held spans, and one ending where a held span begins.
  EXPECT_EQ(host::SpansToWrite(30, 10, {{0, 30}, {40, 50}}), (Spans{{30, 40}}));
  // Near the end of the counter nothing wraps.
  const std::uint64_t top = ~std::uint64_t{0};
  EXPECT_EQ(host::SpansToWrite(top - 10, 100, {{top - 5, top}}), (Spans{{top - 10, top - 5}}));
}

}  // namespace
