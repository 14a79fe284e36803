// Trimming the history: whole keyframe groups, by time and by the byte cap, never the last group.
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "clips/sample_history.h"

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

  std::uint64_t SumOfSizes() const {
    std::uint64_t sum = 0;
    for (const EncodedSample& s : history.samples) sum += s.data->size();
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

TEST(ParameterSetsUsable, NeedsFourSpsBytesAndAPps) {
  EXPECT_FALSE(ParameterSetsUsable(ParameterSets{}));
  EXPECT_FALSE(ParameterSetsUsable(ParameterSets{{0x67, 0x4D, 0x40}, {0x68}}));
  EXPECT_FALSE(ParameterSetsUsable(ParameterSets{{0x67, 0x4D, 0x40, 0x1F}, {}}));
  EXPECT_TRUE(ParameterSetsUsable(ParameterSets{{0x67, 0x4D, 0x40, 0x1F}, {0x68}}));
}

}  // namespace
