// The MP4 layout: byte helpers, file type box, sample conversion and the movie box, checked as
// golden bytes for the small worked examples and through the independent reader for the rest.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "mp4/boxes.h"
#include "mp4/golden.h"
#include "mp4/hex.h"
#include "mp4/mp4_reader.h"

namespace {

const std::vector<std::uint8_t> kSps = {0x67, 0x4D, 0x40, 0x1F};  // Main profile, level 3.1
const std::vector<std::uint8_t> kPps = {0x68};

SampleTable Table(const std::vector<std::int64_t>& times, std::vector<std::uint8_t> keyframes = {},
                  std::vector<std::uint32_t> sizes = {}) {
  SampleTable t;
  t.times = times;
  t.keyframes = keyframes.empty() ? std::vector<std::uint8_t>(times.size(), 0) : keyframes;
  t.sizes = sizes.empty() ? std::vector<std::uint32_t>(times.size(), 10) : sizes;
  return t;
}

std::vector<mp4read::Entry> Entries(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> list) {
  std::vector<mp4read::Entry> out;
  for (auto [count, value] : list) out.push_back({count, value});
  return out;
}

TEST(ByteWriter, BigEndianAndNestedBoxSizes) {
  ByteBuffer b;
  AppendU8(b, 0x12);
  AppendU16(b, 0x3456);
  AppendU32(b, 0x789ABCDE);
  AppendZeros(b, 3);
  const std::uint8_t raw[2] = {0xAA, 0xBB};
  AppendBytes(b, raw, 2);
  EXPECT_EQ(b, Hex("12 34 56 78 9A BC DE 00 00 00 AA BB"));

  ByteBuffer inner;
  AppendBox(inner, "free", Hex("01 02"));
  ByteBuffer outer;
  AppendBox(outer, "moov", inner);
  EXPECT_EQ(outer, Hex("00 00 00 12 'moov' 00 00 00 0A 'free' 01 02"));
  ByteBuffer empty;
  AppendBox(empty, "url ", {});
  EXPECT_EQ(empty, Hex("00 00 00 08 'url' 20"));
}

TEST(FileTypeBox, IsTheFixed32Bytes) {
  EXPECT_EQ(BuildFileTypeBox(), Hex("00 00 00 20 'ftyp' 'isom' 00 00 02 00 'isomiso2avc1mp41'"));
}

struct ConversionCase {
  const char* name;
  std::string input;
  std::string converted;
};

class Conversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, ConvertsAndCountsTheSameBytes) {
  const std::vector<std::uint8_t> in = Hex(GetParam().input);
  ByteBuffer out = Hex("EE");  // appended to, never cleared
  ConvertAccessUnit(out, in);
  EXPECT_EQ(HexText(out), HexText(Hex("EE " + GetParam().converted)));
  EXPECT_EQ(ConvertedSize(in), out.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(
    AccessUnits, Conversion,
    testing::Values(
        // The zero byte before the second start code belongs to no unit.
        ConversionCase{"TwoSlices", "00 00 00 01 65 AA 00 00 00 01 41 BB", "00 00 00 02 65 AA 00 00 00 02 41 BB"},
        ConversionCase{"Empty", "", ""}, ConversionCase{"OneByte", "00", ""},
        ConversionCase{"TwoBytes", "00 00", ""}, ConversionCase{"StartCodeOnly", "00 00 01", ""},
        ConversionCase{"NoStartCode", "65 88 84 00 21 FF", ""},
        ConversionCase{"OnlyParameterSetsAndDelimiter", "00 00 00 01 09 F0 00 00 00 01 67 4D 40 1F 00 00 01 68 EE",
                       ""},
        ConversionCase{"DelimiterParameterSetsThenIdr",
                       "00 00 00 01 09 10 00 00 00 01 67 4D 40 1F 00 00 00 01 68 EE 3C 80 00 00 01 65 88 84",
                       "00 00 00 03 65 88 84"},
        // An empty unit (two start codes back to back) is dropped: a zero length would make strict
        // decoders refuse the sample.
        ConversionCase{"BackToBackStartCodes", "00 00 01 00 00 01 65 AA", "00 00 00 02 65 AA"},
        ConversionCase{"BackToBackFourByteCodes", "00 00 00 01 00 00 00 01 65 AA", "00 00 00 02 65 AA"},
        ConversionCase{"EmptyUnitsBetweenSlices", "00 00 01 41 9A 00 00 01 00 00 01 00 00 00 01 41 9B",
                       "00 00 00 02 41 9A 00 00 00 02 41 9B"},
        ConversionCase{"OnlyStartCodes", "00 00 01 00 00 01 00 00 00 01", ""},
        // A last unit of zero bytes is not empty: it keeps its bytes, like any trailing zeros.
        ConversionCase{"LastUnitOfZeros", "00 00 01 41 9A 00 00 01 00 00", "00 00 00 02 41 9A 00 00 00 02 00 00"},
        // Trailing zeros of the last unit stay with it; SPS at the end is dropped with its zeros.
        ConversionCase{"SliceLastWithTrailingZeros", "00 00 01 41 9A 00 00", "00 00 00 04 41 9A 00 00"},
        ConversionCase{"SpsLastWithTrailingZeros", "00 00 01 41 9A 00 00 01 67 4D 40 1F 00 00",
                       "00 00 00 02 41 9A"},
        ConversionCase{"BytesBeforeFirstStartCodeIgnored", "FF 12 00 00 01 65 01", "00 00 00 02 65 01"},
        // A type with the NAL header's upper bits set: only the low five bits count.
        ConversionCase{"ForbiddenAndPriorityBitsIgnored", "00 00 01 E7 01 00 00 01 C5 02", "00 00 00 02 C5 02"}),
    [](const testing::TestParamInfo<ConversionCase>& p) { return std::string(p.param.name); });



TEST(MoovPayload, OneKeyframeSampleIsGolden) {
  const ByteBuffer payload = BuildMoovPayload(Table({0}, {1}, {100}), 333333, kSps, kPps, 40);
  ASSERT_EQ(payload.size(), 607u);
  EXPECT_EQ(HexText(payload), HexText(Hex(std::string(kOneSampleMoovWithoutOffset) + "00 00 00 28")));
  ByteBuffer moov;
  AppendBox(moov, "moov", payload);
  EXPECT_EQ(moov.size(), 615u);
}

TEST(MoovPayload, ReaderSeesEveryFixedField) {
  const mp4read::Movie m =
      mp4read::ReadMoovPayload(BuildMoovPayload(Table({5, 333338}, {1, 0}, {100, 7}), 333333, kSps, kPps, 1234));
  const std::vector<std::string> order = {
      "mvhd", "trak", "trak/tkhd", "trak/mdia", "trak/mdia/mdhd", "trak/mdia/hdlr", "trak/mdia/minf",
      "trak/mdia/minf/vmhd", "trak/mdia/minf/dinf", "trak/mdia/minf/dinf/dref", "trak/mdia/minf/dinf/dref/url ",
      "trak/mdia/minf/stbl", "trak/mdia/minf/stbl/stsd", "trak/mdia/minf/stbl/stsd/avc1",
      "trak/mdia/minf/stbl/stsd/avc1/avcC", "trak/mdia/minf/stbl/stts", "trak/mdia/minf/stbl/stss",
      "trak/mdia/minf/stbl/stsc", "trak/mdia/minf/stbl/stsz", "trak/mdia/minf/stbl/stco"};
  EXPECT_EQ(m.boxOrder, order);
  const std::array<std::uint32_t, 9> identity = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
  EXPECT_EQ(m.movieTimeScale, 90000u);
  EXPECT_EQ(m.rate, 0x10000u);
  EXPECT_EQ(m.volume, 0x100);
  EXPECT_EQ(m.movieMatrix, identity);
  EXPECT_EQ(m.nextTrackId, 2u);
  EXPECT_EQ(m.trackFlags, 3u);
  EXPECT_EQ(m.trackId, 1u);
  EXPECT_EQ(m.trackMatrix, identity);
  EXPECT_EQ(m.trackWidth, 1280u << 16);
  EXPECT_EQ(m.trackHeight, 720u << 16);
  EXPECT_EQ(m.mediaTimeScale, 90000u);
  EXPECT_EQ(m.language, 0x55C4);
  EXPECT_EQ(m.handlerType, "vide");
  EXPECT_EQ(m.handlerName, "VideoHandler");
  EXPECT_EQ(m.videoHeaderFlags, 1u);
  EXPECT_EQ(m.dataEntries, 1u);
  EXPECT_EQ(m.urlFlags, 1u);
  EXPECT_EQ(m.dataReferenceIndex, 1);
  EXPECT_EQ(m.width, 1280);
  EXPECT_EQ(m.height, 720);
  EXPECT_EQ(m.horizontalResolution, 0x480000u);
  EXPECT_EQ(m.verticalResolution, 0x480000u);
  EXPECT_EQ(m.frameCount, 1);
  EXPECT_EQ(m.depth, 0x18);
  EXPECT_EQ(m.preDefined, 0xFFFF);
  EXPECT_EQ(m.configurationVersion, 1);
  EXPECT_EQ(m.profile, 0x4D);
  EXPECT_EQ(m.compatibility, 0x40);
  EXPECT_EQ(m.level, 0x1F);
  EXPECT_EQ(m.lengthSizeByte, 0xFF);
  EXPECT_EQ(m.spsCountByte, 0xE1);
  EXPECT_EQ(m.sps, kSps);
  EXPECT_EQ(m.pps, kPps);
  // Times relative to the first sample: 333,333 units are 2,999 ticks, as is the last delta.
  EXPECT_EQ(m.stts, Entries({{2, 2999}}));
  EXPECT_EQ(m.movieDuration, 5998u);
  EXPECT_EQ(m.trackDuration, 5998u);
  EXPECT_EQ(m.mediaDuration, 5998u);
  EXPECT_EQ(m.stss, std::vector<std::uint32_t>({1}));
  EXPECT_FALSE(m.hasCtts);
  EXPECT_EQ(m.stsc, (std::vector<std::array<std::uint32_t, 3>>{{1, 2, 1}}));
  EXPECT_EQ(m.stszSampleSize, 0u);
  EXPECT_EQ(m.stsz, std::vector<std::uint32_t>({100, 7}));
  EXPECT_EQ(m.stco, std::vector<std::uint32_t>({1234}));
}

struct TimingCase {
  const char* name;
  std::vector<std::int64_t> times;
  std::int64_t lastDuration;
  std::vector<mp4read::Entry> stts;
  std::vector<std::uint32_t> cttsOffsets;  // empty: no "ctts"
  std::uint32_t duration;
};

class Timing : public testing::TestWithParam<TimingCase> {};

TEST_P(Timing, DecodeRunsCompositionAndDuration) {
  const TimingCase& c = GetParam();
  const ByteBuffer payload = BuildMoovPayload(Table(c.times), c.lastDuration, kSps, kPps, 0);
  const mp4read::Movie m = mp4read::ReadMoovPayload(payload);
  EXPECT_EQ(m.stts, c.stts);
  EXPECT_EQ(m.hasCtts, !c.cttsOffsets.empty());
  std::vector<std::uint32_t> offsets;
  for (const mp4read::Entry& e : m.ctts) {
    EXPECT_EQ(e.count, 1u);
    offsets.push_back(e.value);
  }
  EXPECT_EQ(offsets, c.cttsOffsets);
  EXPECT_EQ(m.movieDuration, c.duration);
  EXPECT_EQ(m.trackDuration, c.duration);
  EXPECT_EQ(m.mediaDuration, c.duration);
  std::uint32_t counted = 0;
  for (const mp4read::Entry& e : m.stts) counted += e.count;
  EXPECT_EQ(counted, c.times.size());
  EXPECT_EQ(m.stsz.size(), c.times.size());
  // The layout's own size formula.
  EXPECT_EQ(payload.size(), 586 + kSps.size() + kPps.size() + 8 * m.stts.size() + 4 * c.times.size() +
                                (m.hasCtts ? 16 + 8 * c.times.size() : 0));
}

std::vector<std::int64_t> Steps(int count, std::int64_t step, std::int64_t start = 0) {
  std::vector<std::int64_t> out;
  for (int i = 0; i < count; ++i) out.push_back(start + step * i);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, Timing,
    testing::Values(
        // p = 0, 2999, 5999, ..., 26999 by truncation.
        TimingCase{"TenFramesAt30", Steps(10, 333333), 333333, Entries({{1, 2999}, {8, 3000}, {1, 2999}}), {}, 29998},
        TimingCase{"ThreeEvenSamples", {0, 1000000, 2000000}, 1000000, Entries({{3, 9000}}), {}, 27000},
        TimingCase{"ReorderedFour", {0, 3000000, 1000000, 2000000}, 1000000, Entries({{4, 9000}}),
                   {9000, 27000, 0, 0}, 36000},
        // Equal neighbours merge; equal deltas apart from each other do not.
        TimingCase{"RunsMergeOnlyNeighbours", {0, 1000000, 2000000, 4000000, 5000000}, 1000000,
                   Entries({{2, 9000}, {1, 18000}, {2, 9000}}), {}, 54000},
        // Equal times alone do not make a "ctts".
        TimingCase{"EqualTimes", {0, 0, 1000000}, 1000000, Entries({{1, 0}, {2, 9000}}), {}, 18000},
        // The first record's time is the file's zero, whatever the encoder's clock said.
        TimingCase{"StartsLate", Steps(3, 1000000, 987654321000), 1000000, Entries({{3, 9000}}), {}, 27000},
        // Times before the first sample: relative values go negative, the shift keeps offsets >= 0.
        // p = 0, -9000, 9000; d = -9000, 0, 9000; shift 9000; D = 9000 + 9000.
        TimingCase{"EarlierThanFirst", {1000000, 0, 2000000}, 1000000, Entries({{3, 9000}}), {18000, 0, 9000},
                   18000},
        TimingCase{"ZeroLastDuration", {0, 1000000}, 0, Entries({{1, 9000}, {1, 0}}), {}, 9000},
        TimingCase{"NegativeLastDuration", {0}, -1000000, Entries({{1, 0xFFFFDCD8}}), {}, 0xFFFFDCD8}),
    [](const testing::TestParamInfo<TimingCase>& p) { return std::string(p.param.name); });

TEST(MoovPayload, SyncSamplesListEveryKeyframeEvenNoneOrAll) {
  const auto keys = [](std::vector<std::uint8_t> flags) {
    std::vector<std::int64_t> times = Steps(static_cast<int>(flags.size()), 333333);
    return mp4read::ReadMoovPayload(BuildMoovPayload(Table(times, flags), 333333, kSps, kPps, 0)).stss;
  };
  EXPECT_EQ(keys({0, 0, 0}), std::vector<std::uint32_t>{});
  EXPECT_EQ(keys({1, 1, 1}), std::vector<std::uint32_t>({1, 2, 3}));
  EXPECT_EQ(keys({1, 0, 0, 7, 0}), std::vector<std::uint32_t>({1, 4}));
}

TEST(MoovPayload, LengthDoesNotDependOnChunkOffsetAndOffsetIsWritten) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    const int n = 1 + static_cast<int>(random() % 400);
    SampleTable t;
    std::int64_t time = static_cast<std::int64_t>(random() % 100000000);
    for (int i = 0; i < n; ++i) {
      time += 300000 + static_cast<std::int64_t>(random() % 70000);
      // Some reordering, never before the first sample.
      t.times.push_back(i > 10 && random() % 10 == 0 ? time - 2000000 : time);
      t.keyframes.push_back(random() % 30 == 0);
      t.sizes.push_back(static_cast<std::uint32_t>(random()));
    }
    const ByteBuffer zero = BuildMoovPayload(t, 333333, kSps, kPps, 0);
    const ByteBuffer real = BuildMoovPayload(t, 333333, kSps, kPps, 0xDEADBEEF);
    ASSERT_EQ(zero.size(), real.size());
    const mp4read::Movie m = mp4read::ReadMoovPayload(real);
    EXPECT_EQ(m.stco, std::vector<std::uint32_t>({0xDEADBEEF}));
    EXPECT_EQ(m.stsz, t.sizes);
    std::size_t keyframes = 0;
    for (auto k : t.keyframes) keyframes += k;
    EXPECT_EQ(real.size(), 586 + kSps.size() + kPps.size() + 8 * m.stts.size() + 4 * keyframes + 4 * n +
                               (m.hasCtts ? 16 + 8 * n : 0));
    // With no sample before the first, the decode deltas add up to the duration.
    std::uint64_t sum = 0;
    for (const mp4read::Entry& e : m.stts) sum += std::uint64_t{e.count} * e.value;
    EXPECT_EQ(static_cast<std::uint32_t>(sum), m.movieDuration);
  }
}

