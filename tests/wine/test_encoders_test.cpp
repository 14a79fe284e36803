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

#include <string>
#include <vector>

namespace {

// The personalities' CLSIDs, in the order in which the framework lists them.
constexpr CLSID kRefusesOutputType = {0x1b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x01}};
constexpr CLSID kAsyncRequests = {0x2b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x02}};
constexpr CLSID kAsyncPadded = {0x3b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x03}};
constexpr CLSID kSync = {0x4b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x04}};
constexpr CLSID kUnknown = {0x6b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x06}};

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

}  // namespace
