// vistrel-test-encoders.dll seen from the outside, as vistrel.exe sees it under Wine: a COM
// in-process server that keeps itself loaded while anything it made is alive, and encoders that,
// made through the registry, each keep the manners of their personality on the system's own
// framework objects (samples, buffers, media types and events of mfplat.dll).
#include <gtest/gtest.h>
#include <windows.h>

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <objbase.h>
#include <strmif.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "test_audio_encoder.h"

namespace {

// The personalities' CLSIDs, in the order in which the framework lists them.
constexpr CLSID kRefusesOutputType = {0x1b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x01}};
constexpr CLSID kAsyncRequests = {0x2b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x02}};
constexpr CLSID kAsyncPadded = {0x3b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x03}};
constexpr CLSID kSync = {0x4b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x04}};
constexpr CLSID kUnknown = {0x6b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x06}};
constexpr CLSID kAacRefusesOutputType = {0x7c1d5e40, 0x3a6b, 0x4f27, {0xb1, 0x94, 0x6e, 0x2a, 0x0c, 0x7d, 0x51, 0x00}};
constexpr CLSID kAac = {0x8c1d5e40, 0x3a6b, 0x4f27, {0xb1, 0x94, 0x6e, 0x2a, 0x0c, 0x7d, 0x51, 0x01}};

constexpr UINT32 kWidth = 1280;
constexpr UINT32 kHeight = 720;
// "The device is not ready": an encoder whose device is missing.
constexpr HRESULT kDeviceNotReady = static_cast<HRESULT>(0x80070015);

// The library's Windows path (Wine's Z: drive is /).
std::wstring LibraryPath() {
  std::wstring path = L"Z:";
  for (const char* c = VISTREL_TEST_ENCODERS_DLL; *c != 0; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return path;
}

// The module whose image holds an object's interface table: where its code comes from.
HMODULE ModuleOf(IUnknown* object) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCWSTR>(*reinterpret_cast<void**>(object)), &module);
  return module;
}

template <typename T>
void Release(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

class TestEncoders : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
  }
  static void TearDownTestSuite() {
    MFShutdown();
    CoUninitialize();
  }
  void TearDown() override {
    Release(events_);
    Release(transform_);
    SetEnvironmentVariableA("VISTREL_TEST_ENCODERS", nullptr);
  }

  // Makes the encoder through the registry, as the framework's activation does, and unlocks an
  // asynchronous one.
  void Make(const CLSID& clsid) {
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                               reinterpret_cast<void**>(&transform_)),
              S_OK);
    IMFAttributes* attributes = nullptr;
    ASSERT_EQ(transform_->GetAttributes(&attributes), S_OK);
    UINT32 async = 0;
    async_ = SUCCEEDED(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async)) && async != 0;
    if (async_) attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1);
    EXPECT_EQ(ModuleOf(attributes), mfplat_);
    attributes->Release();
    const HRESULT hr = transform_->QueryInterface(IID_IMFMediaEventGenerator, reinterpret_cast<void**>(&events_));
    EXPECT_EQ(hr, async_ ? S_OK : E_NOINTERFACE);
  }

  static IMFMediaType* OutputType() {
    IMFMediaType* type = nullptr;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    MFSetAttributeSize(type, MF_MT_FRAME_SIZE, kWidth, kHeight);
    MFSetAttributeRatio(type, MF_MT_FRAME_RATE, 30, 1);
    type->SetUINT32(MF_MT_AVG_BITRATE, 8000000);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    type->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_Main);
    return type;
  }

  // Both types, then streaming begins.
  void Start() {
    IMFMediaType* output = OutputType();
    ASSERT_EQ(transform_->SetOutputType(0, output, 0), S_OK);
    output->Release();
    IMFMediaType* input = nullptr;
    ASSERT_EQ(transform_->GetInputAvailableType(0, 0, &input), S_OK);
    EXPECT_EQ(ModuleOf(input), mfplat_);
    ASSERT_EQ(transform_->SetInputType(0, input, 0), S_OK);
    input->Release();
    ASSERT_EQ(transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0), S_OK);
    ASSERT_EQ(transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), S_OK);
  }

  // The events queued now, without waiting; each one must be the framework's.
  std::vector<MediaEventType> QueuedEvents() {
    std::vector<MediaEventType> types;
    IMFMediaEvent* event = nullptr;
    while (events_->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) == S_OK) {
      EXPECT_EQ(ModuleOf(event), mfplat_);
      MediaEventType type = MEUnknown;
      event->GetType(&type);
      types.push_back(type);
      Release(event);
    }
    return types;
  }

  // The next event, waited for (the output comes from the encoder's own thread); MEUnknown when
  // none comes within a minute.
  MediaEventType NextEvent() {
    for (int i = 0; i < 6000; ++i) {
      IMFMediaEvent* event = nullptr;
      if (events_->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) == S_OK) {
        MediaEventType type = MEUnknown;
        event->GetType(&type);
        event->Release();
        return type;
      }
      Sleep(10);
    }
    return MEUnknown;
  }

  // A frame of `rows` luma rows in the framework's own sample and buffer.
  static IMFSample* Frame(UINT32 rows, LONGLONG time) {
    const DWORD size = kWidth * rows * 3 / 2;
    IMFMediaBuffer* buffer = nullptr;
    IMFSample* sample = nullptr;
    MFCreateMemoryBuffer(size, &buffer);
    buffer->SetCurrentLength(size);
    MFCreateSample(&sample);
    sample->AddBuffer(buffer);
    buffer->Release();
    sample->SetSampleTime(time);
    sample->SetSampleDuration(333333);
    return sample;
  }

  // A sample of the caller's for the output, 2 MiB.
  static IMFSample* OutputSample() {
    IMFMediaBuffer* buffer = nullptr;
    IMFSample* sample = nullptr;
    MFCreateMemoryBuffer(2 * 1024 * 1024, &buffer);
    MFCreateSample(&sample);
    sample->AddBuffer(buffer);
    buffer->Release();
    return sample;
  }

  // The access unit in an output sample: its length, and whether the sample and its buffer are
  // the framework's.
  DWORD CheckOutputSample(IMFSample* sample) {
    EXPECT_EQ(ModuleOf(sample), mfplat_);
    IMFMediaBuffer* buffer = nullptr;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) return 0;
    EXPECT_EQ(ModuleOf(buffer), mfplat_);
    DWORD length = 0;
    buffer->GetCurrentLength(&length);
    buffer->Release();
    return length;
  }

  HMODULE mfplat_ = GetModuleHandleW(L"mfplat.dll");
  IMFTransform* transform_ = nullptr;
  IMFMediaEventGenerator* events_ = nullptr;
  bool async_ = false;
};

