// The AAC encoder of the game's sound: choosing the transform, typing it, feeding and draining it.
#include "encoder/audio_encoder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "encoder/loader.h"
#include "log/log.h"
#include "mp4/audio_track.h"
#include "platform/text.h"

namespace {

constexpr std::uint32_t kSamplesPerSecond = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kBitsPerSample = 16;
constexpr std::uint32_t kBytesPerSecondIn = kSamplesPerSecond * kAudioFrameBytesIn;
// AAC Profile, level 2: AAC-LC up to 48 kHz stereo.
constexpr UINT32 kAacProfileLevel = 0x29;
// The output type's user data: the HEAACWAVEINFO fields after WAVEFORMATEX (wPayloadType,
// wAudioProfileLevelIndication, wStructType, wReserved1, dwReserved2), then the
// AudioSpecificConfig.
constexpr std::size_t kHeAacInfoBytes = 12;
constexpr std::size_t kMaxUserDataBytes = kHeAacInfoBytes + kMaxAudioSpecificConfigBytes;
// Output buffers when the transform names no size: one frame at its largest.
constexpr DWORD kDefaultAacBufferSize = kMaxAacFrameBytes;
// A named buffer size above this is no AAC frame's (eight of the largest): treated as none named.
constexpr DWORD kMaxAacBufferSize = 8 * kMaxAacFrameBytes;
// Output calls after one input: 4096 PCM frames make 4 AAC frames, 5 with one held back from the
// call before; an encoder that is still giving after this many has broken down.
constexpr std::uint32_t kMaxOutputCallsPerInput = 64;
// A value from the encoder that no working encoder gives (a frame of 0 or too many bytes, output
// without end): the failure's code in the log.
constexpr HRESULT kBadEncoderOutput = E_UNEXPECTED;
constexpr std::size_t kMaxNameBytes = 127;

std::string NameForLog(const WCHAR* name) {
  std::u16string text;
  for (const WCHAR* c = name; *c != 0 && text.size() < 4 * kMaxNameBytes; ++c) text += static_cast<char16_t>(*c);
  std::string utf8 = platform::Utf8FromUtf16(text);
  if (utf8.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return utf8;
}

// The attributes both types share: 48 kHz stereo, 16 bits a sample.
void SetCommonAudioAttributes(IMFMediaType* type, const GUID& subtype) {
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kSamplesPerSecond);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kChannels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, kBitsPerSample);
}

bool SetInputType(AudioEncoder& encoder) {
  IMFMediaType* type = nullptr;
  if (FAILED(mediaFramework.createMediaType(&type)) || type == nullptr) return false;
  SetCommonAudioAttributes(type, MFAudioFormat_PCM);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, kAudioFrameBytesIn);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kBytesPerSecondIn);
  const HRESULT hr = encoder.transform->SetInputType(encoder.inputStreamId, type, 0);
  type->Release();
  return SUCCEEDED(hr);
}

bool SetOutputType(AudioEncoder& encoder) {
  IMFMediaType* type = nullptr;
  if (FAILED(mediaFramework.createMediaType(&type)) || type == nullptr) return false;
  SetCommonAudioAttributes(type, MFAudioFormat_AAC);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAudioBytesPerSecondOut);
  type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);  // raw frames, no ADTS headers
  type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, kAacProfileLevel);
  const HRESULT hr = encoder.transform->SetOutputType(encoder.outputStreamId, type, 0);
  type->Release();
  return SUCCEEDED(hr);
}

// Whether an AudioSpecificConfig describes what every file states of the sound: AAC-LC (object
// type 2), 48 kHz (frequency index 3), two channels. Its first 13 bits say so; what follows
// (extensions) is the decoder's business.
bool DescribesOurSound(const std::vector<std::uint8_t>& config) {
  if (config.size() < 2) return false;
  const unsigned bits = (unsigned{config[0]} << 8) | config[1];
  return (bits >> 11) == 2 && ((bits >> 7) & 0xF) == 3 && ((bits >> 3) & 0xF) == 2;
}

// The AudioSpecificConfig from the current output type's user data. The encoder names the size:
// only 13 to 76 bytes are read; the payload type in it must be raw (0), as asked for, and the
// config must describe AAC-LC at 48 kHz in stereo.
bool ReadAudioSpecificConfig(AudioEncoder& encoder) {
  IMFMediaType* type = nullptr;
  if (FAILED(encoder.transform->GetOutputCurrentType(encoder.outputStreamId, &type)) || type == nullptr) {
    return false;
  }
  bool usable = false;
  UINT32 size = 0;
  if (SUCCEEDED(type->GetBlobSize(MF_MT_USER_DATA, &size)) && size > kHeAacInfoBytes && size <= kMaxUserDataBytes) {
    std::vector<std::uint8_t> data(size, 0);
    UINT32 copied = 0;
    if (SUCCEEDED(type->GetBlob(MF_MT_USER_DATA, data.data(), size, &copied)) && copied > kHeAacInfoBytes &&
        copied <= size && data[0] == 0 && data[1] == 0) {
      encoder.audioSpecificConfig.assign(data.begin() + kHeAacInfoBytes, data.begin() + copied);
      usable = DescribesOurSound(encoder.audioSpecificConfig);
    }
  }
  type->Release();
  return usable;
}

