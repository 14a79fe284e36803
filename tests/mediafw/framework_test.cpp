// libvistrel-mediafw.so from outside: what it exports, what MFTEnumEx offers, and the transform's
// answers to each call of the system's configuration and streaming.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstring>
#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mediafw/framework_driver.h"
#include "mediafw/h264_checks.h"

namespace {

using namespace mediafw_driver;

// Owns one reference.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Reset(); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Exists(const char* path) {
  struct stat s;
  return stat(path, &s) == 0;
}

bool AnyVideoDevice() {
  DIR* dev = opendir("/dev");
  if (dev == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dev)) {
    if (std::strncmp(entry->d_name, "video", 5) == 0) found = true;
  }
  closedir(dev);
  return found;
}

// Whether the machine has what the hardware encoder needs at the least. Without it the encoder
// cannot work; with it, it may (or may still fail, as on a machine whose GPU cannot encode).
bool DevicePresent(const std::string& codec) {
  if (codec == "h264_nvenc") {
    void* cuda = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (cuda != nullptr) dlclose(cuda);
    return cuda != nullptr;
  }
  if (codec == "h264_vaapi" || codec == "h264_qsv") return Exists("/dev/dri");
  if (codec == "h264_v4l2m2m") return AnyVideoDevice();
  return true;
}

std::string CodecOf(const std::string& friendlyName) {
  std::size_t open = friendlyName.rfind('(');
  if (open == std::string::npos || !EndsWith(friendlyName, ")")) return "";
  return friendlyName.substr(open + 1, friendlyName.size() - open - 2);
}

class MediaFramework : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    loaded_ = LoadFramework(VISTREL_MEDIAFW_PATH, &framework_, &error);
    if (!loaded_) loadError_ = error;
  }

  void SetUp() override { ASSERT_TRUE(loaded_) << loadError_; }

  // The software encoder's transform, activated but not configured.
  Ref<IMFTransform> SoftwareTransform() {
    std::vector<Candidate> candidates;
    EXPECT_EQ(EnumerateEncoders(framework_, &candidates), S_OK);
    Ref<IMFTransform> transform;
    if (!candidates.empty()) {
      EXPECT_EQ(CodecOf(candidates.back().friendlyName), "libx264");
      EXPECT_EQ(candidates.back().activate->ActivateObject(IID_IMFTransform, transform.OutVoid()), S_OK);
    }
    ReleaseCandidates(&candidates);
    return transform;
  }

  Ref<IMFMediaType> OutputType(const GUID& subtype = MFVideoFormat_H264, UINT32 profile = eAVEncH264VProfile_Main) {
    Ref<IMFMediaType> type;
    EXPECT_EQ(framework_.createMediaType(type.Out()), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{kWidth} << 32) | kHeight);
    type->SetUINT64(MF_MT_FRAME_RATE, (UINT64{30} << 32) | 1);
    type->SetUINT32(MF_MT_AVG_BITRATE, 8000000);
    type->SetUINT32(MF_MT_MPEG2_PROFILE, profile);
    return type;
  }

  Ref<IMFMediaType> InputType(UINT32 width = kWidth, UINT32 height = kHeight) {
    Ref<IMFMediaType> type;
    EXPECT_EQ(framework_.createMediaType(type.Out()), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    type->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{width} << 32) | height);
    type->SetUINT64(MF_MT_FRAME_RATE, (UINT64{30} << 32) | 1);
    return type;
  }

  // Low latency, types set and streaming started, as far as the transform's contract goes.
  void Start(IMFTransform* transform) {
    Ref<ICodecAPI> api;
    ASSERT_EQ(transform->QueryInterface(IID_ICodecAPI, api.OutVoid()), S_OK);
    VARIANT yes{};
    yes.vt = VT_BOOL;
    yes.boolVal = VARIANT_TRUE;
    ASSERT_EQ(api->SetValue(&CODECAPI_AVLowLatencyMode, &yes), S_OK);
    ASSERT_EQ(transform->SetOutputType(0, OutputType().get(), 0), S_OK);
    ASSERT_EQ(transform->SetInputType(0, InputType().get(), 0), S_OK);
    ASSERT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0), S_OK);
    ASSERT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), S_OK);
  }

  Ref<IMFSample> Frame(int index, UINT32 rows = kHeight) {
    return Ref<IMFSample>(MakeInputSample(framework_, TestFrame(index).data(), rows, index * kFrameDuration));
  }

  static mediafw_driver::Framework framework_;
  static bool loaded_;
  static std::string loadError_;
};

mediafw_driver::Framework MediaFramework::framework_;
bool MediaFramework::loaded_ = false;
std::string MediaFramework::loadError_;

std::vector<MediaEventType> TakeEventTypes(IMFMediaEventGenerator* events) {
  std::vector<MediaEventType> types;
  for (;;) {
    IMFMediaEvent* event = nullptr;
    if (events->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) != S_OK) return types;
    MediaEventType type = 0;
    event->GetType(&type);
    event->Release();
    types.push_back(type);
  }
}

