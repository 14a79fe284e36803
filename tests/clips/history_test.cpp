// Trimming the history: whole keyframe groups, by time and by the byte cap, never the last group.
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "clips/sample_history.h"
#include "mp4/audio_track.h"

namespace {

constexpr std::int64_t kSecond = 10000000;

std::shared_ptr<const std::vector<std::uint8_t>> Bytes(std::size_t size) {
  return std::make_shared<const std::vector<std::uint8_t>>(size, std::uint8_t{0x41});
}

class History : public testing::Test {
 protected:
  // Appends like the intake does: at the back, adding the size, then trimming.
  void Add(std::int64_t time, bool keyframe, std::shared_ptr<const std::vector<std::uint8_t>> data = Bytes(100)) {
    EncodedSample s;
    s.data = std::move(data);
    s.time = time;
    s.duration = kDefaultSampleDuration;
    s.keyframe = keyframe;
    history.heldBytes += s.data->size();
    history.samples.push_back(std::move(s));
    TrimHistory(history);
  }

  // A sound frame, appended like the intake does.
  void AddAudio(std::int64_t time, std::size_t size = 50, std::uint32_t run = 0) {
    EncodedAudio a;
    a.data = Bytes(size);
    a.time = time;
    a.run = run;
    history.heldBytes += a.data->size();
    history.audio.push_back(std::move(a));
    TrimHistory(history);
  }

  std::uint64_t SumOfSizes() const {
    std::uint64_t sum = 0;
    for (const EncodedSample& s : history.samples) sum += s.data->size();
    for (const EncodedAudio& a : history.audio) sum += a.data->size();
    return sum;
  }

