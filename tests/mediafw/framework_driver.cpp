#include "mediafw/framework_driver.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <thread>

namespace mediafw_driver {
namespace {

void Release(IUnknown* object) {
  if (object != nullptr) object->Release();
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

bool Fail(Collected* collected, const std::string& what, HRESULT hr) {
  if (collected->error.empty()) collected->error = what + " " + Hex(hr);
  return false;
}

template <class F>
F Lookup(void* library, const char* name) {
  return reinterpret_cast<F>(dlsym(library, name));
}

void SetCommonVideoAttributes(IMFMediaType* type) {
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{kWidth} << 32) | kHeight);
  type->SetUINT64(MF_MT_FRAME_RATE, (UINT64{30} << 32) | 1);
  type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, (UINT64{1} << 32) | 1);
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  type->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
  type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
}

void SetCodecProperty(ICodecAPI* api, const GUID& property, ULONG value) {
  VARIANT v{};
  v.vt = VT_UI4;
  v.ulVal = value;
  api->SetValue(&property, &v);
}

// Reads MF_MT_MPEG_SEQUENCE_HEADER of the current output type.
void ReadSequenceHeader(Encoder& encoder, Collected* collected) {
  IMFMediaType* type = nullptr;
  if (FAILED(encoder.transform->GetOutputCurrentType(encoder.outputStreamId, &type)) || type == nullptr) return;
  UINT32 size = 0;
  if (SUCCEEDED(type->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size)) && size != 0) {
    std::vector<std::uint8_t> header(size);
    if (SUCCEEDED(type->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), size, nullptr))) {
      collected->sequenceHeader = header;
    }
  }
  type->Release();
}

bool AdoptNewOutputType(Encoder& encoder, Collected* collected) {
  ++collected->typeChanges;
  IMFMediaType* offered = nullptr;
  HRESULT hr = encoder.transform->GetOutputAvailableType(encoder.outputStreamId, 0, &offered);
  if (FAILED(hr) || offered == nullptr) return Fail(collected, "GetOutputAvailableType", hr);
  hr = encoder.transform->SetOutputType(encoder.outputStreamId, offered, 0);
  offered->Release();
  ReadSequenceHeader(encoder, collected);
  MFT_OUTPUT_STREAM_INFO info{};
  if (SUCCEEDED(encoder.transform->GetOutputStreamInfo(encoder.outputStreamId, &info))) {
    if (info.cbSize != 0) encoder.outputBufferSize = info.cbSize;
    encoder.providesSamples = (info.dwFlags & 0x300) != 0;
  }
  return SUCCEEDED(hr) || Fail(collected, "SetOutputType after the change", hr);
}

bool TakeSample(IMFSample* sample, Collected* collected) {
  AccessUnit unit;
  IMFMediaBuffer* buffer = nullptr;
  HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
  if (FAILED(hr)) return Fail(collected, "ConvertToContiguousBuffer", hr);
  BYTE* bytes = nullptr;
  DWORD length = 0;
  hr = buffer->Lock(&bytes, nullptr, &length);
  if (SUCCEEDED(hr)) {
    unit.bytes.assign(bytes, bytes + length);
    buffer->Unlock();
  }
  buffer->Release();
  if (FAILED(hr)) return Fail(collected, "Lock", hr);
  if (HRESULT t = sample->GetSampleTime(&unit.time); FAILED(t)) return Fail(collected, "GetSampleTime", t);
  if (HRESULT d = sample->GetSampleDuration(&unit.duration); FAILED(d)) return Fail(collected, "GetSampleDuration", d);
  UINT32 cleanPoint = 0;
  unit.cleanPoint = SUCCEEDED(sample->GetUINT32(MFSampleExtension_CleanPoint, &cleanPoint)) && cleanPoint != 0;
  collected->units.push_back(std::move(unit));
  return true;
}

bool TakeEvents(const Framework& framework, Encoder& encoder, Collected* collected) {
  for (;;) {
    IMFMediaEvent* event = nullptr;
    HRESULT hr = encoder.events->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
    if (hr == MF_E_NO_EVENTS_AVAILABLE) return true;
    if (FAILED(hr)) return Fail(collected, "GetEvent", hr);
    MediaEventType type = 0;
    HRESULT status = S_OK;
    event->GetType(&type);
    event->GetStatus(&status);
    event->Release();
    if (type == METransformNeedInput) {
      ++encoder.pendingInputRequests;
    } else if (type == METransformHaveOutput) {
      bool stop = false;
      if (!OneOutput(framework, encoder, collected, &stop)) return false;
    } else if (type == METransformDrainComplete && SUCCEEDED(status)) {
      collected->drainComplete = true;
    } else if (type == MEError || FAILED(status)) {
      return Fail(collected, "encoder event " + std::to_string(type), status);
    }
  }
}

}  // namespace

