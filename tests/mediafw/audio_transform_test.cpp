// The stand-in's AAC encoder transform over a scripted codec: the types it takes and in which
// order, the user data it publishes, one frame an output call, and its breakdowns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "mediafw/audio_transform.h"
#include "mediafw/com_ptr.h"
#include "mediafw/objects.h"

namespace {

using mediafw::AudioTransformMode;
using mediafw::ComPtr;
using ::testing::ElementsAre;

// Gives one frame of `frameBytes` bytes (each byte the frame's number) for every 1024 PCM frames.
class ScriptedCodec final : public mediafw::AudioCodec {
 public:
  explicit ScriptedCodec(std::size_t frameBytes) : frameBytes_(frameBytes) {}
  bool Open(const mediafw::AudioSettings&) override {
    opened_ = true;
    return true;
  }
  bool IsOpen() const override { return opened_; }
  const std::vector<std::uint8_t>& AudioSpecificConfig() const override { return config_; }
  int Delay() const override { return 1024; }
  bool Encode(const std::int16_t*, std::size_t frames, std::deque<std::vector<std::uint8_t>>& out) override {
    for (pending_ += frames; pending_ >= 1024; pending_ -= 1024) {
      out.emplace_back(frameBytes_, static_cast<std::uint8_t>(made_++));
    }
    return true;
  }

 private:
  std::size_t frameBytes_;
  bool opened_ = false;
  std::size_t pending_ = 0;
  int made_ = 0;
  std::vector<std::uint8_t> config_ = {0x11, 0x90};
};

ComPtr<IMFMediaType> AudioType(const GUID& subtype, UINT32 rate = 48000, UINT32 channels = 2) {
  ComPtr<IMFMediaType> type;
  EXPECT_EQ(CreateMediaTypeObject(type.Out()), S_OK);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  return type;
}

ComPtr<IMFSample> PcmSample(std::size_t bytes, LONGLONG time) {
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFSample> sample;
  EXPECT_EQ(CreateMemoryBufferObject(static_cast<DWORD>(bytes), buffer.Out()), S_OK);
  buffer->SetCurrentLength(static_cast<DWORD>(bytes));
  EXPECT_EQ(CreateSampleObject(sample.Out()), S_OK);
  sample->AddBuffer(buffer.get());
  sample->SetSampleTime(time);
  return sample;
}

struct Output {
  HRESULT result;
  std::vector<BYTE> bytes;
  LONGLONG time = 0;
};

Output TakeOutput(IMFTransform* transform, DWORD room) {
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFSample> sample;
  CreateMemoryBufferObject(room, buffer.Out());
  CreateSampleObject(sample.Out());
  sample->AddBuffer(buffer.get());
  MFT_OUTPUT_DATA_BUFFER data = {};
  data.pSample = sample.get();
  DWORD status = 0;
  Output out{transform->ProcessOutput(0, 1, &data, &status), {}, 0};
  if (SUCCEEDED(out.result)) {
    BYTE* bytes = nullptr;
    DWORD length = 0;
    buffer->Lock(&bytes, nullptr, &length);
    out.bytes.assign(bytes, bytes + length);
    buffer->Unlock();
    sample->GetSampleTime(&out.time);
  }
  return out;
}

class AudioTransformTest : public ::testing::Test {
 protected:
  void Make(const AudioTransformMode& mode = {}, std::size_t frameBytes = 300) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(mediafw::CreateAudioEncoderTransform(std::make_unique<ScriptedCodec>(frameBytes), mode, object.Out()),
              S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IMFTransform, transform.OutVoid()), S_OK);
  }

  void Type() {
    ASSERT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_PCM).get(), 0), S_OK);
    ComPtr<IMFMediaType> aac = AudioType(MFAudioFormat_AAC);
    aac->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 20000);
    aac->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    aac->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x29);
    ASSERT_EQ(transform->SetOutputType(0, aac.get(), 0), S_OK);
  }

  ComPtr<IMFTransform> transform;
};

