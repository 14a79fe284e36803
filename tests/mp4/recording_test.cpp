// The recording file: when it opens, what it holds, when it closes, and what is kept.
#include <gtest/gtest.h>

#include <limits>

#include "mp4/hex.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "support/failing_allocation.h"

namespace {

using namespace testing_files;
using namespace testing_samples;

std::vector<std::string> Names(std::initializer_list<const char*> names) { return {names.begin(), names.end()}; }

TEST_F(RecordingTest, BeginsAtTheNextKeyframeAndIsWellFormedWhenClosed) {
  RunRecordingControl(1);
  std::vector<EncodedSample> samples = Sequence(95, 30, 40000000, 150);
  Append({samples.begin() + 20, samples.end()});  // switched on in the middle of a group
  RunRecordingControl(0);
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 65 frames"}));
  ASSERT_EQ(Files(), Names({"rec_20250314_211502.mp4"}));

  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  ASSERT_EQ(f.boxes.size(), 3u);
  EXPECT_EQ(f.boxes[0].type, "ftyp");
  EXPECT_EQ(f.boxes[1].type, "mdat");
  EXPECT_EQ(f.boxes[2].type, "moov");  // the last box of the file
  EXPECT_EQ(f.mdatOffset, 32u);
  EXPECT_EQ(f.mdatSize, 8 + 65 * 155u);
  EXPECT_EQ(f.movie.stco, std::vector<std::uint32_t>({40}));
  EXPECT_EQ(bytes.size(), 40 + 65 * 155u + f.boxes[2].size);
  // The keyframe at sample 30 is the file's first sample and its time zero.
  EXPECT_EQ(f.movie.stss, std::vector<std::uint32_t>({1, 31, 61}));
  // (t[94] - t[30]) = 21,333,333 units -> 191,999 ticks, plus the last duration's 2,999.
  EXPECT_EQ(f.movie.movieDuration, 194998u);
  EXPECT_EQ(f.movie.sps, kSps);
  EXPECT_EQ(f.movie.pps, kPps);
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>(65, 155));
}

// Empty NAL units are dropped from the recording too; its sample table counts the bytes written.
TEST_F(RecordingTest, EmptyUnitsAreDroppedAndSizesStayExact) {
  RunRecordingControl(1);
  std::vector<EncodedSample> samples = Sequence(3, 30, 0, 20);
  samples[0].data = std::make_shared<const std::vector<std::uint8_t>>(
      Hex("00 00 01 00 00 00 01 65 88 84 00 00 01 00 00 01 00 00 01 65 88 85"));
  Append(samples);
  RunRecordingControl(0);
  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  ASSERT_EQ(f.movie.stsz.size(), 3u);
  EXPECT_EQ(f.movie.stsz[0], 14u);
  EXPECT_EQ(HexText(ByteBuffer(bytes.begin() + 40, bytes.begin() + 54)),
            HexText(Hex("00 00 00 03 65 88 84 00 00 00 03 65 88 85")));
  EXPECT_EQ(f.mdatSize, 8u + f.movie.stsz[0] + f.movie.stsz[1] + f.movie.stsz[2]);
}

// Memory that runs out while a sample's entry goes into the table (its second column cannot grow):
// the table stays whole, and the close that follows, as the failed run's shutdown does it,
// describes exactly the samples before, with the bytes written after them cut off.
TEST_F(RecordingTest, SampleWhoseEntryCannotBeAddedIsLeftOutWhole) {
  RunRecordingControl(1);
  const std::vector<EncodedSample> samples = Sequence(5, 30, 0, 150);
  Append({samples.begin(), samples.begin() + 4});  // the columns are full at 4
  testing_support::FailAllocationNumber(2);
  EXPECT_THROW(AppendToRecording(samples[4]), std::bad_alloc);
  testing_support::FailAllocationNumber(0);
  CloseRecordingForShutdown();
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 4 frames"}));
  ASSERT_EQ(Files(), Names({"rec_20250314_211502.mp4"}));
  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  EXPECT_EQ(f.mdatSize, 8 + 4 * 155u);
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>(4, 155));
  EXPECT_EQ(f.movie.stss, std::vector<std::uint32_t>({1}));
}

