// The conversion and the NV12 copy at the picture sizes, strides and padded heights that a host can
// hand over, with every buffer fenced by inaccessible pages: a kernel that reads or writes one byte
// beyond a row faults here, and every level must give the plain kernel's bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "encoder/convert.h"
#include "encoder/convert_coefficients.h"
#include "guarded_memory.h"

namespace {

std::uint32_t Next(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
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

struct PictureCase {
  std::uint32_t width;
  std::uint32_t height;
  std::size_t stride;  // of the source rows
  std::uint32_t inputHeight;
};

std::string CaseName(const PictureCase& c) {
  return std::to_string(c.width) + "x" + std::to_string(c.height) + "_stride" + std::to_string(c.stride) + "_rows" +
         std::to_string(c.inputHeight);
}

// The smallest source that holds the picture: the last row ends right at the guard page, however
// wide the stride. Under AddressSanitizer the bytes between rows are poisoned too.
std::size_t SourceBytes(std::size_t stride, std::uint32_t rows, std::size_t rowBytes) {
  return stride * (rows - 1) + rowBytes;
}

void PoisonRowGaps(GuardedBuffer& buffer, std::size_t stride, std::uint32_t rows, std::size_t rowBytes) {
  for (std::uint32_t y = 0; y + 1 < rows; ++y) buffer.Poison(y * stride + rowBytes, stride - rowBytes);
}

// BGRA source: random bytes, with every channel at 0 or 255 in every third row, where the chroma
// sums reach their extremes.
void FillPicture(GuardedBuffer& source, const PictureCase& c, std::uint32_t seed) {
  for (std::uint32_t y = 0; y < c.height; ++y) {
    std::uint8_t* row = source.data() + y * c.stride;
    const bool corners = y % 3 == 2;
    for (std::size_t i = 0; i < 4u * c.width; ++i) {
      const std::uint32_t value = Next(seed);
      row[i] = corners ? ((value & 1) != 0 ? 255 : 0) : static_cast<std::uint8_t>(value);
    }
  }
}

// The NV12 buffer that the encoder takes: inputHeight luma rows and inputHeight / 2 chroma rows,
// width bytes each, and not one byte more.
std::size_t Nv12Bytes(std::uint32_t width, std::uint32_t inputHeight) {
  return static_cast<std::size_t>(width) * (inputHeight + inputHeight / 2);
}

// Converts in fenced buffers; the output starts out as 0xA5 (rows that must stay untouched).
std::vector<std::uint8_t> ConvertFenced(const GuardedBuffer& source, const PictureCase& c) {
  GuardedBuffer nv12(Nv12Bytes(c.width, c.inputHeight), GuardedEdge::End);
  std::memset(nv12.data(), 0xA5, nv12.size());
  ConvertFrameToNv12(source.data(), c.width, c.height, c.stride, nv12.data(), c.inputHeight);
  return std::vector<std::uint8_t>(nv12.data(), nv12.data() + nv12.size());
}

std::size_t FirstDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return i;
  }
  return a.size();
}

struct LevelPicture {
  ConversionLevel level;
  PictureCase picture;
};

class ConversionSizeTest : public ::testing::TestWithParam<LevelPicture> {
 protected:
  void TearDown() override { SetConversionLevelForTesting(ConversionLevel::Avx2); }
};

