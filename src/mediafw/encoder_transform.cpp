#include "mediafw/encoder_transform.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "clips/annexb.h"
#include "mediafw/codec.h"
#include "mediafw/com_ptr.h"
#include "mediafw/objects.h"
#include "mediafw/objects/com_object.h"

namespace mediafw {
namespace {

// "The device is not ready for use" (HRESULT_FROM_WIN32(ERROR_NOT_READY)): the answer of a hardware
// encoder whose device is missing.
constexpr HRESULT kDeviceNotReady = static_cast<HRESULT>(0x80070015);

constexpr UINT32 kMaxDimension = 8192;

struct VideoFormat {
  GUID subtype{};
  UINT32 width = 0;
  UINT32 height = 0;
  UINT32 rateNumerator = 0;
  UINT32 rateDenominator = 0;
};

UINT32 High(UINT64 v) { return static_cast<UINT32>(v >> 32); }
UINT32 Low(UINT64 v) { return static_cast<UINT32>(v); }
UINT64 Pack(UINT32 high, UINT32 low) { return (UINT64{high} << 32) | low; }

// The part of a video media type that both streams must agree on. False for anything this
// transform cannot take: another major type, no or an odd frame size, a frame rate of zero,
// interlaced frames.
bool ReadVideoFormat(IMFMediaType* type, bool rateRequired, VideoFormat* format) {
  GUID major{};
  UINT64 size = 0;
  if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || !(major == MFMediaType_Video)) return false;
  if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &format->subtype))) return false;
  if (FAILED(type->GetUINT64(MF_MT_FRAME_SIZE, &size))) return false;
  format->width = High(size);
  format->height = Low(size);
  if (format->width == 0 || format->height == 0 || format->width > kMaxDimension || format->height > kMaxDimension ||
      format->width % 2 != 0 || format->height % 2 != 0) {
    return false;
  }
  UINT64 rate = 0;
  if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &rate))) {
    format->rateNumerator = High(rate);
    format->rateDenominator = Low(rate);
    if (format->rateNumerator == 0 || format->rateDenominator == 0) return false;
  } else if (rateRequired) {
    return false;
  }
  UINT32 interlace = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_INTERLACE_MODE, &interlace)) && interlace != MFVideoInterlace_Progressive) {
    return false;
  }
  return true;
}

// The codec's colour description from a media type's, where it gives one.
void ReadColour(IMFMediaType* type, EncoderSettings* s) {
  UINT32 value = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_YUV_MATRIX, &value))) {
    s->colorSpace = value == MFVideoTransferMatrix_BT709 ? kColourBt709
                    : value == 2                         ? kMatrixBt601
                                                         : kColourUnspecified;
  }
  if (SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_PRIMARIES, &value))) {
    s->colorPrimaries = value == MFVideoPrimaries_BT709 ? kColourBt709 : kColourUnspecified;
  }
  if (SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &value))) {
    s->colorRange = value == MFNominalRange_16_235 ? kRangeLimited : value == 1 ? kRangeFull : kRangeUnspecified;
  }
}

HRESULT CopyType(IMFMediaType* from, IMFMediaType** to) {
  ComPtr<IMFMediaType> copy;
  HRESULT hr = CreateMediaTypeObject(copy.Out());
  if (SUCCEEDED(hr)) hr = from->CopyAllItems(copy.get());
  if (FAILED(hr)) return hr;
  *to = copy.Detach();
  return S_OK;
}

// 00 00 00 01 SPS 00 00 00 01 PPS from the first SPS and PPS of an access unit; empty without both.
std::vector<UINT8> SequenceHeader(const std::uint8_t* bytes, std::size_t size) {
  std::vector<UINT8> sps;
  std::vector<UINT8> pps;
  ScanAnnexB(bytes, size, [&](const NalUnit& unit) {
    std::vector<UINT8>* into = unit.type == 7 ? &sps : unit.type == 8 ? &pps : nullptr;
    if (into != nullptr && into->empty()) into->assign(bytes + unit.start, bytes + unit.start + unit.length);
  });
  std::vector<UINT8> header;
  if (sps.empty() || pps.empty()) return header;
  const UINT8 startCode[] = {0, 0, 0, 1};
  header.insert(header.end(), startCode, startCode + 4);
  header.insert(header.end(), sps.begin(), sps.end());
  header.insert(header.end(), startCode, startCode + 4);
  header.insert(header.end(), pps.begin(), pps.end());
  return header;
}

// Codec properties as set through ICodecAPI; unset ones take the media type's value or the default.
struct CodecProperties {
  bool hasRateControl = false;
  UINT32 rateControl = eAVEncCommonRateControlMode_CBR;
  UINT32 meanBitRate = 0;  // 0: the output type's MF_MT_AVG_BITRATE
  bool hasGopSize = false;
  UINT32 gopSize = 0;
  UINT32 bPictureCount = 0;
  bool lowLatency = false;
};