bool LoadFramework(const std::string& path, Framework* framework, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    *error = dlerror();
    return false;
  }
  framework->startup = Lookup<MFStartupFunction>(library, "MFStartup");
  framework->enumerate = Lookup<MFTEnumExFunction>(library, "MFTEnumEx");
  framework->createMediaType = Lookup<MFCreateMediaTypeFunction>(library, "MFCreateMediaType");
  framework->createSample = Lookup<MFCreateSampleFunction>(library, "MFCreateSample");
  framework->createMemoryBuffer = Lookup<MFCreateMemoryBufferFunction>(library, "MFCreateMemoryBuffer");
  if (framework->startup == nullptr || framework->enumerate == nullptr || framework->createMediaType == nullptr ||
      framework->createSample == nullptr || framework->createMemoryBuffer == nullptr) {
    *error = "an entry point is missing";
    return false;
  }
  HRESULT hr = framework->startup(MF_VERSION, MFSTARTUP_LITE);
  if (FAILED(hr)) {
    *error = "MFStartup failed " + Hex(hr);
    return false;
  }
  return true;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  hadValue_ = old != nullptr;
  if (hadValue_) oldValue_ = old;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (hadValue_) {
    setenv(name_.c_str(), oldValue_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

HRESULT EnumerateEncoders(const Framework& framework, std::vector<Candidate>* candidates) {
  MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
  MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** array = nullptr;
  UINT32 count = 0;
  HRESULT hr = framework.enumerate(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER,
                                   &input, &output, &array, &count);
  if (FAILED(hr)) return hr;
  for (UINT32 i = 0; i < count; ++i) {
    Candidate candidate;
    candidate.activate = array[i];
    LPWSTR name = nullptr;
    UINT32 length = 0;
    if (SUCCEEDED(array[i]->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length))) {
      for (UINT32 c = 0; c < length; ++c) candidate.friendlyName.push_back(static_cast<char>(name[c]));
      CoTaskMemFree(name);
    }
    candidates->push_back(std::move(candidate));
  }
  CoTaskMemFree(array);
  return S_OK;
}

void ReleaseCandidates(std::vector<Candidate>* candidates) {
  for (Candidate& c : *candidates) Release(c.activate);
  candidates->clear();
}

void ReleaseEncoder(Encoder* encoder) {
  Release(encoder->events);
  Release(encoder->transform);
  *encoder = Encoder{};
}

HRESULT ConfigureEncoder(const Framework& framework, IMFTransform* transform, const Configuration& configuration,
                         Encoder* encoder, std::string* failedStep) {
  *encoder = Encoder{};
  encoder->transform = transform;
  transform->AddRef();
  auto fail = [&](const char* step, HRESULT hr) {
    *failedStep = step;
    ReleaseEncoder(encoder);
    return FAILED(hr) ? hr : E_FAIL;
  };

  IMFAttributes* attributes = nullptr;
  if (SUCCEEDED(transform->GetAttributes(&attributes)) && attributes != nullptr) {
    UINT32 async = 0;
    if (SUCCEEDED(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async)) && async != 0) {
      HRESULT hr = attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1);
      if (FAILED(hr)) {
        attributes->Release();
        return fail("unlock", hr);
      }
      encoder->isAsync = true;
    }
    attributes->Release();
  }
  if (encoder->isAsync) {
    HRESULT hr = transform->QueryInterface(IID_IMFMediaEventGenerator, reinterpret_cast<void**>(&encoder->events));
    if (FAILED(hr)) return fail("event generator", hr);
  }
  ICodecAPI* api = nullptr;
  if (configuration.setCodecProperties &&
      SUCCEEDED(transform->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&api))) && api != nullptr) {
    SetCodecProperty(api, CODECAPI_AVEncCommonRateControlMode, eAVEncCommonRateControlMode_CBR);
    SetCodecProperty(api, CODECAPI_AVEncCommonMeanBitRate, 8000000);
    if (configuration.gopSize != 0) SetCodecProperty(api, CODECAPI_AVEncMPVGOPSize, configuration.gopSize);
    SetCodecProperty(api, CODECAPI_AVEncMPVDefaultBPictureCount, 0);
    VARIANT lowLatency{};
    lowLatency.vt = VT_BOOL;
    lowLatency.boolVal = configuration.lowLatency ? VARIANT_TRUE : VARIANT_FALSE;
    api->SetValue(&CODECAPI_AVLowLatencyMode, &lowLatency);
    api->Release();
  }
  if (transform->GetStreamIDs(1, &encoder->inputStreamId, 1, &encoder->outputStreamId) == E_NOTIMPL) {
    encoder->inputStreamId = 0;
    encoder->outputStreamId = 0;
  }

  IMFMediaType* type = nullptr;
  HRESULT hr = framework.createMediaType(&type);
  if (FAILED(hr)) return fail("MFCreateMediaType", hr);
  SetCommonVideoAttributes(type);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  type->SetUINT32(MF_MT_AVG_BITRATE, 8000000);
  type->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_Main);
  hr = transform->SetOutputType(encoder->outputStreamId, type, 0);
  type->Release();
  if (FAILED(hr)) return fail("SetOutputType", hr);

  hr = framework.createMediaType(&type);
  if (FAILED(hr)) return fail("MFCreateMediaType", hr);
  SetCommonVideoAttributes(type);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  type->SetUINT32(MF_MT_DEFAULT_STRIDE, kWidth);
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
  hr = transform->SetInputType(encoder->inputStreamId, type, 0);
  type->Release();
  if (FAILED(hr)) return fail("SetInputType", hr);

  MFT_INPUT_STREAM_INFO inputInfo{};
  if (SUCCEEDED(transform->GetInputStreamInfo(encoder->inputStreamId, &inputInfo)) && inputInfo.cbSize > 1382400) {
    encoder->inputHeight = inputInfo.cbSize * 2 / 3 / kWidth;
  }
  MFT_OUTPUT_STREAM_INFO outputInfo{};
  hr = transform->GetOutputStreamInfo(encoder->outputStreamId, &outputInfo);
  if (FAILED(hr)) return fail("GetOutputStreamInfo", hr);
  encoder->outputBufferSize = outputInfo.cbSize != 0 ? outputInfo.cbSize : 2097152;
  encoder->providesSamples = (outputInfo.dwFlags & 0x300) != 0;

  hr = transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
  if (FAILED(hr)) return fail("BEGIN_STREAMING", hr);
  hr = transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  if (FAILED(hr)) return fail("START_OF_STREAM", hr);
  return S_OK;
}

