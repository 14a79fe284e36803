// The codec behind an encoder transform: opened with the settings the transform was given, fed NV12
// frames, giving Annex B access units. libvistrel-mediafw.so puts a libavcodec encoder behind it
// (CodecSession); the transform's streaming, events and media types do not depend on which codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

namespace mediafw {

// Colour description values, numbered as in H.264's video usability information (libavcodec's
// AVColorSpace, AVColorPrimaries and AVColorRange use the same numbers).
inline constexpr int kColourBt709 = 1;         // matrix and primaries
inline constexpr int kColourUnspecified = 2;   // matrix and primaries
inline constexpr int kMatrixBt601 = 5;         // BT.470 BG
inline constexpr int kRangeUnspecified = 0;
inline constexpr int kRangeLimited = 1;        // 16-235
inline constexpr int kRangeFull = 2;           // 0-255

struct EncoderSettings {
  int width = 1280;
  int height = 720;
  int frameRateNumerator = 30;
  int frameRateDenominator = 1;
  int profile = 77;  // profile_idc: 66 Baseline, 77 Main, 100 High
  std::int64_t bitRate = 8000000;
  bool constantBitRate = true;
  int gopSize = 30;  // frames from one keyframe to the next
  int bFrames = 0;
  bool lowLatency = true;
  int colorSpace = kColourUnspecified;
  int colorPrimaries = kColourUnspecified;
  int colorRange = kRangeUnspecified;
};

// A media type's frame rate as the codec's int fraction: reduced by the greatest common divisor
// (4294967280/17895697 is 240/1), then, while still beyond int, both terms halved, which keeps the
// rate within a part in a billion. Neither term ends below 1.
inline void CodecFrameRate(std::uint32_t numerator, std::uint32_t denominator, int* codecNumerator,
                           int* codecDenominator) {
  std::uint32_t a = numerator, b = denominator;
  while (b != 0) {
    const std::uint32_t r = a % b;
    a = b;
    b = r;
  }
  if (a > 1) {
    numerator /= a;
    denominator /= a;
  }
  while (numerator > 0x7FFFFFFFu || denominator > 0x7FFFFFFFu) {
    numerator = (numerator + 1) / 2;
    denominator = (denominator + 1) / 2;
  }
  *codecNumerator = numerator == 0 ? 1 : static_cast<int>(numerator);
  *codecDenominator = denominator == 0 ? 1 : static_cast<int>(denominator);
}

// One access unit as the codec gave it; times in 100-ns units. The bytes stay valid while `owner`
// is held.
struct EncodedPacket {
  std::shared_ptr<const void> owner;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::int64_t time = 0;
  std::int64_t duration = 0;
  bool keyframe = false;
};

class Codec {
 public:
  virtual ~Codec() = default;

  // Acquires the device that the codec works on, for codecs that need one; true for the others.
  // False when the device is missing. Kept until the codec is destroyed.
  virtual bool PrepareDevice() = 0;

  // Opens the codec. False (and closed) when it cannot be opened, for example because its
  // hardware is missing.
  virtual bool Open(const EncoderSettings& settings) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // Encodes one NV12 frame of the opened size: `luma` holds height rows and `chroma` height / 2
  // rows of interleaved Cb Cr, both `stride` bytes apart. Access units that the codec finishes are
  // appended to `out`. False on a codec failure.
  virtual bool Encode(const std::uint8_t* luma, const std::uint8_t* chroma, int stride, std::int64_t time,
                      std::int64_t duration, std::deque<EncodedPacket>& out) = 0;

  // Ends the stream: every access unit still inside the codec is appended to `out`, then the codec
  // is closed (Open starts a new stream).
  virtual bool Drain(std::deque<EncodedPacket>& out) = 0;
};

}  // namespace mediafw