// Every level, at sizes whose width is no multiple of a vector's pixels, strides wider than the row
// (odd multiples of 4 among them) and padded or odd input heights: the plain kernel's bytes, and an
// independent per-pixel computation for the plain level itself (rows, strides and the chroma plane
// in their places). Luma rows below the picture keep what they held; chroma rows below it are 128.
TEST_P(ConversionSizeTest, SameBytesAsPlainKernelWithinFencedRows) {
  const ConversionLevel level = GetParam().level;
  const PictureCase c = GetParam().picture;
  if (level > SupportedConversionLevel()) GTEST_SKIP() << "not supported here";

  GuardedBuffer source(SourceBytes(c.stride, c.height, 4u * c.width), GuardedEdge::End);
  FillPicture(source, c, c.width * 7919u + c.height);
  PoisonRowGaps(source, c.stride, c.height, 4u * c.width);

  SetConversionLevelForTesting(ConversionLevel::Plain);
  const std::vector<std::uint8_t> plain = ConvertFenced(source, c);
  SetConversionLevelForTesting(level);
  ASSERT_EQ(ActiveConversionLevel(), level);
  const std::vector<std::uint8_t> actual = ConvertFenced(source, c);
  const std::size_t first = FirstDifference(actual, plain);
  EXPECT_EQ(first, plain.size()) << "first difference at byte " << first;

  if (level != ConversionLevel::Plain) return;
  const std::size_t chroma = static_cast<std::size_t>(c.inputHeight) * c.width;
  std::size_t wrong = 0;
  for (std::uint32_t y = 0; y < c.inputHeight; ++y) {
    for (std::uint32_t x = 0; x < c.width; ++x) {
      int expected = 0xA5;
      if (y < c.height) {
        const std::uint8_t* p = source.data() + y * c.stride + 4u * x;
        expected = ((kYr * p[2] + kYg * p[1] + kYb * p[0] + 128) >> 8) + 16;
      }
      wrong += plain[static_cast<std::size_t>(y) * c.width + x] != expected;
    }
  }
  for (std::uint32_t y = 0; y < c.inputHeight / 2; ++y) {
    for (std::uint32_t x = 0; x < c.width; x += 2) {
      int cb = 128;
      int cr = 128;
      if (y < c.height / 2) {
        int b = 0, g = 0, r = 0;
        for (std::uint32_t dy = 0; dy < 2; ++dy) {
          for (std::uint32_t dx = 0; dx < 2; ++dx) {
            const std::uint8_t* p = source.data() + (2 * y + dy) * c.stride + 4u * (x + dx);
            b += p[0];
            g += p[1];
            r += p[2];
          }
        }
        cb = ((kCbB * b + kCbG * g + kCbR * r + 512) >> 10) + 128;
        cr = ((kCrR * r + kCrG * g + kCrB * b + 512) >> 10) + 128;
      }
      const std::size_t at = chroma + static_cast<std::size_t>(y) * c.width + x;
      wrong += plain[at] != cb || plain[at + 1] != cr;
    }
  }
  EXPECT_EQ(wrong, 0u);
}

std::vector<PictureCase> PictureCases() {
  return {
      {320, 180, 1280, 180},          // the smallest picture, packed
      {322, 182, 4 * 322 + 4, 198},   // 2 pixels past a vector; stride 323 x 4; 16 rows of padding
      {334, 190, 4 * 334 + 12, 191},  // 14 pixels past a vector; stride 337 x 4; an odd input height
      {1282, 722, 4 * 1282 + 4, 723},
      {1366, 768, 4 * 1366, 784},
      {1920, 1080, 4 * 1920, 1088},
      {1920, 1080, 8192, 1096},
      {2560, 1440, 4 * 2560, 1440},
      {3840, 2160, 4 * 3840 + 36, 2176},
  };
}

std::vector<LevelPicture> LevelPictures() {
  std::vector<LevelPicture> cases;
  for (ConversionLevel level : {ConversionLevel::Plain, ConversionLevel::Sse2, ConversionLevel::Avx2}) {
    for (const PictureCase& picture : PictureCases()) cases.push_back({level, picture});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Pictures, ConversionSizeTest, ::testing::ValuesIn(LevelPictures()),
                         [](const ::testing::TestParamInfo<LevelPicture>& p) {
                           return std::string(LevelName(p.param.level)) + "_" + CaseName(p.param.picture);
                         });

// The row-pair kernels alone, every one of their five rows in a buffer of its own that ends (or
// begins) right at an inaccessible page: at every even width up to a few vectors past the widest
// one, and at the widths of the pictures above.
using RowKernel = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*,
                           std::uint8_t*, int);

struct RowFence {
  ConversionLevel level;
  GuardedEdge edge;
};

class RowKernelFenceTest : public ::testing::TestWithParam<RowFence> {};

