// The clip writer: the file's bytes, its layout as the reader sees it, and what stays on disk when
// something goes wrong.
#include <gtest/gtest.h>

#include "mp4/clip_writer.h"
#include "mp4/golden.h"
#include "mp4/hex.h"
#include "mp4/mp4_reader.h"
#include "mp4/samples.h"
#include "mp4/test_files.h"

namespace {

using namespace testing_files;
using namespace testing_samples;

const std::vector<std::uint8_t> kSps4 = {0x67, 0x4D, 0x40, 0x1F};
const std::vector<std::uint8_t> kPps1 = {0x68};

class ClipWriter : public testing::Test {
 protected:
  TempFolder folder;
};

TEST_F(ClipWriter, OneSampleClipIsGolden) {
  // An IDR slice of 96 bytes converts to 100; the first record's time is not 0.
  std::vector<std::uint8_t> au = Hex("00 00 00 01 65");
  for (int i = 0; i < 95; ++i) au.push_back(static_cast<std::uint8_t>(0x80 + i));
  EncodedSample s;
  s.data = std::make_shared<const std::vector<std::uint8_t>>(au);
  s.time = 987654321;
  s.duration = 333333;
  s.keyframe = true;

  const fs::path path = folder / "clip_20240101_120000_death.mp4";
  std::u16string written;
  ASSERT_TRUE(WriteClipFile(SystemPath(path), {s}, kSps4, kPps1, &written));
  EXPECT_EQ(written, SystemPath(path));

  std::vector<std::uint8_t> expected = Hex("00 00 00 20 'ftyp' 'isom' 00 00 02 00 'isomiso2avc1mp41'");
  const std::vector<std::uint8_t> moov =
      Hex("00 00 02 67 'moov' " + std::string(kOneSampleMoovWithoutOffset) + "00 00 02 8F");  // 615, 655
  expected.insert(expected.end(), moov.begin(), moov.end());
  const std::vector<std::uint8_t> mdat = Hex("00 00 00 6C 'mdat' 00 00 00 60");  // 108; slice of 96
  expected.insert(expected.end(), mdat.begin(), mdat.end());
  expected.insert(expected.end(), au.begin() + 4, au.end());
  ASSERT_EQ(expected.size(), 755u);
  EXPECT_EQ(HexText(ReadFileBytes(path)), HexText(expected));
  EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>({"clip_20240101_120000_death.mp4"}));
}

TEST_F(ClipWriter, LayoutAsTheReaderSeesIt) {
  std::vector<EncodedSample> samples = Sequence(75, 30, 55555555, 300);
  samples[10].data = std::make_shared<const std::vector<std::uint8_t>>(Hex("00 00 00 01 09 F0"));  // no slice
  ASSERT_TRUE(WriteClipFile(folder.system() + u"\\c.mp4", samples, kSps, kPps));
  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "c.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  ASSERT_EQ(f.boxes.size(), 3u);
  EXPECT_EQ(f.boxes[0].type, "ftyp");
  EXPECT_EQ(f.boxes[1].type, "moov");
  EXPECT_EQ(f.boxes[2].type, "mdat");
  // The chunk offset is the first sample byte: 32 + movie box + 8.
  ASSERT_EQ(f.movie.stco.size(), 1u);
  EXPECT_EQ(f.movie.stco[0], 32 + f.boxes[1].size + 8);
  EXPECT_EQ(f.movie.sps, kSps);
  EXPECT_EQ(f.movie.pps, kPps);
  EXPECT_EQ(f.movie.stss, std::vector<std::uint32_t>({1, 31, 61}));
  ASSERT_EQ(f.movie.stsz.size(), 75u);
  EXPECT_EQ(f.movie.stsz[10], 0u);
  // Walk the media data with the sizes: each sample is one slice behind a 4-byte length.
  std::size_t at = f.movie.stco[0];
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint32_t size = f.movie.stsz[i];
    if (i == 10) continue;
    ASSERT_EQ(size, 305u);
    const std::uint32_t length = (std::uint32_t{bytes[at]} << 24) | (bytes[at + 1] << 16) | (bytes[at + 2] << 8) |
                                 bytes[at + 3];
    EXPECT_EQ(length, 301u);
    EXPECT_EQ(bytes[at + 4], samples[i].keyframe ? 0x65 : 0x41);
    const std::vector<std::uint8_t>& au = *samples[i].data;
    EXPECT_TRUE(std::equal(au.end() - 301, au.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 4)));
    at += size;
  }
  EXPECT_EQ(at, bytes.size());
  EXPECT_EQ(f.mdatSize, 8 + 74 * 305u);
}

// Empty NAL units (start codes back to back) leave no zero length in the file, and the sample
// sizes of the table still add up to the media data, sample by sample.
TEST_F(ClipWriter, EmptyUnitsLeaveNoZeroLengthAndSizesStayExact) {
  std::vector<EncodedSample> samples = Sequence(4, 2, 0, 20);
  samples[0].data = std::make_shared<const std::vector<std::uint8_t>>(
      Hex("00 00 00 01 09 F0 00 00 01 00 00 00 01 65 88 84 00 00 01 00 00 01 65 88 85"));
  samples[1].data = std::make_shared<const std::vector<std::uint8_t>>(Hex("00 00 01 00 00 01 41 9A 00 00 01"));
  ASSERT_TRUE(WriteClipFile(folder.system() + u"\\e.mp4", samples, kSps, kPps));
  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "e.mp4");
  const mp4read::File f = mp4read::ReadFile(bytes);
  ASSERT_EQ(f.movie.stsz.size(), 4u);
  EXPECT_EQ(f.movie.stsz[0], 14u);
  EXPECT_EQ(f.movie.stsz[1], 6u);
  std::size_t at = f.movie.stco[0];
  for (const std::uint32_t size : f.movie.stsz) {
    const std::size_t end = at + size;
    while (at < end) {
      const std::uint32_t length =
          (std::uint32_t{bytes[at]} << 24) | (bytes[at + 1] << 16) | (bytes[at + 2] << 8) | bytes[at + 3];
      EXPECT_NE(length, 0u);
      at += 4 + length;
    }
    EXPECT_EQ(at, end);
  }
  EXPECT_EQ(at, bytes.size());
}

