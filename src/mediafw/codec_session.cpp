#include "mediafw/codec_session.h"

#include <cstring>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace mediafw {

namespace {

// The colour numbers of the codec interface are libavcodec's own.
static_assert(kColourBt709 == AVCOL_SPC_BT709 && kColourBt709 == AVCOL_PRI_BT709);
static_assert(kColourUnspecified == AVCOL_SPC_UNSPECIFIED && kColourUnspecified == AVCOL_PRI_UNSPECIFIED);
static_assert(kMatrixBt601 == AVCOL_SPC_BT470BG);
static_assert(kRangeUnspecified == AVCOL_RANGE_UNSPECIFIED && kRangeLimited == AVCOL_RANGE_MPEG &&
              kRangeFull == AVCOL_RANGE_JPEG);

constexpr AVRational kHundredNanoseconds = {1, 10000000};

bool IsCodec(const std::string& name, const char* other) { return name == other; }

// The private options of each encoder that give the fixed behaviour of a low-latency hardware
// encoder. Options an encoder does not know are left out silently (they differ between versions).
void SetPrivateOptions(const std::string& codec, const EncoderSettings& s, AVCodecContext* context) {
  void* options = context->priv_data;
  auto set = [options](const char* name, const char* value) { av_opt_set(options, name, value, 0); };
  const char* profile = s.profile == 66 ? "baseline" : s.profile == 100 ? "high" : "main";
  if (IsCodec(codec, "libx264")) {
    // superfast, not ultrafast: ultrafast turns CABAC off and the stream becomes Constrained
    // Baseline. Scene detection is off so that keyframes come only every gopSize frames, as from
    // a hardware encoder; the parameter sets are repeated in front of every IDR.
    set("preset", "superfast");
    if (s.lowLatency) set("tune", "zerolatency");
    set("profile", profile);
    set("x264-params", "scenecut=0:repeat-headers=1");
  } else if (IsCodec(codec, "h264_nvenc")) {
    set("preset", "p1");
    set("tune", s.lowLatency ? "ll" : "hq");
    set("rc", s.constantBitRate ? "cbr" : "vbr");
    set("profile", profile);
    if (s.lowLatency) {
      set("zerolatency", "1");
      set("delay", "0");
    }
  } else if (IsCodec(codec, "h264_vaapi")) {
    set("rc_mode", s.constantBitRate ? "CBR" : "VBR");
    set("async_depth", s.lowLatency ? "1" : "2");
  } else if (IsCodec(codec, "h264_qsv")) {
    set("preset", "veryfast");
    set("profile", profile);
    set("look_ahead", "0");
    if (s.lowLatency) set("async_depth", "1");
  }
}

int ContextProfile(int profile) {
  return profile == 66 ? FF_PROFILE_H264_BASELINE : profile == 100 ? FF_PROFILE_H264_HIGH : FF_PROFILE_H264_MAIN;
}

void CopyPlane(std::uint8_t* to, int toStride, const std::uint8_t* from, int fromStride, int width, int rows) {
  for (int y = 0; y < rows; ++y) {
    std::memcpy(to + static_cast<std::ptrdiff_t>(y) * toStride, from + static_cast<std::ptrdiff_t>(y) * fromStride,
                static_cast<std::size_t>(width));
  }
}

}  // namespace

CodecSession::CodecSession(std::string codecName) : codecName_(std::move(codecName)) {}

CodecSession::~CodecSession() {
  Close();
  av_buffer_unref(&device_);
}

bool CodecSession::Available(const char* codecName) { return avcodec_find_encoder_by_name(codecName) != nullptr; }

bool CodecSession::PrepareDevice() {
  if (!IsCodec(codecName_, "h264_vaapi") || device_ != nullptr) return true;
  return av_hwdevice_ctx_create(&device_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) >= 0;
}

bool CodecSession::OpenHardwareFrames() {
  hwFrames_ = av_hwframe_ctx_alloc(device_);
  if (hwFrames_ == nullptr) return false;
  auto* frames = reinterpret_cast<AVHWFramesContext*>(hwFrames_->data);
  frames->format = AV_PIX_FMT_VAAPI;
  frames->sw_format = AV_PIX_FMT_NV12;
  frames->width = context_->width;
  frames->height = context_->height;
  frames->initial_pool_size = 8;
  if (av_hwframe_ctx_init(hwFrames_) < 0) return false;
  context_->hw_frames_ctx = av_buffer_ref(hwFrames_);
  context_->pix_fmt = AV_PIX_FMT_VAAPI;
  hwFrame_ = av_frame_alloc();
  return context_->hw_frames_ctx != nullptr && hwFrame_ != nullptr;
}

