// libvistrel-mediafw.so: the media framework where the system has none of its own. It exports the
// framework's five entry points under their own names, so that the system loads it by name at run
// time exactly as it loads the real one:
//
//   MFStartup, MFTEnumEx, MFCreateMediaType, MFCreateSample, MFCreateMemoryBuffer
//
// MFTEnumEx offers, as hardware H.264 encoders, the ones libavcodec has, in this order: h264_nvenc,
// h264_vaapi, h264_qsv, h264_v4l2m2m. Where an encoder's device is missing it fails like a real one:
// h264_vaapi at SetOutputType (no VAAPI device), the others when streaming begins (the encoder does
// not open), so that the next candidate is tried.
//
// Switches, environment variables read at each MFTEnumEx (they belong to this framework, not to the
// system that uses it); each is on when set to "1":
//   VISTREL_SOFTWARE_ENCODER    also offer libavcodec's libx264, last: a software encoder, which a
//                               machine without an encoding GPU needs to run the system at all.
//   VISTREL_MEDIAFW_SYNC        transforms are synchronous: no MF_TRANSFORM_ASYNC, no events,
//                               ProcessOutput fills a sample of the caller's (cbSize 2,000,000) and
//                               answers MF_E_TRANSFORM_NEED_MORE_INPUT when nothing is ready.
//   VISTREL_MEDIAFW_TYPE_CHANGE before its first output a transform changes its output type once
//                               (MF_E_TRANSFORM_STREAM_CHANGE), offering a type whose
//                               MF_MT_MPEG_SEQUENCE_HEADER holds 00 00 00 01 SPS 00 00 00 01 PPS.
//   VISTREL_MEDIAFW_VERBOSE     libavcodec's own messages go to standard error (otherwise silent).
//
// One more switch takes a value: VISTREL_MEDIAFW_FAIL=<what>:<N> makes a transform break down after
// it has accepted N frames, as a hardware encoder does when its device is lost. <what> is
// "input" (ProcessInput fails), "output" (ProcessOutput fails), "event" (GetEvent fails) or
// "error" (an MEError event is sent); every failure carries 0x887A0005 (device removed). The last
// two need an asynchronous transform. Any other value is ignored.
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "encoder/media_framework.h"
#include "mediafw/codec_session.h"
#include "mediafw/com_ptr.h"
#include "mediafw/encoder_transform.h"
#include "mediafw/objects.h"

namespace mediafw {
namespace {

struct Switches {
  bool softwareEncoder = false;
  bool synchronous = false;
  bool typeChange = false;
  bool verbose = false;
  TransformMode::Fault fault = TransformMode::Fault::kNone;
  std::uint64_t faultAfterFrames = 0;
};

// VISTREL_MEDIAFW_FAIL=<what>:<N>; anything malformed leaves the transforms sound.
void ReadFault(Switches& s) {
  const char* value = std::getenv("VISTREL_MEDIAFW_FAIL");
  if (value == nullptr) return;
  const char* colon = std::strchr(value, ':');
  if (colon == nullptr || colon[1] < '0' || colon[1] > '9') return;
  char* end = nullptr;
  const unsigned long long frames = std::strtoull(colon + 1, &end, 10);
  if (end == nullptr || *end != 0) return;
  const std::string what(value, colon);
  using Fault = TransformMode::Fault;
  const Fault fault = what == "input"    ? Fault::kProcessInput
                      : what == "output" ? Fault::kProcessOutput
                      : what == "event"  ? Fault::kGetEvent
                      : what == "error"  ? Fault::kErrorEvent
                                         : Fault::kNone;
  if (fault == Fault::kNone) return;
  s.fault = fault;
  s.faultAfterFrames = frames;
}

bool SwitchOn(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

Switches ReadSwitches() {
  Switches s;
  s.softwareEncoder = SwitchOn("VISTREL_SOFTWARE_ENCODER");
  s.synchronous = SwitchOn("VISTREL_MEDIAFW_SYNC");
  s.typeChange = SwitchOn("VISTREL_MEDIAFW_TYPE_CHANGE");
  s.verbose = SwitchOn("VISTREL_MEDIAFW_VERBOSE");
  ReadFault(s);
  return s;
}

void ApplyLogLevel(const Switches& s) { av_log_set_level(s.verbose ? AV_LOG_VERBOSE : AV_LOG_QUIET); }

constexpr const char* kHardwareEncoders[] = {"h264_nvenc", "h264_vaapi", "h264_qsv", "h264_v4l2m2m"};
constexpr const char* kSoftwareEncoder = "libx264";

// A type filter of MFTEnumEx: none, or video of the one subtype (GUID_NULL for any).
bool Matches(const MFT_REGISTER_TYPE_INFO* filter, const GUID& subtype) {
  if (filter == nullptr) return true;
  return filter->guidMajorType == MFMediaType_Video && (filter->guidSubtype == subtype || filter->guidSubtype == GUID_NULL);
}

std::basic_string<WCHAR> Widen(const std::string& text) {
  std::basic_string<WCHAR> wide;
  for (char c : text) wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
  return wide;
}

// The activation object of one encoder; its friendly name is libavcodec's description with the
// encoder's name, for example "NVIDIA NVENC H.264 encoder (h264_nvenc)".
HRESULT NewEncoderActivate(const char* codecName, const TransformMode& mode, IMFActivate** activate) {
  std::string name = codecName;
  HRESULT hr = CreateActivateObject(
      [name, mode](IUnknown** object) { return CreateEncoderTransform(name, mode, object); }, activate);
  if (FAILED(hr)) return hr;
  const AVCodec* codec = avcodec_find_encoder_by_name(codecName);
  std::string friendly = codec != nullptr && codec->long_name != nullptr ? codec->long_name : codecName;
  friendly += " (";
  friendly += codecName;
  friendly += ")";
  hr = (*activate)->SetString(MFT_FRIENDLY_NAME_Attribute, Widen(friendly).c_str());
  if (FAILED(hr)) {
    (*activate)->Release();
    *activate = nullptr;
  }
  return hr;
}

}  // namespace
}  // namespace mediafw

#define VISTREL_EXPORT extern "C" __attribute__((visibility("default")))

VISTREL_EXPORT HRESULT MFStartup(ULONG version, DWORD flags);
VISTREL_EXPORT HRESULT MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                                 const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates, UINT32* count);
VISTREL_EXPORT HRESULT MFCreateMediaType(IMFMediaType** type);
VISTREL_EXPORT HRESULT MFCreateSample(IMFSample** sample);
VISTREL_EXPORT HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);

