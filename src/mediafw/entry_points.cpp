// The entry points of a stand-in media framework, exported under the framework's own names so that
// the system loads the library by name at run time exactly as it loads the real one.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "encoder/media_framework.h"
#include "mediafw/encoder_transform.h"
#include "mediafw/framework.h"
#include "mediafw/objects.h"
#include "mediafw/replay_codec.h"

namespace mediafw {
namespace {

// The encoder that VISTREL_MEDIAFW_REFUSER lists first.
constexpr const char* kRefuserName = "Encoder that refuses every output type";
// The audio encoder that VISTREL_MEDIAFW_AUDIO_REFUSER lists first.
constexpr const char* kAudioRefuserName = "Audio encoder that refuses every type";

// The codec of the refusing audio encoder: never opened, since its types are refused.
class UnopenableAudioCodec final : public AudioCodec {
 public:
  bool Open(const AudioSettings&) override { return false; }
  bool IsOpen() const override { return false; }
  const std::vector<std::uint8_t>& AudioSpecificConfig() const override { return none_; }
  int Delay() const override { return 0; }
  bool Encode(const std::int16_t*, std::size_t, std::deque<std::vector<std::uint8_t>>&) override { return false; }

 private:
  std::vector<std::uint8_t> none_;
};

// An audio filter of MFTEnumEx: none, or audio of the one subtype (GUID_NULL for any).
bool MatchesAudio(const MFT_REGISTER_TYPE_INFO* filter, const GUID& subtype) {
  if (filter == nullptr) return true;
  return filter->guidMajorType == MFMediaType_Audio && (filter->guidSubtype == subtype || filter->guidSubtype == GUID_NULL);
}

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

// The activation object of one encoder, named by its friendly name.
HRESULT NewEncoderActivate(const EncoderOffer& offer, const TransformMode& mode, IMFActivate** activate) {
  auto makeCodec = offer.makeCodec;
  HRESULT hr = CreateActivateObject(
      [makeCodec, mode](IUnknown** object) { return CreateEncoderTransform(makeCodec(), mode, object); }, activate);
  if (FAILED(hr)) return hr;
  hr = (*activate)->SetString(MFT_FRIENDLY_NAME_Attribute, Widen(offer.friendlyName).c_str());
  if (FAILED(hr)) {
    (*activate)->Release();
    *activate = nullptr;
  }
  return hr;
}

// The activation object of one audio encoder, named by its friendly name.
HRESULT NewAudioEncoderActivate(const AudioEncoderOffer& offer, const AudioTransformMode& mode, IMFActivate** activate) {
  auto makeCodec = offer.makeCodec;
  HRESULT hr = CreateActivateObject(
      [makeCodec, mode](IUnknown** object) { return CreateAudioEncoderTransform(makeCodec(), mode, object); },
      activate);
  if (FAILED(hr)) return hr;
  hr = (*activate)->SetString(MFT_FRIENDLY_NAME_Attribute, Widen(offer.friendlyName).c_str());
  if (FAILED(hr)) {
    (*activate)->Release();
    *activate = nullptr;
  }
  return hr;
}

// MFTEnumEx for MFT_CATEGORY_AUDIO_ENCODER: the library's AAC encoders, synchronous, so listed
// only when synchronous transforms are asked for.
HRESULT EnumerateAudioEncoders(const Switches& switches, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                               const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates, UINT32* count) {
  if ((flags & MFT_ENUM_FLAG_SYNCMFT) == 0 || !MatchesAudio(inputType, MFAudioFormat_PCM) ||
      !MatchesAudio(outputType, MFAudioFormat_AAC)) {
    return S_OK;
  }
  std::vector<AudioEncoderOffer> offers = OfferedAudioEncoders(switches);
  if (switches.audioRefuser) {
    offers.insert(offers.begin(), AudioEncoderOffer{kAudioRefuserName, [] {
                                                      return std::unique_ptr<AudioCodec>(new (std::nothrow)
                                                                                             UnopenableAudioCodec);
                                                    }});
  }
  if (offers.empty()) return S_OK;
  AudioTransformMode mode;
  mode.fault = switches.audioFault;
  mode.faultAfterInputs = switches.audioFaultAfterInputs;
  AudioTransformMode refusing;
  refusing.refuseTypes = true;
  auto** array = static_cast<IMFActivate**>(CoTaskMemAlloc(offers.size() * sizeof(IMFActivate*)));
  if (array == nullptr) return E_OUTOFMEMORY;
  for (std::size_t i = 0; i < offers.size(); ++i) {
    HRESULT hr = NewAudioEncoderActivate(offers[i], switches.audioRefuser && i == 0 ? refusing : mode, &array[i]);
    if (FAILED(hr)) {
      for (std::size_t j = 0; j < i; ++j) array[j]->Release();
      CoTaskMemFree(array);
      return hr;
    }
  }
  *activates = array;
  *count = static_cast<UINT32>(offers.size());
  return S_OK;
}

}  // namespace
}  // namespace mediafw

