// The encoder configured and fed for a stream other than the seed's: every size, rate and bit rate
// reaches the transform from the stream description, and the input buffers follow the picture.
#include <cstring>
#include <vector>

#include "encoder/convert.h"
#include "encoder_fixture.h"

namespace {

using ::testing::ElementsAre;

UINT64 Number(const std::vector<fake::AttributeItem>& items, const GUID& key) {
  const fake::AttributeItem* item = fake::FindItem(items, key);
  return item != nullptr ? item->number : ~0ull;
}

stream::StreamFormat FullHd60() {
  stream::StreamFormat f;
  f.width = 1920;
  f.height = 1080;
  f.stride = 1920 * 4 + 64;  // rows wider than the picture
  f.frameRateNumerator = 60;
  f.frameRateDenominator = 1;
  f.bitRate = 24000000;
  return f;
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = 777;
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

fake::MediaBuffer* OnlyBuffer(IMFSample* sample) {
  auto* ours = dynamic_cast<fake::Sample*>(sample);
  if (ours == nullptr || ours->buffers.size() != 1) return nullptr;
  return dynamic_cast<fake::MediaBuffer*>(ours->buffers[0]);
}

using StreamConfigurationTest = EncoderTest;

TEST_F(StreamConfigurationTest, TypesAndCodecValuesFollowTheStream) {
  fake::Transform* t = AddEncoder(u"Only");
  encoder.format = FullHd60();
  ASSERT_TRUE(SelectEncoder(encoder));

  ASSERT_EQ(t->outputTypesSet.size(), 1u);
  const auto& out = t->outputTypesSet[0].items;
  EXPECT_EQ(Number(out, MF_MT_FRAME_SIZE), (1920ull << 32) | 1080);
  EXPECT_EQ(Number(out, MF_MT_FRAME_RATE), (60ull << 32) | 1);
  EXPECT_EQ(Number(out, MF_MT_AVG_BITRATE), 24000000u);
  ASSERT_EQ(t->inputTypesSet.size(), 1u);
  const auto& in = t->inputTypesSet[0].items;
  EXPECT_EQ(Number(in, MF_MT_FRAME_SIZE), (1920ull << 32) | 1080);
  EXPECT_EQ(Number(in, MF_MT_FRAME_RATE), (60ull << 32) | 1);
  // The encoder's input rows are packed, whatever the slot's stride.
  EXPECT_EQ(Number(in, MF_MT_DEFAULT_STRIDE), 1920u);

  ASSERT_EQ(t->codecValues.size(), 5u);
  EXPECT_EQ(t->codecValues[1].number, 24000000u);  // mean bit rate
  EXPECT_EQ(t->codecValues[2].number, 60u);        // one second of frames between keyframes
  EXPECT_EQ(encoder.inputHeight, 1080u);
  // One raw 1080p picture is more than the seed's 2 MiB: the default output buffer grows to it.
  EXPECT_EQ(encoder.outputBufferSize, 1920u * 1080u * 3u / 2u);
}

TEST_F(StreamConfigurationTest, NtscRateAndItsKeyframeSpacing) {
  fake::Transform* t = AddEncoder(u"Only");
  encoder.format.frameRateNumerator = 30000;
  encoder.format.frameRateDenominator = 1001;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(Number(t->outputTypesSet[0].items, MF_MT_FRAME_RATE), (30000ull << 32) | 1001);
  EXPECT_EQ(t->codecValues[2].number, 29u);  // never more than a second apart
}

struct PaddingCase {
  DWORD cbSize;
  std::uint32_t rows;
};

class StreamPaddingTest : public EncoderTest, public ::testing::WithParamInterface<PaddingCase> {};

// Padded rows are rows of the stream's width: 1920 x 1088 x 3 / 2 bytes are 1088 rows, not the
// 2448 rows the seed's 1280-pixel rows would make of them.
TEST_P(StreamPaddingTest, RowsOfTheStreamsWidth) {
  fake::Transform* t = AddEncoder(u"Padded");
  t->inputCbSize = GetParam().cbSize;
  encoder.format = FullHd60();
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.inputHeight, GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StreamPaddingTest,
                         ::testing::Values(PaddingCase{1920 * 1080 * 3 / 2, 1080}, PaddingCase{1920 * 1088 * 3 / 2, 1088},
                                           PaddingCase{1920 * 1088 * 3 / 2 + 2879, 1088},
                                           PaddingCase{kMaxInputHeight * 2880u, kMaxInputHeight},
                                           PaddingCase{(kMaxInputHeight + 1) * 2880u, 1080},
                                           PaddingCase{0xFFFFFFFFu, 1080}));

TEST_F(StreamConfigurationTest, OutputBufferBoundGrowsWithThePicture) {
  stream::StreamFormat uhd;
  uhd.width = 3840;
  uhd.height = 2160;
  uhd.stride = 3840 * 4;
  EXPECT_EQ(DefaultOutputBufferSize(uhd), 3840u * 2160u * 3u / 2u);
  EXPECT_EQ(MaxOutputBufferSize(uhd), 4u * 3840u * 2160u * 3u / 2u);
  // The seed's picture keeps the seed's sizes.
  EXPECT_EQ(DefaultOutputBufferSize(stream::SeedStreamFormat()), kDefaultOutputBufferSize);
  EXPECT_EQ(MaxOutputBufferSize(stream::SeedStreamFormat()), kMaxOutputBufferSize);

  fake::Transform* t = AddEncoder(u"Large");
  t->outputCbSize = 20 * 1024 * 1024;  // above the seed's bound, inside this picture's
  encoder.format = uhd;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.outputBufferSize, 20u * 1024u * 1024u);
}

TEST_F(StreamConfigurationTest, BgraSlotWithWideRowsIsConvertedIntoPaddedRows) {
  fake::Transform* t = AddEncoder(u"Padded");
  t->inputCbSize = 1920 * 1088 * 3 / 2;
  encoder.format = FullHd60();
  ASSERT_TRUE(SelectEncoder(encoder));
  const std::vector<std::uint8_t> slot = Pattern(std::size_t{encoder.format.stride} * 1080);
  IMFSample* sample = MakeInputSample(encoder, slot.data(), 1000);
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(dynamic_cast<fake::Sample*>(sample)->duration, 166667);  // one frame at 60/1
  fake::MediaBuffer* buffer = OnlyBuffer(sample);
  ASSERT_NE(buffer, nullptr);
  ASSERT_EQ(buffer->currentLength, 1920u * 1088u * 3u / 2u);

  std::vector<std::uint8_t> expected(1920u * 1088u * 3u / 2u, 0);
  ConvertFrameToNv12(slot.data(), 1920, 1080, encoder.format.stride, expected.data(), 1088);
  // Luma rows below the picture are not written: compare the picture's rows and all chroma.
  EXPECT_EQ(std::memcmp(buffer->bytes.data(), expected.data(), 1920u * 1080u), 0);
  EXPECT_EQ(std::memcmp(buffer->bytes.data() + 1920u * 1088u, expected.data() + 1920u * 1088u, 1920u * 544u), 0);
  sample->Release();
}

TEST_F(StreamConfigurationTest, Nv12SlotIsCopiedNotConverted) {
  AddEncoder(u"Only");
  encoder.format.width = 640;
  encoder.format.height = 360;
  encoder.format.stride = 704;
  encoder.format.pixelFormat = stream::PixelFormat::Nv12;
  ASSERT_TRUE(SelectEncoder(encoder));
  const std::vector<std::uint8_t> slot = Pattern(std::size_t{704} * 360 * 3 / 2);
  IMFSample* sample = MakeInputSample(encoder, slot.data(), 0);
  ASSERT_NE(sample, nullptr);
  fake::MediaBuffer* buffer = OnlyBuffer(sample);
  ASSERT_NE(buffer, nullptr);
  ASSERT_EQ(buffer->bytes.size(), 640u * 360u * 3u / 2u);
  for (std::size_t row = 0; row < 360 + 180; ++row) {
    SCOPED_TRACE(row);
    ASSERT_EQ(std::memcmp(buffer->bytes.data() + row * 640, slot.data() + row * 704, 640), 0);
  }
  sample->Release();
}

// ---- The stream description's derived values ----

TEST(StreamFormatTest, DerivedValues) {
  stream::StreamFormat f;
  EXPECT_EQ(f.FrameDuration(), 333333);
  EXPECT_EQ(f.GopFrames(), 30u);
  EXPECT_EQ(f.SlotBytes(), 3686400u);
  EXPECT_EQ(f.Nv12FrameBytes(), 1382400u);
  f.frameRateNumerator = 30000;
  f.frameRateDenominator = 1001;
  EXPECT_EQ(f.FrameDuration(), 333667);
  f.frameRateNumerator = 240;
  f.frameRateDenominator = 1;
  EXPECT_EQ(f.FrameDuration(), 41667);
  EXPECT_EQ(f.GopFrames(), 240u);
  f.frameRateNumerator = 1;
  EXPECT_EQ(f.GopFrames(), 1u);
  f.frameRateNumerator = 2;
  f.frameRateDenominator = 3;  // below one frame a second: still a keyframe every frame
  EXPECT_EQ(f.GopFrames(), 1u);
  f.pixelFormat = stream::PixelFormat::Nv12;
  f.stride = 1280;
  EXPECT_EQ(f.SlotBytes(), 1280u * 720u * 3u / 2u);
  // The largest slot does not wrap in 32 bits.
  f.stride = 0xFFFFFFFCu;
  f.height = 2160;
  EXPECT_EQ(f.SlotBytes(), std::uint64_t{0xFFFFFFFCu} * 3240u);
}

TEST(StreamFormatTest, DefaultBitRate) {
  EXPECT_EQ(stream::DefaultBitRate(1280, 720, 30, 1), 8000000u);
  // 4.5 times the pixel rate: 8 Mbit/s x 4.5^0.75.
  EXPECT_NEAR(stream::DefaultBitRate(1920, 1080, 60, 1), 24717206.0, 1.0);
  EXPECT_NEAR(stream::DefaultBitRate(3840, 2160, 30, 1), 41569219.0, 1.0);  // 9^0.75
  EXPECT_EQ(stream::DefaultBitRate(3840, 2160, 60, 1), stream::kMaxDefaultBitRate);
  EXPECT_EQ(stream::DefaultBitRate(3840, 2160, 240, 1), stream::kMaxDefaultBitRate);
  EXPECT_EQ(stream::DefaultBitRate(320, 180, 1, 1), stream::kMinBitRate);
  EXPECT_EQ(stream::DefaultBitRate(1280, 720, 1, 0), stream::kMinBitRate);
  // A higher rate never asks for fewer bits.
  std::uint32_t last = 0;
  for (std::uint32_t fps = 1; fps <= 240; ++fps) {
    const std::uint32_t rate = stream::DefaultBitRate(1920, 1080, fps, 1);
    EXPECT_GE(rate, last) << fps;
    last = rate;
  }
}

}  // namespace
