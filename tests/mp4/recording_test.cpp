// The recording file: when it opens, what it holds, when it closes, and what is kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <utility>

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

// A stream of up to 100 Mbit/s fills 3.75 GB in five minutes, and an encoder above its rate more:
// past 4 GiB of media data the 32-bit size field cannot describe the file and it would be lost
// whole. A file whose media data have reached kRecordingRotationBytes ends at the next keyframe,
// however young; before that, and at a frame that is not a keyframe, it goes on.
TEST_F(RecordingTest, RotatesAtAKeyframeBeforeTheMediaDataOutgrowThirtyTwoBits) {
  RunRecordingControl(1);
  std::vector<EncodedSample> samples = Sequence(90, 30, 0, 10);
  Append({samples.begin(), samples.begin() + 30});
  {
    platform::LockHolder hold(processState.recordingLock);
    recordingFile.mdatPayloadBytes = kRecordingRotationBytes - 1;  // as if that much had been written
  }
  Append({samples.begin() + 30, samples.begin() + 31});  // a keyframe, one byte short of the bound
  EXPECT_TRUE(log.Messages().empty());
  Append({samples.begin() + 31, samples.begin() + 60});  // the bound passed, but no keyframe
  EXPECT_TRUE(log.Messages().empty());
  clock.SetSecond(3);  // a new file, a new name
  Append({samples.begin() + 60, samples.end()});
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 60 frames"}));
  EXPECT_TRUE(FileOpen());
  RunRecordingControl(0);
  ASSERT_EQ(Files(), Names({"rec_20250314_211502.mp4", "rec_20250314_211503.mp4"}));
  EXPECT_GT(fs::file_size(folder / "rec_20250314_211502.mp4"), std::uint64_t{kRecordingRotationBytes});
  const mp4read::File second = mp4read::ReadFile(ReadFileBytes(folder / "rec_20250314_211503.mp4"));
  EXPECT_EQ(second.movie.stsz.size(), 30u);
  EXPECT_EQ(second.movie.stss.front(), 1u);
  // The bound leaves room for far more than one group of pictures at the highest bit rate.
  EXPECT_LE(std::uint64_t{kRecordingRotationBytes} + 20 * 100000000ull / 8, kMaxMediaDataBytes);
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

// ---- The game's sound in the recording ----

using Bytes = std::vector<std::uint8_t>;

// Frame 5 of this run begins exactly one frame before a picture at time 0: the file's first frame
// (its decoder's pre-roll), and the first audible sample plays with the first picture.
constexpr std::int64_t kRunStart = -1279999;

std::vector<EncodedAudio> Frames(const std::vector<EncodedAudio>& run, std::size_t first, std::size_t end) {
  return {run.begin() + static_cast<std::ptrdiff_t>(first), run.begin() + static_cast<std::ptrdiff_t>(end)};
}

// The frames of run that a file from videoStart to videoEnd holds: from the first that the rule
// places in it, on while they belong.
std::vector<EncodedAudio> FramesInFile(const std::vector<EncodedAudio>& run, std::int64_t videoStart,
                                       std::int64_t videoEnd) {
  std::vector<EncodedAudio> out;
  for (const EncodedAudio& frame : run) {
    if (AudioFrameInFile(frame.time, videoStart, videoEnd)) out.push_back(frame);
  }
  return out;
}

// Every sample of both tracks lies where the movie box says, with its own bytes (the picture's in
// MP4 form, each frame as the encoder gave it), and the media data hold these and nothing else
// (but for frames that no track describes, at the offsets given).
void ExpectSamplesInPlace(const Bytes& bytes, const mp4read::File& f, const std::vector<EncodedSample>& video,
                          const std::vector<EncodedAudio>& audio,
                          const std::vector<std::pair<std::uint64_t, EncodedAudio>>& undescribed = {}) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  auto check = [&](std::uint64_t offset, const ByteBuffer& expected, const char* what, std::size_t i) {
    ASSERT_LE(offset + expected.size(), bytes.size()) << what << " " << i;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset)))
        << what << " " << i << " at " << offset;
    ranges.emplace_back(offset, offset + expected.size());
  };
  const std::vector<std::uint64_t> videoAt = mp4read::SampleOffsets(f.movie.stsc, f.movie.stco, f.movie.stsz);
  ASSERT_EQ(videoAt.size(), video.size());
  for (std::size_t i = 0; i < video.size(); ++i) {
    ByteBuffer converted;
    ConvertAccessUnit(converted, *video[i].data);
    check(videoAt[i], converted, "picture", i);
  }
  ASSERT_EQ(f.movie.sound.present, !audio.empty());
  if (!audio.empty()) {
    const mp4read::SoundTrack& s = f.movie.sound;
    const std::vector<std::uint64_t> audioAt = mp4read::SampleOffsets(s.stsc, s.stco, s.stsz);
    ASSERT_EQ(audioAt.size(), audio.size());
    for (std::size_t j = 0; j < audio.size(); ++j) check(audioAt[j], *audio[j].data, "frame", j);
  }
  for (std::size_t j = 0; j < undescribed.size(); ++j) {
    check(undescribed[j].first, *undescribed[j].second.data, "undescribed frame", j);
  }
  std::sort(ranges.begin(), ranges.end());
  std::uint64_t at = f.mdatOffset + 8;
  for (const auto& range : ranges) {
    EXPECT_EQ(range.first, at);  // back to back: no gap, no overlap
    at = range.second;
  }
  EXPECT_EQ(at, f.mdatOffset + f.mdatSize);
}