// Garbage stamps at the ends of the 64-bit range must not overflow (the sanitizer build would
// stop here) and still give a well-formed box.
TEST(MoovPayload, ExtremeTimesStayDefined) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const ByteBuffer payload = BuildMoovPayload(Table({kMax, kMin, 0, kMax}), kMin, kSps, kPps, 40);
  const mp4read::Movie m = mp4read::ReadMoovPayload(payload);
  EXPECT_EQ(m.stsz.size(), 4u);
  EXPECT_TRUE(m.hasCtts);
  // kMin - kMax saturates to kMin: about -8.3e16 ticks, which sorts first.
  std::uint32_t counted = 0;
  for (const mp4read::Entry& e : m.stts) counted += e.count;
  EXPECT_EQ(counted, 4u);
}

TEST(MoovPayload, SampleOfOnlyParameterSetsCountsWithSizeZero) {
  const std::vector<std::uint8_t> au = Hex("00 00 00 01 67 4D 40 1F 00 00 00 01 68 EE");
  const auto size = static_cast<std::uint32_t>(ConvertedSize(au));
  EXPECT_EQ(size, 0u);
  const mp4read::Movie m =
      mp4read::ReadMoovPayload(BuildMoovPayload(Table({0, 333333}, {1, 0}, {50, size}), 333333, kSps, kPps, 0));
  EXPECT_EQ(m.stsz, std::vector<std::uint32_t>({50, 0}));
  EXPECT_EQ(m.stsc[0][1], 2u);
  EXPECT_EQ(m.stts[0].count, 2u);
}

