#include "host/test_picture.h"

#include <cstring>

namespace host {

namespace {

// The band: 32 blocks of 40 x 80 pixels across the top; 24 bits of the number, most significant
// first, then 8 check bits.
constexpr int kBits = 32;
constexpr int kBlockWidth = 40;
constexpr int kBandHeight = 80;

std::uint32_t Code(std::uint32_t n) {
  n &= kMaxFrameNumber;
  const std::uint32_t check = ((n >> 16) ^ (n >> 8) ^ n ^ 0xA5u) & 0xFFu;
  return (n << 8) | check;
}

}  // namespace

void DrawTestPicture(std::uint8_t* bgra, std::size_t stride, std::uint32_t n) {
  const std::uint32_t code = Code(n);
  for (int y = 0; y < 720; ++y) {
    std::uint8_t* row = bgra + static_cast<std::size_t>(y) * stride;
    if (y < kBandHeight) {
      for (int bit = 0; bit < kBits; ++bit) {
        const std::uint8_t v = ((code >> (kBits - 1 - bit)) & 1u) ? 255 : 0;
        std::memset(row + bit * kBlockWidth * 4, v, kBlockWidth * 4);
      }
      continue;
    }
    // Below the band: diagonal colour stripes that scroll by 4 pixels a frame, and a square that
    // crosses the picture, so the encoder sees motion and detail.
    const int boxX = static_cast<int>((n * 8) % 1160);
    const int boxY = 200 + static_cast<int>((n * 3) % 400);
    for (int x = 0; x < 1280; ++x) {
      std::uint8_t* p = row + x * 4;
      const int phase = (x + y + static_cast<int>(n) * 4) & 255;
      p[0] = static_cast<std::uint8_t>(phase);
      p[1] = static_cast<std::uint8_t>((x * 255) / 1279);
      p[2] = static_cast<std::uint8_t>((y * 255) / 719);
      p[3] = 255;
      if (x >= boxX && x < boxX + 120 && y >= boxY && y < boxY + 120) {
        p[0] = 40;
        p[1] = 220;
        p[2] = 250;
      }
    }
  }
}

std::optional<std::uint32_t> ReadFrameNumber(const std::uint8_t* luma, std::size_t stride) {
  std::uint32_t code = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    // The middle of the block, away from the edges where compression smears.
    unsigned sum = 0;
    for (int y = 30; y < 50; ++y) {
      const std::uint8_t* row = luma + static_cast<std::size_t>(y) * stride + bit * kBlockWidth;
      for (int x = 12; x < 28; ++x) sum += row[x];
    }
    const unsigned mean = sum / (20 * 16);
    if (mean > 90 && mean < 160) return std::nullopt;  // neither black nor white
    code = (code << 1) | (mean >= 128 ? 1u : 0u);
  }
  const std::uint32_t n = code >> 8;
  if (Code(n) != code) return std::nullopt;
  return n;
}

}  // namespace host