bool CodecSession::Open(const EncoderSettings& s) {
  Close();
  const AVCodec* codec = avcodec_find_encoder_by_name(codecName_.c_str());
  if (codec == nullptr || !PrepareDevice()) return false;
  context_ = avcodec_alloc_context3(codec);
  if (context_ == nullptr) return false;
  context_->width = s.width;
  context_->height = s.height;
  context_->time_base = kHundredNanoseconds;
  context_->framerate = AVRational{s.frameRateNumerator, s.frameRateDenominator};
  context_->pix_fmt = AV_PIX_FMT_NV12;
  context_->sample_aspect_ratio = AVRational{1, 1};
  context_->profile = ContextProfile(s.profile);
  context_->gop_size = s.gopSize;
  context_->max_b_frames = s.bFrames;
  context_->bit_rate = s.bitRate;
  if (s.constantBitRate) {
    context_->rc_max_rate = s.bitRate;
    context_->rc_buffer_size = static_cast<int>(s.bitRate);  // one second
  }
  context_->colorspace = static_cast<AVColorSpace>(s.colorSpace);
  context_->color_primaries = static_cast<AVColorPrimaries>(s.colorPrimaries);
  context_->color_range = static_cast<AVColorRange>(s.colorRange);
  if (s.colorSpace == AVCOL_SPC_BT709) context_->color_trc = AVCOL_TRC_BT709;
  if (s.lowLatency) context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  frameDuration_ = av_rescale_q(1, AVRational{s.frameRateDenominator, s.frameRateNumerator}, kHundredNanoseconds);
  SetPrivateOptions(codecName_, s, context_);

  bool ready = device_ == nullptr || OpenHardwareFrames();
  if (ready) ready = avcodec_open2(context_, codec, nullptr) >= 0;
  if (ready) {
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    ready = frame_ != nullptr && packet_ != nullptr;
  }
  if (ready) {
    frame_->format = AV_PIX_FMT_NV12;
    frame_->width = s.width;
    frame_->height = s.height;
    ready = av_frame_get_buffer(frame_, 0) >= 0;
  }
  if (!ready) Close();
  return ready;
}

void CodecSession::Close() {
  avcodec_free_context(&context_);
  av_frame_free(&frame_);
  av_frame_free(&hwFrame_);
  av_packet_free(&packet_);
  av_buffer_unref(&hwFrames_);
  inFlight_.clear();
}

bool CodecSession::Encode(const std::uint8_t* luma, const std::uint8_t* chroma, int stride, std::int64_t time,
                          std::int64_t duration, std::deque<EncodedPacket>& out) {
  if (context_ == nullptr) return false;
  // The encoder may still hold a reference to the previous frame's pixels.
  if (av_frame_make_writable(frame_) < 0) return false;
  CopyPlane(frame_->data[0], frame_->linesize[0], luma, stride, context_->width, context_->height);
  CopyPlane(frame_->data[1], frame_->linesize[1], chroma, stride, context_->width, context_->height / 2);
  frame_->pts = time;
  frame_->pict_type = AV_PICTURE_TYPE_NONE;
  frame_->color_range = context_->color_range;
  frame_->colorspace = context_->colorspace;
  frame_->color_primaries = context_->color_primaries;
  frame_->color_trc = context_->color_trc;

  AVFrame* send = frame_;
  if (hwFrame_ != nullptr) {
    av_frame_unref(hwFrame_);
    if (av_hwframe_get_buffer(hwFrames_, hwFrame_, 0) < 0) return false;
    if (av_hwframe_transfer_data(hwFrame_, frame_, 0) < 0) return false;
    if (av_frame_copy_props(hwFrame_, frame_) < 0) return false;
    send = hwFrame_;
  }
  if (avcodec_send_frame(context_, send) < 0) return false;
  inFlight_.emplace_back(time, duration > 0 ? duration : frameDuration_);
  return Receive(out);
}

bool CodecSession::Drain(std::deque<EncodedPacket>& out) {
  if (context_ == nullptr) return true;
  bool ok = avcodec_send_frame(context_, nullptr) >= 0 && Receive(out);
  Close();
  return ok;
}

bool CodecSession::Receive(std::deque<EncodedPacket>& out) {
  for (;;) {
    int result = avcodec_receive_packet(context_, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    EncodedPacket encoded;
    encoded.time = packet_->pts;
    encoded.duration = packet_->duration > 0 ? packet_->duration : frameDuration_;
    encoded.keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    // The frame's own duration; with B-frames packets leave out of order, so it is looked up. The
    // list is bounded in case an encoder drops frames.
    for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
      if (it->first == encoded.time) {
        encoded.duration = it->second;
        inFlight_.erase(it);
        break;
      }
    }
    while (inFlight_.size() > 256) inFlight_.pop_front();
    AVPacket* kept = av_packet_alloc();
    if (kept == nullptr) return false;
    av_packet_move_ref(kept, packet_);
    encoded.owner = std::shared_ptr<const AVPacket>(kept, [](AVPacket* p) { av_packet_free(&p); });
    encoded.data = kept->data;
    encoded.size = static_cast<std::size_t>(kept->size);
    out.push_back(std::move(encoded));
  }
}

}  // namespace mediafw
