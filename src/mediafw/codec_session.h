// One libavcodec H.264 encoder as the codec of a transform. Internal to libvistrel-mediafw.so.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "mediafw/codec.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mediafw {

class CodecSession final : public Codec {
 public:
  explicit CodecSession(std::string codecName);
  ~CodecSession() override;
  CodecSession(const CodecSession&) = delete;
  CodecSession& operator=(const CodecSession&) = delete;

  // Whether libavcodec has an encoder of this name.
  static bool Available(const char* codecName);

  // VAAPI needs its device; the other encoders take theirs when they open.
  bool PrepareDevice() override;
  bool Open(const EncoderSettings& settings) override;
  bool IsOpen() const override { return context_ != nullptr; }
  void Close() override;
  bool Encode(const std::uint8_t* luma, const std::uint8_t* chroma, int stride, std::int64_t time,
              std::int64_t duration, std::deque<EncodedPacket>& out) override;
  bool Drain(std::deque<EncodedPacket>& out) override;

 private:
  bool Receive(std::deque<EncodedPacket>& out);
  bool OpenHardwareFrames();

  const std::string codecName_;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;      // the NV12 frame handed to the encoder
  AVFrame* hwFrame_ = nullptr;    // VAAPI: the device frame the NV12 frame is uploaded into
  AVPacket* packet_ = nullptr;
  AVBufferRef* device_ = nullptr;
  AVBufferRef* hwFrames_ = nullptr;
  std::int64_t frameDuration_ = 333333;
  // Times and durations of the frames sent and not yet given back as packets, oldest first: the
  // encoders' packets do not all carry a duration (libx264's carry 0), so the input's is used.
  std::deque<std::pair<std::int64_t, std::int64_t>> inFlight_;
};

}  // namespace mediafw
