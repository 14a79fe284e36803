// Choosing a hardware H.264 encoder and giving it the fixed configuration.
#include <cstddef>
#include <string>

#include "encoder/convert.h"
#include "encoder/encoder.h"
#include "encoder/loader.h"
#include "log/log.h"
#include "platform/text.h"

namespace {

// The longest encoder name that goes into the log, in UTF-8 bytes.
constexpr std::size_t kMaxNameBytes = 127;

// The name in UTF-8, cut to at most 127 bytes without splitting a character.
std::string NameForLog(const WCHAR* name) {
  std::u16string text;
  for (const WCHAR* c = name; *c != 0; ++c) text += static_cast<char16_t>(*c);
  std::string utf8 = platform::Utf8FromUtf16(text);
  if (utf8.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    // Bytes 10xxxxxx continue a character: step back to its first byte and drop it whole.
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return utf8;
}

UINT64 PackPair(std::uint32_t high, std::uint32_t low) {
  return (static_cast<UINT64>(high) << 32) | low;
}

void SetCodecValue(ICodecAPI* codec, const GUID& api, ULONG value) {
  VARIANT v = {};
  v.vt = VT_UI4;
  v.ulVal = value;
  codec->SetValue(&api, &v);
}

void SetCodecFlag(ICodecAPI* codec, const GUID& api) {
  VARIANT v = {};
  v.vt = VT_BOOL;
  v.boolVal = VARIANT_TRUE;
  codec->SetValue(&api, &v);
}

// Unlocks an asynchronous transform. False when it is asynchronous and refuses the unlock.
bool UnlockIfAsync(HardwareEncoder& encoder) {
  IMFAttributes* attributes = nullptr;
  if (FAILED(encoder.transform->GetAttributes(&attributes)) || attributes == nullptr) return true;
  bool unlocked = true;
  UINT32 async = 0;
  if (SUCCEEDED(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async)) && async != 0) {
    if (FAILED(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1))) {
      unlocked = false;
    } else {
      encoder.isAsync = true;
    }
  }
  attributes->Release();
  return unlocked;
}

void SetCodecProperties(IMFTransform* transform, const stream::StreamFormat& format) {
  ICodecAPI* codec = nullptr;
  if (FAILED(transform->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&codec))) ||
      codec == nullptr) {
    return;  // the transform's own settings apply
  }
  SetCodecValue(codec, CODECAPI_AVEncCommonRateControlMode, eAVEncCommonRateControlMode_CBR);
  SetCodecValue(codec, CODECAPI_AVEncCommonMeanBitRate, format.bitRate);
  SetCodecValue(codec, CODECAPI_AVEncMPVGOPSize, format.GopFrames());
  SetCodecValue(codec, CODECAPI_AVEncMPVDefaultBPictureCount, 0);
  SetCodecFlag(codec, CODECAPI_AVLowLatencyMode);
  codec->Release();
}

bool SetOutputType(HardwareEncoder& encoder) {
  IMFMediaType* type = nullptr;
  if (FAILED(mediaFramework.createMediaType(&type)) || type == nullptr) return false;
  SetCommonVideoAttributes(type, encoder.format);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  type->SetUINT32(MF_MT_AVG_BITRATE, encoder.format.bitRate);
  type->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_Main);
  const HRESULT hr = encoder.transform->SetOutputType(encoder.outputStreamId, type, 0);
  type->Release();
  if (FAILED(hr)) {
    LogLine("SetOutputType failed 0x%08lX", HresultBits(hr));
    return false;
  }
  return true;
}

// The constructed NV12 type first; when the transform refuses it, the first NV12 type that the
// transform offers itself and accepts.
bool SetInputType(HardwareEncoder& encoder) {
  IMFMediaType* type = nullptr;
  if (FAILED(mediaFramework.createMediaType(&type)) || type == nullptr) return false;
  SetCommonVideoAttributes(type, encoder.format);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  type->SetUINT32(MF_MT_DEFAULT_STRIDE, encoder.format.width);
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
  HRESULT hr = encoder.transform->SetInputType(encoder.inputStreamId, type, 0);
  type->Release();
  if (SUCCEEDED(hr)) return true;

  HRESULT last = E_FAIL;  // stays when no offered type is NV12
  for (DWORD index = 0;; ++index) {
    IMFMediaType* offered = nullptr;
    hr = encoder.transform->GetInputAvailableType(encoder.inputStreamId, index, &offered);
    if (FAILED(hr) || offered == nullptr) {
      LogLine("SetInputType failed 0x%08lX", HresultBits(last));
      return false;
    }
    GUID subtype = {};
    if (SUCCEEDED(offered->GetGUID(MF_MT_SUBTYPE, &subtype)) &&
        IsEqualGUID(subtype, MFVideoFormat_NV12)) {
      last = encoder.transform->SetInputType(encoder.inputStreamId, offered, 0);
    }
    offered->Release();
    if (SUCCEEDED(last)) return true;
  }
}

}  // namespace

DWORD DefaultOutputBufferSize(const stream::StreamFormat& format) {
  const DWORD picture = format.Nv12FrameBytes();
  return picture > kDefaultOutputBufferSize ? picture : kDefaultOutputBufferSize;
}

