#include "stream/stream_format.h"

#include <cmath>

namespace stream {

std::uint64_t StreamFormat::SlotBytes() const {
  const std::uint64_t rows = pixelFormat == PixelFormat::Nv12 ? std::uint64_t{height} * 3 / 2 : height;
  return rows * stride;
}

std::int64_t StreamFormat::FrameDuration() const {
  if (frameRateNumerator == 0) return 0;
  const std::uint64_t units = std::uint64_t{10000000} * frameRateDenominator;
  return static_cast<std::int64_t>((units + frameRateNumerator / 2) / frameRateNumerator);
}

std::uint32_t StreamFormat::GopFrames() const {
  if (frameRateDenominator == 0) return 1;
  const std::uint32_t frames = frameRateNumerator / frameRateDenominator;
  return frames < 1 ? 1 : frames;
}

std::uint32_t StreamFormat::Nv12FrameBytes() const {
  return static_cast<std::uint32_t>(std::uint64_t{width} * height * 3 / 2);
}

std::uint32_t DefaultBitRate(std::uint32_t width, std::uint32_t height, std::uint32_t frameRateNumerator,
                             std::uint32_t frameRateDenominator) {
  constexpr double kSeedPixelRate = 1280.0 * 720.0 * 30.0;
  constexpr double kSeedBitRate = 8000000.0;
  if (frameRateDenominator == 0) return kMinBitRate;
  const double pixelRate = double(width) * double(height) * double(frameRateNumerator) / double(frameRateDenominator);
  // Coded size grows more slowly than the pixel rate: larger pictures and higher rates hold more
  // redundancy per pixel for the encoder to find.
  const double bitRate = std::round(kSeedBitRate * std::pow(pixelRate / kSeedPixelRate, 0.75));
  if (!(bitRate >= kMinBitRate)) return kMinBitRate;
  if (bitRate >= kMaxDefaultBitRate) return kMaxDefaultBitRate;
  return static_cast<std::uint32_t>(bitRate);
}

}  // namespace stream