// The first `count` events, waiting up to 10 s for them: the asynchronous encoder announces its
// output from a thread of its own.
std::vector<MediaEventType> WaitForEventTypes(IMFMediaEventGenerator* events, std::size_t count) {
  std::vector<MediaEventType> types;
  for (int pass = 0; pass < 10000 && types.size() < count; ++pass) {
    std::vector<MediaEventType> more = TakeEventTypes(events);
    types.insert(types.end(), more.begin(), more.end());
    if (types.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return types;
}

// The access unit decodes to the test picture of frame 0, luma and chroma.
void ExpectDecodesToTestFrameZero(const std::vector<std::uint8_t>& unit) {
  h264_checks::TempFile file(".h264");
  ASSERT_TRUE(file.Write(unit));
  std::vector<std::vector<std::uint8_t>> decoded = h264_checks::DecodeFrames(file.path(), {0}, kWidth, kHeight);
  ASSERT_EQ(decoded.size(), 1u);
  std::vector<std::uint8_t> source = TestFrame(0);
  const std::size_t luma = static_cast<std::size_t>(kWidth) * kHeight;
  EXPECT_GT(h264_checks::Psnr(source.data(), decoded[0].data(), luma), 35.0);
  EXPECT_GT(h264_checks::Psnr(source.data() + luma, decoded[0].data() + luma, luma / 2), 35.0);
}

// --- the library ---

TEST_F(MediaFramework, ExportsExactlyTheFiveEntryPoints) {
  h264_checks::CommandResult nm = h264_checks::Run(std::string("nm -D --defined-only '") + VISTREL_MEDIAFW_PATH + "'");
  ASSERT_EQ(nm.exitCode, 0) << nm.output;
  std::set<std::string> exported;
  std::istringstream lines(nm.output);
  std::string address;
  std::string kind;
  std::string name;
  while (lines >> address >> kind >> name) exported.insert(name);
  EXPECT_EQ(exported, (std::set<std::string>{"MFCreateMediaType", "MFCreateMemoryBuffer", "MFCreateSample",
                                             "MFStartup", "MFTEnumEx"}));
}

TEST_F(MediaFramework, StartupChecksTheVersion) {
  EXPECT_EQ(framework_.startup(MF_VERSION, MFSTARTUP_LITE), S_OK);
  EXPECT_EQ(framework_.startup(0x00010070, 0), S_OK);
  EXPECT_EQ(framework_.startup(0x00030070, MFSTARTUP_LITE), MF_E_BAD_STARTUP_VERSION);
  EXPECT_EQ(framework_.startup(0x00020071, MFSTARTUP_LITE), MF_E_BAD_STARTUP_VERSION);
}

TEST_F(MediaFramework, CreatesPlainObjects) {
  Ref<IMFMediaType> type;
  EXPECT_EQ(framework_.createMediaType(type.Out()), S_OK);
  Ref<IMFSample> sample;
  EXPECT_EQ(framework_.createSample(sample.Out()), S_OK);
  Ref<IMFMediaBuffer> buffer;
  ASSERT_EQ(framework_.createMemoryBuffer(1382400, buffer.Out()), S_OK);
  DWORD maxLength = 0;
  EXPECT_EQ(buffer->GetMaxLength(&maxLength), S_OK);
  EXPECT_EQ(maxLength, 1382400u);
  EXPECT_EQ(framework_.createSample(nullptr), E_POINTER);
}

// --- enumeration ---

TEST_F(MediaFramework, OffersOnlyHardwareEncodersAndEachFailsCleanlyWithoutItsDevice) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", nullptr);
  std::vector<Candidate> candidates;
  ASSERT_EQ(EnumerateEncoders(framework_, &candidates), S_OK);
  // Hardware encoders only, in the fixed order: those this machine's libavcodec has.
  std::vector<std::string> expected;
  for (const char* codec : {"h264_nvenc", "h264_vaapi", "h264_qsv", "h264_v4l2m2m"}) {
    if (avcodec_find_encoder_by_name(codec) != nullptr) expected.emplace_back(codec);
  }
  std::vector<std::string> offered;
  for (Candidate& candidate : candidates) {
    const std::string codec = CodecOf(candidate.friendlyName);
    offered.push_back(codec);
    SCOPED_TRACE(candidate.friendlyName);

    IMFTransform* transform = nullptr;
    ASSERT_EQ(candidate.activate->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform)), S_OK);
    Encoder encoder;
    std::string failedStep;
    HRESULT hr = ConfigureEncoder(framework_, transform, Configuration{}, &encoder, &failedStep);
    transform->Release();
    if (SUCCEEDED(hr)) {
      // A working encoder (a machine with an encoding GPU): never without its device.
      EXPECT_TRUE(DevicePresent(codec));
      EXPECT_NE(encoder.transform, nullptr);
      ReleaseEncoder(&encoder);
    } else if (codec == "h264_vaapi" && failedStep == "SetOutputType") {
      // vaapi misses its device when it learns its output type.
      EXPECT_EQ(hr, static_cast<HRESULT>(0x80070015));
    } else {
      // The others, and a vaapi device that cannot encode, fail when streaming begins.
      EXPECT_EQ(failedStep, "BEGIN_STREAMING");
      EXPECT_EQ(hr, MF_E_HW_MFT_FAILED_START_STREAMING);
      if (codec == "h264_vaapi") {
        EXPECT_TRUE(DevicePresent(codec));
      }
    }
    EXPECT_EQ(candidate.activate->ShutdownObject(), S_OK);
  }
  EXPECT_EQ(offered, expected);
  ReleaseCandidates(&candidates);
}

