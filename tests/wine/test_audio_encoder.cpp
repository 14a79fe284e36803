// The test AAC encoder (test_audio_encoder.h), with the manners of the system's own synchronous
// audio encoders: the input type first, then the output type, whose current form carries the
// AudioSpecificConfig in its user data; input refused while a frame waits to be taken; one frame
// in each of the caller's samples, MF_E_TRANSFORM_NEED_MORE_INPUT when none is whole.
//
// Its clock is the samples it was given: the first frame it gives is the priming (silence that
// stands before the first input sample), and frame j >= 1 stands for input samples
// (j - 1) * 1024 .. j * 1024 - 1. Like an encoder whose transform needs the next block too, frame
// j is given once block j is whole as well, so N input samples give N / 1024 frames, and a drain
// gives the rest (the last block padded with silence).
#include "test_audio_encoder.h"

#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "mediafw/objects/com_object.h"

namespace test_audio {
namespace {

bool HasUint32(IMFMediaType* type, REFGUID key, UINT32 expected) {
  UINT32 value = 0;
  return SUCCEEDED(type->GetUINT32(key, &value)) && value == expected;
}

// Absent, or the value expected.
bool OptionalUint32(IMFMediaType* type, REFGUID key, UINT32 expected) {
  UINT32 value = 0;
  return FAILED(type->GetUINT32(key, &value)) || value == expected;
}

bool HasGuid(IMFMediaType* type, REFGUID key, REFGUID expected) {
  GUID value{};
  return SUCCEEDED(type->GetGUID(key, &value)) && IsEqualGUID(value, expected);
}

// The one input this encoder takes: 48 kHz, 2 channels, 16-bit PCM, every field present.
bool IsOurInput(IMFMediaType* type) {
  return HasGuid(type, MF_MT_MAJOR_TYPE, MFMediaType_Audio) && HasGuid(type, MF_MT_SUBTYPE, MFAudioFormat_PCM) &&
         HasUint32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, kSampleRate) &&
         HasUint32(type, MF_MT_AUDIO_NUM_CHANNELS, kChannels) && HasUint32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 16) &&
         HasUint32(type, MF_MT_AUDIO_BLOCK_ALIGNMENT, kBlockAlign) &&
         HasUint32(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAverageBytesIn);
}

// The one output: AAC at 48 kHz, 2 channels, 20,000 bytes a second; the raw payload and AAC-LC
// when the caller names them.
bool IsOurOutput(IMFMediaType* type) {
  return HasGuid(type, MF_MT_MAJOR_TYPE, MFMediaType_Audio) && HasGuid(type, MF_MT_SUBTYPE, MFAudioFormat_AAC) &&
         HasUint32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, kSampleRate) &&
         HasUint32(type, MF_MT_AUDIO_NUM_CHANNELS, kChannels) &&
         HasUint32(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAverageBytesOut) &&
         OptionalUint32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 16) && OptionalUint32(type, MF_MT_AAC_PAYLOAD_TYPE, 0) &&
         OptionalUint32(type, MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, kProfileLevel);
}

HRESULT InputType(IMFMediaType** out) {
  IMFMediaType* type = nullptr;
  HRESULT hr = MFCreateMediaType(&type);
  if (FAILED(hr)) return hr;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kSampleRate);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kChannels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, kBlockAlign);
  hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAverageBytesIn);
  if (FAILED(hr)) {
    type->Release();
    return hr;
  }
  *out = type;
  return S_OK;
}

// The output type in full, as the encoder describes its stream.
HRESULT OutputType(IMFMediaType** out) {
  IMFMediaType* type = nullptr;
  HRESULT hr = MFCreateMediaType(&type);
  if (FAILED(hr)) return hr;
  std::uint8_t userData[sizeof kUserDataHead + sizeof kAudioSpecificConfig];
  std::memcpy(userData, kUserDataHead, sizeof kUserDataHead);
  std::memcpy(userData + sizeof kUserDataHead, kAudioSpecificConfig, sizeof kAudioSpecificConfig);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kSampleRate);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kChannels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 1);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kAverageBytesOut);
  type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
  type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, kProfileLevel);
  hr = type->SetBlob(MF_MT_USER_DATA, userData, sizeof userData);
  if (FAILED(hr)) {
    type->Release();
    return hr;
  }
  *out = type;
  return S_OK;
}

HRESULT Copy(IMFMediaType* from, IMFMediaType** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  IMFMediaType* type = nullptr;
  HRESULT hr = MFCreateMediaType(&type);
  if (FAILED(hr)) return hr;
  hr = from->CopyAllItems(type);
  if (FAILED(hr)) {
    type->Release();
    return hr;
  }
  *out = type;
  return S_OK;
}

