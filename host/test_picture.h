// The reference host's numbered test picture: moving content, with the frame number written into
// the top band as 32 large black and white blocks that survive H.264 compression, so a decoded
// clip can be checked frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace host {

inline constexpr std::uint32_t kMaxFrameNumber = 0xFFFFFF;  // 24 bits

// Draws frame number n into a 1280x720 BGRA frame with rows of stride bytes.
void DrawTestPicture(std::uint8_t* bgra, std::size_t stride, std::uint32_t n);

// Reads the number back from the luma plane (or any 8-bit grey picture) of a decoded frame.
// Empty when the band does not hold a valid code.
std::optional<std::uint32_t> ReadFrameNumber(const std::uint8_t* luma, std::size_t stride);

}  // namespace host