// The signatures the system looks the entry points up with.
static_assert(std::is_same_v<decltype(&MFStartup), MFStartupFunction>);
static_assert(std::is_same_v<decltype(&MFTEnumEx), MFTEnumExFunction>);
static_assert(std::is_same_v<decltype(&MFCreateMediaType), MFCreateMediaTypeFunction>);
static_assert(std::is_same_v<decltype(&MFCreateSample), MFCreateSampleFunction>);
static_assert(std::is_same_v<decltype(&MFCreateMemoryBuffer), MFCreateMemoryBufferFunction>);

VISTREL_EXPORT HRESULT MFStartup(ULONG version, DWORD /*flags*/) {
  mediafw::ApplyLogLevel(mediafw::ReadSwitches());
  // The framework's versions 1 and 2 of API 0x0070.
  if ((version & 0xFFFF) != (MF_VERSION & 0xFFFF) || (version >> 16) < 1 || (version >> 16) > (MF_VERSION >> 16)) {
    return MF_E_BAD_STARTUP_VERSION;
  }
  return S_OK;
}

VISTREL_EXPORT HRESULT MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                                 const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates, UINT32* count) {
  using namespace mediafw;
  if (activates == nullptr || count == nullptr) return E_POINTER;
  *activates = nullptr;
  *count = 0;
  Switches switches = ReadSwitches();
  ApplyLogLevel(switches);
  // Every transform here counts as hardware: it is listed only when hardware transforms are asked for.
  if (!(category == MFT_CATEGORY_VIDEO_ENCODER) || (flags & MFT_ENUM_FLAG_HARDWARE) == 0 ||
      !Matches(inputType, MFVideoFormat_NV12) || !Matches(outputType, MFVideoFormat_H264)) {
    return S_OK;
  }

  std::vector<const char*> names;
  for (const char* name : kHardwareEncoders) {
    if (CodecSession::Available(name)) names.push_back(name);
  }
  if (switches.softwareEncoder && CodecSession::Available(kSoftwareEncoder)) names.push_back(kSoftwareEncoder);
  if (names.empty()) return S_OK;

  TransformMode mode;
  mode.async = !switches.synchronous;
  mode.typeChange = switches.typeChange;
  mode.fault = switches.fault;
  mode.faultAfterFrames = switches.faultAfterFrames;
  auto** array = static_cast<IMFActivate**>(CoTaskMemAlloc(names.size() * sizeof(IMFActivate*)));
  if (array == nullptr) return E_OUTOFMEMORY;
  for (std::size_t i = 0; i < names.size(); ++i) {
    HRESULT hr = NewEncoderActivate(names[i], mode, &array[i]);
    if (FAILED(hr)) {
      for (std::size_t j = 0; j < i; ++j) array[j]->Release();
      CoTaskMemFree(array);
      return hr;
    }
  }
  *activates = array;
  *count = static_cast<UINT32>(names.size());
  return S_OK;
}

VISTREL_EXPORT HRESULT MFCreateMediaType(IMFMediaType** type) { return CreateMediaTypeObject(type); }

VISTREL_EXPORT HRESULT MFCreateSample(IMFSample** sample) { return CreateSampleObject(sample); }

VISTREL_EXPORT HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  return CreateMemoryBufferObject(maxLength, buffer);
}