TEST_F(MediaFramework, SoftwareSwitchAddsLibx264Last) {
  std::vector<Candidate> without;
  {
    ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "0");
    ASSERT_EQ(EnumerateEncoders(framework_, &without), S_OK);
  }
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  std::vector<Candidate> with;
  ASSERT_EQ(EnumerateEncoders(framework_, &with), S_OK);
  ASSERT_EQ(with.size(), without.size() + 1);
  for (std::size_t i = 0; i < without.size(); ++i) EXPECT_EQ(with[i].friendlyName, without[i].friendlyName);
  EXPECT_EQ(CodecOf(with.back().friendlyName), "libx264");
  EXPECT_GT(with.back().friendlyName.size(), std::string(" (libx264)").size());
  ReleaseCandidates(&without);
  ReleaseCandidates(&with);
}

TEST_F(MediaFramework, EnumerationFiltersByCategoryFlagsAndTypes) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  const GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  const GUID kOtherCategory = {0xd6c02d4b, 0x6833, 0x45b4, {0x97, 0x1a, 0x05, 0xa4, 0xb0, 0x4b, 0xab, 0x91}};
  MFT_REGISTER_TYPE_INFO nv12{MFMediaType_Video, MFVideoFormat_NV12};
  MFT_REGISTER_TYPE_INFO h264{MFMediaType_Video, MFVideoFormat_H264};
  MFT_REGISTER_TYPE_INFO i420{MFMediaType_Video, kI420};
  MFT_REGISTER_TYPE_INFO anyVideo{MFMediaType_Video, GUID_NULL};
  struct Case {
    const char* what;
    GUID category;
    UINT32 flags;
    const MFT_REGISTER_TYPE_INFO* input;
    const MFT_REGISTER_TYPE_INFO* output;
    bool offers;
  } cases[] = {
      {"the system's filter", MFT_CATEGORY_VIDEO_ENCODER, 0x44, &nv12, &h264, true},
      {"no type filter", MFT_CATEGORY_VIDEO_ENCODER, 0x04, nullptr, nullptr, true},
      {"any video subtype", MFT_CATEGORY_VIDEO_ENCODER, 0x44, &anyVideo, &anyVideo, true},
      {"another category", kOtherCategory, 0x44, &nv12, &h264, false},
      {"software transforms only", MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_SYNCMFT, &nv12, &h264, false},
      {"I420 input", MFT_CATEGORY_VIDEO_ENCODER, 0x44, &i420, &h264, false},
      {"NV12 output", MFT_CATEGORY_VIDEO_ENCODER, 0x44, &nv12, &nv12, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IMFActivate** array = reinterpret_cast<IMFActivate**>(&array);
    UINT32 count = 77;
    ASSERT_EQ(framework_.enumerate(c.category, c.flags, c.input, c.output, &array, &count), S_OK);
    EXPECT_EQ(count != 0, c.offers);
    EXPECT_EQ(array != nullptr, c.offers);
    for (UINT32 i = 0; i < count; ++i) array[i]->Release();
    CoTaskMemFree(array);
  }
  UINT32 count = 0;
  IMFActivate** array = nullptr;
  EXPECT_EQ(framework_.enumerate(MFT_CATEGORY_VIDEO_ENCODER, 0x44, &nv12, &h264, nullptr, &count), E_POINTER);
  EXPECT_EQ(framework_.enumerate(MFT_CATEGORY_VIDEO_ENCODER, 0x44, &nv12, &h264, &array, nullptr), E_POINTER);
}

// --- the asynchronous transform ---

TEST_F(MediaFramework, AsyncTransformIsLockedUntilUnlocked) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  Ref<IMFTransform> transform = SoftwareTransform();
  ASSERT_NE(transform.get(), nullptr);
  Ref<IMFAttributes> attributes;
  ASSERT_EQ(transform->GetAttributes(attributes.Out()), S_OK);
  UINT32 async = 0;
  EXPECT_EQ(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async), S_OK);
  EXPECT_EQ(async, 1u);

  DWORD ids[2] = {};
  EXPECT_EQ(transform->SetOutputType(0, OutputType().get(), 0), MF_E_TRANSFORM_ASYNC_LOCKED);
  EXPECT_EQ(transform->GetStreamIDs(1, &ids[0], 1, &ids[1]), MF_E_TRANSFORM_ASYNC_LOCKED);
  EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0), MF_E_TRANSFORM_ASYNC_LOCKED);
  ASSERT_EQ(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 0), S_OK);
  EXPECT_EQ(transform->SetOutputType(0, OutputType().get(), 0), MF_E_TRANSFORM_ASYNC_LOCKED);

  ASSERT_EQ(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1), S_OK);
  EXPECT_EQ(transform->GetStreamIDs(1, &ids[0], 1, &ids[1]), E_NOTIMPL);
  EXPECT_EQ(transform->SetOutputType(0, OutputType().get(), 0), S_OK);
  Ref<IMFMediaEventGenerator> events;
  EXPECT_EQ(transform->QueryInterface(IID_IMFMediaEventGenerator, events.OutVoid()), S_OK);
}