TEST_P(RowKernelFenceTest, StaysWithinItsRows) {
  const RowFence f = GetParam();
  if (f.level > SupportedConversionLevel()) GTEST_SKIP() << "not supported here";
  const RowKernel kernel = f.level == ConversionLevel::Avx2   ? ConvertRowPair_AVX2
                           : f.level == ConversionLevel::Sse2 ? ConvertRowPair_SSE2
                                                              : ConvertRowPair_C;
  std::vector<int> widths;
  for (int width = 2; width <= 160; width += 2) widths.push_back(width);
  for (int width : {320, 322, 334, 1282, 1366, 1920, 3840}) widths.push_back(width);

  std::uint32_t seed = 99;
  for (int width : widths) {
    SCOPED_TRACE(width);
    const std::size_t w = static_cast<std::size_t>(width);
    GuardedBuffer row0(4 * w, f.edge), row1(4 * w, f.edge);
    for (std::size_t i = 0; i < 4 * w; ++i) {
      row0.data()[i] = static_cast<std::uint8_t>(Next(seed));
      row1.data()[i] = static_cast<std::uint8_t>(Next(seed));
    }
    GuardedBuffer y0(w, f.edge), y1(w, f.edge), uv(w, f.edge);
    std::memset(y0.data(), 0x11, w);
    std::memset(y1.data(), 0x22, w);
    std::memset(uv.data(), 0x33, w);
    kernel(row0.data(), row1.data(), y0.data(), y1.data(), uv.data(), width);

    std::vector<std::uint8_t> ey0(w, 0x44), ey1(w, 0x55), euv(w, 0x66);
    ConvertRowPair_C(row0.data(), row1.data(), ey0.data(), ey1.data(), euv.data(), width);
    EXPECT_EQ(0, std::memcmp(y0.data(), ey0.data(), w));
    EXPECT_EQ(0, std::memcmp(y1.data(), ey1.data(), w));
    EXPECT_EQ(0, std::memcmp(uv.data(), euv.data(), w));
  }
}

std::vector<RowFence> RowFences() {
  std::vector<RowFence> fences;
  for (GuardedEdge edge : {GuardedEdge::End, GuardedEdge::Start}) {
    for (ConversionLevel level : {ConversionLevel::Plain, ConversionLevel::Sse2, ConversionLevel::Avx2}) {
      fences.push_back({level, edge});
    }
  }
  return fences;
}

INSTANTIATE_TEST_SUITE_P(Levels, RowKernelFenceTest, ::testing::ValuesIn(RowFences()),
                         [](const ::testing::TestParamInfo<RowFence>& p) {
                           return std::string(LevelName(p.param.level)) +
                                  (p.param.edge == GuardedEdge::End ? "_End" : "_Start");
                         });

// The row copies alone, source and destination rows each in a buffer of their own that ends (or
// begins) right at an inaccessible page, at every even width up to a few vectors and at common ones.
class RowCopyFenceTest : public ::testing::TestWithParam<RowFence> {};

