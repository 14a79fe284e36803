// The reference host's numbered test picture: moving content, with the frame number written into
// the top band as 32 large black and white blocks that survive H.264 compression, so a decoded
// clip can be checked frame by frame. The picture scales to any size a block may have: at
// 1280 x 720 the blocks are 40 x 80 pixels, elsewhere width / 32 by height / 9.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace host {

inline constexpr std::uint32_t kMaxFrameNumber = 0xFFFFFF;  // 24 bits

// Draws frame number n into a BGRA frame of width x height pixels with rows of stride bytes
// (at least 4 x width). width and height at least 64 and 36.
void DrawTestPicture(std::uint8_t* bgra, std::uint32_t width, std::uint32_t height, std::size_t stride,
                     std::uint32_t n);
// The same at 1280 x 720.
void DrawTestPicture(std::uint8_t* bgra, std::size_t stride, std::uint32_t n);

// The same picture as NV12 (BT.709 studio range): height luma rows, then height / 2 rows of Cb, Cr
// pairs, all stride bytes apart (stride at least width). width and height even.
void DrawTestPictureNv12(std::uint8_t* nv12, std::uint32_t width, std::uint32_t height, std::size_t stride,
                         std::uint32_t n);

// BGRA to NV12 in BT.709 studio range, each chroma pair from the mean of a 2 x 2 block.
void ConvertToNv12(const std::uint8_t* bgra, std::size_t bgraStride, std::uint32_t width, std::uint32_t height,
                   std::uint8_t* nv12, std::size_t stride);

// Reads the number back from the luma plane (or any 8-bit grey picture) of a decoded frame of
// width x height pixels. Empty when the band does not hold a valid code.
std::optional<std::uint32_t> ReadFrameNumber(const std::uint8_t* luma, std::uint32_t width, std::uint32_t height,
                                             std::size_t stride);
// The same for a 1280 x 720 frame.
std::optional<std::uint32_t> ReadFrameNumber(const std::uint8_t* luma, std::size_t stride);

}  // namespace host