  SampleHistory history;
};

TEST_F(History, KeepsFifteenToSeventeenSecondsOfTwoSecondGroups) {
  // 30 per second, a keyframe every 2 s; checked after every append from 20 s on.
  for (int i = 0; i <= 40 * 30; ++i) {
    Add(i * kSecond / 30, i % 60 == 0);
    if (i < 20 * 30) continue;
    ASSERT_TRUE(history.samples.front().keyframe);
    const std::int64_t span = history.samples.back().time - history.samples.front().time;
    ASSERT_GE(span, 15 * kSecond) << i;
    ASSERT_LT(span, 17 * kSecond) << i;
  }
  EXPECT_EQ(history.heldBytes, SumOfSizes());
}

TEST_F(History, CutsOnlyWhenTheNextKeyframeIsFifteenSecondsOld) {
  Add(0, true);
  Add(5 * kSecond, true);
  Add(15 * kSecond - 1, false);
  EXPECT_EQ(history.samples.size(), 3u);  // the keyframe at 5 s is not yet at the cutoff
  Add(20 * kSecond, false);               // cutoff 5 s: the group before it goes
  EXPECT_EQ(history.samples.size(), 3u);
  EXPECT_EQ(history.samples.front().time, 5 * kSecond);
  EXPECT_EQ(history.heldBytes, 300u);
}

TEST_F(History, RecordsBeforeTheFirstKeyframeStayUntilTheFirstCut) {
  Add(0, false);
  Add(kSecond, false);
  Add(2 * kSecond, true);
  Add(10 * kSecond, false);
  EXPECT_FALSE(history.samples.front().keyframe);
  EXPECT_EQ(history.samples.size(), 4u);
  Add(17 * kSecond, false);
  EXPECT_TRUE(history.samples.front().keyframe);
  EXPECT_EQ(history.samples.size(), 3u);
}

TEST_F(History, OneGroupIsNeverTrimmedWhateverItsSize) {
  const auto big = Bytes(8 << 20);  // shared: the sizes count, the memory does not
  Add(0, true, big);
  for (int i = 1; i < 40; ++i) Add(i * 100 * kSecond, false, big);  // 320 MiB, 3900 s
  EXPECT_EQ(history.samples.size(), 40u);
  EXPECT_EQ(history.heldBytes, 40u * (8u << 20));
}

TEST_F(History, ByteCapDropsYoungGroupsUntilUnderItOrOneGroupLeft) {
  const auto big = Bytes(4 << 20);
  // Three groups of ten 4 MiB records within one second: 120 MiB, above the 96 MiB cap.
  for (int g = 0; g < 3; ++g) {
    for (int i = 0; i < 10; ++i) Add((g * 10 + i) * 300000, i == 0, big);
  }
  EXPECT_EQ(history.samples.size(), 20u);
  EXPECT_EQ(history.heldBytes, 80u << 20);
  // One huge group above the cap after the others: everything before it goes, it stays.
  const auto huge = Bytes(50 << 20);
  Add(10 * kSecond, true, huge);
  Add(11 * kSecond, false, huge);
  Add(12 * kSecond, false, huge);
  EXPECT_EQ(history.samples.size(), 3u);
  EXPECT_TRUE(history.samples.front().keyframe);
  EXPECT_EQ(history.heldBytes, 150u << 20);
}

TEST_F(History, ExactlyAtTheCapIsNotTrimmed) {
  const std::size_t half = kHistoryByteCap / 2;
  Add(0, true, Bytes(half));
  Add(1, true, Bytes(kHistoryByteCap - half));
  EXPECT_EQ(history.samples.size(), 2u);
  Add(2, false, Bytes(1));
  EXPECT_EQ(history.samples.size(), 2u);
  EXPECT_EQ(history.heldBytes, kHistoryByteCap - half + 1);
}

// A stream of 100 Mbit/s holds its 15 s: 187.5 MB, above the seed's cap, stay.
TEST_F(History, FastStreamKeepsItsSpanUnderItsOwnCap) {
  EXPECT_EQ(HistoryByteCapFor(8000000), std::uint64_t{kHistoryByteCap});
  EXPECT_EQ(HistoryByteCapFor(100000000), 250000000u);
  history.byteCap = HistoryByteCapFor(100000000);
  const std::size_t perGroup = 100000000 / 8;  // one second of the stream, one group
  for (int s = 0; s <= 15; ++s) Add(s * kSecond, true, Bytes(perGroup));
  // 200 MB: under the seed's cap only the last 8 groups would stay.
  EXPECT_EQ(history.samples.size(), 16u);
  EXPECT_EQ(history.heldBytes, 16u * perGroup);
  Add(16 * kSecond, true, Bytes(perGroup));
  EXPECT_EQ(history.samples.front().time, 1 * kSecond);  // the oldest group went by time alone
}

TEST_F(History, TimesGoingBackwardsCutNothingByTime) {
  for (int i = 0; i < 20 * 30; ++i) Add(i * kSecond / 30 + 100 * kSecond, i % 60 == 0);
  const std::size_t settled = history.samples.size();
  // The encoder's clock jumps back by 100 s: newer records are stamped earlier than older ones.
  for (int i = 0; i < 30 * 30; ++i) Add(i * kSecond / 30, i % 60 == 0);
  EXPECT_EQ(history.samples.size(), settled + 30 * 30);
  EXPECT_GT(history.samples.front().time, 100 * kSecond);
  // Once the newest time is 15 s past a keyframe after the front again, cutting resumes.
  for (int i = 0; i < 20 * 30; ++i) Add(120 * kSecond + i * kSecond / 30, i % 60 == 0);
  EXPECT_LT(history.samples.back().time - history.samples.front().time, 17 * kSecond);
  EXPECT_EQ(history.heldBytes, SumOfSizes());
}

TEST_F(History, ByteCapStillTrimsWhileTimesRunBackwards) {
  const auto big = Bytes(30 << 20);
  Add(50 * kSecond, true, big);
  Add(40 * kSecond, true, big);
  Add(30 * kSecond, true, big);
  Add(20 * kSecond, true, big);  // 120 MiB
  EXPECT_EQ(history.samples.size(), 3u);
  EXPECT_EQ(history.samples.front().time, 40 * kSecond);
}

// Beyond 4 GiB the sum of sizes must not wrap (one group that never ends can grow that large).
TEST_F(History, HeldBytesDoNotWrapAboveFourGiB) {
  const auto big = Bytes(64 << 20);
  Add(0, true, big);
  for (int i = 1; i < 70; ++i) Add(i, false, big);
  EXPECT_EQ(history.heldBytes, 70ull * (64 << 20));
  Add(70, true, big);  // the byte cap now drops the whole first group
  EXPECT_EQ(history.samples.size(), 1u);
  EXPECT_EQ(history.heldBytes, 64u << 20);
}

// Garbage stamps at the ends of the range: the cutoff saturates instead of overflowing (the
// sanitizer build stops on overflow), and the invariants hold.
TEST_F(History, ExtremeTimesDoNotOverflowTheCutoff) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  Add(kMax, true);
  Add(kMax, false);
  EXPECT_EQ(history.samples.size(), 2u);
  Add(kMin, true);  // the cutoff saturates at kMin, so the keyframe there is at it: one cut
  EXPECT_EQ(history.samples.size(), 1u);
  Add(kMin + 1, false);
  Add(kMax, true);  // a group is cut when the next keyframe is old enough, and this one is new
  EXPECT_EQ(history.samples.size(), 3u);
  EXPECT_TRUE(history.samples.front().keyframe);
  EXPECT_EQ(history.heldBytes, SumOfSizes());
}