const std::vector<MediaEventType> kNeedInput = {METransformNeedInput};

// The class factory and DllCanUnloadNow, called directly: the library may not be unloaded while a
// class factory lives, nor once an encoder was made (encoders run threads of its code, which do
// not say when they end).
TEST_F(TestEncoders, ServerStaysLoadedWhileItsObjectsLive) {
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
  const HMODULE library = LoadLibraryW(LibraryPath().c_str());
  ASSERT_NE(library, nullptr);
  auto getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
  auto canUnloadNow = reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
  ASSERT_NE(getClassObject, nullptr);
  ASSERT_NE(canUnloadNow, nullptr);

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(kUnknown, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject(kAsyncRequests, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->QueryInterface(IID_IMFTransform, &object), E_NOINTERFACE);
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown, &object),
            CLASS_E_NOAGGREGATION);
  SetEnvironmentVariableA("VISTREL_TEST_ENCODERS", "sync");
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMFTransform, &object), kDeviceNotReady);
  SetEnvironmentVariableA("VISTREL_TEST_ENCODERS", nullptr);

  IMFTransform* transform = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMFTransform, reinterpret_cast<void**>(&transform)), S_OK);
  factory->Release();
  // Only the encoder is alive now.
  EXPECT_EQ(canUnloadNow(), S_FALSE);

  // One object: every interface it gives answers IUnknown with the same pointer.
  IUnknown* identity = nullptr;
  ASSERT_EQ(transform->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  for (const IID* iid : {&IID_IMFMediaEventGenerator, &IID_ICodecAPI}) {
    IUnknown* part = nullptr;
    ASSERT_EQ(transform->QueryInterface(*iid, reinterpret_cast<void**>(&part)), S_OK);
    IUnknown* again = nullptr;
    ASSERT_EQ(part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, identity);
    again->Release();
    part->Release();
  }
  identity->Release();
  EXPECT_EQ(transform->Release(), 0u);
  EXPECT_EQ(canUnloadNow(), S_FALSE);  // its thread may still be ending
  FreeLibrary(library);
}

