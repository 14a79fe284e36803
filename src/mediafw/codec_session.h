// One libavcodec H.264 encoder, opened with the settings a transform was given, fed NV12 frames and
// giving Annex B packets. Internal to libvistrel-mediafw.so.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mediafw {

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
  // Colour description, as libavcodec's enumerations (AVColorSpace, AVColorPrimaries,
  // AVColorRange); 2 is "unspecified" for the first two, 0 for the range.
  int colorSpace = 2;
  int colorPrimaries = 2;
  int colorRange = 0;
};

struct PacketDeleter {
  void operator()(AVPacket* packet) const;
};
using PacketPointer = std::unique_ptr<AVPacket, PacketDeleter>;

// One access unit as the encoder gave it; times in 100-ns units.
struct EncodedPacket {
  PacketPointer packet;
  std::int64_t time = 0;
  std::int64_t duration = 0;
  bool keyframe = false;
};

class CodecSession {
 public:
  explicit CodecSession(std::string codecName);
  ~CodecSession();
  CodecSession(const CodecSession&) = delete;
  CodecSession& operator=(const CodecSession&) = delete;

  // Whether libavcodec has an encoder of this name.
  static bool Available(const char* codecName);

  // Acquires the device that the encoder works on, for encoders that need one (VAAPI); true for
  // the others. False when the device is missing. Kept until the session ends.
  bool PrepareDevice();

  // Opens the encoder. False (and closed) when it cannot be opened, for example because its
  // hardware is missing.
  bool Open(const EncoderSettings& settings);
  bool IsOpen() const { return context_ != nullptr; }
  void Close();

  // Encodes one NV12 frame of the opened size: `luma` holds height rows and `chroma` height / 2
  // rows of interleaved Cb Cr, both `stride` bytes apart. Packets that the encoder finishes are
  // appended to `out`. False on an encoder failure.
  bool Encode(const std::uint8_t* luma, const std::uint8_t* chroma, int stride, std::int64_t time,
              std::int64_t duration, std::deque<EncodedPacket>& out);

  // Ends the stream: every packet still inside the encoder is appended to `out`, then the session
  // is closed (Open starts a new stream).
  bool Drain(std::deque<EncodedPacket>& out);

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
