#include "mediafw/audio_transform.h"

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "mediafw/com_ptr.h"
#include "mediafw/objects.h"
#include "mediafw/objects/com_object.h"

namespace mediafw {
namespace {

constexpr UINT32 kSampleRate = 48000;
constexpr UINT32 kChannels = 2;
constexpr UINT32 kBitsPerSample = 16;
constexpr UINT32 kBlockAlignment = kChannels * kBitsPerSample / 8;
constexpr UINT32 kDefaultBytesPerSecond = 20000;  // 160 kbit/s
// AAC Profile, levels 2 to 5: AAC-LC.
constexpr UINT32 kLowestProfileLevel = 0x29;
constexpr UINT32 kHighestProfileLevel = 0x2C;
constexpr LONGLONG kUnitsPerSecond = 10000000;

// The fields both types must have as this encoder takes them: audio of the subtype, 48 kHz,
// stereo, and 16 bits a sample where the type says.
bool IsOurAudio(IMFMediaType* type, const GUID& subtype, bool bitsRequired) {
  GUID major{};
  GUID sub{};
  UINT32 value = 0;
  if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || !(major == MFMediaType_Audio)) return false;
  if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &sub)) || !(sub == subtype)) return false;
  if (FAILED(type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &value)) || value != kSampleRate) return false;
  if (FAILED(type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &value)) || value != kChannels) return false;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &value))) return value == kBitsPerSample;
  return !bitsRequired;
}

bool IsOurPcm(IMFMediaType* type) {
  if (!IsOurAudio(type, MFAudioFormat_PCM, true)) return false;
  UINT32 value = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, &value)) && value != kBlockAlignment) return false;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &value)) && value != kSampleRate * kBlockAlignment) {
    return false;
  }
  return true;
}

// The output type's bit rate (bytes a second), or 0 for a type this encoder cannot give: raw
// AAC-LC only.
UINT32 OurAacBytesPerSecond(IMFMediaType* type) {
  if (!IsOurAudio(type, MFAudioFormat_AAC, false)) return 0;
  UINT32 value = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AAC_PAYLOAD_TYPE, &value)) && value != 0) return 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, &value)) &&
      (value < kLowestProfileLevel || value > kHighestProfileLevel)) {
    return 0;
  }
  UINT32 bytesPerSecond = kDefaultBytesPerSecond;
  if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &value))) {
    if (value < 8000 || value > 40000) return 0;  // 64 to 320 kbit/s
    bytesPerSecond = value;
  }
  return bytesPerSecond;
}

HRESULT CopyType(IMFMediaType* from, IMFMediaType** to) {
  ComPtr<IMFMediaType> copy;
  HRESULT hr = CreateMediaTypeObject(copy.Out());
  if (SUCCEEDED(hr)) hr = from->CopyAllItems(copy.get());
  if (FAILED(hr)) return hr;
  *to = copy.Detach();
  return S_OK;
}

class AudioEncoderTransform final : public ComObject<IMFTransform> {
 public:
  AudioEncoderTransform(std::unique_ptr<AudioCodec> codec, const AudioTransformMode& mode)
      : codec_(std::move(codec)), mode_(mode) {}