DWORD MaxOutputBufferSize(const stream::StreamFormat& format) {
  // At most 3840 x 2160 pictures: four of them stay below 50 MB.
  const std::uint64_t pictures = std::uint64_t{4} * format.Nv12FrameBytes();
  return pictures > kMaxOutputBufferSize ? static_cast<DWORD>(pictures) : kMaxOutputBufferSize;
}

void SetCommonVideoAttributes(IMFMediaType* type, const stream::StreamFormat& format) {
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetUINT64(MF_MT_FRAME_SIZE, PackPair(format.width, format.height));
  type->SetUINT64(MF_MT_FRAME_RATE, PackPair(format.frameRateNumerator, format.frameRateDenominator));
  type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, PackPair(1, 1));
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  type->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
  type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
}

bool ConfigureEncoder(HardwareEncoder& encoder) {
  IMFTransform* transform = encoder.transform;
  if (!UnlockIfAsync(encoder)) return false;
  if (encoder.isAsync &&
      FAILED(transform->QueryInterface(IID_IMFMediaEventGenerator,
                                       reinterpret_cast<void**>(&encoder.eventGenerator)))) {
    encoder.eventGenerator = nullptr;
    return false;
  }
  SetCodecProperties(transform, encoder.format);

  // Transforms with fixed streams do not implement GetStreamIDs: their streams are 0 and 0.
  if (transform->GetStreamIDs(1, &encoder.inputStreamId, 1, &encoder.outputStreamId) == E_NOTIMPL) {
    encoder.inputStreamId = 0;
    encoder.outputStreamId = 0;
  }

  // The output type first: encoders offer their input types only once it is set.
  if (!SetOutputType(encoder)) return false;
  if (!SetInputType(encoder)) return false;

  // An encoder may want its input padded below the picture: as many NV12 rows of width bytes
  // (luma plus half-height chroma, width x 3 / 2 bytes per row) as the buffer size it asks for
  // covers. Dividing by the bytes per row at once gives the same rows as two thirds of the size
  // over the width, without doubling the size first, which wraps in 32 bits from 2 GiB on and
  // once gave fewer rows than the picture. A size of more than kMaxInputHeight rows is no padding
  // of this picture: it counts as no answer, like a failed call, and the input keeps the rows
  // that the input type describes. The rows therefore lie between the picture's height and
  // kMaxInputHeight.
  MFT_INPUT_STREAM_INFO input = {};
  const std::uint32_t bytesPerRow = encoder.format.width * 3 / 2;
  if (SUCCEEDED(transform->GetInputStreamInfo(encoder.inputStreamId, &input)) &&
      input.cbSize > encoder.format.Nv12FrameBytes() && bytesPerRow != 0) {
    const std::uint32_t rows = static_cast<std::uint32_t>(input.cbSize / bytesPerRow);
    if (rows <= kMaxInputHeight) encoder.inputHeight = rows;
  }

  MFT_OUTPUT_STREAM_INFO output = {};
  if (FAILED(transform->GetOutputStreamInfo(encoder.outputStreamId, &output))) return false;
  // A size above the bound counts as none named.
  encoder.outputBufferSize = output.cbSize != 0 && output.cbSize <= MaxOutputBufferSize(encoder.format)
                                 ? output.cbSize
                                 : DefaultOutputBufferSize(encoder.format);
  encoder.providesSamples =
      (output.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;

  if (FAILED(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0))) return false;
  return SUCCEEDED(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0));
}

bool SelectEncoder(HardwareEncoder& encoder) {
  const MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_NV12};
  const MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (FAILED(mediaFramework.enumTransforms(MFT_CATEGORY_VIDEO_ENCODER,
                                           MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER,
                                           &input, &output, &activates, &count))) {
    return false;
  }

  bool chosen = false;
  for (UINT32 i = 0; i < count && !chosen; ++i) {
    IMFActivate* activate = activates[i];
    WCHAR* name = nullptr;
    UINT32 nameLength = 0;
    if (SUCCEEDED(activate->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &nameLength)) &&
        name != nullptr) {
      LogLine("encoder %u: %s", static_cast<unsigned>(i), NameForLog(name).c_str());
      CoTaskMemFree(name);
    }

    IMFTransform* transform = nullptr;
    if (FAILED(activate->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform))) ||
        transform == nullptr) {
      continue;  // not activated: nothing to shut down
    }
    encoder.transform = transform;
    encoder.isAsync = false;
    if (encoder.eventGenerator != nullptr) {
      encoder.eventGenerator->Release();
      encoder.eventGenerator = nullptr;
    }
    encoder.inputHeight = encoder.format.height;

    if (ConfigureEncoder(encoder)) {
      LogLine("  using it: %s, input height %u", encoder.isAsync ? "async" : "sync",
              static_cast<unsigned>(encoder.inputHeight));
      chosen = true;
    } else {
      encoder.transform->Release();
      encoder.transform = nullptr;
      activate->ShutdownObject();
    }
  }

  // The chosen transform lives on through encoder.transform; its activation object is released
  // like the others, without shutting it down.
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  return chosen;
}