HRESULT OpenLastCandidate(const Framework& framework, const Configuration& configuration, Encoder* encoder,
                          std::string* failedStep) {
  std::vector<Candidate> candidates;
  HRESULT hr = EnumerateEncoders(framework, &candidates);
  if (SUCCEEDED(hr) && candidates.empty()) hr = E_FAIL;
  IMFTransform* transform = nullptr;
  if (SUCCEEDED(hr)) {
    hr = candidates.back().activate->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform));
  }
  if (SUCCEEDED(hr)) {
    hr = ConfigureEncoder(framework, transform, configuration, encoder, failedStep);
    transform->Release();
  } else {
    *failedStep = "activation";
  }
  ReleaseCandidates(&candidates);
  return hr;
}

IMFSample* MakeInputSample(const Framework& framework, const std::uint8_t* frame, UINT32 rows, LONGLONG time) {
  const DWORD lumaBytes = rows * kWidth;
  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(framework.createMemoryBuffer(rows * kWidth * 3 / 2, &buffer))) return nullptr;
  BYTE* bytes = nullptr;
  if (FAILED(buffer->Lock(&bytes, nullptr, nullptr))) {
    buffer->Release();
    return nullptr;
  }
  std::memcpy(bytes, frame, kWidth * kHeight);
  std::memset(bytes + kWidth * kHeight, 16, lumaBytes - kWidth * kHeight);
  std::memset(bytes + lumaBytes, 128, rows / 2 * kWidth);
  std::memcpy(bytes + lumaBytes, frame + kWidth * kHeight, kWidth * kHeight / 2);
  buffer->Unlock();
  buffer->SetCurrentLength(rows * kWidth * 3 / 2);
  IMFSample* sample = nullptr;
  if (SUCCEEDED(framework.createSample(&sample))) {
    sample->AddBuffer(buffer);
    sample->SetSampleTime(time);
    sample->SetSampleDuration(kFrameDuration);
  }
  buffer->Release();
  return sample;
}

bool OneOutput(const Framework& framework, Encoder& encoder, Collected* collected, bool* stop) {
  *stop = false;
  MFT_OUTPUT_DATA_BUFFER output{};
  output.dwStreamID = encoder.outputStreamId;
  IMFSample* own = nullptr;
  if (!encoder.providesSamples) {
    IMFMediaBuffer* buffer = nullptr;
    HRESULT hr = framework.createMemoryBuffer(encoder.outputBufferSize, &buffer);
    if (FAILED(hr)) return Fail(collected, "output buffer", hr);
    hr = framework.createSample(&own);
    if (FAILED(hr)) {
      buffer->Release();
      return Fail(collected, "output sample", hr);
    }
    own->AddBuffer(buffer);
    buffer->Release();
    output.pSample = own;
  }
  DWORD status = 0;
  HRESULT hr = encoder.transform->ProcessOutput(0, 1, &output, &status);
  if (output.pEvents != nullptr) output.pEvents->Release();
  bool ok = true;
  if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
    *stop = true;
  } else if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
    *stop = true;
    ok = AdoptNewOutputType(encoder, collected);
  } else if (FAILED(hr)) {
    ok = Fail(collected, "ProcessOutput", hr);
  } else if (output.pSample != nullptr) {
    ok = TakeSample(output.pSample, collected);
  }
  if (output.pSample != nullptr && output.pSample != own) output.pSample->Release();
  Release(own);
  return ok;
}