enum class TypeChange {
  kNone,       // no change to announce (or it is over)
  kPending,    // to be announced by the first ProcessOutput that has output
  kAnnounced,  // announced; output waits until the caller sets the offered type
};

// A frame taken by the asynchronous transform and not yet encoded: a copy, so that the caller may
// reuse its buffer as soon as ProcessInput returns.
struct QueuedFrame {
  std::vector<std::uint8_t> pixels;  // luma rows, then the chroma plane
  std::size_t rows = 0;              // luma rows in pixels (the picture's, or more when padded)
  int stride = 0;
  LONGLONG time = 0;
  LONGLONG duration = 0;
};

class EncoderTransform final : public ComObject<IMFTransform, IMFMediaEventGenerator, ICodecAPI> {
 public:
  EncoderTransform(std::unique_ptr<Codec> codec, const TransformMode& mode)
      : codec_(std::move(codec)), async_(mode.async), typeChange_(mode.typeChange ? TypeChange::kPending : TypeChange::kNone),
        ownSamples_(mode.async && !mode.callerSamples), inputRows_(mode.inputRows),
        inputRowMultiple_(mode.inputRowMultiple),
        refuseOutputType_(mode.refuseOutputType), codecApiRecord_(mode.codecApiRecord),
        requestsWanted_(mode.inputRequests > 1 ? static_cast<std::size_t>(mode.inputRequests) : 1),
        refuseEvery_(mode.refuseEvery), fault_(mode.fault), faultAfterFrames_(mode.faultAfterFrames) {}

  ~EncoderTransform() override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    workChanged_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  HRESULT Initialise() {
    HRESULT hr = CreateAttributesObject(attributes_.Out());
    if (SUCCEEDED(hr) && async_) hr = attributes_->SetUINT32(MF_TRANSFORM_ASYNC, 1);
    if (SUCCEEDED(hr) && async_) hr = CreateEventQueueObject(events_.Out());
    return hr;
  }