TEST_P(RowCopyFenceTest, CopiesWithinItsRows) {
  const RowFence f = GetParam();
  if (f.level > SupportedConversionLevel()) GTEST_SKIP() << "not supported here";
  using RowCopy = void (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::uint32_t);
  const RowCopy copy = f.level == ConversionLevel::Avx2   ? CopyRows_AVX2
                       : f.level == ConversionLevel::Sse2 ? CopyRows_SSE2
                                                          : CopyRows_C;
  std::vector<std::size_t> widths;
  for (std::size_t width = 2; width <= 300; width += 2) widths.push_back(width);
  for (std::size_t width : {320u, 322u, 334u, 1282u, 1920u, 3840u}) widths.push_back(width);
  std::uint32_t seed = 5;
  for (std::size_t width : widths) {
    SCOPED_TRACE(width);
    GuardedBuffer from(width, f.edge), to(width, f.edge);
    for (std::size_t i = 0; i < width; ++i) from.data()[i] = static_cast<std::uint8_t>(Next(seed));
    std::memset(to.data(), 0, width);
    copy(from.data(), width + 4, to.data(), width, 1);
    EXPECT_EQ(0, std::memcmp(from.data(), to.data(), width));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, RowCopyFenceTest, ::testing::ValuesIn(RowFences()),
                         [](const ::testing::TestParamInfo<RowFence>& p) {
                           return std::string(LevelName(p.param.level)) +
                                  (p.param.edge == GuardedEdge::End ? "_End" : "_Start");
                         });

// An NV12 picture from the host, at every level: its planes copied row by row into the encoder's
// rows, the chroma plane at inputHeight rows, luma rows below the picture untouched and chroma rows
// below it 128; the source read only within its rows and the buffer written only within itself.
class Nv12CopyTest : public ::testing::TestWithParam<LevelPicture> {
 protected:
  void TearDown() override { SetConversionLevelForTesting(ConversionLevel::Avx2); }
};

TEST_P(Nv12CopyTest, CopiesThePlanesWithinFencedRows) {
  const ConversionLevel level = GetParam().level;
  const PictureCase c = GetParam().picture;
  if (level > SupportedConversionLevel()) GTEST_SKIP() << "not supported here";
  SetConversionLevelForTesting(level);
  const std::uint32_t sourceRows = c.height + c.height / 2;
  GuardedBuffer source(SourceBytes(c.stride, sourceRows, c.width), GuardedEdge::End);
  std::uint32_t seed = c.width + c.height * 3u;
  for (std::uint32_t y = 0; y < sourceRows; ++y) {
    for (std::uint32_t x = 0; x < c.width; ++x) source.data()[y * c.stride + x] = static_cast<std::uint8_t>(Next(seed));
  }
  PoisonRowGaps(source, c.stride, sourceRows, c.width);

  GuardedBuffer nv12(Nv12Bytes(c.width, c.inputHeight), GuardedEdge::End);
  std::memset(nv12.data(), 0xA5, nv12.size());
  CopyNv12Frame(source.data(), c.width, c.height, c.stride, nv12.data(), c.inputHeight);

  const std::uint8_t* chroma = nv12.data() + static_cast<std::size_t>(c.inputHeight) * c.width;
  std::size_t wrong = 0;
  for (std::uint32_t y = 0; y < c.inputHeight; ++y) {
    for (std::uint32_t x = 0; x < c.width; ++x) {
      const int expected = y < c.height ? source.data()[y * c.stride + x] : 0xA5;
      wrong += nv12.data()[static_cast<std::size_t>(y) * c.width + x] != expected;
    }
  }
  for (std::uint32_t y = 0; y < c.inputHeight / 2; ++y) {
    for (std::uint32_t x = 0; x < c.width; ++x) {
      const int expected = y < c.height / 2 ? source.data()[(c.height + y) * c.stride + x] : 128;
      wrong += chroma[static_cast<std::size_t>(y) * c.width + x] != expected;
    }
  }
  EXPECT_EQ(wrong, 0u);
}

std::vector<LevelPicture> Nv12Copies() {
  const PictureCase pictures[] = {
      {320, 180, 320, 180},          // packed, unpadded
      {1920, 1080, 1920, 1088},      // packed, padded
      {1920, 1080, 2048, 1080},      // wider stride
      {322, 182, 324, 182 + 128},    // 128 rows of padding; no whole number of vectors a row
      {334, 190, 348, 191},          // an odd input height
      {18, 4, 20, 6},                // rows narrower than a vector
      {3840, 2160, 3840 + 4, 2176},
  };
  std::vector<LevelPicture> cases;
  for (ConversionLevel level : {ConversionLevel::Plain, ConversionLevel::Sse2, ConversionLevel::Avx2}) {
    for (const PictureCase& picture : pictures) cases.push_back({level, picture});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Pictures, Nv12CopyTest, ::testing::ValuesIn(Nv12Copies()),
                         [](const ::testing::TestParamInfo<LevelPicture>& p) {
                           return std::string(LevelName(p.param.level)) + "_" + CaseName(p.param.picture);
                         });

}  // namespace