bool ConfigureAudioEncoder(AudioEncoder& encoder) {
  IMFTransform* transform = encoder.transform;
  // Transforms with fixed streams do not implement GetStreamIDs: their streams are 0 and 0.
  if (transform->GetStreamIDs(1, &encoder.inputStreamId, 1, &encoder.outputStreamId) == E_NOTIMPL) {
    encoder.inputStreamId = 0;
    encoder.outputStreamId = 0;
  }
  // Audio encoders offer their output types once they know the input.
  if (!SetInputType(encoder) || !SetOutputType(encoder)) return false;
  if (!ReadAudioSpecificConfig(encoder)) return false;

  MFT_OUTPUT_STREAM_INFO output = {};
  if (FAILED(transform->GetOutputStreamInfo(encoder.outputStreamId, &output))) return false;
  encoder.outputBufferSize =
      output.cbSize != 0 && output.cbSize <= kMaxAacBufferSize ? output.cbSize : kDefaultAacBufferSize;
  encoder.providesSamples =
      (output.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;

  if (FAILED(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0))) return false;
  return SUCCEEDED(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0));
}

// Resets what a tried candidate left in the encoder.
void ResetAudioEncoder(AudioEncoder& encoder) { encoder = AudioEncoder{}; }

// The bytes of an output sample as one AAC frame. False (with the code for the log) for a frame
// that no working encoder gives: none, empty, longer than its buffer or than any AAC frame.
bool TakeFrame(IMFSample* sample, std::vector<AudioEncoderOutput>& out, HRESULT* failure) {
  IMFMediaBuffer* buffer = nullptr;
  HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
  if (FAILED(hr) || buffer == nullptr) {
    *failure = FAILED(hr) ? hr : kBadEncoderOutput;
    return false;
  }
  BYTE* bytes = nullptr;
  DWORD maxLength = 0;
  DWORD length = 0;
  hr = buffer->Lock(&bytes, &maxLength, &length);
  if (FAILED(hr) || bytes == nullptr) {
    if (SUCCEEDED(hr)) buffer->Unlock();
    buffer->Release();
    *failure = FAILED(hr) ? hr : kBadEncoderOutput;
    return false;
  }
  const bool usable = length != 0 && length <= maxLength && length <= kMaxAacFrameBytes;
  if (usable) {
    AudioEncoderOutput frame;
    frame.bytes.assign(bytes, bytes + length);
    out.push_back(std::move(frame));
  }
  buffer->Unlock();
  buffer->Release();
  if (!usable) *failure = kBadEncoderOutput;
  return usable;
}

// Output calls until the encoder wants more input. S_OK then; otherwise the failure's code.
HRESULT DrainAudio(AudioEncoder& encoder, std::vector<AudioEncoderOutput>& out) {
  for (std::uint32_t calls = 0; calls < kMaxOutputCallsPerInput; ++calls) {
    MFT_OUTPUT_DATA_BUFFER output = {};
    output.dwStreamID = encoder.outputStreamId;
    IMFSample* own = nullptr;
    if (!encoder.providesSamples) {
      IMFMediaBuffer* buffer = nullptr;
      HRESULT hr = mediaFramework.createMemoryBuffer(encoder.outputBufferSize, &buffer);
      if (FAILED(hr) || buffer == nullptr) return FAILED(hr) ? hr : E_OUTOFMEMORY;
      hr = mediaFramework.createSample(&own);
      if (FAILED(hr) || own == nullptr) {
        buffer->Release();
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
      }
      own->AddBuffer(buffer);
      buffer->Release();
      output.pSample = own;
    }

    DWORD status = 0;
    const HRESULT hr = encoder.transform->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents != nullptr) output.pEvents->Release();
    HRESULT result = S_OK;
    bool done = false;
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
      done = true;
    } else if (FAILED(hr)) {
      // A changed output type included: its frames would not match the AudioSpecificConfig.
      result = hr;
    } else if (output.pSample != nullptr) {
      if (TakeFrame(output.pSample, out, &result)) ++encoder.framesOut;
      // Each frame stands for 1024 of the samples given (and the priming before them): an encoder
      // that hands back more has broken down, and every frame after its extra ones would be
      // placed too late.
      if (SUCCEEDED(result) && encoder.framesOut > (encoder.framesIn + encoder.primingSamples) / 1024 + 1) {
        result = kBadEncoderOutput;
      }
    }
    if (output.pSample != nullptr && output.pSample != own) output.pSample->Release();
    if (own != nullptr) own->Release();
    if (FAILED(result)) return result;
    if (done) return S_OK;
  }
  return kBadEncoderOutput;
}