  // --- IUnknown ---

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFTransform) return HandOut(static_cast<IMFTransform*>(this), object);
    if (riid == IID_ICodecAPI) return HandOut(static_cast<ICodecAPI*>(this), object);
    if (riid == IID_IMFMediaEventGenerator && async_) {
      return HandOut(static_cast<IMFMediaEventGenerator*>(this), object);
    }
    return E_NOINTERFACE;
  }

  // --- IMFTransform: streams ---

  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum,
                                            DWORD* outputMaximum) override {
    if (inputMinimum == nullptr || inputMaximum == nullptr || outputMinimum == nullptr || outputMaximum == nullptr) {
      return E_POINTER;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckUnlocked(); FAILED(hr)) return hr;
    *inputMinimum = *inputMaximum = *outputMinimum = *outputMaximum = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) override {
    if (inputStreams == nullptr || outputStreams == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckUnlocked(); FAILED(hr)) return hr;
    *inputStreams = *outputStreams = 1;
    return S_OK;
  }

  // One fixed stream each way, numbered 0, as the hardware encoders do it.
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckUnlocked(); FAILED(hr)) return hr;
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD inputStreamId, MFT_INPUT_STREAM_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(inputStreamId); FAILED(hr)) return hr;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *info = MFT_INPUT_STREAM_INFO{};
    info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                    MFT_INPUT_STREAM_FIXED_SAMPLE_SIZE;
    info->cbSize = static_cast<DWORD>(static_cast<std::size_t>(Stride()) * InputRows() * 3 / 2);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD outputStreamId, MFT_OUTPUT_STREAM_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(outputStreamId); FAILED(hr)) return hr;
    *info = MFT_OUTPUT_STREAM_INFO{};
    info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
    if (ownSamples_) {
      info->dwFlags |= MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
    } else if (!async_) {
      info->cbSize = kSyncOutputBufferSize;
    }
    return S_OK;
  }

  // The store answers also while the transform is locked: that is where the unlock is written.
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

  // --- IMFTransform: media types ---

  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD inputStreamId, DWORD typeIndex, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(inputStreamId); FAILED(hr)) return hr;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (typeIndex > 0) return MF_E_NO_MORE_TYPES;
    ComPtr<IMFMediaType> offer;
    HRESULT hr = CreateMediaTypeObject(offer.Out());
    if (FAILED(hr)) return hr;
    offer->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    offer->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    offer->SetUINT64(MF_MT_FRAME_SIZE, Pack(settings_.width, settings_.height));
    offer->SetUINT64(MF_MT_FRAME_RATE, Pack(settings_.frameRateNumerator, settings_.frameRateDenominator));
    offer->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, Pack(1, 1));
    offer->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    offer->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(settings_.width));
    offer->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
    *type = offer.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD outputStreamId, DWORD typeIndex, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(outputStreamId); FAILED(hr)) return hr;
    if (typeIndex > 0) return MF_E_NO_MORE_TYPES;
    if (typeChange_ == TypeChange::kAnnounced) return CopyType(offeredType_.get(), type);
    if (outputType_) return CopyType(outputType_.get(), type);
    ComPtr<IMFMediaType> offer;
    HRESULT hr = CreateMediaTypeObject(offer.Out());
    if (FAILED(hr)) return hr;
    offer->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    offer->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    *type = offer.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetInputType(DWORD inputStreamId, IMFMediaType* type, DWORD flags) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(inputStreamId); FAILED(hr)) return hr;
    if (codec_->IsOpen()) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;  // an encoder takes its output type first
    if (type == nullptr) {
      if ((flags & MFT_SET_TYPE_TEST_ONLY) == 0) inputType_.Reset();
      return S_OK;
    }
    VideoFormat format;
    if (!ReadVideoFormat(type, false, &format) || !(format.subtype == MFVideoFormat_NV12) ||
        format.width != static_cast<UINT32>(settings_.width) || format.height != static_cast<UINT32>(settings_.height)) {
      return MF_E_INVALIDMEDIATYPE;
    }
    if (format.rateNumerator != 0 &&
        static_cast<UINT64>(format.rateNumerator) * static_cast<UINT32>(settings_.frameRateDenominator) !=
            static_cast<UINT64>(format.rateDenominator) * static_cast<UINT32>(settings_.frameRateNumerator)) {
      return MF_E_INVALIDMEDIATYPE;
    }
    UINT32 stride = format.width;
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) &&
        (static_cast<int32_t>(stride) < static_cast<int32_t>(format.width) || stride > 4 * kMaxDimension)) {
      return MF_E_INVALIDMEDIATYPE;  // bottom-up (negative) or too narrow rows
    }
    if ((flags & MFT_SET_TYPE_TEST_ONLY) != 0) return S_OK;
    ComPtr<IMFMediaType> copy;
    if (HRESULT hr = CopyType(type, copy.Out()); FAILED(hr)) return hr;
    inputType_ = copy;
    stride_ = static_cast<int>(stride);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD outputStreamId, IMFMediaType* type, DWORD flags) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(outputStreamId); FAILED(hr)) return hr;
    bool testOnly = (flags & MFT_SET_TYPE_TEST_ONLY) != 0;
    if (typeChange_ == TypeChange::kAnnounced) return AdoptChangedType(type, testOnly);
    if (codec_->IsOpen()) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
    if (type == nullptr) {
      if (!testOnly) {
        outputType_.Reset();
        inputType_.Reset();
      }
      return S_OK;
    }
    EncoderSettings settings;
    if (refuseOutputType_ || !ReadOutputSettings(type, &settings)) return MF_E_INVALIDMEDIATYPE;
    if (testOnly) return S_OK;
    // A hardware encoder takes its device when it learns what it is to encode.
    if (!codec_->PrepareDevice()) return kDeviceNotReady;
    ComPtr<IMFMediaType> copy;
    if (HRESULT hr = CopyType(type, copy.Out()); FAILED(hr)) return hr;
    outputType_ = copy;
    if (settings.width != settings_.width || settings.height != settings_.height) inputType_.Reset();
    settings_ = settings;
    stride_ = settings.width;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD inputStreamId, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(inputStreamId); FAILED(hr)) return hr;
    if (!inputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return CopyType(inputType_.get(), type);
  }

  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD outputStreamId, IMFMediaType** type) override {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(outputStreamId); FAILED(hr)) return hr;
    if (!outputType_ || typeChange_ == TypeChange::kAnnounced) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return CopyType(outputType_.get(), type);
  }

  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD inputStreamId, DWORD* flags) override {
    if (flags == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(inputStreamId); FAILED(hr)) return hr;
    if (!inputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *flags = Accepting() ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD* flags) override {
    if (flags == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckUnlocked(); FAILED(hr)) return hr;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *flags = ready_.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

  // --- IMFTransform: streaming ---

  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
    std::unique_lock<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckUnlocked(); FAILED(hr)) return hr;
    switch (message) {
      case MFT_MESSAGE_NOTIFY_BEGIN_STREAMING:
        return OpenSession();
      case MFT_MESSAGE_NOTIFY_START_OF_STREAM: {
        HRESULT hr = OpenSession();
        if (SUCCEEDED(hr)) RequestInput();
        return hr;
      }
      case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
      case MFT_MESSAGE_NOTIFY_END_STREAMING:
        return S_OK;
      case MFT_MESSAGE_COMMAND_FLUSH:
        queued_.clear();
        WaitForWorker(hold);
        ready_.clear();
        inputRequests_ = 0;
        codec_->Close();  // the next input starts a new stream
        return S_OK;
      case MFT_MESSAGE_COMMAND_DRAIN:
        WaitForWorker(hold);  // the frames taken before the drain come out first
        return Drain();
      default:
        return E_NOTIMPL;  // no Direct3D, no other messages
    }
  }

  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD inputStreamId, IMFSample* sample, DWORD) override {
    if (sample == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (HRESULT hr = CheckStream(inputStreamId); FAILED(hr)) return hr;
    if (!inputType_ || !outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (!Accepting()) return MF_E_NOTACCEPTING;
    if (Faulty(Fault::kProcessInput)) return kEncoderFaultResult;
    if (HRESULT hr = OpenSession(); FAILED(hr)) return hr;
    if (refuseEvery_ != 0 && ++offeredInputs_ % refuseEvery_ == 0) {
      // Busy: the frame is not taken. The requests outstanding go with it; new ones follow.
      inputRequests_ = 0;
      RequestInput();
      return MF_E_NOTACCEPTING;
    }

    LONGLONG time = 0;
    LONGLONG duration = 0;
    if (HRESULT hr = sample->GetSampleTime(&time); FAILED(hr)) return hr;
    if (FAILED(sample->GetSampleDuration(&duration))) duration = 0;  // the frame rate's then

    ComPtr<IMFMediaBuffer> buffer;
    if (HRESULT hr = sample->ConvertToContiguousBuffer(buffer.Out()); FAILED(hr)) return hr;
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (HRESULT hr = buffer->Lock(&bytes, nullptr, &length); FAILED(hr)) return hr;
    // An encoder with padded surfaces reads its chroma plane after the rows it asked for. Others
    // take what the buffer holds: it may hold more rows than the picture, and then the chroma plane
    // starts after that many luma rows.
    std::size_t rows = static_cast<std::size_t>(length) * 2 / 3 / static_cast<std::size_t>(stride_);
    if (rows < InputRows()) {
      buffer->Unlock();
      return E_INVALIDARG;
    }
    if (inputRows_ != 0 || inputRowMultiple_ != 0) rows = InputRows();
    if (async_) {
      // As a hardware encoder does on its device, the asynchronous one encodes away from the
      // caller's thread: it takes a copy of the frame and announces the output when it is ready.
      HRESULT queued = QueueFrame(bytes, rows, time, duration);
      buffer->Unlock();
      if (FAILED(queued)) return queued;
      --inputRequests_;
    } else {
      bool encoded = codec_->Encode(bytes, bytes + rows * static_cast<std::size_t>(stride_), stride_, time, duration,
                                    ready_);
      buffer->Unlock();
      if (!encoded) return E_FAIL;
    }
    acceptedFrames_.fetch_add(1);
    if (events_ && (Faulty(Fault::kErrorEvent) || Faulty(Fault::kFailedMarker)) && !errorSent_) {
      errorSent_ = true;
      events_->QueueEvent(fault_ == Fault::kErrorEvent ? MEError : METransformMarker, GUID_NULL, kEncoderFaultResult,
                          nullptr);
    }
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
    if (HRESULT hr = CheckStream(output.dwStreamID); FAILED(hr)) return hr;
    if (!outputType_ || typeChange_ == TypeChange::kAnnounced) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (ownSamples_ != (output.pSample == nullptr)) return E_INVALIDARG;  // its own samples, or the caller's
    if (Faulty(Fault::kProcessOutput)) return kEncoderFaultResult;
    if (ready_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;

    if (typeChange_ == TypeChange::kPending && AnnounceTypeChange()) {
      output.dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
      return MF_E_TRANSFORM_STREAM_CHANGE;
    }

    const EncodedPacket& next = ready_.front();
    HRESULT hr = ownSamples_ ? NewOutputSample(next, &output.pSample) : FillCallerSample(next, output.pSample);
    if (FAILED(hr)) return hr;
    ready_.pop_front();
    if (async_) RequestInput();
    return S_OK;
  }

  // --- IMFMediaEventGenerator (asynchronous mode only) ---

  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    if (event != nullptr && Faulty(Fault::kGetEvent)) {
      *event = nullptr;
      return kEncoderFaultResult;
    }
    return events_ ? events_->GetEvent(flags, event) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return events_ ? events_->BeginGetEvent(callback, state) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return events_ ? events_->EndGetEvent(result, event) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                       const PROPVARIANT* value) override {
    return events_ ? events_->QueueEvent(type, extendedType, status, value) : E_NOTIMPL;
  }

  // --- ICodecAPI: the five properties an encoder of this system is given ---

  HRESULT STDMETHODCALLTYPE IsSupported(const GUID* api) override {
    if (api == nullptr) return E_POINTER;
    return KnownProperty(*api) ? S_OK : E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE IsModifiable(const GUID* api) override {
    if (api == nullptr) return E_POINTER;
    if (!KnownProperty(*api)) return E_NOTIMPL;
    std::lock_guard<std::mutex> hold(mutex_);
    return codec_->IsOpen() ? S_FALSE : S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetValue(const GUID* api, VARIANT* value) override {
    if (api == nullptr || value == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    EncoderSettings s = EffectiveSettings();
    value->vt = VT_UI4;
    if (*api == CODECAPI_AVEncCommonRateControlMode) {
      value->ulVal = properties_.rateControl;
    } else if (*api == CODECAPI_AVEncCommonMeanBitRate) {
      value->ulVal = static_cast<ULONG>(s.bitRate);
    } else if (*api == CODECAPI_AVEncMPVGOPSize) {
      value->ulVal = static_cast<ULONG>(s.gopSize);
    } else if (*api == CODECAPI_AVEncMPVDefaultBPictureCount) {
      value->ulVal = static_cast<ULONG>(s.bFrames);
    } else if (*api == CODECAPI_AVLowLatencyMode) {
      value->vt = VT_BOOL;
      value->boolVal = s.lowLatency ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
      value->vt = VT_EMPTY;
      return E_NOTIMPL;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
    if (api == nullptr || value == nullptr) return E_POINTER;
    if (!codecApiRecord_.empty()) RecordCodecValue(*api, *value);
    if (!KnownProperty(*api)) return E_NOTIMPL;
    std::lock_guard<std::mutex> hold(mutex_);
    if (codec_->IsOpen()) return MF_E_INVALIDREQUEST;  // settings apply when streaming begins
    if (*api == CODECAPI_AVLowLatencyMode) {
      if (value->vt != VT_BOOL) return E_INVALIDARG;
      properties_.lowLatency = value->boolVal != VARIANT_FALSE;
      return S_OK;
    }
    if (value->vt != VT_UI4) return E_INVALIDARG;
    ULONG v = value->ulVal;
    if (*api == CODECAPI_AVEncCommonRateControlMode) {
      if (v > 6) return E_INVALIDARG;  // CBR, peak-constrained VBR, ..., global low-delay VBR
      properties_.rateControl = v;
      properties_.hasRateControl = true;
    } else if (*api == CODECAPI_AVEncCommonMeanBitRate) {
      if (v == 0) return E_INVALIDARG;
      properties_.meanBitRate = v;
    } else if (*api == CODECAPI_AVEncMPVGOPSize) {
      properties_.gopSize = v;  // 0: the encoder's own choice
      properties_.hasGopSize = true;
    } else {
      if (v > 16) return E_INVALIDARG;
      properties_.bPictureCount = v;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

 private:
  static bool KnownProperty(const GUID& api) {
    return api == CODECAPI_AVEncCommonRateControlMode || api == CODECAPI_AVEncCommonMeanBitRate ||
           api == CODECAPI_AVEncMPVGOPSize || api == CODECAPI_AVEncMPVDefaultBPictureCount ||
           api == CODECAPI_AVLowLatencyMode;
  }

  // An asynchronous transform answers nothing but GetAttributes until its caller has unlocked it.
  HRESULT CheckUnlocked() {
    if (!async_) return S_OK;
    UINT32 unlocked = 0;
    if (FAILED(attributes_->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked)) || unlocked == 0) {
      return MF_E_TRANSFORM_ASYNC_LOCKED;
    }
    return S_OK;
  }

  HRESULT CheckStream(DWORD streamId) {
    if (HRESULT hr = CheckUnlocked(); FAILED(hr)) return hr;
    return streamId == 0 ? S_OK : MF_E_INVALIDSTREAMNUMBER;
  }

  int Stride() const { return inputType_ ? stride_ : settings_.width; }

  // Luma rows of an input buffer: the picture's, or the padded surface's.
  std::size_t InputRows() const {
    std::size_t rows = static_cast<std::size_t>(settings_.height);
    if (inputRowMultiple_ != 0) rows = (rows + inputRowMultiple_ - 1) / inputRowMultiple_ * inputRowMultiple_;
    return inputRows_ > rows ? inputRows_ : rows;
  }

  // One line for what SetValue was given: the property's name (or its GUID), the variant type and
  // the value. Appended, so that a test sees every call in order.
  void RecordCodecValue(const GUID& api, const VARIANT& value) {
    static const struct {
      const GUID* api;
      const char* name;
    } kNames[] = {{&CODECAPI_AVEncCommonRateControlMode, "AVEncCommonRateControlMode"},
                  {&CODECAPI_AVEncCommonMeanBitRate, "AVEncCommonMeanBitRate"},
                  {&CODECAPI_AVEncMPVGOPSize, "AVEncMPVGOPSize"},
                  {&CODECAPI_AVEncMPVDefaultBPictureCount, "AVEncMPVDefaultBPictureCount"},
                  {&CODECAPI_AVLowLatencyMode, "AVLowLatencyMode"}};
    char line[160];
    int n = std::snprintf(line, sizeof line, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                          static_cast<unsigned long>(api.Data1), api.Data2, api.Data3, api.Data4[0], api.Data4[1],
                          api.Data4[2], api.Data4[3], api.Data4[4], api.Data4[5], api.Data4[6], api.Data4[7]);
    for (const auto& known : kNames) {
      if (api == *known.api) n = std::snprintf(line, sizeof line, "%s", known.name);
    }
    const std::size_t at = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (value.vt == VT_UI4) {
      std::snprintf(line + at, sizeof line - at, " VT_UI4 %lu\n", static_cast<unsigned long>(value.ulVal));
    } else if (value.vt == VT_BOOL) {
      const char* truth = value.boolVal == VARIANT_TRUE ? "true" : value.boolVal == VARIANT_FALSE ? "false" : "other";
      std::snprintf(line + at, sizeof line - at, " VT_BOOL %s\n", truth);
    } else {
      std::snprintf(line + at, sizeof line - at, " vt %u\n", static_cast<unsigned>(value.vt));
    }
    std::lock_guard<std::mutex> hold(recordMutex_);
    std::ofstream record(codecApiRecord_, std::ios::app | std::ios::binary);
    record << line;
  }

  using Fault = TransformMode::Fault;

  // Whether the breakdown chosen for this transform has come. GetEvent asks without the mutex.
  bool Faulty(Fault where) const { return fault_ == where && acceptedFrames_.load() >= faultAfterFrames_; }

  // The output type's settings; false for a type this encoder cannot produce.
  bool ReadOutputSettings(IMFMediaType* type, EncoderSettings* s) {
    VideoFormat format;
    if (!ReadVideoFormat(type, true, &format) || !(format.subtype == MFVideoFormat_H264)) return false;
    s->width = static_cast<int>(format.width);
    s->height = static_cast<int>(format.height);
    CodecFrameRate(format.rateNumerator, format.rateDenominator, &s->frameRateNumerator, &s->frameRateDenominator);
    UINT32 value = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_AVG_BITRATE, &value))) {
      if (value == 0) return false;
      s->bitRate = value;
    }
    if (SUCCEEDED(type->GetUINT32(MF_MT_MPEG2_PROFILE, &value))) {
      if (value != eAVEncH264VProfile_Base && value != eAVEncH264VProfile_Main && value != eAVEncH264VProfile_High) {
        return false;
      }
      s->profile = static_cast<int>(value);
    }
    return true;
  }

  // The settings the encoder opens with: the output type's, the colour description of the input
  // type (or else the output type's), and the codec properties.
  EncoderSettings EffectiveSettings() const {
    EncoderSettings s = settings_;
    if (outputType_) ReadColour(outputType_.get(), &s);
    if (inputType_) ReadColour(inputType_.get(), &s);
    if (properties_.meanBitRate != 0) s.bitRate = properties_.meanBitRate;
    s.constantBitRate = properties_.rateControl == eAVEncCommonRateControlMode_CBR;
    // Without a group size of its own, one keyframe a second.
    int perSecond = (settings_.frameRateNumerator + settings_.frameRateDenominator / 2) / settings_.frameRateDenominator;
    s.gopSize = properties_.hasGopSize && properties_.gopSize != 0 ? static_cast<int>(properties_.gopSize)
                                                                   : (perSecond > 0 ? perSecond : 1);
    s.bFrames = static_cast<int>(properties_.bPictureCount);
    s.lowLatency = properties_.lowLatency;
    return s;
  }

  HRESULT OpenSession() {
    if (codec_->IsOpen()) return S_OK;
    if (!inputType_ || !outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return codec_->Open(EffectiveSettings()) ? S_OK : MF_E_HW_MFT_FAILED_START_STREAMING;
  }

  // Whether ProcessInput takes a sample now: a synchronous transform holds one input's output at a
  // time, an asynchronous one takes input only against a METransformNeedInput it sent.
  bool Accepting() const { return async_ ? inputRequests_ > 0 : ready_.empty(); }

  // Asks for input while fewer frames than wanted are on their way through the transform: requests
  // not yet answered, frames taken and not yet encoded or being encoded, output not yet taken. With
  // one wanted: a request only when nothing is asked for, encoded or waiting to be taken.
  void RequestInput() {
    if (!async_ || !codec_->IsOpen()) return;
    std::size_t onTheirWay = static_cast<std::size_t>(inputRequests_) + queued_.size() + (encoding_ ? 1 : 0) + ready_.size();
    for (; onTheirWay < requestsWanted_; ++onTheirWay) {
      if (FAILED(events_->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr))) return;
      ++inputRequests_;
    }
  }

  // One METransformHaveOutput for each packet from index `from` on.
  void AnnounceOutputs(std::size_t from) {
    for (std::size_t i = from; i < ready_.size(); ++i) events_->QueueEvent(METransformHaveOutput, GUID_NULL, S_OK, nullptr);
  }

  // Copies a frame for the worker, which is started by the first one. Called with the mutex held.
  HRESULT QueueFrame(const BYTE* bytes, std::size_t rows, LONGLONG time, LONGLONG duration) {
    const std::size_t size = rows * static_cast<std::size_t>(stride_) * 3 / 2;
    QueuedFrame frame;
    if (!spare_.empty()) {
      frame.pixels = std::move(spare_.back());
      spare_.pop_back();
    }
    try {
      frame.pixels.assign(bytes, bytes + size);
      if (!worker_.joinable()) worker_ = std::thread([this] { EncodeQueuedFrames(); });
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    frame.rows = rows;
    frame.stride = stride_;
    frame.time = time;
    frame.duration = duration;
    queued_.push_back(std::move(frame));
    workChanged_.notify_all();
    return S_OK;
  }

  // The worker: encodes the queued frames in order, without the mutex, so that the caller's calls
  // (events, output, status) never wait for an encode. A failed encode is an MEError event.
  void EncodeQueuedFrames() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      workChanged_.wait(hold, [this] { return stopping_ || !queued_.empty(); });
      if (stopping_) return;
      QueuedFrame frame = std::move(queued_.front());
      queued_.pop_front();
      encoding_ = true;
      hold.unlock();
      std::deque<EncodedPacket> encoded;
      const std::uint8_t* luma = frame.pixels.data();
      // Nothing may leave this thread: a codec that runs out of memory is a device that fails.
      HRESULT result = S_OK;
      try {
        if (!codec_->Encode(luma, luma + frame.rows * static_cast<std::size_t>(frame.stride), frame.stride, frame.time,
                            frame.duration, encoded)) {
          result = E_FAIL;
        }
      } catch (...) {
        result = E_OUTOFMEMORY;
      }
      hold.lock();
      encoding_ = false;
      try {
        spare_.push_back(std::move(frame.pixels));
      } catch (...) {
        // the buffer is not kept for reuse
      }
      const std::size_t before = ready_.size();
      if (SUCCEEDED(result)) {
        try {
          for (EncodedPacket& packet : encoded) ready_.push_back(std::move(packet));
        } catch (...) {
          result = E_OUTOFMEMORY;
        }
      }
      AnnounceOutputs(before);
      if (SUCCEEDED(result)) {
        RequestInput();  // when this frame gave nothing yet, the encoder wants the next
      } else {
        // A device that breaks down reports itself to an asynchronous caller this way.
        events_->QueueEvent(MEError, GUID_NULL, result, nullptr);
      }
      workChanged_.notify_all();
    }
  }

  // Until the worker has encoded every queued frame. Called with the mutex held.
  void WaitForWorker(std::unique_lock<std::mutex>& hold) {
    workChanged_.wait(hold, [this] { return queued_.empty() && !encoding_; });
  }

  HRESULT Drain() {
    std::size_t before = ready_.size();
    bool ok = codec_->Drain(ready_);
    if (async_) {
      AnnounceOutputs(before);
      events_->QueueEvent(METransformDrainComplete, GUID_NULL, ok ? S_OK : E_FAIL, nullptr);
    }
    return ok ? S_OK : E_FAIL;
  }

  // Prepares the changed output type from the first access unit's parameter sets. False (and no
  // change is announced) when the access unit holds none.
  bool AnnounceTypeChange() {
    const EncodedPacket& unit = ready_.front();
    std::vector<UINT8> header = SequenceHeader(unit.data, unit.size);
    ComPtr<IMFMediaType> offered;
    if (header.empty() || FAILED(CopyType(outputType_.get(), offered.Out())) ||
        FAILED(offered->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), static_cast<UINT32>(header.size())))) {
      typeChange_ = TypeChange::kNone;
      return false;
    }
    offeredType_ = offered;
    typeChange_ = TypeChange::kAnnounced;
    return true;
  }

  // SetOutputType after an announced change: the offered type, or one of the same H.264 format.
  HRESULT AdoptChangedType(IMFMediaType* type, bool testOnly) {
    EncoderSettings settings;
    if (type == nullptr || !ReadOutputSettings(type, &settings) || settings.width != settings_.width ||
        settings.height != settings_.height) {
      return MF_E_INVALIDMEDIATYPE;
    }
    if (testOnly) return S_OK;
    ComPtr<IMFMediaType> copy;
    if (HRESULT hr = CopyType(type, copy.Out()); FAILED(hr)) return hr;
    outputType_ = copy;
    offeredType_.Reset();
    typeChange_ = TypeChange::kNone;
    // The output that the change held back is announced again.
    if (async_ && !ready_.empty()) AnnounceOutputs(ready_.size() - 1);
    return S_OK;
  }

  static HRESULT Describe(const EncodedPacket& p, IMFSample* sample) {
    HRESULT hr = sample->SetSampleTime(p.time);
    if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(p.duration);
    if (SUCCEEDED(hr)) hr = sample->SetUINT32(MFSampleExtension_CleanPoint, p.keyframe ? 1 : 0);
    return hr;
  }

  static HRESULT NewOutputSample(const EncodedPacket& p, IMFSample** out) {
    DWORD size = static_cast<DWORD>(p.size);
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFSample> sample;
    HRESULT hr = CreateMemoryBufferObject(size, buffer.Out());
    BYTE* bytes = nullptr;
    if (SUCCEEDED(hr)) hr = buffer->Lock(&bytes, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    std::memcpy(bytes, p.data, size);
    buffer->Unlock();
    hr = buffer->SetCurrentLength(size);
    if (SUCCEEDED(hr)) hr = CreateSampleObject(sample.Out());
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.get());
    if (SUCCEEDED(hr)) hr = Describe(p, sample.get());
    if (FAILED(hr)) return hr;
    *out = sample.Detach();
    return S_OK;
  }

  static HRESULT FillCallerSample(const EncodedPacket& p, IMFSample* sample) {
    DWORD size = static_cast<DWORD>(p.size);
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = sample->ConvertToContiguousBuffer(buffer.Out());
    if (FAILED(hr)) return hr;
    BYTE* bytes = nullptr;
    DWORD room = 0;
    if (HRESULT lock = buffer->Lock(&bytes, &room, nullptr); FAILED(lock)) return lock;
    if (room < size) {
      buffer->Unlock();
      return MF_E_BUFFERTOOSMALL;  // the access unit stays for a larger buffer
    }
    std::memcpy(bytes, p.data, size);
    buffer->Unlock();
    hr = buffer->SetCurrentLength(size);
    if (SUCCEEDED(hr)) hr = Describe(p, sample);
    return hr;
  }

  std::mutex mutex_;
  const std::unique_ptr<Codec> codec_;
  const bool async_;
  TypeChange typeChange_;
  const bool ownSamples_;                // gives its output in samples of its own
  const std::uint32_t inputRows_;        // rows of a padded input surface, or 0
  const std::uint32_t inputRowMultiple_;  // or the multiple its rows are rounded up to, or 0
  const bool refuseOutputType_;
  const std::filesystem::path codecApiRecord_;
  std::mutex recordMutex_;  // one line at a time into the record
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFMediaEventGenerator> events_;  // asynchronous mode only
  ComPtr<IMFMediaType> outputType_;
  ComPtr<IMFMediaType> inputType_;
  ComPtr<IMFMediaType> offeredType_;  // while a type change is announced
  EncoderSettings settings_;          // from the output type
  int stride_ = 1280;                 // bytes between input rows
  CodecProperties properties_;
  std::deque<EncodedPacket> ready_;  // encoded and not yet taken by ProcessOutput
  int inputRequests_ = 0;            // METransformNeedInput sent and not yet answered
  const std::size_t requestsWanted_;  // frames on their way through it that it asks for
  const std::uint32_t refuseEvery_;   // every so many inputs one is refused; 0: none
  std::uint32_t offeredInputs_ = 0;   // inputs that came when it could take them, for refuseEvery_
  const Fault fault_;
  const std::uint64_t faultAfterFrames_;
  std::atomic<std::uint64_t> acceptedFrames_{0};  // inputs taken, for the chosen breakdown
  bool errorSent_ = false;                         // the failure event is sent once
  // The asynchronous transform's worker and what it shares with the caller, under mutex_.
  std::deque<QueuedFrame> queued_;                 // taken and not yet being encoded
  std::vector<std::vector<std::uint8_t>> spare_;  // pixel buffers to reuse
  bool encoding_ = false;                          // the worker encodes a frame, without the mutex
  bool stopping_ = false;
  std::condition_variable workChanged_;
  std::thread worker_;
};

}  // namespace

HRESULT CreateEncoderTransform(std::unique_ptr<Codec> codec, const TransformMode& mode, IUnknown** transform) {
  if (transform == nullptr) return E_POINTER;
  *transform = nullptr;
  if (codec == nullptr) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) EncoderTransform(std::move(codec), mode);
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