#if defined(_WIN32)
#define VISTREL_EXPORT extern "C" __declspec(dllexport)
#else
#define VISTREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

VISTREL_EXPORT HRESULT MF_CALL MFStartup(ULONG version, DWORD flags);
VISTREL_EXPORT HRESULT MF_CALL MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                                         const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates,
                                         UINT32* count);
VISTREL_EXPORT HRESULT MF_CALL MFCreateMediaType(IMFMediaType** type);
VISTREL_EXPORT HRESULT MF_CALL MFCreateSample(IMFSample** sample);
VISTREL_EXPORT HRESULT MF_CALL MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);

// The signatures the system looks the entry points up with.
static_assert(std::is_same_v<decltype(&MFStartup), MFStartupFunction>);
static_assert(std::is_same_v<decltype(&MFTEnumEx), MFTEnumExFunction>);
static_assert(std::is_same_v<decltype(&MFCreateMediaType), MFCreateMediaTypeFunction>);
static_assert(std::is_same_v<decltype(&MFCreateSample), MFCreateSampleFunction>);
static_assert(std::is_same_v<decltype(&MFCreateMemoryBuffer), MFCreateMemoryBufferFunction>);

VISTREL_EXPORT HRESULT MF_CALL MFStartup(ULONG version, DWORD /*flags*/) {
  mediafw::ApplySwitches(mediafw::ReadSwitches());
  // The framework's versions 1 and 2 of API 0x0070.
  if ((version & 0xFFFF) != (MF_VERSION & 0xFFFF) || (version >> 16) < 1 || (version >> 16) > (MF_VERSION >> 16)) {
    return MF_E_BAD_STARTUP_VERSION;
  }
  return S_OK;
}

VISTREL_EXPORT HRESULT MF_CALL MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                                         const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates,
                                         UINT32* count) {
  using namespace mediafw;
  if (activates == nullptr || count == nullptr) return E_POINTER;
  *activates = nullptr;
  *count = 0;
  Switches switches = ReadSwitches();
  ApplySwitches(switches);
  if (category == MFT_CATEGORY_AUDIO_ENCODER) {
    return EnumerateAudioEncoders(switches, flags, inputType, outputType, activates, count);
  }
  // Every transform here counts as hardware: it is listed only when hardware transforms are asked for.
  if (!(category == MFT_CATEGORY_VIDEO_ENCODER) || (flags & MFT_ENUM_FLAG_HARDWARE) == 0 ||
      !Matches(inputType, MFVideoFormat_NV12) || !Matches(outputType, MFVideoFormat_H264)) {
    return S_OK;
  }

  std::vector<EncoderOffer> offers = OfferedEncoders(switches);
  if (switches.refuser) {
    offers.insert(offers.begin(), EncoderOffer{kRefuserName, [] {
                                                 return std::unique_ptr<Codec>(new (std::nothrow) ReplayCodec(nullptr));
                                               }});
  }
  if (offers.empty()) return S_OK;

  TransformMode mode;
  mode.async = !switches.synchronous;
  mode.typeChange = switches.typeChange;
  mode.inputRequests = switches.inputRequests;
  mode.refuseEvery = switches.refuseEvery;
  mode.fault = switches.fault;
  mode.faultAfterFrames = switches.faultAfterFrames;
  mode.callerSamples = switches.callerSamples;
  mode.inputRows = switches.inputRows;
  mode.codecApiRecord = switches.codecApiRecord;
  TransformMode refusing = mode;
  refusing.refuseOutputType = true;
  auto** array = static_cast<IMFActivate**>(CoTaskMemAlloc(offers.size() * sizeof(IMFActivate*)));
  if (array == nullptr) return E_OUTOFMEMORY;
  for (std::size_t i = 0; i < offers.size(); ++i) {
    HRESULT hr = NewEncoderActivate(offers[i], switches.refuser && i == 0 ? refusing : mode, &array[i]);
    if (FAILED(hr)) {
      for (std::size_t j = 0; j < i; ++j) array[j]->Release();
      CoTaskMemFree(array);
      return hr;
    }
  }
  *activates = array;
  *count = static_cast<UINT32>(offers.size());
  return S_OK;
}

VISTREL_EXPORT HRESULT MF_CALL MFCreateMediaType(IMFMediaType** type) { return CreateMediaTypeObject(type); }

VISTREL_EXPORT HRESULT MF_CALL MFCreateSample(IMFSample** sample) { return CreateSampleObject(sample); }

VISTREL_EXPORT HRESULT MF_CALL MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  return CreateMemoryBufferObject(maxLength, buffer);
}