// Listed first, so that a caller must go on to the next.
TEST_F(TestEncoders, RefusingOneRefusesItsOutputType) {
  Make(kRefusesOutputType);
  ASSERT_NE(transform_, nullptr);
  IMFMediaType* output = OutputType();
  EXPECT_EQ(transform_->SetOutputType(0, output, MFT_SET_TYPE_TEST_ONLY), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(transform_->SetOutputType(0, output, 0), MF_E_INVALIDMEDIATYPE);
  output->Release();
}

// Three input requests outstanding, output in samples of its own, and a new request for each
// output taken.
TEST_F(TestEncoders, AsyncRequestsKeepsThreeRequestsAndGivesItsOwnSamples) {
  Make(kAsyncRequests);
  ASSERT_TRUE(async_);
  ASSERT_NE(events_, nullptr);
  ASSERT_NO_FATAL_FAILURE(Start());
  MFT_INPUT_STREAM_INFO input{};
  ASSERT_EQ(transform_->GetInputStreamInfo(0, &input), S_OK);
  EXPECT_EQ(input.cbSize, kWidth * kHeight * 3 / 2);
  MFT_OUTPUT_STREAM_INFO info{};
  ASSERT_EQ(transform_->GetOutputStreamInfo(0, &info), S_OK);
  EXPECT_NE(info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, 0u);
  EXPECT_EQ(QueuedEvents(), std::vector<MediaEventType>(3, METransformNeedInput));

  for (LONGLONG n = 0; n < 3; ++n) {
    IMFSample* frame = Frame(kHeight, n * 333333);
    EXPECT_EQ(transform_->ProcessInput(0, frame, 0), S_OK);
    frame->Release();
  }
  IMFSample* extra = Frame(kHeight, 3 * 333333);
  EXPECT_EQ(transform_->ProcessInput(0, extra, 0), MF_E_NOTACCEPTING);  // nothing asked for
  extra->Release();
  // The three outputs are announced; no request comes while they wait to be taken.
  for (int n = 0; n < 3; ++n) ASSERT_EQ(NextEvent(), METransformHaveOutput) << "announcement " << n;
  EXPECT_EQ(QueuedEvents(), std::vector<MediaEventType>{});
  for (LONGLONG n = 0; n < 3; ++n) {
    MFT_OUTPUT_DATA_BUFFER output{};
    DWORD status = 0;
    ASSERT_EQ(transform_->ProcessOutput(0, 1, &output, &status), S_OK);
    ASSERT_NE(output.pSample, nullptr);
    EXPECT_GT(CheckOutputSample(output.pSample), 0u);
    LONGLONG time = -1;
    output.pSample->GetSampleTime(&time);
    EXPECT_EQ(time, n * 333333);
    output.pSample->Release();
    EXPECT_EQ(QueuedEvents(), kNeedInput) << "after output " << n;
  }
}

// Padded input (736 rows), the caller's output samples (cbSize 0), and an output type change
// before its first output.
TEST_F(TestEncoders, AsyncPaddedTakesPaddedFramesAndChangesItsTypeFirst) {
  Make(kAsyncPadded);
  ASSERT_TRUE(async_);
  ASSERT_NE(events_, nullptr);
  ASSERT_NO_FATAL_FAILURE(Start());
  MFT_INPUT_STREAM_INFO input{};
  ASSERT_EQ(transform_->GetInputStreamInfo(0, &input), S_OK);
  EXPECT_EQ(input.cbSize, kWidth * 736 * 3 / 2);
  MFT_OUTPUT_STREAM_INFO info{};
  ASSERT_EQ(transform_->GetOutputStreamInfo(0, &info), S_OK);
  EXPECT_EQ(info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES), 0u);
  EXPECT_EQ(info.cbSize, 0u);
  EXPECT_EQ(QueuedEvents(), kNeedInput);

  IMFSample* unpadded = Frame(kHeight, 0);
  EXPECT_EQ(transform_->ProcessInput(0, unpadded, 0), E_INVALIDARG);
  unpadded->Release();
  IMFSample* frame = Frame(736, 0);
  EXPECT_EQ(transform_->ProcessInput(0, frame, 0), S_OK);
  frame->Release();
  ASSERT_EQ(NextEvent(), METransformHaveOutput);

  IMFSample* sample = OutputSample();
  MFT_OUTPUT_DATA_BUFFER output{};
  output.pSample = sample;
  DWORD status = 0;
  EXPECT_EQ(transform_->ProcessOutput(0, 1, &output, &status), MF_E_TRANSFORM_STREAM_CHANGE);
  EXPECT_EQ(output.dwStatus, static_cast<DWORD>(MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE));
  IMFMediaType* changed = nullptr;
  ASSERT_EQ(transform_->GetOutputAvailableType(0, 0, &changed), S_OK);
  UINT32 header = 0;
  EXPECT_EQ(changed->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &header), S_OK);
  EXPECT_GT(header, 8u);
  EXPECT_EQ(transform_->SetOutputType(0, changed, 0), S_OK);
  changed->Release();

  ASSERT_EQ(NextEvent(), METransformHaveOutput);  // announced again
  output = MFT_OUTPUT_DATA_BUFFER{};
  output.pSample = sample;
  ASSERT_EQ(transform_->ProcessOutput(0, 1, &output, &status), S_OK);
  EXPECT_EQ(output.pSample, sample);
  EXPECT_GT(CheckOutputSample(sample), 0u);
  sample->Release();
  EXPECT_EQ(QueuedEvents(), kNeedInput);
}