TEST(MediaData, ThirtyTwoBitGate) {
  EXPECT_TRUE(MediaDataFits(0));
  EXPECT_TRUE(MediaDataFits(4294967287ull));  // + 8 is 0xFFFFFFFF
  EXPECT_FALSE(MediaDataFits(4294967288ull));
  EXPECT_FALSE(MediaDataFits(std::numeric_limits<std::uint64_t>::max()));
}

// The picture size goes to the track header (16.16) and the sample entry (16 bits), and only there:
// the rest of the box, and its length, are those of the seed's size.
TEST(MoovPayload, PictureSizeGoesToTrackHeaderAndSampleEntry) {
  const SampleTable t = Table({0, 166667, 333333}, {1, 0, 0});
  const ByteBuffer seed = BuildMoovPayload(t, 166667, kSps, kPps, 40);
  EXPECT_EQ(BuildMoovPayload(t, 166667, kSps, kPps, 40, PictureSize{1280, 720}), seed);
  for (const PictureSize size : {PictureSize{1920, 1080}, PictureSize{2560, 1440}, PictureSize{3840, 2160},
                                 PictureSize{320, 180}, PictureSize{1282, 722}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    const ByteBuffer payload = BuildMoovPayload(t, 166667, kSps, kPps, 40, size);
    ASSERT_EQ(payload.size(), seed.size());
    const mp4read::Movie m = mp4read::ReadMoovPayload(payload);
    EXPECT_EQ(m.trackWidth, size.width << 16);
    EXPECT_EQ(m.trackHeight, size.height << 16);
    EXPECT_EQ(m.width, size.width);
    EXPECT_EQ(m.height, size.height);
    // Only the 4 + 4 bytes of the track header and the 2 + 2 of the sample entry differ.
    std::size_t differing = 0;
    for (std::size_t i = 0; i < payload.size(); ++i) differing += payload[i] != seed[i];
    EXPECT_LE(differing, 12u);
    const mp4read::Movie s = mp4read::ReadMoovPayload(seed);
    EXPECT_EQ(m.stts, s.stts);
    EXPECT_EQ(m.movieDuration, s.movieDuration);
  }
}

// A size no stream has still gives a box a player can read: each side within 1..65535, never a
// side cut to its low 16 bits (65536 would read as 0) nor 0 itself.
TEST(MoovPayload, PictureSizeOutsideTheFieldsIsClamped) {
  struct Case {
    PictureSize given;
    std::uint32_t width, height;
  };
  for (const Case& c : {Case{{0, 0}, 1, 1}, Case{{65535, 65535}, 65535, 65535}, Case{{65536, 720}, 65535, 720},
                        Case{{1280, 70000}, 1280, 65535}, Case{{0xFFFFFFFFu, 1}, 65535, 1}}) {
    SCOPED_TRACE(std::to_string(c.given.width) + "x" + std::to_string(c.given.height));
    const PictureSize written = MoviePictureSize(c.given);
    EXPECT_EQ(written.width, c.width);
    EXPECT_EQ(written.height, c.height);
    const mp4read::Movie m = mp4read::ReadMoovPayload(BuildMoovPayload(Table({0}, {1}), 333333, kSps, kPps, 40, c.given));
    EXPECT_EQ(m.trackWidth, c.width << 16);
    EXPECT_EQ(m.trackHeight, c.height << 16);
    EXPECT_EQ(m.width, c.width);
    EXPECT_EQ(m.height, c.height);
  }
}

struct RateCase {
  const char* name;
  std::int64_t numerator, denominator;
};

class FrameTimes : public testing::TestWithParam<RateCase> {};

// An hour of frames at the rate, stamped as the main loop stamps them (the host's clock turned into
// 100-ns units and truncated), from a start far from zero: every decode time lies after the one
// before, every delta is one frame give or take the tick that truncation moves a time by, and the
// frames' start times do not drift from the exact ones over the hour.
TEST_P(FrameTimes, AnHourStaysIncreasingWithoutDrift) {
  const RateCase& c = GetParam();
  const double ticksPerFrame = 90000.0 * static_cast<double>(c.denominator) / static_cast<double>(c.numerator);
  // Host clocks of 10 MHz (the usual one) and of 3.579545 MHz (whose ticks do not divide 100 ns).
  for (const std::int64_t clock : {std::int64_t{10000000}, std::int64_t{3579545}}) {
    SCOPED_TRACE(clock);
    const std::int64_t frames = 3600 * c.numerator / c.denominator;
    const std::int64_t start = 987654321;  // the host's clock at the first frame
    SampleTable t;
    t.times.reserve(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
      // The frame's slot time on the host's clock, then the main loop's conversion.
      const std::int64_t slot = start + (i * clock * c.denominator + c.numerator / 2) / c.numerator;
      t.times.push_back(static_cast<std::int64_t>(static_cast<double>(slot - start) * 10000000.0 /
                                                  static_cast<double>(clock)));
    }
    t.keyframes.assign(t.times.size(), 0);
    t.keyframes[0] = 1;
    t.sizes.assign(t.times.size(), 10);
    const std::int64_t frameDuration = (10000000 * c.denominator + c.numerator / 2) / c.numerator;
    const mp4read::Movie m = mp4read::ReadMoovPayload(BuildMoovPayload(t, frameDuration, kSps, kPps, 40));
    EXPECT_FALSE(m.hasCtts);
    std::uint64_t counted = 0, sum = 0;
    for (const mp4read::Entry& e : m.stts) {
      EXPECT_GE(e.value, static_cast<std::uint32_t>(std::floor(ticksPerFrame)) - 1);
      EXPECT_LE(e.value, static_cast<std::uint32_t>(std::ceil(ticksPerFrame)) + 1);
      EXPECT_GT(e.value, 0u);
      counted += e.count;
      sum += std::uint64_t{e.count} * e.value;
    }
    EXPECT_EQ(counted, static_cast<std::uint64_t>(frames));
    EXPECT_EQ(sum, m.movieDuration);
    // The last frame starts within a tick of its exact time, an hour on.
    const std::uint64_t lastStart = m.movieDuration - m.stts.back().value;
    EXPECT_NEAR(static_cast<double>(lastStart), static_cast<double>(frames - 1) * ticksPerFrame, 1.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, FrameTimes,
                         testing::Values(RateCase{"At30", 30, 1}, RateCase{"At60", 60, 1}, RateCase{"At120", 120, 1},
                                         RateCase{"At240", 240, 1}, RateCase{"At30000Over1001", 30000, 1001},
                                         RateCase{"At60000Over1001", 60000, 1001}),
                         [](const testing::TestParamInfo<RateCase>& p) { return std::string(p.param.name); });

// Times closer than a tick (11.1 us) still get decode times that increase: the main loop spaces
// frames whose host stamps are equal by one 100-ns unit, which alone would give two frames the
// same tick and a duration of 0. Equal times stay equal, reordering stays reordering.
INSTANTIATE_TEST_SUITE_P(
    UnderATick, Timing,
    testing::Values(
        // ticks 0, 0, 0, 9000 -> 0, 1, 2, 9000.
        TimingCase{"OneUnitApart", {0, 1, 2, 1000000}, 1000000, Entries({{2, 1}, {1, 8998}, {1, 9000}}), {}, 18000},
        TimingCase{"EqualThenOneUnitApart", {0, 0, 1, 1000000}, 1000000, Entries({{1, 0}, {1, 1}, {1, 8999}, {1, 9000}}),
                   {}, 18000},
        // In time order 0, 100, 200, 300 take ticks 0, 1, 2, 3: p = 0, 3, 1, 2, 9000; shift 1.
        TimingCase{"ReorderedUnderATick", {0, 300, 100, 200, 1000000}, 1000000,
                   Entries({{3, 1}, {1, 8997}, {1, 9000}}), {1, 3, 0, 0, 1}, 18000},
        // A positive last duration shorter than a tick lasts one.
        TimingCase{"LastDurationUnderATick", {0, 1000000}, 111, Entries({{1, 9000}, {1, 1}}), {}, 9001},
        TimingCase{"LastDurationOfOneUnit", {0}, 1, Entries({{1, 1}}), {}, 1}),
    [](const testing::TestParamInfo<TimingCase>& p) { return std::string(p.param.name); });

// A host whose clock moves in 15.625 ms steps (64 Hz) handing over 120 frames a second: most frames
// carry the stamp of the one before, and the main loop's one-unit spacing is all that parts them.
// Every frame still gets a decode time after the one before, and the file's length is the host's.
TEST(MoovPayload, CoarseHostClockAtHighRateStillIncreases) {
  constexpr std::int64_t kClock = 64;
  SampleTable t;
  std::int64_t last = -1;
  for (int i = 0; i < 600; ++i) {
    const std::int64_t slot = static_cast<std::int64_t>(i) * kClock / 120;  // the clock's value when frame i came
    std::int64_t time = static_cast<std::int64_t>(static_cast<double>(slot) * 10000000.0 / static_cast<double>(kClock));
    if (time <= last) time = last + 1;
    t.times.push_back(time);
    last = time;
  }
  t.keyframes.assign(t.times.size(), 0);
  t.keyframes[0] = 1;
  t.sizes.assign(t.times.size(), 10);
  const mp4read::Movie m = mp4read::ReadMoovPayload(BuildMoovPayload(t, 83333, kSps, kPps, 0));
  EXPECT_FALSE(m.hasCtts);
  std::uint64_t counted = 0, sum = 0;
  for (const mp4read::Entry& e : m.stts) {
    EXPECT_GT(e.value, 0u);
    counted += e.count;
    sum += std::uint64_t{e.count} * e.value;
  }
  EXPECT_EQ(counted, 600u);
  EXPECT_EQ(sum, m.movieDuration);
  // The last frame's stamp (319 of the clock's steps: 4.984375 s, the tick after it as the second
  // frame of that stamp) plus its duration of 749 ticks.
  EXPECT_NEAR(static_cast<double>(m.movieDuration), 4.984375 * 90000 + 749, 2.0);
}

}  // namespace