TEST_F(MediaFramework, MediaTypesOutputFirstThenNV12Input) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", "1");
  Ref<IMFTransform> transform = SoftwareTransform();
  ASSERT_NE(transform.get(), nullptr);

  Ref<IMFMediaType> type;
  EXPECT_EQ(transform->SetInputType(0, InputType().get(), 0), MF_E_TRANSFORM_TYPE_NOT_SET);
  EXPECT_EQ(transform->GetInputAvailableType(0, 0, type.Out()), MF_E_TRANSFORM_TYPE_NOT_SET);
  EXPECT_EQ(transform->GetOutputCurrentType(0, type.Out()), MF_E_TRANSFORM_TYPE_NOT_SET);
  EXPECT_EQ(transform->SetOutputType(0, OutputType(MFVideoFormat_NV12).get(), 0), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(transform->SetOutputType(0, OutputType(MFVideoFormat_H264, 88).get(), 0), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(transform->SetOutputType(1, OutputType().get(), 0), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(transform->SetOutputType(0, OutputType().get(), MFT_SET_TYPE_TEST_ONLY), S_OK);
  EXPECT_EQ(transform->GetOutputCurrentType(0, type.Out()), MF_E_TRANSFORM_TYPE_NOT_SET);
  ASSERT_EQ(transform->SetOutputType(0, OutputType().get(), 0), S_OK);

  ASSERT_EQ(transform->GetOutputCurrentType(0, type.Out()), S_OK);
  UINT32 value = 0;
  EXPECT_EQ(type->GetUINT32(MF_MT_MPEG2_PROFILE, &value), S_OK);
  EXPECT_EQ(value, 77u);

  // The offered input type is NV12 of the output's size, and taken as it is.
  ASSERT_EQ(transform->GetInputAvailableType(0, 0, type.Out()), S_OK);
  GUID subtype{};
  UINT64 size = 0;
  EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
  EXPECT_TRUE(subtype == MFVideoFormat_NV12);
  EXPECT_EQ(type->GetUINT64(MF_MT_FRAME_SIZE, &size), S_OK);
  EXPECT_EQ(size, (UINT64{kWidth} << 32) | kHeight);
  EXPECT_EQ(transform->SetInputType(0, type.get(), 0), S_OK);
  Ref<IMFMediaType> none;
  EXPECT_EQ(transform->GetInputAvailableType(0, 1, none.Out()), MF_E_NO_MORE_TYPES);

  EXPECT_EQ(transform->SetInputType(0, InputType(1920, 1080).get(), 0), MF_E_INVALIDMEDIATYPE);
  Ref<IMFMediaType> h264Input = InputType();
  h264Input->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  EXPECT_EQ(transform->SetInputType(0, h264Input.get(), 0), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(transform->SetInputType(0, InputType().get(), 0), S_OK);

  MFT_INPUT_STREAM_INFO input{};
  ASSERT_EQ(transform->GetInputStreamInfo(0, &input), S_OK);
  EXPECT_EQ(input.cbSize, 1382400u);
  MFT_OUTPUT_STREAM_INFO output{};
  ASSERT_EQ(transform->GetOutputStreamInfo(0, &output), S_OK);
  EXPECT_EQ(output.cbSize, 2000000u);
  EXPECT_EQ(output.dwFlags & 0x300, 0u);

  // Streaming fixes the types.
  ASSERT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0), S_OK);
  EXPECT_EQ(transform->SetOutputType(0, OutputType().get(), 0), MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING);
  EXPECT_EQ(transform->SetInputType(0, InputType().get(), 0), MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING);
}

TEST_F(MediaFramework, AsyncTransformAsksForInputAndRefusesMoreUntilItsOutputIsTaken) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  ASSERT_TRUE(encoder.isAsync);
  IMFTransform* transform = encoder.transform;

  EXPECT_EQ(TakeEventTypes(encoder.events), (std::vector<MediaEventType>{METransformNeedInput}));
  ASSERT_EQ(transform->ProcessInput(0, Frame(0).get(), 0), S_OK);
  // Its output not taken, it takes nothing more.
  EXPECT_EQ(transform->ProcessInput(0, Frame(1).get(), 0), MF_E_NOTACCEPTING);
  EXPECT_EQ(WaitForEventTypes(encoder.events, 1), (std::vector<MediaEventType>{METransformHaveOutput}));
  EXPECT_EQ(transform->ProcessInput(0, Frame(1).get(), 0), MF_E_NOTACCEPTING);

  // It provides the samples: the caller's is refused.
  Ref<IMFSample> mine;
  ASSERT_EQ(framework_.createSample(mine.Out()), S_OK);
  MFT_OUTPUT_DATA_BUFFER output{};
  output.pSample = mine.get();
  DWORD status = 0;
  EXPECT_EQ(transform->ProcessOutput(0, 1, &output, &status), E_INVALIDARG);

  output = MFT_OUTPUT_DATA_BUFFER{};
  ASSERT_EQ(transform->ProcessOutput(0, 1, &output, &status), S_OK);
  Ref<IMFSample> sample(output.pSample);
  ASSERT_NE(sample.get(), nullptr);
  UINT32 cleanPoint = 0;
  LONGLONG time = -1;
  EXPECT_EQ(sample->GetUINT32(MFSampleExtension_CleanPoint, &cleanPoint), S_OK);
  EXPECT_EQ(cleanPoint, 1u);
  EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
  EXPECT_EQ(time, 0);

  // Output taken: the next input is asked for.
  EXPECT_EQ(TakeEventTypes(encoder.events), (std::vector<MediaEventType>{METransformNeedInput}));
  output = MFT_OUTPUT_DATA_BUFFER{};
  EXPECT_EQ(transform->ProcessOutput(0, 1, &output, &status), MF_E_TRANSFORM_NEED_MORE_INPUT);
  EXPECT_EQ(transform->ProcessInput(0, Frame(1).get(), 0), S_OK);
  ReleaseEncoder(&encoder);
}

