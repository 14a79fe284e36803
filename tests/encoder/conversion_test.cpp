// BGRA to NV12: known colours, the buffer layout, and every SIMD kernel against the plain one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/convert.h"

namespace {

constexpr std::size_t kFrameBytes = static_cast<std::size_t>(kSourceStride) * kSourceHeight;
constexpr std::size_t kLumaBytes = 1280u * 720u;

std::vector<std::uint8_t> SolidFrame(std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  for (std::size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = b;
    frame[i + 1] = g;
    frame[i + 2] = r;
    frame[i + 3] = a;
  }
  return frame;
}

std::uint32_t Next(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

std::vector<std::uint8_t> RandomFrame(std::uint32_t seed) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  for (auto& byte : frame) byte = static_cast<std::uint8_t>(Next(seed));
  return frame;
}

// Every channel of every pixel 0 or 255, at random: every corner of the colour cube, and blocks
// that mix them, where the chroma sums reach their extremes (and go negative before the offset).
std::vector<std::uint8_t> CornerFrame(std::uint32_t seed) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  for (auto& byte : frame) byte = (Next(seed) & 1) != 0 ? 255 : 0;
  return frame;
}

std::vector<std::uint8_t> Convert(const std::vector<std::uint8_t>& frame, std::uint32_t inputHeight,
                                  std::uint8_t fill) {
  std::vector<std::uint8_t> nv12(static_cast<std::size_t>(inputHeight) * 1920, fill);
  ConvertFrameToNv12(frame.data(), nv12.data(), inputHeight);
  return nv12;
}

const char* LevelName(ConversionLevel level) {
  switch (level) {
    case ConversionLevel::Plain:
      return "Plain";
    case ConversionLevel::Sse2:
      return "SSE2";
    case ConversionLevel::Avx2:
      return "AVX2";
  }
  return "?";
}

// Runs at one conversion level; levels the machine lacks are skipped.
class ConversionTest : public ::testing::TestWithParam<ConversionLevel> {
 protected:
  void SetUp() override {
    if (GetParam() > SupportedConversionLevel()) GTEST_SKIP() << "not supported here";
    SetConversionLevelForTesting(GetParam());
    ASSERT_EQ(ActiveConversionLevel(), GetParam());
  }
  void TearDown() override { SetConversionLevelForTesting(ConversionLevel::Avx2); }
};

struct Colour {
  std::uint8_t b, g, r;
  std::uint8_t y, cb, cr;
};

TEST_P(ConversionTest, KnownColours) {
  const Colour colours[] = {
      {0, 0, 0, 16, 128, 128},        // black
      {255, 255, 255, 235, 127, 128},  // white: the Cb coefficients sum to -1
      {0, 0, 255, 63, 102, 240},       // red
      {0, 255, 0, 172, 41, 26},        // green
      {255, 0, 0, 32, 240, 118},       // blue
  };
  for (const Colour& c : colours) {
    SCOPED_TRACE(testing::Message() << "B " << int(c.b) << " G " << int(c.g) << " R " << int(c.r));
    const std::vector<std::uint8_t> nv12 = Convert(SolidFrame(c.b, c.g, c.r, 0x5A), 720, 0x33);
    std::size_t wrongLuma = 0;
    std::size_t wrongChroma = 0;
    for (std::size_t i = 0; i < kLumaBytes; ++i) wrongLuma += nv12[i] != c.y;
    for (std::size_t i = kLumaBytes; i < nv12.size(); i += 2) {
      wrongChroma += nv12[i] != c.cb || nv12[i + 1] != c.cr;
    }
    EXPECT_EQ(wrongLuma, 0u) << "Y " << int(nv12[0]);
    EXPECT_EQ(wrongChroma, 0u) << "Cb " << int(nv12[kLumaBytes]) << " Cr " << int(nv12[kLumaBytes + 1]);
  }
}

TEST_P(ConversionTest, AlphaNeverMatters) {
  std::vector<std::uint8_t> frame = RandomFrame(7);
  const std::vector<std::uint8_t> withAlpha = Convert(frame, 720, 0);
  for (std::size_t i = 3; i < frame.size(); i += 4) frame[i] = 0;
  EXPECT_TRUE(Convert(frame, 720, 0) == withAlpha);
  for (std::size_t i = 3; i < frame.size(); i += 4) frame[i] = 255;
  EXPECT_TRUE(Convert(frame, 720, 0) == withAlpha);
}

// With 736 rows: the chroma plane starts at 736 x 1280, rows 360-367 of it are neutral, and luma
// rows 720-735 keep whatever the buffer held.
TEST_P(ConversionTest, PaddedLayout) {
  const std::vector<std::uint8_t> nv12 = Convert(SolidFrame(0, 0, 255, 255), 736, 0xA5);
  ASSERT_EQ(nv12.size(), 736u * 1920u);
  const std::size_t chroma = 736u * 1280u;
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kLumaBytes; ++i) wrong += nv12[i] != 63;
  for (std::size_t i = kLumaBytes; i < chroma; ++i) wrong += nv12[i] != 0xA5;  // not written
  for (std::size_t i = chroma; i < chroma + 360u * 1280u; i += 2) {
    wrong += nv12[i] != 102 || nv12[i + 1] != 240;
  }
  for (std::size_t i = chroma + 360u * 1280u; i < nv12.size(); ++i) wrong += nv12[i] != 128;
  EXPECT_EQ(wrong, 0u);
}