// Counts of the frames in each audio chunk, from the sound track's sample-to-chunk runs.
std::vector<std::uint32_t> AudioChunkCounts(const mp4read::SoundTrack& s) {
  std::vector<std::uint32_t> counts;
  for (std::size_t c = 0; c < s.stco.size(); ++c) {
    std::uint32_t perChunk = 0;
    for (const auto& run : s.stsc) {
      if (run[0] <= c + 1) perChunk = run[1];
    }
    counts.push_back(perChunk);
  }
  return counts;
}

// A recording of 2.5 s of pictures and the sound that runs ahead of them: both tracks, every
// sample where its chunk says; the frames from one before the first picture to the last picture's
// end (the pre-roll taken from the history at open, the frames after the end left out at the
// close), in one chunk per second written before that second's first picture, and the last at the
// close; the first audible sample plays with the first picture.
TEST_F(RecordingTest, SoundInChunksBesideThePictures) {
  audioStream.audioSpecificConfig = Config();
  RunRecordingControl(1);
  const std::vector<EncodedSample> samples = Sequence(75, 30, 0, 150);
  const std::vector<EncodedAudio> run = AudioRun(kRunStart, 0, 130);
  Interleave(samples, run);
  RunRecordingControl(0);
  EXPECT_EQ(log.Messages(), Names({"recording file closed: ok, 75 frames"}));
  const Bytes bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);

  const std::int64_t videoEnd = samples.back().time + samples.back().duration;
  const std::vector<EncodedAudio> held = FramesInFile(run, 0, videoEnd);
  ASSERT_EQ(held.front().time, -213333);
  ASSERT_LT(held.back().time, videoEnd);
  ASSERT_LT(held.size(), run.size() - 5);  // some frames came after the end
  ExpectSamplesInPlace(bytes, f, samples, held);

  const mp4read::SoundTrack& s = f.movie.sound;
  EXPECT_EQ(s.handlerType, "soun");
  EXPECT_EQ(s.audioSpecificConfig, Config());
  EXPECT_EQ(s.mediaTimeScale, 48000u);
  EXPECT_EQ(s.mediaDuration, held.size() * 1024);
  ASSERT_EQ(s.edits.size(), 1u);
  EXPECT_EQ(s.edits[0].mediaTime, 1024);  // the pre-roll frame, and nothing of the next
  // A chunk a second, each ahead of the next second's first picture: picture chunks of samples
  // 0-29, 30-59, 60-74 take turns with the frames before 1 s, before 2 s and before the end.
  std::vector<std::uint32_t> expected(3, 0);
  for (const EncodedAudio& frame : held) ++expected[frame.time < 10000000 ? 0 : frame.time < 20000000 ? 1 : 2];
  EXPECT_EQ(AudioChunkCounts(s), expected);
  EXPECT_EQ(f.movie.stco.size(), 3u);
  EXPECT_LT(f.movie.stco[0], s.stco[0]);
  EXPECT_LT(s.stco[0], f.movie.stco[1]);
  EXPECT_LT(f.movie.stco[1], s.stco[1]);
  EXPECT_LT(s.stco[1], f.movie.stco[2]);
  EXPECT_LT(f.movie.stco[2], s.stco[2]);
}