// The encode runs after ProcessInput has returned, from a copy: the caller's buffer is free again
// at once, as the main loop hands the host's slot back right after ProcessInput.
TEST_F(MediaFramework, AsyncTransformEncodesACopyOfTheFrame) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  ASSERT_TRUE(encoder.isAsync);
  ASSERT_EQ(WaitForEventTypes(encoder.events, 1), (std::vector<MediaEventType>{METransformNeedInput}));

  Ref<IMFSample> frame = Frame(0);
  ASSERT_EQ(encoder.transform->ProcessInput(0, frame.get(), 0), S_OK);
  Ref<IMFMediaBuffer> buffer;
  ASSERT_EQ(frame->GetBufferByIndex(0, buffer.Out()), S_OK);
  BYTE* bytes = nullptr;
  DWORD length = 0;
  ASSERT_EQ(buffer->Lock(&bytes, nullptr, &length), S_OK);
  std::memset(bytes, 0x80, length);  // the caller's next picture, written over the first
  buffer->Unlock();

  ASSERT_EQ(WaitForEventTypes(encoder.events, 1), (std::vector<MediaEventType>{METransformHaveOutput}));
  Collected collected;
  bool stop = false;
  ASSERT_TRUE(mediafw_driver::OneOutput(framework_, encoder, &collected, &stop)) << collected.error;
  ASSERT_EQ(collected.units.size(), 1u);
  ReleaseEncoder(&encoder);

  ExpectDecodesToTestFrameZero(collected.units[0].bytes);
}

// --- the synchronous transform ---

std::size_t Count(const std::vector<MediaEventType>& types, MediaEventType type) {
  return static_cast<std::size_t>(std::count(types.begin(), types.end(), type));
}

// VISTREL_MEDIAFW_INPUT_REQUESTS: several requests outstanding at once, as a hardware encoder with
// an input queue sends them, and one more for each output taken.
TEST_F(MediaFramework, AsyncTransformKeepsTheChosenNumberOfRequestsOutstanding) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  for (const char* malformed : {"0", "17", "3x", "-3", ""}) {
    ScopedEnvironment requests("VISTREL_MEDIAFW_INPUT_REQUESTS", malformed);
    Encoder encoder;
    std::string failedStep;
    ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
    EXPECT_EQ(TakeEventTypes(encoder.events), (std::vector<MediaEventType>{METransformNeedInput})) << malformed;
    ReleaseEncoder(&encoder);
  }

  ScopedEnvironment requests("VISTREL_MEDIAFW_INPUT_REQUESTS", "3");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  IMFTransform* transform = encoder.transform;
  EXPECT_EQ(TakeEventTypes(encoder.events), std::vector<MediaEventType>(3, METransformNeedInput));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(transform->ProcessInput(0, Frame(i).get(), 0), S_OK) << i;
  // Three requests answered: a fourth frame is not asked for while the three are on their way.
  EXPECT_EQ(transform->ProcessInput(0, Frame(3).get(), 0), MF_E_NOTACCEPTING);
  const std::vector<MediaEventType> outputs = WaitForEventTypes(encoder.events, 3);
  EXPECT_EQ(outputs, std::vector<MediaEventType>(3, METransformHaveOutput));

  // Each output taken makes room for one more frame: one new request each, in frame order.
  Collected collected;
  for (int i = 0; i < 3; ++i) {
    bool stop = false;
    ASSERT_TRUE(mediafw_driver::OneOutput(framework_, encoder, &collected, &stop)) << collected.error;
    EXPECT_EQ(TakeEventTypes(encoder.events), (std::vector<MediaEventType>{METransformNeedInput})) << i;
  }
  ASSERT_EQ(collected.units.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(collected.units[i].time, static_cast<LONGLONG>(i) * kFrameDuration);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(transform->ProcessInput(0, Frame(i).get(), 0), S_OK) << i;
  ReleaseEncoder(&encoder);
}

