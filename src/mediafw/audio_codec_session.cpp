#include "mediafw/audio_codec_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace mediafw {

AudioCodecSession::~AudioCodecSession() { Close(); }

bool AudioCodecSession::Available() { return avcodec_find_encoder_by_name("aac") != nullptr; }

void AudioCodecSession::Close() {
  avcodec_free_context(&context_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  filled_ = 0;
  nextPts_ = 0;
  config_.clear();
  delay_ = 0;
}

bool AudioCodecSession::Open(const AudioSettings& settings) {
  Close();
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr || settings.channels < 1 || settings.channels > 8) return false;
  context_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
    Close();
    return false;
  }
  channels_ = settings.channels;
  context_->sample_rate = settings.sampleRate;
  context_->sample_fmt = AV_SAMPLE_FMT_FLTP;  // the only format the encoder takes
  av_channel_layout_default(&context_->ch_layout, settings.channels);
  context_->bit_rate = settings.bitRate;
  context_->profile = FF_PROFILE_AAC_LOW;
  context_->time_base = AVRational{1, settings.sampleRate};
  context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the AudioSpecificConfig in extradata
  if (avcodec_open2(context_, codec, nullptr) < 0 || context_->extradata == nullptr || context_->extradata_size <= 0 ||
      context_->frame_size != static_cast<int>(kAacFrameLength)) {
    Close();
    return false;
  }
  config_.assign(context_->extradata, context_->extradata + context_->extradata_size);
  delay_ = context_->initial_padding;

  frame_->format = AV_SAMPLE_FMT_FLTP;
  frame_->nb_samples = context_->frame_size;
  frame_->sample_rate = settings.sampleRate;
  if (av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0 || av_frame_get_buffer(frame_, 0) < 0) {
    Close();
    return false;
  }
  return true;
}

bool AudioCodecSession::Receive(std::deque<std::vector<std::uint8_t>>& out) {
  for (;;) {
    const int result = avcodec_receive_packet(context_, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    out.emplace_back(packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_);
  }
}

bool AudioCodecSession::Encode(const std::int16_t* pcm, std::size_t frames,
                               std::deque<std::vector<std::uint8_t>>& out) {
  if (context_ == nullptr) return false;
  for (std::size_t i = 0; i < frames; ++i) {
    if (filled_ == 0 && av_frame_make_writable(frame_) < 0) return false;
    for (int c = 0; c < channels_; ++c) {
      reinterpret_cast<float*>(frame_->data[c])[filled_] =
          static_cast<float>(pcm[i * static_cast<std::size_t>(channels_) + static_cast<std::size_t>(c)]) / 32768.0f;
    }
    if (++filled_ == frame_->nb_samples) {
      frame_->pts = nextPts_;
      nextPts_ += filled_;
      filled_ = 0;
      if (avcodec_send_frame(context_, frame_) < 0 || !Receive(out)) return false;
    }
  }
  return true;
}

}  // namespace mediafw
