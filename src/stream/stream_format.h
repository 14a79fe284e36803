// The description of the stream that the host hands over: picture size, slot layout, frame rate,
// bit rate and the pixel format of the slots. It is made once, when the block is opened, and every
// user reads it from there: nothing else in vistrel knows a picture size or a frame rate.
//
// A version 2 block always describes the seed's stream (SeedStreamFormat): 1280 x 720 BGRA, rows
// 5120 bytes apart, 30 frames a second, 8,000,000 bit/s.
#pragma once

#include <cstdint>

namespace stream {

enum class PixelFormat : std::uint32_t {
  Bgra = 0,  // bytes B, G, R and an unused one per pixel, rows stride bytes apart
  Nv12 = 1,  // BT.709 studio range: height luma rows, then height / 2 rows of Cb, Cr pairs, all
             // stride bytes apart
};

struct StreamFormat {
  std::uint32_t width = 1280;   // even
  std::uint32_t height = 720;   // even
  std::uint32_t stride = 5120;  // bytes from one row of a slot to the next
  std::uint32_t frameRateNumerator = 30;
  std::uint32_t frameRateDenominator = 1;
  std::uint32_t bitRate = 8000000;  // bit/s given to the encoder (never 0 here)
  PixelFormat pixelFormat = PixelFormat::Bgra;

  // Bytes of one slot: the picture's rows (and for NV12 its chroma rows), stride bytes apart.
  std::uint64_t SlotBytes() const;
  // One frame in 100-ns units, rounded to the nearest unit (333,333 at 30/1).
  std::int64_t FrameDuration() const;
  // Frames between keyframes: one second's worth, rounded down, at least 1 (30 at 30/1 and at
  // 30000/1001), so a clip still starts within a second of the moment asked for.
  std::uint32_t GopFrames() const;
  // Bytes of one unpadded NV12 picture with rows of width bytes, as the encoder takes it.
  std::uint32_t Nv12FrameBytes() const;
};

inline bool operator==(const StreamFormat& a, const StreamFormat& b) {
  return a.width == b.width && a.height == b.height && a.stride == b.stride &&
         a.frameRateNumerator == b.frameRateNumerator && a.frameRateDenominator == b.frameRateDenominator &&
         a.bitRate == b.bitRate && a.pixelFormat == b.pixelFormat;
}
inline bool operator!=(const StreamFormat& a, const StreamFormat& b) { return !(a == b); }

// The stream of every version 2 block.
inline StreamFormat SeedStreamFormat() { return StreamFormat{}; }

// The limits a version 3 block must keep.
inline constexpr std::uint32_t kMinWidth = 320;
inline constexpr std::uint32_t kMinHeight = 180;
inline constexpr std::uint32_t kMaxWidth = 3840;
inline constexpr std::uint32_t kMaxHeight = 2160;
inline constexpr std::uint32_t kMaxFrameRate = 240;     // frames a second
inline constexpr std::uint32_t kMinBitRate = 1000000;   // a bit rate the host asks for
inline constexpr std::uint32_t kMaxBitRate = 100000000;
inline constexpr std::uint32_t kMaxDefaultBitRate = 50000000;

// The bit rate vistrel chooses when the host leaves it to vistrel: the seed's 8,000,000 bit/s at
// 1280 x 720 and 30 frames a second, scaled by the pixel rate to the power 0.75 and kept within
// kMinBitRate..kMaxDefaultBitRate. Exactly 8,000,000 for the seed's size and rate.
std::uint32_t DefaultBitRate(std::uint32_t width, std::uint32_t height, std::uint32_t frameRateNumerator,
                             std::uint32_t frameRateDenominator);

}  // namespace stream