// A rotation: the closing file takes the frames that begin before its last picture ends, the new
// one begins its sound one frame before its first picture, with frames that were handed on before
// it opened (the history's). Both files hold every sample where their chunks say.
TEST_F(RecordingTest, RotationSplitsTheSound) {
  audioStream.audioSpecificConfig = Config();
  RunRecordingControl(1);
  const std::vector<EncodedSample> samples = Sequence(301 * 30 + 15, 30, 0, 10);
  const std::vector<EncodedAudio> run = AudioRun(kRunStart, 0, 14160);
  const std::vector<EncodedSample> first(samples.begin(), samples.begin() + 9000);
  const std::vector<EncodedSample> second(samples.begin() + 9000, samples.end());
  const std::size_t next = Interleave(first, run);
  clock.SetSecond(3);  // a new file, a new name
  Interleave(second, run, next);
  RunRecordingControl(0);
  ASSERT_EQ(Files(), Names({"rec_20250314_211502.mp4", "rec_20250314_211503.mp4"}));

  const std::int64_t firstEnd = first.back().time + first.back().duration;
  const std::int64_t secondEnd = second.back().time + second.back().duration;
  const std::vector<EncodedAudio> inFirst = FramesInFile(run, 0, firstEnd);
  const std::vector<EncodedAudio> inSecond = FramesInFile(run, second.front().time, secondEnd);
  // The frame that straddles the cut is in both: the end of one, the pre-roll of the other.
  ASSERT_GE(inFirst.back().time + 213333, second.front().time);
  ASSERT_LT(inSecond.front().time, second.front().time);
  ASSERT_GT(inSecond.front().time + 2 * 213333, second.front().time);

  const Bytes one = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  const Bytes two = ReadFileBytes(folder / "rec_20250314_211503.mp4");
  ExpectSamplesInPlace(one, mp4read::ReadFile(one), first, inFirst);
  ExpectSamplesInPlace(two, mp4read::ReadFile(two), second, inSecond);
  EXPECT_EQ(mp4read::ReadFile(two).movie.sound.edits.size(), 1u);
}

// A file's sound is one run without a gap: a frame of another run, or one that does not follow the
// one before, ends it (the pictures go on). A file opened during the next run takes that run.
TEST_F(RecordingTest, SoundOfOneRunWithoutGaps) {
  audioStream.audioSpecificConfig = Config();
  const std::vector<EncodedAudio> runOne = AudioRun(kRunStart, 0, 40, 1);
  // The next run goes on at once where the first ended, on the same sample clock.
  const std::int64_t nextStart = runOne.back().time + 213333;
  const std::vector<EncodedAudio> runTwo = AudioRun(nextStart, 0, 80, 2);
  std::vector<EncodedAudio> both = runOne;
  both.insert(both.end(), runTwo.begin(), runTwo.end());
  RunRecordingControl(1);
  const std::vector<EncodedSample> samples = Sequence(45, 30, 0, 150);
  const std::size_t next = Interleave(samples, both);
  RunRecordingControl(0);
  Bytes bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  ExpectSamplesInPlace(bytes, mp4read::ReadFile(bytes), samples, Frames(runOne, 5, 40));

  // Opened in the second run: its frames, the pre-roll from the history.
  clock.SetSecond(9);
  RunRecordingControl(1);
  const std::vector<EncodedSample> later = Sequence(20, 30, 15000000, 150);
  Interleave(later, both, next);
  RunRecordingControl(0);
  bytes = ReadFileBytes(folder / "rec_20250314_211509.mp4");
  const std::vector<EncodedAudio> expected =
      FramesInFile(runTwo, later.front().time, later.back().time + later.back().duration);
  ASSERT_GE(expected.size(), 30u);
  ExpectSamplesInPlace(bytes, mp4read::ReadFile(bytes), later, expected);

  // A frame missing in the middle of a run: the sound ends before it.
  sampleHistory.audio.clear();
  clock.SetSecond(19);
  RunRecordingControl(1);
  std::vector<EncodedAudio> gap = AudioRun(kRunStart, 0, 60, 3);
  gap.erase(gap.begin() + 30);
  Interleave(samples, gap);
  RunRecordingControl(0);
  bytes = ReadFileBytes(folder / "rec_20250314_211519.mp4");
  ExpectSamplesInPlace(bytes, mp4read::ReadFile(bytes), samples, Frames(gap, 5, 30));
}

