// The process's control logic that needs no encoder: the command line, frame times and the save
// schedule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/process_state.h"
#include "app/sample_time.h"
#include "app/save_schedule.h"
#include "exchange/layout.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace {

struct LineCase {
  std::vector<std::u16string> args;
  Mode mode;
  std::uint32_t pid;
};

class CommandLineCases : public testing::TestWithParam<LineCase> {};

TEST_P(CommandLineCases, Parse) {
  const CommandLine line = ParseCommandLine(GetParam().args);
  EXPECT_EQ(line.mode, GetParam().mode);
  if (line.mode == Mode::Run) {
    EXPECT_EQ(line.hostPid, GetParam().pid);
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, CommandLineCases,
    testing::Values(LineCase{{u"vistrel"}, Mode::Invalid, 0}, LineCase{{}, Mode::Invalid, 0},
                    LineCase{{u"vistrel", u"--probe"}, Mode::Probe, 0},
                    LineCase{{u"vistrel", u"--probe", u"--run", u"12"}, Mode::Probe, 0},
                    LineCase{{u"vistrel", u"--PROBE"}, Mode::Invalid, 0},
                    LineCase{{u"vistrel", u"--probe "}, Mode::Invalid, 0},
                    LineCase{{u"vistrel", u"-probe"}, Mode::Invalid, 0},
                    LineCase{{u"vistrel", u"--run"}, Mode::Invalid, 0},
                    LineCase{{u"vistrel", u"--Run", u"12"}, Mode::Invalid, 0},
                    LineCase{{u"vistrel", u"--run", u"1234"}, Mode::Run, 1234},
                    LineCase{{u"vistrel", u"--run", u"1234", u"extra", u"--probe"}, Mode::Run, 1234},
                    LineCase{{u"vistrel", u"--run", u"abc"}, Mode::Run, 0},
                    LineCase{{u"vistrel", u"--run", u"42x7"}, Mode::Run, 42},
                    LineCase{{u"vistrel", u"x", u"--probe"}, Mode::Invalid, 0}));

TEST(CommandLine, WideToUnsigned32LikeTheStandardConversion) {
  EXPECT_EQ(WideToUnsigned32(u""), 0u);
  EXPECT_EQ(WideToUnsigned32(u"   \t\n17"), 17u);
  EXPECT_EQ(WideToUnsigned32(u"+17"), 17u);
  EXPECT_EQ(WideToUnsigned32(u"-1"), 4294967295u);
  EXPECT_EQ(WideToUnsigned32(u"-17"), 4294967279u);
  EXPECT_EQ(WideToUnsigned32(u"- 17"), 0u);
  EXPECT_EQ(WideToUnsigned32(u"4294967295"), 4294967295u);
  EXPECT_EQ(WideToUnsigned32(u"4294967296"), 4294967295u);
  EXPECT_EQ(WideToUnsigned32(u"-4294967296"), 4294967295u);
  EXPECT_EQ(WideToUnsigned32(u"99999999999999999999999"), 4294967295u);
  EXPECT_EQ(WideToUnsigned32(u"0012"), 12u);
  EXPECT_EQ(WideToUnsigned32(u"12 34"), 12u);
  EXPECT_EQ(WideToUnsigned32(u"\u00a012"), 0u);  // only the standard white space is skipped
}

TEST(SampleTime, FirstFrameIsZeroAndTimesScale) {
  FrameClock clock;
  EXPECT_EQ(SampleTimeFor(clock, 5000, 10000000), 0);
  clock.lastTime = 0;
  EXPECT_EQ(SampleTimeFor(clock, 5000 + 333333, 10000000), 333333);
  // A host clock of 3,579,545 ticks per second: one second is 10,000,000 units.
  FrameClock qpc;
  EXPECT_EQ(SampleTimeFor(qpc, -100, 3579545), 0);
  EXPECT_EQ(SampleTimeFor(qpc, -100 + 3579545, 3579545), 10000000);
}

TEST(SampleTime, EqualAndEarlierTimesStillIncrease) {
  FrameClock clock;
  clock.lastTime = SampleTimeFor(clock, 1000, 10000000);
  const std::int64_t t = SampleTimeFor(clock, 1000 + 700000, 10000000);
  clock.lastTime = t;
  EXPECT_EQ(SampleTimeFor(clock, 1000 + 700000, 10000000), t + 1);
  EXPECT_EQ(SampleTimeFor(clock, 0, 10000000), t + 1);  // before the first frame
}

TEST(SampleTime, HostClockStartingAtZeroKeepsItsTimeBase) {
  // A host whose clock starts at 0: the second frame must not become a new time base.
  FrameClock clock;
  clock.lastTime = SampleTimeFor(clock, 0, 10000000);
  EXPECT_EQ(clock.lastTime, 0);
  EXPECT_EQ(SampleTimeFor(clock, 333333, 10000000), 333333);
  EXPECT_TRUE(clock.timeBaseSet);
  EXPECT_EQ(clock.timeBase, 0);
}

TEST(SampleTime, AnyClockFrequencyIsSafe) {
  const std::int64_t big = std::numeric_limits<std::int64_t>::max();
  const std::int64_t small = std::numeric_limits<std::int64_t>::min();
  for (std::int64_t frequency : {std::int64_t{0}, std::int64_t{-1}, small, std::int64_t{1}, big}) {
    FrameClock clock;
    clock.lastTime = SampleTimeFor(clock, small, frequency);
    EXPECT_GE(clock.lastTime, 0);
    for (std::int64_t slot : {big, small, std::int64_t{0}, big - 1}) {
      const std::int64_t t = SampleTimeFor(clock, slot, frequency);
      EXPECT_GT(t, clock.lastTime) << frequency << " " << slot;
      EXPECT_LT(t, std::int64_t{1} << 53);
      clock.lastTime = t;
    }
  }
  FrameClock zero;
  zero.lastTime = SampleTimeFor(zero, 100, 0);
  EXPECT_EQ(zero.lastTime, 0);
  EXPECT_EQ(SampleTimeFor(zero, 200, 0), 1);
}

// The save schedule, driven with chosen tick counts; RequestClip is recorded.
std::vector<std::int32_t> triggered;
void RecordClip(std::int32_t kind) { triggered.push_back(kind); }

class Schedule : public testing::Test {
 protected:
  testing_support::TempDir dir;
  exchange::ExchangeHeader header{};
  SaveSchedule schedule;
  void SetUp() override {
    triggered.clear();
    processState.logFile = platform::CreateFileForWrite(dir.File("vistrel.log"), platform::ShareMode::Read);
  }
  void TearDown() override {
    platform::CloseFile(processState.logFile);
    processState.logFile = platform::kInvalidFile;
  }
  void Start(std::uint32_t now) { schedule = StartSaveSchedule(now); }
  void Request(std::int32_t kind) {
    header.requestKind = kind;
    ++header.requestCount;
  }
  void At(std::uint32_t now) { RunSaveSchedule(schedule, header, now, RecordClip); }
  std::vector<std::string> Lines() {
    std::ifstream in(dir.path() / "vistrel.log", std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line.substr(14, line.size() - 15));
    return lines;
  }
};

TEST_F(Schedule, SecondRequestKeepsTheFirstDueTimeAndKind) {
  Start(1000);
  Request(1);
  At(2000);
  Request(2);
  At(2500);
  At(3999);
  EXPECT_TRUE(triggered.empty());
  At(4000);
  EXPECT_EQ(triggered, std::vector<std::int32_t>{1});
  EXPECT_EQ(Lines(), (std::vector<std::string>{"request 1, saving in 2000 ms", "request 2, saving in 1500 ms"}));
}

TEST_F(Schedule, KindThreeReplacesAPendingSaveAndRunsAtOnce) {
  Start(100000);
  Request(1);
  At(100000);
  Request(3);
  At(100500);
  EXPECT_EQ(triggered, std::vector<std::int32_t>{3});
  EXPECT_EQ(Lines().back(), "request 3, saving in 0 ms");
  At(102000);
  EXPECT_EQ(triggered.size(), 1u);  // the replaced save is gone
}

TEST_F(Schedule, GapsAfterATriggeredSave) {
  Start(0);
  Request(2);
  At(0);
  At(2000);
  ASSERT_EQ(triggered.size(), 1u);
  Request(3);
  At(3000);
  EXPECT_EQ(Lines().back(), "request 3, saving in 2000 ms");
  At(4999);
  EXPECT_EQ(triggered.size(), 1u);
  At(5000);
  EXPECT_EQ(triggered.size(), 2u);
  Request(1);
  At(6000);
  EXPECT_EQ(Lines().back(), "request 1, saving in 11000 ms");
  At(16999);
  EXPECT_EQ(triggered.size(), 2u);
  At(17000);
  EXPECT_EQ(triggered, (std::vector<std::int32_t>{2, 3, 1}));
}

TEST_F(Schedule, OtherKindsAreScheduledLikeDeathAndKill) {
  for (std::int32_t kind : {0, 7, -1}) {
    triggered.clear();
    Start(50000);
    header.requestCount = 0;
    Request(kind);
    At(50000);
    At(51999);
    EXPECT_TRUE(triggered.empty());
    At(52000);
    EXPECT_EQ(triggered, std::vector<std::int32_t>{kind});
  }
}

TEST_F(Schedule, CountAlreadyRaisedAtStartIsOneRequest) {
  header.requestCount = 5;
  header.requestKind = 3;
  Start(7);
  At(7);
  EXPECT_EQ(triggered, std::vector<std::int32_t>{3});
  At(5000);
  EXPECT_EQ(triggered.size(), 1u);
}

TEST_F(Schedule, WorksAcrossTheTickWrap) {
  Start(0xFFFFFC00u);
  Request(1);
  At(0xFFFFFC00u);  // due 2000 ms later, past the wrap
  At(0xFFFFFFFFu);
  EXPECT_TRUE(triggered.empty());
  At(0xFFFFFC00u + 2000u);
  EXPECT_EQ(triggered.size(), 1u);
}

}  // namespace
