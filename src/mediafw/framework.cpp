// libvistrel-mediafw.so: the media framework where the system has none of its own (entry points in
// entry_points.cpp).
//
// MFTEnumEx offers, as hardware H.264 encoders, the ones libavcodec has, in this order: h264_nvenc,
// h264_vaapi, h264_qsv, h264_v4l2m2m. Where an encoder's device is missing it fails like a real one:
// h264_vaapi at SetOutputType (no VAAPI device), the others when streaming begins (the encoder does
// not open), so that the next candidate is tried. VISTREL_SOFTWARE_ENCODER adds libavcodec's
// libx264, last: a software encoder, which a machine without an encoding GPU needs to run the system
// at all. VISTREL_MEDIAFW_VERBOSE sends libavcodec's own messages to standard error.
// VISTREL_MEDIAFW_REPLAY lists instead one encoder that replays a recorded stream (replay_codec.h).
//
// Under MFT_CATEGORY_AUDIO_ENCODER it offers libavcodec's own "aac" encoder (audio_transform.h),
// unless VISTREL_MEDIAFW_NO_AUDIO is set.
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "mediafw/audio_codec_session.h"
#include "mediafw/codec_session.h"
#include "mediafw/framework.h"
#include "mediafw/replay_codec.h"

namespace mediafw {
namespace {

constexpr const char* kHardwareEncoders[] = {"h264_nvenc", "h264_vaapi", "h264_qsv", "h264_v4l2m2m"};
constexpr const char* kSoftwareEncoder = "libx264";

// libavcodec's description with the encoder's name, for example
// "NVIDIA NVENC H.264 encoder (h264_nvenc)".
EncoderOffer Offer(const char* codecName) {
  const AVCodec* codec = avcodec_find_encoder_by_name(codecName);
  std::string friendly = codec != nullptr && codec->long_name != nullptr ? codec->long_name : codecName;
  friendly += " (";
  friendly += codecName;
  friendly += ")";
  std::string name = codecName;
  return EncoderOffer{friendly, [name] { return std::unique_ptr<Codec>(new (std::nothrow) CodecSession(name)); }};
}

}  // namespace

void ApplySwitches(const Switches& switches) { av_log_set_level(switches.verbose ? AV_LOG_VERBOSE : AV_LOG_QUIET); }

std::vector<EncoderOffer> OfferedEncoders(const Switches& switches) {
  if (!switches.replayStream.empty()) {
    const std::filesystem::path stream = switches.replayStream;
    return {EncoderOffer{"Replaying H.264 encoder (" + stream.filename().string() + ")", [stream] {
                           return std::unique_ptr<Codec>(new (std::nothrow) ReplayCodec(
                               [stream] { return ReplayCodec::Streams{ReplayStream::Read(stream)}; }));
                         }}};
  }
  std::vector<EncoderOffer> offers;
  for (const char* name : kHardwareEncoders) {
    if (CodecSession::Available(name)) offers.push_back(Offer(name));
  }
  if (switches.softwareEncoder && CodecSession::Available(kSoftwareEncoder)) offers.push_back(Offer(kSoftwareEncoder));
  return offers;
}

std::vector<AudioEncoderOffer> OfferedAudioEncoders(const Switches& switches) {
  if (switches.noAudio || !AudioCodecSession::Available()) return {};
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  std::string friendly = codec != nullptr && codec->long_name != nullptr ? codec->long_name : "aac";
  friendly += " (aac)";
  return {AudioEncoderOffer{friendly, [] { return std::unique_ptr<AudioCodec>(new (std::nothrow) AudioCodecSession); }}};
}

}  // namespace mediafw
