// libavcodec's own "aac" encoder as the codec of an audio transform. Internal to
// libvistrel-mediafw.so.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "mediafw/audio_codec.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mediafw {

class AudioCodecSession final : public AudioCodec {
 public:
  AudioCodecSession() = default;
  ~AudioCodecSession() override;
  AudioCodecSession(const AudioCodecSession&) = delete;
  AudioCodecSession& operator=(const AudioCodecSession&) = delete;

  // Whether libavcodec has its "aac" encoder.
  static bool Available();

  bool Open(const AudioSettings& settings) override;
  bool IsOpen() const override { return context_ != nullptr; }
  const std::vector<std::uint8_t>& AudioSpecificConfig() const override { return config_; }
  int Delay() const override { return delay_; }
  bool Encode(const std::int16_t* pcm, std::size_t frames, std::deque<std::vector<std::uint8_t>>& out) override;

 private:
  void Close();
  bool Receive(std::deque<std::vector<std::uint8_t>>& out);

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;  // one AAC frame of planar float samples being filled
  AVPacket* packet_ = nullptr;
  int channels_ = 2;
  int filled_ = 0;            // samples in frame_ so far
  std::int64_t nextPts_ = 0;  // in samples
  std::vector<std::uint8_t> config_;
  int delay_ = 0;
};

}  // namespace mediafw