bool DrainOutput(const Framework& framework, Encoder& encoder, Collected* collected) {
  for (;;) {
    bool stop = false;
    if (!OneOutput(framework, encoder, collected, &stop)) return false;
    if (stop) return true;
  }
}

// About 10 s of 1 ms waits for an asynchronous encoder.
constexpr int kWaitPasses = 10000;

bool SubmitFrame(const Framework& framework, Encoder& encoder, const std::uint8_t* frame, LONGLONG time,
                 Collected* collected) {
  // Bounded, so that an encoder that stops asking for input fails the caller instead of hanging it.
  for (int pass = 0; pass < kWaitPasses; ++pass) {
    if (encoder.isAsync && !TakeEvents(framework, encoder, collected)) return false;
    if (encoder.isAsync && encoder.pendingInputRequests < 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    IMFSample* sample = MakeInputSample(framework, frame, encoder.inputHeight, time);
    if (sample == nullptr) return Fail(collected, "MakeInputSample", E_FAIL);
    HRESULT hr = encoder.transform->ProcessInput(encoder.inputStreamId, sample, 0);
    sample->Release();
    if (hr == MF_E_NOTACCEPTING) {
      ++collected->notAccepting;
      if (encoder.isAsync) {
        encoder.pendingInputRequests = 0;
      } else {
        DrainOutput(framework, encoder, collected);
      }
      continue;
    }
    if (FAILED(hr)) return Fail(collected, "ProcessInput", hr);
    if (encoder.isAsync) {
      --encoder.pendingInputRequests;
      return true;
    }
    return DrainOutput(framework, encoder, collected);
  }
  return Fail(collected, "the frame was never accepted", E_FAIL);
}

bool CollectRemaining(const Framework& framework, Encoder& encoder, Collected* collected) {
  if (!encoder.isAsync) return true;
  for (int pass = 0; pass < kWaitPasses; ++pass) {
    if (!TakeEvents(framework, encoder, collected)) return false;
    if (encoder.pendingInputRequests > 0 || collected->drainComplete) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Fail(collected, "the encoder never became idle", E_FAIL);
}

void DrawTestFrame(int index, std::uint8_t* nv12) {
  // Drawn a row pattern at a time (the rows repeat), so that even an unoptimised build draws fast.
  std::uint8_t* luma = nv12;
  std::uint8_t* chroma = nv12 + kWidth * kHeight;
  std::uint8_t base[kWidth];
  for (int x = 0; x < kWidth; ++x) {
    bool line = (x + 2 * index) % 128 < 4;
    base[x] = static_cast<std::uint8_t>(line ? 40 : 60 + ((x + 4 * index) % kWidth) * 160 / kWidth);
  }
  const int blockX = (index * 12) % (kWidth - 160);
  const int blockY = (index * 5) % (kHeight - 160);
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row = luma + y * kWidth;
    if (y % 96 < 4) {
      std::memset(row, 40, kWidth);
    } else if (y % 96 == 4 || y * 40 / kHeight != (y - 1) * 40 / kHeight) {
      // A ramp from top to bottom too: a new brightness every 18 rows.
      const int lift = y * 40 / kHeight;
      for (int x = 0; x < kWidth; ++x) row[x] = static_cast<std::uint8_t>(base[x] == 40 ? 40 : base[x] + lift);
    } else {
      std::memcpy(row, row - kWidth, kWidth);
    }
  }
  for (int y = blockY; y < blockY + 160; ++y) std::memset(luma + y * kWidth + blockX, 230, 160);
  // A checkerboard of blue and yellow cells moving right, over bands of red from top to bottom: a
  // chroma plane out of place or out of step shows at once.
  for (int y = 0; y < kHeight / 2; ++y) {
    std::uint8_t* row = chroma + y * kWidth;
    if (y % 32 != 0) {
      std::memcpy(row, row - kWidth, kWidth);
      continue;
    }
    for (int x = 0; x < kWidth / 2; ++x) {
      bool cell = ((x + index) / 32 + y / 32) % 2 != 0;
      row[2 * x] = static_cast<std::uint8_t>(cell ? 90 : 170);
      row[2 * x + 1] = static_cast<std::uint8_t>(64 + y * 128 / (kHeight / 2));
    }
  }
}

std::vector<std::uint8_t> TestFrame(int index) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  DrawTestFrame(index, frame.data());
  return frame;
}

}  // namespace mediafw_driver