// Synchronous: no events, the caller's output samples of 2,000,000 bytes.
TEST_F(TestEncoders, SyncHasNoEventsAndFillsTheCallersSamples) {
  Make(kSync);
  ASSERT_FALSE(async_);
  ASSERT_NO_FATAL_FAILURE(Start());
  MFT_OUTPUT_STREAM_INFO info{};
  ASSERT_EQ(transform_->GetOutputStreamInfo(0, &info), S_OK);
  EXPECT_EQ(info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, 0u);
  EXPECT_EQ(info.cbSize, 2000000u);
  IMFSample* frame = Frame(kHeight, 0);
  EXPECT_EQ(transform_->ProcessInput(0, frame, 0), S_OK);
  frame->Release();
  IMFSample* sample = OutputSample();
  MFT_OUTPUT_DATA_BUFFER output{};
  output.pSample = sample;
  DWORD status = 0;
  ASSERT_EQ(transform_->ProcessOutput(0, 1, &output, &status), S_OK);
  EXPECT_GT(CheckOutputSample(sample), 0u);
  output = MFT_OUTPUT_DATA_BUFFER{};
  output.pSample = sample;
  EXPECT_EQ(transform_->ProcessOutput(0, 1, &output, &status), MF_E_TRANSFORM_NEED_MORE_INPUT);
  sample->Release();
}

