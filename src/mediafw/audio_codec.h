// The codec behind an audio encoder transform: opened for 16-bit interleaved PCM, giving raw AAC
// frames of 1024 samples each. libvistrel-mediafw.so puts libavcodec's "aac" encoder behind it
// (AudioCodecSession); the transform's types and streaming do not depend on which codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace mediafw {

// Samples of PCM in one AAC frame.
inline constexpr std::size_t kAacFrameLength = 1024;

struct AudioSettings {
  int sampleRate = 48000;
  int channels = 2;
  std::int64_t bitRate = 160000;
};

class AudioCodec {
 public:
  virtual ~AudioCodec() = default;

  // Opens the codec. False (and closed) when it cannot be opened.
  virtual bool Open(const AudioSettings& settings) = 0;
  virtual bool IsOpen() const = 0;

  // Once open: the stream's AudioSpecificConfig, and the codec's delay in samples (the samples it
  // puts before the first one it was given).
  virtual const std::vector<std::uint8_t>& AudioSpecificConfig() const = 0;
  virtual int Delay() const = 0;

  // Takes `frames` PCM frames (the opened channels, interleaved 16-bit). Each AAC frame the codec
  // finishes is appended to `out`; samples short of a whole frame wait for the next call. False
  // on a codec failure.
  virtual bool Encode(const std::int16_t* pcm, std::size_t frames, std::deque<std::vector<std::uint8_t>>& out) = 0;
};

}  // namespace mediafw