// The sound follows the picture's groups: after every append the history holds exactly the frames
// a file from its first picture on may hold, from the earliest on, and counts their bytes.
TEST_F(History, SoundIsTrimmedWithThePicturesGroups) {
  std::int64_t nextAudio = -kSecond;  // the sound's encoder starts before the first picture
  for (int i = 0; i <= 40 * 30; ++i) {
    const std::int64_t time = i * kSecond / 30;
    // The sound's encoder runs ahead of the picture's: its frames up to 100 ms later are in.
    while (nextAudio <= time + kSecond / 10) {
      AddAudio(nextAudio, 40 + static_cast<std::size_t>(nextAudio / kAacFrameUnits % 7));
      nextAudio += kAacFrameUnits;
    }
    Add(time, i % 60 == 0);
    ASSERT_FALSE(history.audio.empty());
    const std::int64_t front = history.samples.front().time;
    for (const EncodedAudio& a : history.audio) {
      ASSERT_TRUE(AudioFrameInFile(a.time, front, std::numeric_limits<std::int64_t>::max())) << i;
    }
    // Nothing that belongs was dropped: the frame before the first held one does not.
    ASSERT_FALSE(AudioFrameInFile(history.audio.front().time - kAacFrameUnits, front,
                                  std::numeric_limits<std::int64_t>::max()))
        << i;
    ASSERT_EQ(history.heldBytes, SumOfSizes()) << i;
  }
  // 15 to 17 s of sound with the picture.
  EXPECT_GT(history.audio.size(), 15u * 48000 / 1024);
  EXPECT_LT(history.audio.size(), 18u * 48000 / 1024);
}

// The history's keep rule is the files' rule, at its edge too.
TEST_F(History, SoundKeepRuleIsTheFilesRule) {
  constexpr std::int64_t kFront = 20 * kSecond;
  for (std::int64_t offset = -2 * kAacFrameUnits - 3; offset <= -2 * kAacFrameUnits + 3; ++offset) {
    history = SampleHistory{};
    Add(kFront, true);
    AddAudio(kFront + offset);
    EXPECT_EQ(history.audio.size() == 1,
              AudioFrameInFile(kFront + offset, kFront, std::numeric_limits<std::int64_t>::max()))
        << offset;
    EXPECT_EQ(history.heldBytes, SumOfSizes());
  }
  // And at the ends of the range, without overflow.
  history = SampleHistory{};
  Add(std::numeric_limits<std::int64_t>::min(), true);
  AddAudio(std::numeric_limits<std::int64_t>::min());
  AddAudio(std::numeric_limits<std::int64_t>::max());
  // The newest frame stays; the one a whole range before it is beyond any span.
  ASSERT_EQ(history.audio.size(), 1u);
  EXPECT_EQ(history.audio.back().time, std::numeric_limits<std::int64_t>::max());
}