// The AAC encoder, made through the registry as the framework's activation does, and driven with
// the system's own samples, buffers and media types.
class AacEncoder : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
  }
  static void TearDownTestSuite() {
    MFShutdown();
    CoUninitialize();
  }
  void SetUp() override {
    ASSERT_EQ(CoCreateInstance(kAac, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                               reinterpret_cast<void**>(&transform_)),
              S_OK);
  }
  void TearDown() override {
    Release(transform_);
    SetEnvironmentVariableA("VISTREL_TEST_ENCODERS", nullptr);
    SetEnvironmentVariableA("VISTREL_TEST_AAC_FAIL_AFTER", nullptr);
  }

  // What vistrel asks for: 48 kHz, 2 channels, 16-bit PCM in.
  static IMFMediaType* PcmType() {
    IMFMediaType* type = nullptr;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 192000);
    return type;
  }

  // AAC-LC, 48 kHz, stereo, 160 kbit/s, raw; without user data (the encoder's to give).
  static IMFMediaType* AacType() {
    IMFMediaType* type = nullptr;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 20000);
    type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x29);
    return type;
  }

  void Start() {
    IMFMediaType* input = PcmType();
    ASSERT_EQ(transform_->SetInputType(0, input, 0), S_OK);
    input->Release();
    IMFMediaType* output = AacType();
    ASSERT_EQ(transform_->SetOutputType(0, output, 0), S_OK);
    output->Release();
    MFT_OUTPUT_STREAM_INFO info{};
    ASSERT_EQ(transform_->GetOutputStreamInfo(0, &info), S_OK);
    EXPECT_EQ(info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES), 0u);
    outputSize_ = info.cbSize;
    ASSERT_GE(outputSize_, sizeof test_audio::kLoudFrame);
  }

  // PCM frames (left, right interleaved) in one sample of the framework's.
  static IMFSample* Pcm(const std::vector<std::int16_t>& pcm, LONGLONG time, DWORD extraBytes = 0) {
    const DWORD size = static_cast<DWORD>(pcm.size() * sizeof(std::int16_t)) + extraBytes;
    IMFMediaBuffer* buffer = nullptr;
    IMFSample* sample = nullptr;
    MFCreateMemoryBuffer(size + 1, &buffer);
    BYTE* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    std::memset(data, 0, size);
    if (!pcm.empty()) std::memcpy(data, pcm.data(), pcm.size() * sizeof(std::int16_t));
    buffer->Unlock();
    buffer->SetCurrentLength(size);
    MFCreateSample(&sample);
    sample->AddBuffer(buffer);
    buffer->Release();
    sample->SetSampleTime(time);
    return sample;
  }

  struct Frame {
    std::vector<std::uint8_t> bytes;
    LONGLONG time = 0;
  };

  // Takes frames until the encoder has none whole (at most `limit`), into the caller's samples.
  std::vector<Frame> TakeFrames(int limit = 64) {
    std::vector<Frame> frames;
    for (int i = 0; i <= limit; ++i) {
      IMFMediaBuffer* buffer = nullptr;
      IMFSample* sample = nullptr;
      MFCreateMemoryBuffer(outputSize_, &buffer);
      MFCreateSample(&sample);
      sample->AddBuffer(buffer);
      MFT_OUTPUT_DATA_BUFFER output{};
      output.pSample = sample;
      DWORD status = 0;
      const HRESULT hr = transform_->ProcessOutput(0, 1, &output, &status);
      if (hr == S_OK) {
        EXPECT_EQ(output.pSample, sample);
        Frame frame;
        BYTE* data = nullptr;
        DWORD length = 0;
        buffer->Lock(&data, nullptr, &length);
        frame.bytes.assign(data, data + length);
        buffer->Unlock();
        sample->GetSampleTime(&frame.time);
        frames.push_back(frame);
      } else {
        EXPECT_EQ(hr, MF_E_TRANSFORM_NEED_MORE_INPUT);
        i = limit + 1;
      }
      buffer->Release();
      sample->Release();
    }
    EXPECT_LE(frames.size(), static_cast<std::size_t>(limit));
    return frames;
  }

  IMFTransform* transform_ = nullptr;
  DWORD outputSize_ = 0;
};

// Found the way vistrel looks for it, made through the registry, and, like the video encoders,
// missing when VISTREL_TEST_ENCODERS leaves it out.
TEST_F(AacEncoder, IsListedAsASynchronousEncoderFromPcmToAac) {
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Audio, MFAudioFormat_PCM};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Audio, MFAudioFormat_AAC};
  // Where `clsid` is among the activation objects listed; -1 when absent. Releases them all.
  auto position = [](const CLSID& ours, const GUID& category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* in,
                     const MFT_REGISTER_TYPE_INFO* out, IMFTransform** made) {
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    int found = -1;
    if (FAILED(MFTEnumEx(category, flags, in, out, &activates, &count))) return found;
    for (UINT32 i = 0; i < count; ++i) {
      GUID clsid{};
      if (SUCCEEDED(activates[i]->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid)) && IsEqualGUID(clsid, ours)) {
        found = static_cast<int>(i);
        if (made != nullptr) {
          EXPECT_EQ(activates[i]->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(made)), S_OK);
        }
      }
      activates[i]->Release();
    }
    CoTaskMemFree(activates);
    return found;
  };
  constexpr UINT32 kSyncSorted = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;
  IMFTransform* made = nullptr;
  const int at = position(kAac, MFT_CATEGORY_AUDIO_ENCODER, kSyncSorted, &input, &output, &made);
  EXPECT_GE(at, 0);
  // The refusing one first, so that a caller must go on.
  const int refusing = position(kAacRefusesOutputType, MFT_CATEGORY_AUDIO_ENCODER, kSyncSorted, &input, &output, nullptr);
  EXPECT_GE(refusing, 0);
  EXPECT_LT(refusing, at);
  ASSERT_NE(made, nullptr);
  IMFMediaType* offered = nullptr;
  ASSERT_EQ(made->GetInputAvailableType(0, 0, &offered), S_OK);
  GUID subtype{};
  EXPECT_EQ(offered->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
  EXPECT_TRUE(IsEqualGUID(subtype, MFAudioFormat_PCM));
  offered->Release();
  made->Release();
  // Neither an asynchronous nor a hardware encoder, nor one of another output, nor a video encoder.
  EXPECT_EQ(position(kAac, MFT_CATEGORY_AUDIO_ENCODER, MFT_ENUM_FLAG_ASYNCMFT | MFT_ENUM_FLAG_HARDWARE, &input, &output,
                     nullptr),
            -1);
  MFT_REGISTER_TYPE_INFO mp3 = {MFMediaType_Audio, MFAudioFormat_MP3};
  EXPECT_EQ(position(kAac, MFT_CATEGORY_AUDIO_ENCODER, MFT_ENUM_FLAG_SYNCMFT, &input, &mp3, nullptr), -1);
  EXPECT_EQ(position(kAac, MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_ALL, nullptr, nullptr, nullptr), -1);

  IMFTransform* other = nullptr;
  SetEnvironmentVariableA("VISTREL_TEST_ENCODERS", "sync,codec-api");
  EXPECT_EQ(CoCreateInstance(kAac, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, reinterpret_cast<void**>(&other)),
            kDeviceNotReady);
  SetEnvironmentVariableA("VISTREL_TEST_ENCODERS", "sync,aac");
  ASSERT_EQ(CoCreateInstance(kAac, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, reinterpret_cast<void**>(&other)),
            S_OK);
  other->Release();
}