  HRESULT Initialise() { return CreateAttributesObject(attributes_.Out()); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFTransform) return HandOut(static_cast<IMFTransform*>(this), object);
    return E_NOINTERFACE;
  }

  // --- streams: one each way, numbered 0 ---

  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum,
                                            DWORD* outputMaximum) override {
    if (inputMinimum == nullptr || inputMaximum == nullptr || outputMinimum == nullptr || outputMaximum == nullptr) {
      return E_POINTER;
    }
    *inputMinimum = *inputMaximum = *outputMinimum = *outputMaximum = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) override {
    if (inputStreams == nullptr || outputStreams == nullptr) return E_POINTER;
    *inputStreams = *outputStreams = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD inputStreamId, MFT_INPUT_STREAM_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    if (inputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    *info = MFT_INPUT_STREAM_INFO{};
    info->cbAlignment = 0;
    info->cbSize = kBlockAlignment;  // whole PCM frames
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD outputStreamId, MFT_OUTPUT_STREAM_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    if (outputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    *info = MFT_OUTPUT_STREAM_INFO{};
    info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
    info->cbSize = kAudioOutputBufferSize;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override {
    if (attributes == nullptr) return E_POINTER;
    attributes_->AddRef();
    *attributes = attributes_.get();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }

  // --- media types ---

  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD inputStreamId, DWORD typeIndex, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (inputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (typeIndex > 0) return MF_E_NO_MORE_TYPES;
    ComPtr<IMFMediaType> offer;
    HRESULT hr = CreateMediaTypeObject(offer.Out());
    if (FAILED(hr)) return hr;
    SetCommon(offer.get(), MFAudioFormat_PCM);
    offer->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, kBlockAlignment);
    offer->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kSampleRate * kBlockAlignment);
    *type = offer.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD outputStreamId, DWORD typeIndex, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (outputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!inputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (typeIndex > 0) return MF_E_NO_MORE_TYPES;
    ComPtr<IMFMediaType> offer;
    HRESULT hr = CreateMediaTypeObject(offer.Out());
    if (FAILED(hr)) return hr;
    SetCommon(offer.get(), MFAudioFormat_AAC);
    offer->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kDefaultBytesPerSecond);
    offer->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    offer->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, kLowestProfileLevel);
    *type = offer.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetInputType(DWORD inputStreamId, IMFMediaType* type, DWORD flags) override {
    if (inputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (codec_->IsOpen()) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
    const bool testOnly = (flags & MFT_SET_TYPE_TEST_ONLY) != 0;
    if (type == nullptr) {
      if (!testOnly) inputType_.Reset();
      return S_OK;
    }
    if (mode_.refuseTypes || !IsOurPcm(type)) return MF_E_INVALIDMEDIATYPE;
    if (testOnly) return S_OK;
    ComPtr<IMFMediaType> copy;
    if (HRESULT hr = CopyType(type, copy.Out()); FAILED(hr)) return hr;
    inputType_ = copy;
    return S_OK;
  }

  // The output type opens the codec: the AudioSpecificConfig it gives goes into the type.
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD outputStreamId, IMFMediaType* type, DWORD flags) override {
    if (outputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (codec_->IsOpen()) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
    const bool testOnly = (flags & MFT_SET_TYPE_TEST_ONLY) != 0;
    if (type == nullptr) {
      if (!testOnly) outputType_.Reset();
      return S_OK;
    }
    if (!inputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;  // this encoder takes its input type first
    const UINT32 bytesPerSecond = mode_.refuseTypes ? 0 : OurAacBytesPerSecond(type);
    if (bytesPerSecond == 0) return MF_E_INVALIDMEDIATYPE;
    if (testOnly) return S_OK;

    AudioSettings settings;
    settings.bitRate = static_cast<std::int64_t>(bytesPerSecond) * 8;
    if (!codec_->Open(settings)) return E_FAIL;
    UINT32 profileLevel = kLowestProfileLevel;
    type->GetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, &profileLevel);
    // HEAACWAVEINFO after WAVEFORMATEX: wPayloadType, wAudioProfileLevelIndication, wStructType,
    // wReserved1 (16 bits each, little-endian), dwReserved2 (32 bits).
    std::vector<UINT8> userData(12, 0);
    userData[2] = static_cast<UINT8>(profileLevel);
    userData[3] = static_cast<UINT8>(profileLevel >> 8);
    const std::vector<std::uint8_t>& config = codec_->AudioSpecificConfig();
    userData.insert(userData.end(), config.begin(), config.end());

    ComPtr<IMFMediaType> copy;
    HRESULT hr = CopyType(type, copy.Out());
    if (SUCCEEDED(hr)) hr = copy->SetBlob(MF_MT_USER_DATA, userData.data(), static_cast<UINT32>(userData.size()));
    if (FAILED(hr)) return hr;
    outputType_ = copy;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD inputStreamId, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (inputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!inputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return CopyType(inputType_.get(), type);
  }

  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD outputStreamId, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (outputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return CopyType(outputType_.get(), type);
  }

  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD inputStreamId, DWORD* flags) override {
    if (flags == nullptr) return E_POINTER;
    if (inputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *flags = ready_.empty() ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD* flags) override {
    if (flags == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *flags = ready_.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

  // --- streaming ---

  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
    std::lock_guard<std::mutex> hold(mutex_);
    switch (message) {
      case MFT_MESSAGE_NOTIFY_BEGIN_STREAMING:
      case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
        return outputType_ ? S_OK : MF_E_TRANSFORM_TYPE_NOT_SET;
      case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
      case MFT_MESSAGE_NOTIFY_END_STREAMING:
      case MFT_MESSAGE_COMMAND_DRAIN:  // samples short of a frame stay in the codec
        return S_OK;
      case MFT_MESSAGE_COMMAND_FLUSH:
        ready_.clear();
        return S_OK;
      default:
        return E_NOTIMPL;
    }
  }

  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD inputStreamId, IMFSample* sample, DWORD) override {
    if (sample == nullptr) return E_POINTER;
    if (inputStreamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!inputType_ || !outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (!ready_.empty()) return MF_E_NOTACCEPTING;  // one input's output at a time
    if (Faulty(Fault::kProcessInput)) return kAudioFaultResult;

    if (acceptedInputs_ == 0) {
      LONGLONG time = 0;
      firstInputTime_ = SUCCEEDED(sample->GetSampleTime(&time)) ? time : 0;
    }
    ComPtr<IMFMediaBuffer> buffer;
    if (HRESULT hr = sample->ConvertToContiguousBuffer(buffer.Out()); FAILED(hr)) return hr;
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (HRESULT hr = buffer->Lock(&bytes, nullptr, &length); FAILED(hr)) return hr;
    if (length % kBlockAlignment != 0) {
      buffer->Unlock();
      return E_INVALIDARG;  // part of a PCM frame
    }
    const std::size_t frames = length / kBlockAlignment;
    pcm_.resize(frames * kChannels);
    if (frames > 0) std::memcpy(pcm_.data(), bytes, length);
    buffer->Unlock();
    std::deque<std::vector<std::uint8_t>> encoded;
    if (!codec_->Encode(pcm_.data(), frames, encoded)) return E_FAIL;
    for (auto& frame : encoded) ready_.push_back(std::move(frame));
    ++acceptedInputs_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples,
                                          DWORD* status) override {
    if (outputSamples == nullptr || status == nullptr) return E_POINTER;
    if (outputBufferCount != 1) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(mutex_);
    *status = 0;
    MFT_OUTPUT_DATA_BUFFER& output = outputSamples[0];
    output.dwStatus = 0;
    if (output.dwStreamID != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (output.pSample == nullptr) return E_INVALIDARG;  // the caller's samples
    if (Faulty(Fault::kProcessOutput)) return kAudioFaultResult;
    if (ready_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;

    const std::vector<std::uint8_t>& frame = ready_.front();
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = output.pSample->ConvertToContiguousBuffer(buffer.Out());
    if (FAILED(hr)) return hr;
    BYTE* bytes = nullptr;
    DWORD room = 0;
    if (HRESULT lock = buffer->Lock(&bytes, &room, nullptr); FAILED(lock)) return lock;
    if (room < frame.size()) {
      buffer->Unlock();
      return MF_E_BUFFERTOOSMALL;  // the frame stays for a larger buffer
    }
    std::memcpy(bytes, frame.data(), frame.size());
    buffer->Unlock();
    hr = buffer->SetCurrentLength(static_cast<DWORD>(frame.size()));
    // Where the frame's first sample stands on the input's clock: the codec's delay before the
    // first input sample for the first frame.
    const LONGLONG first = static_cast<LONGLONG>(framesOut_ * kAacFrameLength) - codec_->Delay();
    if (SUCCEEDED(hr)) hr = output.pSample->SetSampleTime(firstInputTime_ + first * kUnitsPerSecond / kSampleRate);
    if (SUCCEEDED(hr)) {
      hr = output.pSample->SetSampleDuration(static_cast<LONGLONG>(kAacFrameLength) * kUnitsPerSecond / kSampleRate);
    }
    if (FAILED(hr)) return hr;
    ready_.pop_front();
    ++framesOut_;
    return S_OK;
  }

 private:
  using Fault = AudioTransformMode::Fault;

  bool Faulty(Fault where) const { return mode_.fault == where && acceptedInputs_ >= mode_.faultAfterInputs; }

  static void SetCommon(IMFMediaType* type, const GUID& subtype) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kSampleRate);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kChannels);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, kBitsPerSample);
  }

  std::mutex mutex_;
  const std::unique_ptr<AudioCodec> codec_;
  const AudioTransformMode mode_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFMediaType> inputType_;
  ComPtr<IMFMediaType> outputType_;  // with MF_MT_USER_DATA, once the codec is open
  std::deque<std::vector<std::uint8_t>> ready_;  // AAC frames not yet taken
  std::vector<std::int16_t> pcm_;                 // the input being encoded, aligned for the codec
  std::uint64_t acceptedInputs_ = 0;
  std::uint64_t framesOut_ = 0;
  LONGLONG firstInputTime_ = 0;
};

}  // namespace

HRESULT CreateAudioEncoderTransform(std::unique_ptr<AudioCodec> codec, const AudioTransformMode& mode,
                                    IUnknown** transform) {
  if (transform == nullptr) return E_POINTER;
  *transform = nullptr;
  if (codec == nullptr) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) AudioEncoderTransform(std::move(codec), mode);
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = object->Initialise();
  if (FAILED(hr)) {
    object->Release();
    return hr;
  }
  *transform = static_cast<IMFTransform*>(object);
  return S_OK;
}

}  // namespace mediafw