TEST_F(RecordingTest, NothingWhileTheSwitchIsOff) {
  RunRecordingControl(0);
  Append(Sequence(40));
  EXPECT_FALSE(FileOpen());
  EXPECT_TRUE(Files().empty());
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(RecordingTest, NeedsUsableParameterSets) {
  RunRecordingControl(1);
  parameterSets.sps = {0x67, 0x4D, 0x40};
  Append(Sequence(31));
  EXPECT_FALSE(FileOpen());
  parameterSets.sps = kSps;
  parameterSets.pps.clear();
  Append(Sequence(31));
  EXPECT_FALSE(FileOpen());
  parameterSets.pps = kPps;
  Append(Sequence(1));
  EXPECT_TRUE(FileOpen());
}

TEST_F(RecordingTest, RotatesAtTheFirstKeyframeThreeHundredSecondsIn) {
  RunRecordingControl(1);
  // Keyframes one second apart, 30 samples a second, 302 s.
  std::vector<EncodedSample> samples = Sequence(302 * 30, 30, 0, 10);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (i == 300 * 30) clock.SetSecond(3);  // a new file, a new name
    AppendToRecording(samples[i]);
  }
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 9000 frames"}));
  RunRecordingControl(0);
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 9000 frames", "recording file closed: ok, 60 frames"}));
  ASSERT_EQ(Files(), Names({"rec_20250314_211502.mp4", "rec_20250314_211503.mp4"}));
  const mp4read::File first = mp4read::ReadFile(ReadFileBytes(folder / "rec_20250314_211502.mp4"));
  EXPECT_EQ(first.movie.stsz.size(), 9000u);
  // 8999 decode steps of 1/30 s and the last duration: 300 s less a tick or two of truncation.
  EXPECT_NEAR(first.movie.movieDuration / 90000.0, 300.0, 0.001);
  const mp4read::File second = mp4read::ReadFile(ReadFileBytes(folder / "rec_20250314_211503.mp4"));
  EXPECT_EQ(second.movie.stsz.size(), 60u);
  EXPECT_EQ(second.movie.stss.front(), 1u);
}