// The input type first, and only its own; then the output type, and only its own. A refused type
// is not taken.
TEST_F(AacEncoder, TakesOnlyItsPcmTypeAndThenOnlyItsAacType) {
  IMFMediaType* type = AacType();
  EXPECT_EQ(transform_->SetOutputType(0, type, 0), MF_E_TRANSFORM_TYPE_NOT_SET);
  type->Release();
  type = nullptr;
  EXPECT_EQ(transform_->GetOutputAvailableType(0, 0, &type), MF_E_TRANSFORM_TYPE_NOT_SET);

  struct Change {
    const char* what;
    const GUID* key;
    UINT32 value;  // when key names a number
    const GUID* guid;  // when key names a GUID
  };
  const Change wrongInputs[] = {
      {"video", &MF_MT_MAJOR_TYPE, 0, &MFMediaType_Video},
      {"float samples", &MF_MT_SUBTYPE, 0, &MFAudioFormat_Float},
      {"44.1 kHz", &MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100, nullptr},
      {"mono", &MF_MT_AUDIO_NUM_CHANNELS, 1, nullptr},
      {"24-bit", &MF_MT_AUDIO_BITS_PER_SAMPLE, 24, nullptr},
      {"block of 2", &MF_MT_AUDIO_BLOCK_ALIGNMENT, 2, nullptr},
      {"96,000 bytes/s", &MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 96000, nullptr},
      {"no bytes/s", &MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0, nullptr},
  };
  for (const Change& change : wrongInputs) {
    type = PcmType();
    if (change.guid != nullptr) type->SetGUID(*change.key, *change.guid);
    else if (change.value != 0) type->SetUINT32(*change.key, change.value);
    else type->DeleteItem(*change.key);
    EXPECT_EQ(transform_->SetInputType(0, type, MFT_SET_TYPE_TEST_ONLY), MF_E_INVALIDMEDIATYPE) << change.what;
    EXPECT_EQ(transform_->SetInputType(0, type, 0), MF_E_INVALIDMEDIATYPE) << change.what;
    type->Release();
  }
  type = nullptr;
  EXPECT_EQ(transform_->GetInputCurrentType(0, &type), MF_E_TRANSFORM_TYPE_NOT_SET);
  type = PcmType();
  EXPECT_EQ(transform_->SetInputType(0, type, MFT_SET_TYPE_TEST_ONLY), S_OK);
  EXPECT_EQ(transform_->SetInputType(0, type, 0), S_OK);
  type->Release();

  const Change wrongOutputs[] = {
      {"MP3", &MF_MT_SUBTYPE, 0, &MFAudioFormat_MP3},
      {"44.1 kHz", &MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100, nullptr},
      {"mono", &MF_MT_AUDIO_NUM_CHANNELS, 1, nullptr},
      {"128 kbit/s", &MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 16000, nullptr},
      {"ADTS", &MF_MT_AAC_PAYLOAD_TYPE, 1, nullptr},
      {"HE-AAC", &MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x2C, nullptr},
  };
  for (const Change& change : wrongOutputs) {
    type = AacType();
    if (change.guid != nullptr) type->SetGUID(*change.key, *change.guid);
    else type->SetUINT32(*change.key, change.value);
    EXPECT_EQ(transform_->SetOutputType(0, type, 0), MF_E_INVALIDMEDIATYPE) << change.what;
    type->Release();
  }
  type = nullptr;
  EXPECT_EQ(transform_->GetOutputCurrentType(0, &type), MF_E_TRANSFORM_TYPE_NOT_SET);
  type = AacType();
  EXPECT_EQ(transform_->SetOutputType(0, type, 0), S_OK);
  type->Release();
}