// One input call of up to kAudioInputFrames PCM frames, then its output.
HRESULT EncodeChunk(AudioEncoder& encoder, const std::int16_t* pcm, std::size_t frames,
                    std::vector<AudioEncoderOutput>& out) {
  const DWORD length = static_cast<DWORD>(frames * kAudioFrameBytesIn);
  IMFMediaBuffer* buffer = nullptr;
  HRESULT hr = mediaFramework.createMemoryBuffer(length, &buffer);
  if (FAILED(hr) || buffer == nullptr) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  BYTE* bytes = nullptr;
  hr = buffer->Lock(&bytes, nullptr, nullptr);
  if (FAILED(hr) || bytes == nullptr) {
    if (SUCCEEDED(hr)) buffer->Unlock();
    buffer->Release();
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  // Interleaved 16-bit samples, little-endian as the encoder reads them on every system we run on.
  std::memcpy(bytes, pcm, length);
  buffer->Unlock();
  buffer->SetCurrentLength(length);

  IMFSample* sample = nullptr;
  hr = mediaFramework.createSample(&sample);
  if (FAILED(hr) || sample == nullptr) {
    buffer->Release();
    return FAILED(hr) ? hr : E_OUTOFMEMORY;
  }
  sample->AddBuffer(buffer);
  buffer->Release();
  // The encoder's own clock: samples since the start, in 100-ns units.
  sample->SetSampleTime(static_cast<LONGLONG>(encoder.framesIn * 10000000 / kSamplesPerSecond));
  sample->SetSampleDuration(static_cast<LONGLONG>(frames * 10000000 / kSamplesPerSecond));

  hr = encoder.transform->ProcessInput(encoder.inputStreamId, sample, 0);
  if (hr == MF_E_NOTACCEPTING) {
    // Output still waiting: taken first, then the input once more.
    const HRESULT drained = DrainAudio(encoder, out);
    hr = FAILED(drained) ? drained : encoder.transform->ProcessInput(encoder.inputStreamId, sample, 0);
  }
  sample->Release();
  if (FAILED(hr)) return hr;
  encoder.framesIn += frames;
  return DrainAudio(encoder, out);
}

}  // namespace

bool SelectAudioEncoder(AudioEncoder& encoder) {
  ReleaseAudioEncoder(encoder);
  const MFT_REGISTER_TYPE_INFO input = {MFMediaType_Audio, MFAudioFormat_PCM};
  const MFT_REGISTER_TYPE_INFO output = {MFMediaType_Audio, MFAudioFormat_AAC};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (mediaFramework.enumTransforms == nullptr ||
      FAILED(mediaFramework.enumTransforms(MFT_CATEGORY_AUDIO_ENCODER,
                                           MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER, &input, &output,
                                           &activates, &count))) {
    activates = nullptr;
    count = 0;
  }

  bool chosen = false;
  for (UINT32 i = 0; activates != nullptr && i < count && !chosen; ++i) {
    IMFActivate* activate = activates[i];
    if (activate == nullptr) continue;
    IMFTransform* transform = nullptr;
    if (FAILED(activate->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform))) ||
        transform == nullptr) {
      continue;  // not activated: nothing to shut down
    }
    ResetAudioEncoder(encoder);
    encoder.transform = transform;
    if (ConfigureAudioEncoder(encoder)) {
      std::string name = "unnamed";
      WCHAR* friendly = nullptr;
      UINT32 length = 0;
      if (SUCCEEDED(activate->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &friendly, &length)) &&
          friendly != nullptr) {
        name = NameForLog(friendly);
        CoTaskMemFree(friendly);
      }
      LogLine("audio encoder: %s", name.c_str());
      chosen = true;
    } else {
      ReleaseAudioEncoder(encoder);
      activate->ShutdownObject();
    }
  }

  // The chosen transform lives on through encoder.transform; every activation object is released.
  if (activates != nullptr) {
    for (UINT32 i = 0; i < count; ++i) {
      if (activates[i] != nullptr) activates[i]->Release();
    }
    CoTaskMemFree(activates);
  }
  if (!chosen) LogLine("no audio encoder: the sound is not recorded");
  return chosen;
}

bool EncodeAudio(AudioEncoder& encoder, const std::int16_t* pcm, std::size_t frames,
                 std::vector<AudioEncoderOutput>& out) {
  if (encoder.transform == nullptr) return false;
  if (frames == 0) return true;
  for (std::size_t done = 0; done < frames;) {
    const std::size_t chunk = frames - done < kAudioInputFrames ? frames - done : kAudioInputFrames;
    const HRESULT hr = EncodeChunk(encoder, pcm + done * kChannels, chunk, out);
    if (FAILED(hr)) {
      LogLine("audio encoder failed 0x%08lX: the sound stops", HresultBits(hr));
      // Released at once, so that a further call finds no encoder and logs nothing more.
      ReleaseAudioEncoder(encoder);
      return false;
    }
    done += chunk;
  }
  return true;
}

void ReleaseAudioEncoder(AudioEncoder& encoder) {
  if (encoder.transform != nullptr) encoder.transform->Release();
  ResetAudioEncoder(encoder);
}