TEST_F(RecordingTest, TimeGoingBackwardsNeverRotates) {
  RunRecordingControl(1);
  Append({Sample(5000000000LL, true), Sample(5000000000LL + 333333, false), Sample(0, true),
          Sample(-4000000000LL, true)});
  EXPECT_TRUE(FileOpen());
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(RecordingTest, IdleForMoreThanTenSecondsCloses) {
  RunRecordingControl(1);
  clock.SetTick(0xFFFFF000u);  // and the tick count wraps on the way
  AppendToRecording(Sample(0, true));
  clock.SetTick(0xFFFFF000u + 10000u);
  RunRecordingControl(1);
  EXPECT_TRUE(FileOpen());
  clock.Advance(1);
  RunRecordingControl(1);
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 1 frames"}));
  // The next keyframe starts a new file.
  clock.SetSecond(30);
  AppendToRecording(Sample(500000000, false));
  EXPECT_FALSE(FileOpen());
  AppendToRecording(Sample(510000000, true));
  EXPECT_TRUE(FileOpen());
}

TEST_F(RecordingTest, SwitchOffClosesWithinOnePass) {
  RunRecordingControl(1);
  Append(Sequence(10));
  EXPECT_TRUE(FileOpen());
  RunRecordingControl(0);
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(processState.recordingWanted, 0);
  Append(Sequence(10));
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(Files(), Names({"rec_20250314_211502.mp4"}));
}

TEST_F(RecordingTest, ShutdownClosesAndNothingIsWrittenAfterwards) {
  RunRecordingControl(1);
  Append(Sequence(10));
  CloseRecordingForShutdown();
  EXPECT_TRUE(processState.shuttingDown);
  EXPECT_FALSE(FileOpen());
  const std::vector<std::uint8_t> kept = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  clock.SetSecond(9);
  RunRecordingControl(1);
  Append(Sequence(40));
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(Files(), Names({"rec_20250314_211502.mp4"}));
  EXPECT_EQ(ReadFileBytes(folder / "rec_20250314_211502.mp4"), kept);
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 10 frames"}));
}

TEST_F(RecordingTest, CloseWithoutAFileChangesNothing) {
  {
    platform::LockHolder hold(processState.recordingLock);
    CloseRecording();
  }
  CloseRecordingForShutdown();
  EXPECT_TRUE(log.Messages().empty());
  EXPECT_TRUE(Files().empty());
}

TEST_F(RecordingTest, SameSecondKeepsBothFiles) {
  RunRecordingControl(1);
  Append(Sequence(5));
  RunRecordingControl(0);
  const std::vector<std::uint8_t> first = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  RunRecordingControl(1);
  Append(Sequence(7));
  RunRecordingControl(0);
  RunRecordingControl(1);
  Append(Sequence(9));
  RunRecordingControl(0);
  EXPECT_EQ(Files(), Names({"rec_20250314_211502.mp4", "rec_20250314_211502_2.mp4", "rec_20250314_211502_3.mp4"}));
  EXPECT_EQ(ReadFileBytes(folder / "rec_20250314_211502.mp4"), first);
  EXPECT_EQ(mp4read::ReadFile(ReadFileBytes(folder / "rec_20250314_211502_2.mp4")).movie.stsz.size(), 7u);
  EXPECT_EQ(mp4read::ReadFile(ReadFileBytes(folder / "rec_20250314_211502_3.mp4")).movie.stsz.size(), 9u);
}

TEST_F(RecordingTest, FailedOpenWaitsSixtySecondsAcrossTheTickWrap) {
  processState.outputFolder = folder.system() + u"\\missing\\deeper";  // cannot be created in one level
  RunRecordingControl(1);
  clock.SetTick(0xFFFF8000u);
  AppendToRecording(Sample(0, true));
  EXPECT_FALSE(FileOpen());
  EXPECT_TRUE(log.Messages().empty());  // a failed create logs nothing
  fs::create_directories(folder / "missing" / "deeper");
  clock.SetTick(0xFFFF8000u + 59999u);  // past the wrap, still inside the wait
  RunRecordingControl(1);
  AppendToRecording(Sample(10000000, true));
  EXPECT_FALSE(FileOpen());
  clock.Advance(1);
  AppendToRecording(Sample(20000000, true));
  EXPECT_TRUE(FileOpen());
}

// An ended wait must not come back: compared only by 32-bit differences, a retry tick left over
// from a failure 2^31 ms ago would look like a wait in the future again.
TEST_F(RecordingTest, EndedWaitDoesNotReturnWeeksLater) {
  processState.outputFolder = folder.system() + u"\\missing\\deeper";
  RunRecordingControl(1);
  AppendToRecording(Sample(0, true));
  fs::create_directories(folder / "missing" / "deeper");
  clock.Advance(60000);
  RunRecordingControl(0);  // the main loop's passes go on; the switch is off for weeks
  clock.Advance(0x80000000u + 10000u);
  RunRecordingControl(1);
  AppendToRecording(Sample(10000000, true));
  EXPECT_TRUE(FileOpen());
}

TEST_F(RecordingTest, MediaDataBeyondThirtyTwoBitsIsNotKept) {
  RunRecordingControl(1);
  Append(Sequence(3));
  {
    platform::LockHolder hold(processState.recordingLock);
    recordingFile.mdatPayloadBytes = 4294967288ull;  // as if 4 GiB of samples had been written
  }
  RunRecordingControl(0);
  EXPECT_EQ(log.Messages(), Names({"recording file closed: not kept, 3 frames"}));
  EXPECT_TRUE(Files().empty());
}

// The largest media data that still fits: the movie box goes after it (a sparse gap stands in for
// the samples) and the size field reads 0xFFFFFFFF.
TEST_F(RecordingTest, LargestMediaDataIsKept) {
  RunRecordingControl(1);
  Append(Sequence(3));
  {
    platform::LockHolder hold(processState.recordingLock);
    recordingFile.mdatPayloadBytes = 4294967287ull;
  }
  RunRecordingControl(0);
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 3 frames"}));
  const fs::path path = folder / "rec_20250314_211502.mp4";
  ASSERT_TRUE(fs::exists(path));
  std::ifstream in(path, std::ios::binary);
  std::uint8_t header[8];
  in.read(reinterpret_cast<char*>(header), 8);
  in.seekg(32);
  in.read(reinterpret_cast<char*>(header), 8);
  EXPECT_EQ(HexText(ByteBuffer(header, header + 8)), HexText(Hex("FF FF FF FF 'mdat'")));
  const std::uint64_t moovAt = 40 + 4294967287ull;
  in.seekg(static_cast<std::streamoff>(moovAt));
  in.read(reinterpret_cast<char*>(header), 8);
  ASSERT_TRUE(in);
  EXPECT_EQ(HexText(ByteBuffer(header + 4, header + 8)), HexText(Hex("'moov'")));
  const std::uint32_t moovSize = (std::uint32_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
  EXPECT_EQ(fs::file_size(path), moovAt + moovSize);
}

TEST_F(RecordingTest, EmptyFileIsNotKept) {
  RunRecordingControl(1);
  {
    platform::LockHolder hold(processState.recordingLock);
    ASSERT_TRUE(OpenRecording());
  }
  EXPECT_EQ(Files(), Names({"rec_20250314_211502.journal.mp4.tmp", "rec_20250314_211502.mp4.tmp"}));
  RunRecordingControl(0);
  EXPECT_EQ(log.Messages(), Names({"recording file closed: not kept, 0 frames"}));
  EXPECT_TRUE(Files().empty());
}

TEST_F(RecordingTest, TemporaryFileIsReadableWhileRecording) {
  RunRecordingControl(1);
  Append(Sequence(4));
  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4.tmp");
  ASSERT_EQ(bytes.size(), 40 + 4 * 105u);
  // The media-data size stays 0 until the close.
  EXPECT_EQ(HexText(ByteBuffer(bytes.begin() + 32, bytes.begin() + 40)), HexText(Hex("00 00 00 00 'mdat'")));
}

// The stream's picture size is the recording's: in its movie box, and in its journal while it is
// open (a version 2 header, the size at offset 24). The seed's size keeps the version 1 journal of
// before, whose sets follow right after the identity. Nothing else in the files differs.
TEST_F(RecordingTest, PictureSizeOfTheStreamInFileAndJournal) {
  const std::vector<EncodedSample> samples = Sequence(40, 30, 0, 150);
  auto record = [&](std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t>& journal) {
    processState.stream.width = width;
    processState.stream.height = height;
    RunRecordingControl(1);
    Append(samples);
    journal = ReadFileBytes(folder / "rec_20250314_211502.journal.mp4.tmp");
    RunRecordingControl(0);
    std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
    fs::remove(folder / "rec_20250314_211502.mp4");
    return bytes;
  };
  std::vector<std::uint8_t> seedJournal, sizedJournal;
  const std::vector<std::uint8_t> seed = record(1280, 720, seedJournal);
  const std::vector<std::uint8_t> sized = record(1920, 1080, sizedJournal);

  const mp4read::File f = mp4read::ReadFile(sized);
  EXPECT_EQ(f.movie.trackWidth, 1920u << 16);
  EXPECT_EQ(f.movie.trackHeight, 1080u << 16);
  EXPECT_EQ(f.movie.width, 1920);
  EXPECT_EQ(f.movie.height, 1080);
  EXPECT_EQ(mp4read::ReadFile(seed).movie.width, 1280);
  ASSERT_EQ(sized.size(), seed.size());
  std::size_t differing = 0;
  for (std::size_t i = 0; i < sized.size(); ++i) differing += sized[i] != seed[i];
  EXPECT_LE(differing, 12u);  // the track header's two sizes and the sample entry's

  const std::size_t sets = kSps.size() + kPps.size();
  ASSERT_EQ(seedJournal.size(), 28 + sets + 4 + 40 * 32);
  EXPECT_EQ(HexText(ByteBuffer(seedJournal.begin(), seedJournal.begin() + 8)), HexText(Hex("'VRJL' 00 00 00 01")));
  EXPECT_EQ(HexText(ByteBuffer(seedJournal.begin() + 24, seedJournal.begin() + 28)), HexText(Hex("00 04 00 04")));
  ASSERT_EQ(sizedJournal.size(), 36 + sets + 4 + 40 * 32);
  EXPECT_EQ(HexText(ByteBuffer(sizedJournal.begin(), sizedJournal.begin() + 8)), HexText(Hex("'VRJL' 00 00 00 02")));
  EXPECT_EQ(HexText(ByteBuffer(sizedJournal.begin() + 24, sizedJournal.begin() + 36)),
            HexText(Hex("00 00 07 80 00 00 04 38 00 04 00 04")));
  EXPECT_TRUE(std::equal(kSps.begin(), kSps.end(), sizedJournal.begin() + 36));
}

}  // namespace