// The unpadded frame fills its 720 x 1920 bytes exactly and writes nothing after them.
TEST_P(ConversionTest, UnpaddedFrameWritesExactlyItsBytes) {
  const std::vector<std::uint8_t> frame = RandomFrame(3);
  std::vector<std::uint8_t> nv12(720u * 1920u + 4096u, 0xEE);
  ConvertFrameToNv12(frame.data(), nv12.data(), 720);
  std::size_t touched = 0;
  for (std::size_t i = 720u * 1920u; i < nv12.size(); ++i) touched += nv12[i] != 0xEE;
  EXPECT_EQ(touched, 0u);
}

// The plain kernels are the definition: every other level must give the same bytes. The outputs
// start out different, so a byte that a kernel forgets to write shows up too.
TEST_P(ConversionTest, SameBytesAsPlainKernel) {
  const std::vector<std::vector<std::uint8_t>> frames = {RandomFrame(1), RandomFrame(2), CornerFrame(3),
                                                         CornerFrame(4), SolidFrame(255, 255, 255, 0)};
  for (std::size_t f = 0; f < frames.size(); ++f) {
    SCOPED_TRACE(f);
    SetConversionLevelForTesting(ConversionLevel::Plain);
    const std::vector<std::uint8_t> expected = Convert(frames[f], 720, 0x00);
    SetConversionLevelForTesting(GetParam());
    const std::vector<std::uint8_t> actual = Convert(frames[f], 720, 0xFF);
    std::size_t first = expected.size();
    for (std::size_t i = 0; i < expected.size() && first == expected.size(); ++i) {
      if (actual[i] != expected[i]) first = i;
    }
    EXPECT_EQ(first, expected.size()) << "first difference at byte " << first;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ConversionTest,
                         ::testing::Values(ConversionLevel::Plain, ConversionLevel::Sse2, ConversionLevel::Avx2),
                         [](const ::testing::TestParamInfo<ConversionLevel>& p) {
                           return std::string(LevelName(p.param));
                         });

// The row kernels at widths that are not whole multiples of their vector width: the rest is
// converted by the plain code, and nothing beyond the width is written.
using RowKernel = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*,
                           std::uint8_t*, int);

struct RowCase {
  ConversionLevel level;
  int width;
};

class RowKernelTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowKernelTest, MatchesPlainKernel) {
  const RowCase c = GetParam();
  if (c.level > SupportedConversionLevel()) GTEST_SKIP() << "not supported here";
  const RowKernel kernel = c.level == ConversionLevel::Avx2 ? ConvertRowPair_AVX2 : ConvertRowPair_SSE2;
  const std::size_t width = static_cast<std::size_t>(c.width);
  const std::size_t guard = 64;
  std::uint32_t seed = static_cast<std::uint32_t>(c.width) * 31u;
  std::vector<std::uint8_t> row0(width * 4), row1(width * 4);
  for (auto& b : row0) b = static_cast<std::uint8_t>(Next(seed));
  for (auto& b : row1) b = static_cast<std::uint8_t>(Next(seed));

  std::vector<std::uint8_t> y0(width + guard, 1), y1(width + guard, 2), uv(width + guard, 3);
  std::vector<std::uint8_t> ey0(width + guard, 4), ey1(width + guard, 5), euv(width + guard, 6);
  kernel(row0.data(), row1.data(), y0.data(), y1.data(), uv.data(), c.width);
  ConvertRowPair_C(row0.data(), row1.data(), ey0.data(), ey1.data(), euv.data(), c.width);
  for (std::size_t i = 0; i < width; ++i) {
    ASSERT_EQ(y0[i], ey0[i]) << "y0 " << i;
    ASSERT_EQ(y1[i], ey1[i]) << "y1 " << i;
    ASSERT_EQ(uv[i], euv[i]) << "uv " << i;
  }
  for (std::size_t i = width; i < width + guard; ++i) {
    ASSERT_EQ(y0[i], 1) << "y0 written beyond the width at " << i;
    ASSERT_EQ(y1[i], 2) << "y1 written beyond the width at " << i;
    ASSERT_EQ(uv[i], 3) << "uv written beyond the width at " << i;
  }
}

std::vector<RowCase> RowCases() {
  std::vector<RowCase> cases;
  for (ConversionLevel level : {ConversionLevel::Sse2, ConversionLevel::Avx2}) {
    for (int width : {2, 14, 16, 18, 30, 32, 34, 46, 62, 64, 1280}) cases.push_back({level, width});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Widths, RowKernelTest, ::testing::ValuesIn(RowCases()),
                         [](const ::testing::TestParamInfo<RowCase>& p) {
                           return std::string(LevelName(p.param.level)) + "_" +
                                  std::to_string(p.param.width);
                         });

TEST(ConversionLevels, PlainLimitForcesPlainKernels) {
  SetConversionLevelForTesting(ConversionLevel::Plain);
  EXPECT_EQ(ActiveConversionLevel(), ConversionLevel::Plain);
  SetConversionLevelForTesting(ConversionLevel::Avx2);
  EXPECT_EQ(ActiveConversionLevel(), SupportedConversionLevel());
}

}  // namespace