// VISTREL_MEDIAFW_REFUSE_EVERY: a frame refused now and then. The asynchronous transform withdraws
// its requests with the refusal and sends new ones; an input without a request is refused too,
// and does not count.
TEST_F(MediaFramework, AsyncTransformRefusesEveryKthInputAndAsksAgain) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment queue("VISTREL_MEDIAFW_INPUT_REQUESTS", "4");
  ScopedEnvironment refuse("VISTREL_MEDIAFW_REFUSE_EVERY", "3");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  IMFTransform* transform = encoder.transform;
  std::size_t outputs = 0;  // METransformHaveOutput seen so far: the encoder announces from its thread
  auto requests = [&] {
    const std::vector<MediaEventType> types = TakeEventTypes(encoder.events);
    outputs += Count(types, METransformHaveOutput);
    return Count(types, METransformNeedInput);
  };
  EXPECT_EQ(requests(), 4u);
  EXPECT_EQ(transform->ProcessInput(0, Frame(0).get(), 0), S_OK);
  EXPECT_EQ(transform->ProcessInput(0, Frame(1).get(), 0), S_OK);
  EXPECT_EQ(transform->ProcessInput(0, Frame(2).get(), 0), MF_E_NOTACCEPTING);  // the third
  // The two requests left are withdrawn; two new ones make up the four again.
  EXPECT_EQ(requests(), 2u);
  EXPECT_EQ(transform->ProcessInput(0, Frame(2).get(), 0), S_OK);
  EXPECT_EQ(transform->ProcessInput(0, Frame(3).get(), 0), S_OK);
  EXPECT_EQ(transform->ProcessInput(0, Frame(4).get(), 0), MF_E_NOTACCEPTING);  // no request left
  EXPECT_EQ(requests(), 0u);

  for (int pass = 0; pass < 10000 && outputs < 4; ++pass) {
    EXPECT_EQ(requests(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(outputs, 4u);
  Collected collected;
  for (int i = 0; i < 4; ++i) {
    bool stop = false;
    ASSERT_TRUE(mediafw_driver::OneOutput(framework_, encoder, &collected, &stop)) << collected.error;
  }
  ASSERT_EQ(collected.units.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(collected.units[i].time, static_cast<LONGLONG>(i) * kFrameDuration);
  EXPECT_EQ(requests(), 4u);
  ReleaseEncoder(&encoder);
}

TEST_F(MediaFramework, SyncTransformRefusesEveryKthInput) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", "1");
  ScopedEnvironment refuse("VISTREL_MEDIAFW_REFUSE_EVERY", "2");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  Collected collected;
  std::vector<HRESULT> answers;
  for (int frame = 0; frame < 3;) {
    const HRESULT hr = encoder.transform->ProcessInput(0, Frame(frame).get(), 0);
    answers.push_back(hr);
    if (hr == S_OK) {
      ASSERT_TRUE(mediafw_driver::DrainOutput(framework_, encoder, &collected)) << collected.error;
      ++frame;
    }
  }
  EXPECT_EQ(answers, (std::vector<HRESULT>{S_OK, MF_E_NOTACCEPTING, S_OK, MF_E_NOTACCEPTING, S_OK}));
  ASSERT_EQ(collected.units.size(), 3u);
  ReleaseEncoder(&encoder);
}

// VISTREL_MEDIAFW_FAIL=marker:N: after N frames, an event of neither kind the caller waits for,
// carrying the device's failure as its status.
TEST_F(MediaFramework, FailedMarkerEventComesAfterTheChosenFrames) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment requests("VISTREL_MEDIAFW_INPUT_REQUESTS", "2");
  ScopedEnvironment fail("VISTREL_MEDIAFW_FAIL", "marker:2");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  EXPECT_EQ(Count(TakeEventTypes(encoder.events), METransformNeedInput), 2u);
  ASSERT_EQ(encoder.transform->ProcessInput(0, Frame(0).get(), 0), S_OK);
  IMFMediaEvent* event = nullptr;
  while (encoder.events->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) == S_OK) {
    MediaEventType type = 0;
    event->GetType(&type);
    event->Release();
    EXPECT_NE(type, METransformMarker) << "before the second frame";
  }
  ASSERT_EQ(encoder.transform->ProcessInput(0, Frame(1).get(), 0), S_OK);
  std::vector<std::pair<MediaEventType, HRESULT>> markers;
  for (int pass = 0; pass < 200 && markers.empty(); ++pass) {
    while (encoder.events->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) == S_OK) {
      MediaEventType type = 0;
      HRESULT status = S_OK;
      event->GetType(&type);
      event->GetStatus(&status);
      event->Release();
      if (type == METransformMarker) markers.emplace_back(type, status);
    }
  }
  ASSERT_EQ(markers.size(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(markers[0].second), 0x887A0005u);
  ReleaseEncoder(&encoder);
}