class AudioEncoder final : public mediafw::ComObject<IMFTransform> {
 public:
  AudioEncoder(std::atomic<long>& liveObjects, const AudioMode& mode) : liveObjects_(liveObjects), mode_(mode) {
    ++liveObjects_;
  }
  ~AudioEncoder() override {
    if (input_ != nullptr) input_->Release();
    if (output_ != nullptr) output_->Release();
    --liveObjects_;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFTransform) return mediafw::HandOut(static_cast<IMFTransform*>(this), object);
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum,
                                            DWORD* outputMaximum) override {
    if (inputMinimum == nullptr || inputMaximum == nullptr || outputMinimum == nullptr || outputMaximum == nullptr) {
      return E_POINTER;
    }
    *inputMinimum = *inputMaximum = *outputMinimum = *outputMaximum = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override {
    if (inputs == nullptr || outputs == nullptr) return E_POINTER;
    *inputs = *outputs = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    *info = MFT_INPUT_STREAM_INFO{};
    info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES;
    info->cbSize = kBlockAlign;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    *info = MFT_OUTPUT_STREAM_INFO{};
    info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
    info->cbSize = kOutputBufferSize;
    return S_OK;
  }

  // A synchronous encoder of the system's kind has no attributes to give.
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (index != 0) return MF_E_NO_MORE_TYPES;
    return InputType(type);
  }
  // Offered once the input is known, as the system's encoders do.
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (input_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (index != 0) return MF_E_NO_MORE_TYPES;
    return OutputType(type);
  }

  // A new input type (or none) starts over: the output type goes with it.
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (type != nullptr && !IsOurInput(type)) return MF_E_INVALIDMEDIATYPE;
    if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
    std::lock_guard<std::mutex> hold(mutex_);
    IMFMediaType* copy = nullptr;
    if (type != nullptr) {
      const HRESULT hr = Copy(type, &copy);
      if (FAILED(hr)) return hr;
    }
    if (input_ != nullptr) input_->Release();
    input_ = copy;
    if (output_ != nullptr) output_->Release();
    output_ = nullptr;
    Restart();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (type != nullptr && input_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (type != nullptr && (mode_.refuseOutputType || !IsOurOutput(type))) return MF_E_INVALIDMEDIATYPE;
    if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
    // The current type is the encoder's own, in full: the caller's plus what only the encoder
    // knows (the user data).
    IMFMediaType* full = nullptr;
    if (type != nullptr) {
      const HRESULT hr = OutputType(&full);
      if (FAILED(hr)) return hr;
    }
    if (output_ != nullptr) output_->Release();
    output_ = full;
    Restart();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (input_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return Copy(input_, type);
  }
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (output_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return Copy(output_, type);
  }

  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD stream, DWORD* status) override {
    if (status == nullptr) return E_POINTER;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (input_ == nullptr || output_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *status = FrameReady() ? 0 : MFT_INPUT_STATUS_ACCEPT_DATA;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD* status) override {
    if (status == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (input_ == nullptr || output_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *status = FrameReady() ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
    std::lock_guard<std::mutex> hold(mutex_);
    switch (message) {
      case MFT_MESSAGE_COMMAND_FLUSH:
        Restart();
        return S_OK;
      case MFT_MESSAGE_COMMAND_DRAIN:
        if (input_ == nullptr || output_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
        // The last block, padded with silence, is whole now; every frame may go.
        if (blockSamples_ > 0) CloseBlock();
        draining_ = true;
        return S_OK;
      case MFT_MESSAGE_SET_D3D_MANAGER:
        return E_NOTIMPL;  // software: no device to take
      default:
        return S_OK;
    }
  }

  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD stream, IMFSample* sample, DWORD flags) override {
    if (sample == nullptr) return E_POINTER;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (flags != 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(mutex_);
    if (input_ == nullptr || output_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (mode_.failAfterInputs != 0 && inputs_ >= mode_.failAfterInputs) broken_ = true;
    if (broken_) return kAudioFaultResult;
    if (FrameReady() || draining_) return MF_E_NOTACCEPTING;
    IMFMediaBuffer* buffer = nullptr;
    HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD length = 0;
    hr = buffer->Lock(&data, nullptr, &length);
    if (FAILED(hr)) {
      buffer->Release();
      return hr;
    }
    if (length % kBlockAlign != 0) {
      hr = E_INVALIDARG;  // only whole PCM frames
    } else {
      if (!timeKnown_) {
        LONGLONG time = 0;
        timeKnown_ = SUCCEEDED(sample->GetSampleTime(&time));
        firstTime_ = time;
      }
      for (DWORD at = 0; at < length; at += kBlockAlign) {
        std::int16_t pcm[2];
        std::memcpy(pcm, data + at, sizeof pcm);
        if (std::abs(pcm[0]) > kClickLevel || std::abs(pcm[1]) > kClickLevel) blockLoud_ = true;
        if (++blockSamples_ == kFrameSamples) CloseBlock();
      }
    }
    buffer->Unlock();
    buffer->Release();
    if (SUCCEEDED(hr)) ++inputs_;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                          DWORD* status) override {
    if (buffers == nullptr || status == nullptr) return E_POINTER;
    if (count != 1 || flags != 0) return E_INVALIDARG;
    *status = 0;
    buffers[0].dwStatus = 0;
    buffers[0].pEvents = nullptr;
    if (buffers[0].dwStreamID != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (input_ == nullptr || output_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (broken_) return kAudioFaultResult;
    if (!FrameReady()) {
      // A drain ends when its last frame is taken; what comes next is a new stream.
      if (draining_) Restart();
      return MF_E_TRANSFORM_NEED_MORE_INPUT;
    }
    IMFSample* sample = buffers[0].pSample;
    if (sample == nullptr) return E_INVALIDARG;  // the caller's samples only
    const bool loud = framesOut_ > 0 && blocks_.front();
    const std::uint8_t* frame = loud ? kLoudFrame : kSilentFrame;
    const DWORD size = loud ? sizeof kLoudFrame : sizeof kSilentFrame;

    IMFMediaBuffer* buffer = nullptr;
    HRESULT hr = sample->GetBufferByIndex(0, &buffer);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD maxLength = 0;
    hr = buffer->Lock(&data, &maxLength, nullptr);
    if (SUCCEEDED(hr)) {
      if (maxLength < size) {
        hr = MF_E_BUFFERTOOSMALL;
      } else {
        std::memcpy(data, frame, size);
      }
      buffer->Unlock();
    }
    if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(size);
    buffer->Release();
    if (FAILED(hr)) return hr;

    // The frame's first sample on the input's clock (the priming stands before it).
    const LONGLONG samples = static_cast<LONGLONG>(framesOut_) * kFrameSamples - kPrimingSamples;
    sample->SetSampleTime(firstTime_ + samples * 10000000 / kSampleRate);
    sample->SetSampleDuration(static_cast<LONGLONG>(kFrameSamples) * 10000000 / kSampleRate);
    sample->SetUINT32(MFSampleExtension_CleanPoint, 1);
    if (framesOut_ > 0) blocks_.pop_front();
    ++framesOut_;
    return S_OK;
  }

 private:
  // Frame 0 (the priming) waits for block 0; frame j >= 1 takes block j - 1 and, but in a drain,
  // waits for block j too.
  bool FrameReady() const {
    if (framesOut_ == 0 || draining_) return !blocks_.empty();
    return blocks_.size() >= 2;
  }

  void CloseBlock() {
    blocks_.push_back(blockLoud_);
    blockLoud_ = false;
    blockSamples_ = 0;
  }

  void Restart() {
    blocks_.clear();
    blockLoud_ = false;
    blockSamples_ = 0;
    framesOut_ = 0;
    draining_ = false;
    timeKnown_ = false;
    firstTime_ = 0;
  }

  std::atomic<long>& liveObjects_;
  const AudioMode mode_;
  std::uint64_t inputs_ = 0;  // taken since the encoder was made
  bool broken_ = false;       // failed an input: fails from now on
  std::mutex mutex_;
  IMFMediaType* input_ = nullptr;   // the caller's, copied
  IMFMediaType* output_ = nullptr;  // the encoder's own, in full
  std::deque<bool> blocks_;         // whole blocks not yet given out: whether each is loud
  bool blockLoud_ = false;          // the block being filled
  std::uint32_t blockSamples_ = 0;
  std::uint64_t framesOut_ = 0;     // since the stream began, the priming included
  bool draining_ = false;
  bool timeKnown_ = false;
  LONGLONG firstTime_ = 0;
};

}  // namespace

HRESULT CreateAudioEncoder(std::atomic<long>& liveObjects, const AudioMode& mode, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IMFTransform* encoder = nullptr;
  HRESULT hr = mediafw::CreateObject<AudioEncoder>(&encoder, liveObjects, mode);
  if (FAILED(hr)) return hr;
  hr = encoder->QueryInterface(riid, object);
  encoder->Release();
  return hr;
}

}  // namespace test_audio