TEST_F(ClipWriter, ExistingClipIsNeverReplaced) {
  const fs::path path = folder / "clip_20250314_211502_kill.mp4";
  { std::ofstream(path, std::ios::binary) << "older clip"; }
  std::u16string written;
  ASSERT_TRUE(WriteClipFile(SystemPath(path), Sequence(3), kSps, kPps, &written));
  EXPECT_EQ(written, folder.system() + u"\\clip_20250314_211502_kill_2.mp4");
  ASSERT_TRUE(WriteClipFile(SystemPath(path), Sequence(4), kSps, kPps, &written));
  EXPECT_EQ(written, folder.system() + u"\\clip_20250314_211502_kill_3.mp4");
  const std::vector<std::uint8_t> older = ReadFileBytes(path);
  EXPECT_EQ(std::string(older.begin(), older.end()), "older clip");
  EXPECT_EQ(mp4read::ReadFile(ReadFileBytes(folder / "clip_20250314_211502_kill_2.mp4")).movie.stsz.size(), 3u);
  EXPECT_EQ(mp4read::ReadFile(ReadFileBytes(folder / "clip_20250314_211502_kill_3.mp4")).movie.stsz.size(), 4u);
  EXPECT_EQ(FolderNames(folder.path()).size(), 3u);
}

TEST_F(ClipWriter, MissingFolderWritesNothing) {
  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\missing\\clip.mp4", Sequence(3), kSps, kPps));
  EXPECT_TRUE(FolderNames(folder.path()).empty());
}

TEST_F(ClipWriter, TemporaryNameTakenByADirectory) {
  fs::create_directory(folder / "clip.mp4.tmp");
  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\clip.mp4", Sequence(3), kSps, kPps));
  EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>({"clip.mp4.tmp"}));
  EXPECT_TRUE(fs::is_directory(folder / "clip.mp4.tmp"));
}

TEST_F(ClipWriter, RefusesWhatCannotMakeAMovieBox) {
  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\a.mp4", {}, kSps, kPps));
  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\b.mp4", Sequence(2), {0x67, 0x4D, 0x40}, kPps));
  EXPECT_TRUE(FolderNames(folder.path()).empty());
}

// The 32-bit media-data size: total + 8 must fit. Tested on the header, without 4 GB of samples.
TEST(ClipHeader, MediaDataGate) {
  SampleTable table;
  table.times = {0, 333333};
  table.keyframes = {1, 0};
  table.sizes = {2147483644u, 2147483643u};
  ByteBuffer header;
  ASSERT_TRUE(BuildClipHeader(table, 4294967287ull, 333333, kSps, kPps, header));
  // The media-data header closes the buffer: size 0xFFFFFFFF.
  EXPECT_EQ(HexText(ByteBuffer(header.end() - 8, header.end())), HexText(Hex("FF FF FF FF 'mdat'")));
  table.sizes[1] = 2147483644u;
  header.clear();
  EXPECT_FALSE(BuildClipHeader(table, 4294967288ull, 333333, kSps, kPps, header));
  EXPECT_TRUE(header.empty());
}

TEST(ClipTable, SumsSizesInSixtyFourBits) {
  std::vector<EncodedSample> samples = Sequence(40, 30, 0, 1000);
  SampleTable table;
  std::uint64_t total = 0;
  BuildClipTable(samples, table, total);
  EXPECT_EQ(total, 40u * 1005u);
  EXPECT_EQ(table.keyframes[0], 1);
  EXPECT_EQ(table.keyframes[30], 1);
  EXPECT_EQ(table.keyframes[31], 0);
  EXPECT_EQ(table.times[39], 39 * 10000000LL / 30);
}

// A clip states the picture size it is given, and a clip of the seed's size is the clip of
// before, byte for byte.
TEST_F(ClipWriter, PictureSizeIsTheOneGiven) {
  const std::vector<EncodedSample> samples = Sequence(45, 30, 0, 120);
  ASSERT_TRUE(WriteClipFile(folder.system() + u"\\default.mp4", samples, kSps, kPps));
  ASSERT_TRUE(WriteClipFile(folder.system() + u"\\seed.mp4", samples, kSps, kPps, nullptr, PictureSize{1280, 720}));
  ASSERT_TRUE(WriteClipFile(folder.system() + u"\\uhd.mp4", samples, kSps, kPps, nullptr, PictureSize{3840, 2160}));
  const std::vector<std::uint8_t> seed = ReadFileBytes(folder / "default.mp4");
  EXPECT_TRUE(ReadFileBytes(folder / "seed.mp4") == seed);
  const std::vector<std::uint8_t> uhd = ReadFileBytes(folder / "uhd.mp4");
  const mp4read::File f = mp4read::ReadFile(uhd);
  EXPECT_EQ(f.movie.trackWidth, 3840u << 16);
  EXPECT_EQ(f.movie.trackHeight, 2160u << 16);
  EXPECT_EQ(f.movie.width, 3840);
  EXPECT_EQ(f.movie.height, 2160);
  ASSERT_EQ(uhd.size(), seed.size());
  EXPECT_EQ(f.movie.stco, mp4read::ReadFile(seed).movie.stco);
}

}  // namespace