// The byte cap counts the sound: its bytes can push the history over the cap, and a whole group
// goes for them.
TEST_F(History, ByteCapCountsTheSound) {
  history.byteCap = 1000;
  Add(0, true, Bytes(400));
  Add(kSecond, true, Bytes(400));
  for (int j = 0; j < 4; ++j) AddAudio(kSecond + j * kAacFrameUnits, 50);
  EXPECT_EQ(history.samples.size(), 2u);  // 1000: at the cap
  EXPECT_EQ(history.heldBytes, 1000u);
  AddAudio(kSecond + 4 * kAacFrameUnits, 50);
  ASSERT_EQ(history.samples.size(), 1u);  // the first group went for the sound
  EXPECT_EQ(history.samples.front().time, kSecond);
  EXPECT_EQ(history.audio.size(), 5u);
  EXPECT_EQ(history.heldBytes, 650u);
}

// A last group above the cap always stays; the sound that runs on beside it does not pile up.
TEST_F(History, SoundGoesFirstWhenTheLastGroupFillsTheCap) {
  history.byteCap = 1000;
  Add(0, true, Bytes(900));
  for (int j = 0; j < 10; ++j) AddAudio(j * kAacFrameUnits, 30);
  EXPECT_EQ(history.samples.size(), 1u);
  EXPECT_LE(history.heldBytes, 1000u);
  ASSERT_EQ(history.audio.size(), 3u);  // the newest frames stay
  EXPECT_EQ(history.audio.back().time, 9 * kAacFrameUnits);
  EXPECT_EQ(history.heldBytes, SumOfSizes());
}

// Before the first picture the sound's frames of the last 15 s wait for it; older ones go.
TEST_F(History, SoundWithoutAPictureKeepsItsLastSpan) {
  for (int j = 0; j < 20 * 47; ++j) AddAudio(j * kAacFrameUnits);
  ASSERT_FALSE(history.audio.empty());
  const std::int64_t newest = history.audio.back().time;
  EXPECT_GT(history.audio.front().time, newest - kHistorySpan);
  EXPECT_LE(history.audio.front().time, newest - kHistorySpan + kAacFrameUnits);
  EXPECT_EQ(history.heldBytes, SumOfSizes());
  // The first picture then trims by its own time.
  Add(newest - kSecond, true);
  const std::int64_t front = newest - kSecond;
  EXPECT_TRUE(AudioFrameInFile(history.audio.front().time, front, std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(AudioFrameInFile(history.audio.front().time - kAacFrameUnits, front,
                                std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(history.heldBytes, SumOfSizes());
}

TEST(ParameterSetsUsable, NeedsFourSpsBytesAndAPps) {
  EXPECT_FALSE(ParameterSetsUsable(ParameterSets{}));
  EXPECT_FALSE(ParameterSetsUsable(ParameterSets{{0x67, 0x4D, 0x40}, {0x68}}));
  EXPECT_FALSE(ParameterSetsUsable(ParameterSets{{0x67, 0x4D, 0x40, 0x1F}, {}}));
  EXPECT_TRUE(ParameterSetsUsable(ParameterSets{{0x67, 0x4D, 0x40, 0x1F}, {0x68}}));
}

}  // namespace

namespace {

// A picture that stalls while the sound runs on (or a host whose sound is stamped far ahead of its
// pictures): the sound is held for the span and its headroom, not without end, however small its
// frames.
TEST(HistorySound, SoundAheadOfAStalledPictureIsHeldForABoundedSpan) {
  SampleHistory history;
  EncodedSample picture;
  picture.data = std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{0, 0, 0, 1, 0x65});
  picture.keyframe = true;
  picture.duration = kDefaultSampleDuration;
  history.samples.push_back(picture);
  history.heldBytes = 5;
  const auto silent = std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>(6, 0));
  for (int j = 0; j < 600 * 47; ++j) {  // ten minutes of silence
    EncodedAudio frame;
    frame.data = silent;
    frame.time = j * kAacFrameUnits;
    history.audio.push_back(frame);
    history.heldBytes += silent->size();
    TrimHistory(history);
  }
  ASSERT_EQ(history.samples.size(), 1u);
  const std::int64_t held = history.audio.back().time - history.audio.front().time;
  EXPECT_LE(held, kHistorySpan + kAudioHistoryHeadroom);
  EXPECT_GE(held, kHistorySpan);
  EXPECT_EQ(history.heldBytes, 5 + history.audio.size() * silent->size());
}

}  // namespace