TEST_F(AudioTransformTest, TakesPcmFirstThenRawAacOnly) {
  Make();
  EXPECT_EQ(transform->SetOutputType(0, AudioType(MFAudioFormat_AAC).get(), 0), MF_E_TRANSFORM_TYPE_NOT_SET);
  EXPECT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_PCM, 44100).get(), 0), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_PCM, 48000, 1).get(), 0), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_AAC).get(), 0), MF_E_INVALIDMEDIATYPE);
  ComPtr<IMFMediaType> misaligned = AudioType(MFAudioFormat_PCM);
  misaligned->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 2);
  EXPECT_EQ(transform->SetInputType(0, misaligned.get(), 0), MF_E_INVALIDMEDIATYPE);
  ASSERT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_PCM).get(), 0), S_OK);
  ComPtr<IMFMediaType> adts = AudioType(MFAudioFormat_AAC);
  adts->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 1);
  EXPECT_EQ(transform->SetOutputType(0, adts.get(), 0), MF_E_INVALIDMEDIATYPE);
  ComPtr<IMFMediaType> current;
  EXPECT_EQ(transform->GetOutputCurrentType(0, current.Out()), MF_E_TRANSFORM_TYPE_NOT_SET);
  EXPECT_EQ(transform->SetOutputType(0, AudioType(MFAudioFormat_AAC).get(), MFT_SET_TYPE_TEST_ONLY), S_OK);
  EXPECT_EQ(transform->GetOutputCurrentType(0, current.Out()), MF_E_TRANSFORM_TYPE_NOT_SET);
}

TEST_F(AudioTransformTest, PublishesTheConfigurationAfterTheWaveInfoTail) {
  Make();
  Type();
  ComPtr<IMFMediaType> current;
  ASSERT_EQ(transform->GetOutputCurrentType(0, current.Out()), S_OK);
  UINT8 data[64] = {};
  UINT32 size = 0;
  ASSERT_EQ(current->GetBlob(MF_MT_USER_DATA, data, sizeof data, &size), S_OK);
  EXPECT_THAT(std::vector<UINT8>(data, data + size), ElementsAre(0, 0, 0x29, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x90));
  MFT_OUTPUT_STREAM_INFO info = {};
  ASSERT_EQ(transform->GetOutputStreamInfo(0, &info), S_OK);
  EXPECT_EQ(info.cbSize, 8191u);
  EXPECT_EQ(info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, 0u);
  // Typed and streaming: the types stay.
  EXPECT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_PCM).get(), 0),
            MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING);
}

// One frame an output call, its time where its first sample stands on the input's clock: the
// first one the codec's delay (1024 samples, 213,333 units) before the first input.
TEST_F(AudioTransformTest, GivesOneFrameAnOutputCallWithItsDelayInTheTimes) {
  Make();
  Type();
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 2048 + 2, 0).get(), 0), E_INVALIDARG);  // half a PCM frame
  ASSERT_EQ(transform->ProcessInput(0, PcmSample(4 * 2048, 5000000).get(), 0), S_OK);
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 1024, 0).get(), 0), MF_E_NOTACCEPTING);
  EXPECT_EQ(TakeOutput(transform.get(), 299).result, MF_E_BUFFERTOOSMALL);  // the frame stays
  const Output first = TakeOutput(transform.get(), 8191);
  ASSERT_EQ(first.result, S_OK);
  EXPECT_EQ(first.bytes, std::vector<BYTE>(300, 0));
  EXPECT_EQ(first.time, 5000000 - 213333);
  const Output second = TakeOutput(transform.get(), 8191);
  ASSERT_EQ(second.result, S_OK);
  EXPECT_EQ(second.bytes, std::vector<BYTE>(300, 1));
  EXPECT_EQ(second.time, 5000000);
  EXPECT_EQ(TakeOutput(transform.get(), 8191).result, MF_E_TRANSFORM_NEED_MORE_INPUT);
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 1024, 0).get(), 0), S_OK);
}

TEST_F(AudioTransformTest, BreaksDownAfterTheChosenInputsAndStaysDown) {
  AudioTransformMode input;
  input.fault = AudioTransformMode::Fault::kProcessInput;
  input.faultAfterInputs = 1;
  Make(input);
  Type();
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 1024, 0).get(), 0), S_OK);
  EXPECT_EQ(TakeOutput(transform.get(), 8191).result, S_OK);
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 1024, 0).get(), 0), mediafw::kAudioFaultResult);
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 1024, 0).get(), 0), mediafw::kAudioFaultResult);

  AudioTransformMode output;
  output.fault = AudioTransformMode::Fault::kProcessOutput;
  output.faultAfterInputs = 1;
  Make(output);
  Type();
  EXPECT_EQ(TakeOutput(transform.get(), 8191).result, MF_E_TRANSFORM_NEED_MORE_INPUT);
  EXPECT_EQ(transform->ProcessInput(0, PcmSample(4 * 1024, 0).get(), 0), S_OK);
  EXPECT_EQ(TakeOutput(transform.get(), 8191).result, mediafw::kAudioFaultResult);

  AudioTransformMode refusing;
  refusing.refuseTypes = true;
  Make(refusing);
  EXPECT_EQ(transform->SetInputType(0, AudioType(MFAudioFormat_PCM).get(), 0), MF_E_INVALIDMEDIATYPE);
}

}  // namespace