TEST_F(MediaFramework, SyncTransformFillsTheCallersSampleAndRefusesInputWhileOutputWaits) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", "1");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  ASSERT_FALSE(encoder.isAsync);
  IMFTransform* transform = encoder.transform;
  Ref<IMFAttributes> attributes;
  ASSERT_EQ(transform->GetAttributes(attributes.Out()), S_OK);
  UINT32 async = 0;
  EXPECT_EQ(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async), MF_E_ATTRIBUTENOTFOUND);
  Ref<IMFMediaEventGenerator> events;
  EXPECT_EQ(transform->QueryInterface(IID_IMFMediaEventGenerator, events.OutVoid()), E_NOINTERFACE);

  auto outputCall = [&](DWORD bufferSize, Ref<IMFSample>* sample) {
    Ref<IMFMediaBuffer> buffer;
    EXPECT_EQ(framework_.createMemoryBuffer(bufferSize, buffer.Out()), S_OK);
    EXPECT_EQ(framework_.createSample(sample->Out()), S_OK);
    (*sample)->AddBuffer(buffer.get());
    MFT_OUTPUT_DATA_BUFFER output{};
    output.pSample = sample->get();
    DWORD status = 0;
    HRESULT hr = transform->ProcessOutput(0, 1, &output, &status);
    EXPECT_EQ(output.pSample, sample->get());
    return hr;
  };

  Ref<IMFSample> sample;
  EXPECT_EQ(outputCall(2000000, &sample), MF_E_TRANSFORM_NEED_MORE_INPUT);
  MFT_OUTPUT_DATA_BUFFER noSample{};
  DWORD status = 0;
  EXPECT_EQ(transform->ProcessOutput(0, 1, &noSample, &status), E_INVALIDARG);

  ASSERT_EQ(transform->ProcessInput(0, Frame(0).get(), 0), S_OK);
  EXPECT_EQ(transform->ProcessInput(0, Frame(1).get(), 0), MF_E_NOTACCEPTING);
  // Too small a buffer loses nothing: the access unit waits for a larger one.
  EXPECT_EQ(outputCall(64, &sample), MF_E_BUFFERTOOSMALL);
  ASSERT_EQ(outputCall(2000000, &sample), S_OK);
  Ref<IMFMediaBuffer> bytes;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(bytes.Out()), S_OK);
  DWORD length = 0;
  EXPECT_EQ(bytes->GetCurrentLength(&length), S_OK);
  EXPECT_GT(length, 64u);
  LONGLONG duration = 0;
  EXPECT_EQ(sample->GetSampleDuration(&duration), S_OK);
  EXPECT_EQ(duration, kFrameDuration);

  EXPECT_EQ(outputCall(2000000, &sample), MF_E_TRANSFORM_NEED_MORE_INPUT);
  EXPECT_EQ(transform->ProcessInput(0, Frame(1).get(), 0), S_OK);

  // Inputs it cannot take: no time, fewer rows than the picture.
  ASSERT_EQ(outputCall(2000000, &sample), S_OK);
  Ref<IMFSample> untimed;
  ASSERT_EQ(framework_.createSample(untimed.Out()), S_OK);
  Ref<IMFMediaBuffer> frameBuffer;
  ASSERT_EQ(framework_.createMemoryBuffer(1382400, frameBuffer.Out()), S_OK);
  frameBuffer->SetCurrentLength(1382400);
  untimed->AddBuffer(frameBuffer.get());
  EXPECT_EQ(transform->ProcessInput(0, untimed.get(), 0), MF_E_NO_SAMPLE_TIMESTAMP);
  untimed->SetSampleTime(0);
  frameBuffer->SetCurrentLength(1382400 - 1920);
  EXPECT_EQ(transform->ProcessInput(0, untimed.get(), 0), E_INVALIDARG);
  ReleaseEncoder(&encoder);
}

// --- codec properties, padded input, drain ---

// Encodes `frames` frames through the system's configuration and collects the access units.
Collected EncodeFrames(const mediafw_driver::Framework& framework, const Configuration& configuration, int frames,
                       bool drain) {
  Collected collected;
  Encoder encoder;
  std::string failedStep;
  HRESULT hr = OpenLastCandidate(framework, configuration, &encoder, &failedStep);
  if (FAILED(hr)) {
    collected.error = failedStep;
    return collected;
  }
  for (int i = 0; i < frames && collected.error.empty(); ++i) {
    SubmitFrame(framework, encoder, TestFrame(i).data(), i * kFrameDuration, &collected);
  }
  if (drain && collected.error.empty()) {
    if (FAILED(encoder.transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0))) collected.error = "drain";
    if (!encoder.isAsync) DrainOutput(framework, encoder, &collected);
  }
  CollectRemaining(framework, encoder, &collected);
  ReleaseEncoder(&encoder);
  return collected;
}

