#include "host/test_picture.h"

#include <cstring>
#include <vector>

namespace host {

namespace {

// The band: 32 blocks across the top; 24 bits of the number, most significant first, then 8
// check bits. At 1280 x 720 a block is 40 x 80 pixels.
constexpr int kBits = 32;

int BlockWidth(std::uint32_t width) { return static_cast<int>(width / kBits); }
int BandHeight(std::uint32_t height) { return static_cast<int>(height / 9); }

std::uint32_t Code(std::uint32_t n) {
  n &= kMaxFrameNumber;
  const std::uint32_t check = ((n >> 16) ^ (n >> 8) ^ n ^ 0xA5u) & 0xFFu;
  return (n << 8) | check;
}

}  // namespace

void DrawTestPicture(std::uint8_t* bgra, std::uint32_t width, std::uint32_t height, std::size_t stride,
                     std::uint32_t n) {
  const std::uint32_t code = Code(n);
  const int w = static_cast<int>(width);
  const int h = static_cast<int>(height);
  const int blockWidth = BlockWidth(width);
  const int bandHeight = BandHeight(height);
  // A square a sixth of the height that crosses the picture (at 720 rows: 120 pixels, from row 200
  // over the next 400).
  const int box = h / 6;
  const int boxX = static_cast<int>((n * 8) % static_cast<std::uint32_t>(w - box));
  const int boxY = h * 5 / 18 + static_cast<int>((n * 3) % static_cast<std::uint32_t>(h * 5 / 9));
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = bgra + static_cast<std::size_t>(y) * stride;
    if (y < bandHeight) {
      for (int bit = 0; bit < kBits; ++bit) {
        const std::uint8_t v = ((code >> (kBits - 1 - bit)) & 1u) ? 255 : 0;
        std::memset(row + bit * blockWidth * 4, v, static_cast<std::size_t>(blockWidth) * 4);
      }
      // Columns right of the 32 blocks (a width not a multiple of 32) stay black.
      std::memset(row + kBits * blockWidth * 4, 0, static_cast<std::size_t>(w - kBits * blockWidth) * 4);
      continue;
    }
    // Below the band: diagonal colour stripes that scroll by 4 pixels a frame, and the square, so
    // the encoder sees motion and detail.
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = row + x * 4;
      const int phase = (x + y + static_cast<int>(n) * 4) & 255;
      p[0] = static_cast<std::uint8_t>(phase);
      p[1] = static_cast<std::uint8_t>((x * 255) / (w - 1));
      p[2] = static_cast<std::uint8_t>((y * 255) / (h - 1));
      p[3] = 255;
      if (x >= boxX && x < boxX + box && y >= boxY && y < boxY + box) {
        p[0] = 40;
        p[1] = 220;
        p[2] = 250;
      }
    }
  }
}

void DrawTestPicture(std::uint8_t* bgra, std::size_t stride, std::uint32_t n) {
  DrawTestPicture(bgra, 1280, 720, stride, n);
}

void ConvertToNv12(const std::uint8_t* bgra, std::size_t bgraStride, std::uint32_t width, std::uint32_t height,
                   std::uint8_t* nv12, std::size_t stride) {
  // BT.709 studio range, scaled by 256: the coefficients vistrel's own conversion uses.
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* s = bgra + y * bgraStride;
    std::uint8_t* d = nv12 + y * stride;
    for (std::uint32_t x = 0; x < width; ++x, s += 4) {
      d[x] = static_cast<std::uint8_t>(((47 * s[2] + 157 * s[1] + 16 * s[0] + 128) >> 8) + 16);
    }
  }
  std::uint8_t* chroma = nv12 + std::size_t{height} * stride;
  for (std::uint32_t y = 0; y + 1 < height; y += 2) {
    const std::uint8_t* top = bgra + y * bgraStride;
    const std::uint8_t* bottom = top + bgraStride;
    std::uint8_t* d = chroma + (y / 2) * stride;
    for (std::uint32_t x = 0; x + 1 < width; x += 2) {
      const std::uint8_t* a = top + x * 4;
      const std::uint8_t* b = bottom + x * 4;
      const int sb = a[0] + a[4] + b[0] + b[4];
      const int sg = a[1] + a[5] + b[1] + b[5];
      const int sr = a[2] + a[6] + b[2] + b[6];
      d[x] = static_cast<std::uint8_t>(((112 * sb - 87 * sg - 26 * sr + 512) >> 10) + 128);
      d[x + 1] = static_cast<std::uint8_t>(((112 * sr - 102 * sg - 10 * sb + 512) >> 10) + 128);
    }
  }
}

void DrawTestPictureNv12(std::uint8_t* nv12, std::uint32_t width, std::uint32_t height, std::size_t stride,
                         std::uint32_t n) {
  // Drawn as BGRA and converted: the same picture as the BGRA path, up to the conversion.
  thread_local std::vector<std::uint8_t> bgra;
  bgra.resize(std::size_t{width} * height * 4);
  DrawTestPicture(bgra.data(), width, height, std::size_t{width} * 4, n);
  ConvertToNv12(bgra.data(), std::size_t{width} * 4, width, height, nv12, stride);
}

std::optional<std::uint32_t> ReadFrameNumber(const std::uint8_t* luma, std::uint32_t width, std::uint32_t height,
                                             std::size_t stride) {
  const int blockWidth = BlockWidth(width);
  const int bandHeight = BandHeight(height);
  // The middle of each block, away from the edges where compression smears (at 40 x 80: columns
  // 12 to 27, rows 30 to 49).
  const int x0 = blockWidth * 3 / 10, x1 = blockWidth * 7 / 10;
  const int y0 = bandHeight * 3 / 8, y1 = bandHeight * 5 / 8;
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  const unsigned samples = static_cast<unsigned>((x1 - x0) * (y1 - y0));
  std::uint32_t code = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    unsigned sum = 0;
    for (int y = y0; y < y1; ++y) {
      const std::uint8_t* row = luma + static_cast<std::size_t>(y) * stride + bit * blockWidth;
      for (int x = x0; x < x1; ++x) sum += row[x];
    }
    const unsigned mean = sum / samples;
    if (mean > 90 && mean < 160) return std::nullopt;  // neither black nor white
    code = (code << 1) | (mean >= 128 ? 1u : 0u);
  }
  const std::uint32_t n = code >> 8;
  if (Code(n) != code) return std::nullopt;
  return n;
}

std::optional<std::uint32_t> ReadFrameNumber(const std::uint8_t* luma, std::size_t stride) {
  return ReadFrameNumber(luma, 1280, 720, stride);
}

}  // namespace host