// The current output type carries the AudioSpecificConfig after HEAACWAVEINFO's 12-byte tail; the
// caller's type had none.
TEST_F(AacEncoder, CurrentOutputTypeCarriesTheAudioSpecificConfig) {
  ASSERT_NO_FATAL_FAILURE(Start());
  IMFMediaType* type = nullptr;
  ASSERT_EQ(transform_->GetOutputCurrentType(0, &type), S_OK);
  EXPECT_EQ(ModuleOf(type), GetModuleHandleW(L"mfplat.dll"));
  UINT8* blob = nullptr;
  UINT32 size = 0;
  ASSERT_EQ(type->GetAllocatedBlob(MF_MT_USER_DATA, &blob, &size), S_OK);
  const std::vector<std::uint8_t> userData(blob, blob + size);
  CoTaskMemFree(blob);
  const std::vector<std::uint8_t> expected = {0, 0, 0x29, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x90};
  EXPECT_EQ(userData, expected);
  UINT32 value = 0;
  EXPECT_EQ(type->GetUINT32(MF_MT_AAC_PAYLOAD_TYPE, &value), S_OK);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(type->GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &value), S_OK);
  EXPECT_EQ(value, 20000u);
  type->Release();
}

// N samples give N / 1024 frames, the first of them the priming; the rest wait for the next
// block, or a drain, which gives them all (the last block padded). Each frame stands for its
// block: loud where the block had a click, silent elsewhere. Input is refused while a frame waits.
TEST_F(AacEncoder, GivesOneFrameForEach1024SamplesAfterThePriming) {
  ASSERT_NO_FATAL_FAILURE(Start());
  constexpr LONGLONG kStart = 5000000;
  constexpr std::size_t kTotal = 10 * 1024 + 500;
  std::vector<std::int16_t> pcm(kTotal * 2, 3);  // near zero
  pcm[(3 * 1024 + 17) * 2 + 1] = -20000;           // a click in block 3 (right)
  pcm[(10 * 1024 + 100) * 2] = 20000;              // and one in the last, partial, block (left)

  // Inputs of these many samples, and the frames expected after each: floor(total / 1024).
  const std::size_t inputs[] = {4096, 1000, 3, 1021, 4620};
  const std::size_t framesAfter[] = {4, 4, 4, 5, 10};
  std::vector<Frame> frames;
  std::size_t at = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    const std::vector<std::int16_t> part(pcm.begin() + at * 2, pcm.begin() + (at + inputs[i]) * 2);
    IMFSample* sample = Pcm(part, kStart + static_cast<LONGLONG>(at) * 10000000 / 48000);
    EXPECT_EQ(transform_->ProcessInput(0, sample, 0), S_OK) << "input " << i;
    if (i == 0) {
      EXPECT_EQ(transform_->ProcessInput(0, sample, 0), MF_E_NOTACCEPTING);  // four frames wait
    }
    sample->Release();
    at += inputs[i];
    const std::vector<Frame> taken = TakeFrames();
    frames.insert(frames.end(), taken.begin(), taken.end());
    EXPECT_EQ(frames.size(), framesAfter[i]) << "after " << at << " samples";
  }
  IMFSample* half = Pcm({}, 0, 2);  // half a PCM frame
  EXPECT_EQ(transform_->ProcessInput(0, half, 0), E_INVALIDARG);
  half->Release();
  EXPECT_EQ(TakeFrames().size(), 0u);

  ASSERT_EQ(transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0), S_OK);
  const std::vector<Frame> rest = TakeFrames();
  frames.insert(frames.end(), rest.begin(), rest.end());
  ASSERT_EQ(frames.size(), (kTotal + 1023) / 1024 + 1);
  EXPECT_EQ(TakeFrames().size(), 0u);  // drained

  const std::vector<std::uint8_t> silent(std::begin(test_audio::kSilentFrame), std::end(test_audio::kSilentFrame));
  const std::vector<std::uint8_t> loud(std::begin(test_audio::kLoudFrame), std::end(test_audio::kLoudFrame));
  for (std::size_t j = 0; j < frames.size(); ++j) {
    EXPECT_EQ(frames[j].bytes, j == 4 || j == 11 ? loud : silent) << "frame " << j;
    // The first sample of the frame on the input's clock; the priming stands before the input.
    const LONGLONG samples = static_cast<LONGLONG>(j) * 1024 - 1024;
    EXPECT_EQ(frames[j].time, kStart + samples * 10000000 / 48000) << "frame " << j;
  }
}

