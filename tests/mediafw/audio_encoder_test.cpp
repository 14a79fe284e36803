// The AAC encoder through libvistrel-mediafw.so's audio encoder (libavcodec's "aac"), as vistrel
// drives it: what comes out decodes back to what went in, at the place the priming says, and the
// framework's audio switches fail the way the system must survive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "encoder/audio_encoder.h"
#include "encoder/loader.h"
#include "encoder/log_capture.h"

namespace {

using ::testing::ElementsAre;

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kSecond = 48000;
constexpr std::size_t kSilence = 4800;  // 100 ms before the tone starts
const char kNoEncoder[] = "no audio encoder: the sound is not recorded";
const char* const kSwitches[] = {"VISTREL_MEDIAFW_NO_AUDIO", "VISTREL_MEDIAFW_AUDIO_REFUSER",
                                 "VISTREL_MEDIAFW_AUDIO_FAIL"};

// 100 ms of silence, then a 1 kHz tone at half of full scale on both channels.
std::vector<std::int16_t> Tone(std::size_t frames) {
  std::vector<std::int16_t> pcm(frames * 2, 0);
  for (std::size_t i = kSilence; i < frames; ++i) {
    const double t = static_cast<double>(i - kSilence) / static_cast<double>(kSecond);
    const auto v = static_cast<std::int16_t>(std::lround(16384.0 * std::sin(2 * kPi * 1000.0 * t)));
    pcm[2 * i] = v;
    pcm[2 * i + 1] = v;
  }
  return pcm;
}

// The left channel that libavcodec's AAC decoder makes of the frames, and how many samples it
// left out at the start (its own handling of the priming, if any): frame k's samples stand at
// k * 1024 - skipped.
struct Decoded {
  std::vector<float> left;
  std::size_t skipped = 0;
};

Decoded Decode(const std::vector<std::uint8_t>& config, const std::vector<AudioEncoderOutput>& frames) {
  Decoded result;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  context->extradata = static_cast<std::uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::copy(config.begin(), config.end(), context->extradata);
  context->extradata_size = static_cast<int>(config.size());
  EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
  for (const AudioEncoderOutput& f : frames) {
    EXPECT_EQ(av_new_packet(packet, static_cast<int>(f.bytes.size())), 0);
    std::copy(f.bytes.begin(), f.bytes.end(), packet->data);
    EXPECT_EQ(avcodec_send_packet(context, packet), 0);
    av_packet_unref(packet);
    while (avcodec_receive_frame(context, frame) == 0) {
      EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
      const auto* samples = reinterpret_cast<const float*>(frame->extended_data[0]);
      result.left.insert(result.left.end(), samples, samples + frame->nb_samples);
    }
  }
  result.skipped = frames.size() * 1024 - result.left.size();
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return result;
}

class StandInAudioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::u16string path;
    for (const char* c = VISTREL_MEDIAFW_PATH; *c != 0; ++c) path += static_cast<char16_t>(*c);
    SetMediaFrameworkLibraryForTesting(path);
    ASSERT_TRUE(LoadMediaFramework());
  }

  void SetUp() override {
    for (const char* name : kSwitches) unsetenv(name);
  }

  void TearDown() override {
    ReleaseAudioEncoder(encoder);
    for (const char* name : kSwitches) unsetenv(name);
  }

  std::vector<std::string> Log() const { return log_.Messages(); }

  AudioEncoder encoder;
  std::vector<AudioEncoderOutput> out;

 private:
  LogCapture log_;
};