// Without sound a file is the one of before, byte for byte: no configuration (whatever frames come),
// a configuration but no frame, or a single frame that would have been written at the close. The
// journal is of version 3 while a configuration is known.
TEST_F(RecordingTest, WithoutSoundTheFileIsAsBefore) {
  const std::vector<EncodedSample> samples = Sequence(40, 30, 0, 150);
  const std::vector<EncodedAudio> run = AudioRun(kRunStart, 0, 70);
  auto record = [&](const std::vector<EncodedAudio>& frames, Bytes* journal) {
    sampleHistory.audio.clear();
    RunRecordingControl(1);
    Interleave(samples, frames);
    if (journal != nullptr) *journal = ReadFileBytes(folder / "rec_20250314_211502.journal.mp4.tmp");
    RunRecordingControl(0);
    Bytes bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
    fs::remove(folder / "rec_20250314_211502.mp4");
    return bytes;
  };
  // The first 8 bytes of the journal: its magic and version.
  auto head = [](const Bytes& journal) {
    return HexText(ByteBuffer(journal.begin(), journal.begin() + std::min<std::ptrdiff_t>(8, std::ssize(journal))));
  };
  Bytes journal;
  const Bytes before = record({}, &journal);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(head(journal), HexText(Hex("'VRJL' 00 00 00 01")));
  EXPECT_TRUE(record(run, nullptr) == before);  // frames, but no configuration

  audioStream.audioSpecificConfig = Config();
  EXPECT_TRUE(record({}, &journal) == before);
  EXPECT_EQ(head(journal), HexText(Hex("'VRJL' 00 00 00 03")));
  // One frame after the last second's start, held until the close: one frame describes no sound.
  EXPECT_TRUE(record({AudioFrame(kRunStart, 60)}, nullptr) == before);
  // A configuration too long for the movie box: recorded without sound.
  audioStream.audioSpecificConfig.assign(65, 0x12);
  EXPECT_TRUE(record(run, &journal) == before);
  EXPECT_EQ(head(journal), HexText(Hex("'VRJL' 00 00 00 01")));
}

// Sound in the media data that the movie box cannot describe (here a single frame, written in its
// second's chunk): a video-only file whose chunks step over the frame's bytes.
TEST_F(RecordingTest, UndescribedSoundLeavesAVideoOnlyFileWithItsChunksRight) {
  audioStream.audioSpecificConfig = Config();
  RunRecordingControl(1);
  const std::vector<EncodedSample> samples = Sequence(45, 30, 0, 150);
  const EncodedAudio lone = AudioFrame(kRunStart, 30);  // about 0.15 s in
  Interleave(samples, {lone});
  RunRecordingControl(0);
  const Bytes bytes = ReadFileBytes(folder / "rec_20250314_211502.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  EXPECT_FALSE(f.movie.sound.present);
  EXPECT_EQ(f.movie.nextTrackId, 2u);
  ASSERT_EQ(f.movie.stco.size(), 2u);
  EXPECT_EQ(f.movie.stco[1], 40 + 30 * 155u + lone.data->size());
  ExpectSamplesInPlace(bytes, f, samples, {}, {{40 + 30 * 155u, lone}});
  EXPECT_EQ(f.mdatSize, 8 + 45 * 155u + lone.data->size());  // the frame counts in the media data
}

}  // namespace