// A frame that does not fit the caller's buffer stays to be taken; nothing else is refused for it.
TEST_F(AacEncoder, KeepsAFrameThatDoesNotFitTheCallersBuffer) {
  ASSERT_NO_FATAL_FAILURE(Start());
  IMFSample* sample = Pcm(std::vector<std::int16_t>(2048 * 2, 0), 0);
  ASSERT_EQ(transform_->ProcessInput(0, sample, 0), S_OK);
  sample->Release();
  IMFMediaBuffer* buffer = nullptr;
  MFCreateMemoryBuffer(4, &buffer);
  MFCreateSample(&sample);
  sample->AddBuffer(buffer);
  buffer->Release();
  MFT_OUTPUT_DATA_BUFFER output{};
  output.pSample = sample;
  DWORD status = 0;
  EXPECT_EQ(transform_->ProcessOutput(0, 1, &output, &status), MF_E_BUFFERTOOSMALL);
  sample->Release();
  EXPECT_EQ(TakeFrames().size(), 2u);
}

// Listed first: takes its input type, then refuses every output type.
TEST_F(AacEncoder, RefusingOneTakesItsInputAndRefusesItsOutput) {
  IMFTransform* refusing = nullptr;
  ASSERT_EQ(CoCreateInstance(kAacRefusesOutputType, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                             reinterpret_cast<void**>(&refusing)),
            S_OK);
  IMFMediaType* type = PcmType();
  EXPECT_EQ(refusing->SetInputType(0, type, 0), S_OK);
  type->Release();
  type = AacType();
  EXPECT_EQ(refusing->SetOutputType(0, type, MFT_SET_TYPE_TEST_ONLY), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(refusing->SetOutputType(0, type, 0), MF_E_INVALIDMEDIATYPE);
  type->Release();
  type = nullptr;
  EXPECT_EQ(refusing->GetOutputCurrentType(0, &type), MF_E_TRANSFORM_TYPE_NOT_SET);
  refusing->Release();
}

// VISTREL_TEST_AAC_FAIL_AFTER=2: the third input fails, and so does everything after it.
TEST_F(AacEncoder, BreaksDownOnceItHasTakenTheInputsItWasGiven) {
  SetEnvironmentVariableA("VISTREL_TEST_AAC_FAIL_AFTER", "2");
  IMFTransform* failing = nullptr;
  ASSERT_EQ(CoCreateInstance(kAac, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, reinterpret_cast<void**>(&failing)),
            S_OK);
  std::swap(failing, transform_);  // the fixture's is released here, this one by the fixture
  ASSERT_NO_FATAL_FAILURE(Start());
  IMFSample* sample = Pcm(std::vector<std::int16_t>(1024 * 2, 0), 0);
  EXPECT_EQ(transform_->ProcessInput(0, sample, 0), S_OK);
  EXPECT_EQ(TakeFrames().size(), 1u);
  EXPECT_EQ(transform_->ProcessInput(0, sample, 0), S_OK);
  EXPECT_EQ(TakeFrames().size(), 1u);
  EXPECT_EQ(transform_->ProcessInput(0, sample, 0), test_audio::kAudioFaultResult);
  IMFMediaBuffer* buffer = nullptr;
  IMFSample* output = nullptr;
  MFCreateMemoryBuffer(outputSize_, &buffer);
  MFCreateSample(&output);
  output->AddBuffer(buffer);
  buffer->Release();
  MFT_OUTPUT_DATA_BUFFER data{};
  data.pSample = output;
  DWORD status = 0;
  EXPECT_EQ(transform_->ProcessOutput(0, 1, &data, &status), test_audio::kAudioFaultResult);
  output->Release();
  sample->Release();
  Release(failing);
}

}  // namespace