TEST_F(StandInAudioTest, OneSecondOfAToneComesBackAtItsPlace) {
  ASSERT_TRUE(SelectAudioEncoder(encoder));
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_THAT(Log()[0], ::testing::StartsWith("audio encoder: "));
  EXPECT_THAT(Log()[0], ::testing::EndsWith("(aac)"));
  // AAC-LC, 48 kHz, stereo; libavcodec adds the explicit mark that no SBR follows (the sync
  // extension 0x2B7, object type 5, flag 0), as in the files its own muxers write.
  EXPECT_THAT(encoder.audioSpecificConfig, ElementsAre(0x11, 0x90, 0x56, 0xE5, 0x00));

  // The priming vistrel assumes is libavcodec's delay.
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  ASSERT_NE(aac, nullptr);
  AVCodecContext* probe = avcodec_alloc_context3(aac);
  probe->sample_rate = 48000;
  probe->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&probe->ch_layout, 2);
  probe->bit_rate = 160000;
  ASSERT_EQ(avcodec_open2(probe, aac, nullptr), 0);
  EXPECT_EQ(static_cast<std::uint32_t>(probe->initial_padding), encoder.primingSamples);
  avcodec_free_context(&probe);

  // Fed as the main loop feeds it: uneven pieces, none a whole number of frames.
  const std::vector<std::int16_t> pcm = Tone(kSecond);
  for (std::size_t done = 0; done < kSecond;) {
    const std::size_t piece = std::min<std::size_t>(1000, kSecond - done);
    ASSERT_TRUE(EncodeAudio(encoder, pcm.data() + 2 * done, piece, out));
    done += piece;
  }
  EXPECT_EQ(encoder.framesIn, kSecond);
  // 46 whole frames went in; the encoder holds its delay back.
  EXPECT_GE(out.size(), 44u);
  EXPECT_LE(out.size(), 47u);
  EXPECT_EQ(encoder.framesOut, out.size());
  for (const AudioEncoderOutput& frame : out) {
    EXPECT_GE(frame.bytes.size(), 1u);
    EXPECT_LE(frame.bytes.size(), 8191u);
  }

  // About the 20,000 bytes a second asked for (a pure tone takes somewhat less).
  std::size_t total = 0;
  for (const AudioEncoderOutput& frame : out) total += frame.bytes.size();
  const double bytesPerSecond = static_cast<double>(total) / (static_cast<double>(out.size()) * 1024.0 / 48000.0);
  EXPECT_GT(bytesPerSecond, 16500.0);
  EXPECT_LT(bytesPerSecond, 23000.0);

  const Decoded decoded = Decode(encoder.audioSpecificConfig, out);
  ASSERT_GT(decoded.left.size(), kSilence + 4 * 4096);
  // Input sample i stands at i + primingSamples of the frames' samples.
  const std::size_t offset = encoder.primingSamples - decoded.skipped;
  std::size_t onset = 0;
  while (onset < decoded.left.size() && std::fabs(decoded.left[onset]) < 0.2f) ++onset;
  EXPECT_NEAR(static_cast<double>(onset), static_cast<double>(kSilence + offset), 48.0);

  // After the onset, a 1 kHz tone at half scale: two zero crossings a millisecond, RMS 0.354.
  const std::size_t from = kSilence + offset + 2048;
  const std::size_t to = decoded.left.size() - 1024;
  ASSERT_LT(from + kSecond / 2, to);
  double energy = 0;
  int crossings = 0;
  for (std::size_t i = from; i < to; ++i) {
    energy += static_cast<double>(decoded.left[i]) * decoded.left[i];
    if ((decoded.left[i - 1] < 0) != (decoded.left[i] < 0)) ++crossings;
  }
  const double milliseconds = static_cast<double>(to - from) / 48.0;
  EXPECT_NEAR(std::sqrt(energy / static_cast<double>(to - from)), 0.3536, 0.03);
  EXPECT_NEAR(crossings / milliseconds, 2.0, 0.05);
  // And silence before it.
  for (std::size_t i = 0; i + 64 < kSilence + offset; ++i) ASSERT_LT(std::fabs(decoded.left[i]), 0.05f) << i;
}