TEST_F(MediaFramework, CodecPropertiesSetTheGroupOfPictures) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  Configuration configuration;
  configuration.gopSize = 10;
  Collected collected = EncodeFrames(framework_, configuration, 35, false);
  ASSERT_EQ(collected.error, "");
  ASSERT_EQ(collected.units.size(), 35u);
  for (std::size_t i = 0; i < collected.units.size(); ++i) EXPECT_EQ(collected.units[i].cleanPoint, i % 10 == 0) << i;
}

TEST_F(MediaFramework, CodecPropertiesAreCheckedAndFixedOnceStreaming) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", "1");
  Ref<IMFTransform> transform = SoftwareTransform();
  ASSERT_NE(transform.get(), nullptr);
  Ref<ICodecAPI> api;
  ASSERT_EQ(transform->QueryInterface(IID_ICodecAPI, api.OutVoid()), S_OK);

  VARIANT ui4{};
  ui4.vt = VT_UI4;
  ui4.ulVal = 25;
  VARIANT yes{};
  yes.vt = VT_BOOL;
  yes.boolVal = VARIANT_TRUE;
  EXPECT_EQ(api->SetValue(&CODECAPI_AVEncMPVGOPSize, &ui4), S_OK);
  EXPECT_EQ(api->SetValue(&CODECAPI_AVEncMPVDefaultBPictureCount, &ui4), E_INVALIDARG);  // at most 16
  EXPECT_EQ(api->SetValue(&CODECAPI_AVLowLatencyMode, &ui4), E_INVALIDARG);              // a VT_BOOL
  EXPECT_EQ(api->SetValue(&CODECAPI_AVEncMPVGOPSize, &yes), E_INVALIDARG);
  EXPECT_EQ(api->SetValue(&CODECAPI_AVLowLatencyMode, &yes), S_OK);
  EXPECT_EQ(api->SetValue(&MF_MT_FRAME_SIZE, &ui4), E_NOTIMPL);
  EXPECT_EQ(api->IsSupported(&CODECAPI_AVEncCommonMeanBitRate), S_OK);
  EXPECT_EQ(api->IsSupported(&MF_MT_FRAME_SIZE), E_NOTIMPL);

  VARIANT value{};
  EXPECT_EQ(api->GetValue(&CODECAPI_AVEncMPVGOPSize, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 25u);
  EXPECT_EQ(api->GetValue(&CODECAPI_AVLowLatencyMode, &value), S_OK);
  EXPECT_EQ(value.vt, VT_BOOL);
  EXPECT_EQ(value.boolVal, VARIANT_TRUE);

  Start(transform.get());
  EXPECT_EQ(api->IsModifiable(&CODECAPI_AVEncMPVGOPSize), S_FALSE);
  EXPECT_EQ(api->SetValue(&CODECAPI_AVEncMPVGOPSize, &ui4), MF_E_INVALIDREQUEST);
}

TEST_F(MediaFramework, PaddedInputBuffersTakeTheirChromaAfterAllTheirRows) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", "1");
  Ref<IMFTransform> transform = SoftwareTransform();
  ASSERT_NE(transform.get(), nullptr);
  Start(transform.get());
  mediafw_driver::Encoder encoder;
  encoder.transform = transform.get();
  encoder.outputBufferSize = 2000000;
  encoder.inputHeight = 736;  // 16 rows more than the picture, as an encoder asking for padding gets
  Collected collected;
  ASSERT_TRUE(SubmitFrame(framework_, encoder, TestFrame(0).data(), 0, &collected)) << collected.error;
  ASSERT_EQ(collected.units.size(), 1u);

  ExpectDecodesToTestFrameZero(collected.units[0].bytes);
}

// Without the low-latency mode the encoder holds frames back; a drain gives every one of them.
class Drain : public MediaFramework, public testing::WithParamInterface<bool> {};

TEST_P(Drain, GivesTheFramesTheEncoderHeldBack) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", GetParam() ? "1" : nullptr);
  Configuration configuration;
  configuration.lowLatency = false;
  Collected held = EncodeFrames(framework_, configuration, 20, false);
  ASSERT_EQ(held.error, "");
  EXPECT_LT(held.units.size(), 20u);

  Collected drained = EncodeFrames(framework_, configuration, 20, true);
  ASSERT_EQ(drained.error, "");
  ASSERT_EQ(drained.units.size(), 20u);
  for (std::size_t i = 0; i < drained.units.size(); ++i) {
    EXPECT_EQ(drained.units[i].time, static_cast<LONGLONG>(i) * kFrameDuration);
    EXPECT_EQ(drained.units[i].duration, kFrameDuration);
  }
}

INSTANTIATE_TEST_SUITE_P(AsyncAndSync, Drain, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) { return std::string(p.param ? "Sync" : "Async"); });

}  // namespace