// The audio encoder is a synchronous one, listed for the audio category and a PCM-to-AAC filter
// (or none) only.
TEST_F(StandInAudioTest, ListsItsAudioEncoderForTheAudioCategoryOnly) {
  const MFT_REGISTER_TYPE_INFO pcm = {MFMediaType_Audio, MFAudioFormat_PCM};
  const MFT_REGISTER_TYPE_INFO aac = {MFMediaType_Audio, MFAudioFormat_AAC};
  const MFT_REGISTER_TYPE_INFO anyAudio = {MFMediaType_Audio, GUID_NULL};
  const MFT_REGISTER_TYPE_INFO nv12 = {MFMediaType_Video, MFVideoFormat_NV12};
  const MFT_REGISTER_TYPE_INFO h264 = {MFMediaType_Video, MFVideoFormat_H264};
  struct Case {
    const char* what;
    GUID category;
    UINT32 flags;
    const MFT_REGISTER_TYPE_INFO* input;
    const MFT_REGISTER_TYPE_INFO* output;
    UINT32 expected;
  };
  const Case cases[] = {
      {"the system's filter", MFT_CATEGORY_AUDIO_ENCODER, 0x41, &pcm, &aac, 1},
      {"no type filter", MFT_CATEGORY_AUDIO_ENCODER, MFT_ENUM_FLAG_SYNCMFT, nullptr, nullptr, 1},
      {"any audio subtype", MFT_CATEGORY_AUDIO_ENCODER, 0x41, &anyAudio, &anyAudio, 1},
      {"hardware transforms only", MFT_CATEGORY_AUDIO_ENCODER, 0x44, &pcm, &aac, 0},
      {"PCM output", MFT_CATEGORY_AUDIO_ENCODER, 0x41, &pcm, &pcm, 0},
      {"video types", MFT_CATEGORY_AUDIO_ENCODER, 0x41, &nv12, &h264, 0},
      {"the video category", MFT_CATEGORY_VIDEO_ENCODER, 0x41, &pcm, &aac, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IMFActivate** activates = nullptr;
    UINT32 count = 99;
    ASSERT_EQ(mediaFramework.enumTransforms(c.category, c.flags, c.input, c.output, &activates, &count), S_OK);
    EXPECT_EQ(count, c.expected);
    for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
    CoTaskMemFree(activates);
  }
}

TEST_F(StandInAudioTest, NoAudioEncoderListed) {
  setenv("VISTREL_MEDIAFW_NO_AUDIO", "1", 1);
  EXPECT_FALSE(SelectAudioEncoder(encoder));
  EXPECT_EQ(encoder.transform, nullptr);
  EXPECT_THAT(Log(), ElementsAre(kNoEncoder));
}

TEST_F(StandInAudioTest, AnEncoderThatRefusesItsTypesMakesWayForTheNext) {
  setenv("VISTREL_MEDIAFW_AUDIO_REFUSER", "1", 1);
  ASSERT_TRUE(SelectAudioEncoder(encoder));
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_THAT(Log()[0], ::testing::EndsWith("(aac)"));
  const std::vector<std::int16_t> pcm = Tone(8192);
  EXPECT_TRUE(EncodeAudio(encoder, pcm.data(), 8192, out));
  EXPECT_FALSE(out.empty());
}

TEST_F(StandInAudioTest, AnEncoderThatRefusesItsTypesAloneIsNone) {
  setenv("VISTREL_MEDIAFW_AUDIO_REFUSER", "1", 1);
  setenv("VISTREL_MEDIAFW_NO_AUDIO", "1", 1);
  EXPECT_FALSE(SelectAudioEncoder(encoder));
  EXPECT_THAT(Log(), ElementsAre(kNoEncoder));
}

// An encoder that breaks down at its fourth input: the fourth call fails with one line, and the
// encoder is gone, so the calls after it fail without a word.
TEST_F(StandInAudioTest, AnEncoderThatFailsMidRunStopsTheSoundWithOneLine) {
  // "output:4": the output call after the fourth input fails; "input:3": the fourth input.
  for (const char* fault : {"input:3", "output:4"}) {
    SCOPED_TRACE(fault);
    setenv("VISTREL_MEDIAFW_AUDIO_FAIL", fault, 1);
    ASSERT_TRUE(SelectAudioEncoder(encoder));
    const std::size_t before = Log().size();
    const std::vector<std::int16_t> pcm = Tone(kAudioInputFrames);
    out.clear();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(EncodeAudio(encoder, pcm.data(), kAudioInputFrames, out)) << i;
    EXPECT_FALSE(out.empty());
    EXPECT_FALSE(EncodeAudio(encoder, pcm.data(), kAudioInputFrames, out));
    EXPECT_FALSE(EncodeAudio(encoder, pcm.data(), kAudioInputFrames, out));
    EXPECT_EQ(encoder.transform, nullptr);
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_EQ(log.back(), "audio encoder failed 0x80004005: the sound stops");
  }
}

}  // namespace
