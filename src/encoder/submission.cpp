// Frames into the encoder, access units out of it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "clips/annexb.h"
#include "clips/sample_history.h"
#include "encoder/convert.h"
#include "encoder/encoder.h"
#include "encoder/loader.h"
#include "log/log.h"

namespace {

// Outcome of one output call.
struct OutputResult {
  bool ok = true;     // false: the call failed
  bool stop = false;  // the drain stops (more input needed, or the output type changed)
};

// The intake's one look at the output type's parameter sets, for an encoder that publishes them
// only there: asked at most once, at the first keyframe that arrives without usable ones.
void ReadSequenceHeaderOnce(void* context) {
  auto& encoder = *static_cast<HardwareEncoder*>(context);
  encoder.sequenceHeaderOffered = true;
  ReadSequenceHeader(encoder);
}

OutputResult CallForOutput(HardwareEncoder& encoder) {
  MFT_OUTPUT_DATA_BUFFER output = {};
  output.dwStreamID = encoder.outputStreamId;

  IMFSample* own = nullptr;
  if (!encoder.providesSamples) {
    IMFMediaBuffer* buffer = nullptr;
    if (FAILED(mediaFramework.createMemoryBuffer(encoder.outputBufferSize, &buffer)) ||
        buffer == nullptr) {
      return {false, true};
    }
    if (FAILED(mediaFramework.createSample(&own)) || own == nullptr) {
      buffer->Release();
      return {false, true};
    }
    own->AddBuffer(buffer);
    buffer->Release();
    output.pSample = own;
  }

  DWORD status = 0;
  const HRESULT hr = encoder.transform->ProcessOutput(0, 1, &output, &status);
  if (output.pEvents != nullptr) {
    output.pEvents->Release();
    output.pEvents = nullptr;
  }

  OutputResult result;
  if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
    result.stop = true;
  } else if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
    // Whatever this call produced is not an access unit of the new format.
    result.ok = AdoptNewOutputType(encoder);
    result.stop = true;
  } else if (FAILED(hr)) {
    LogLine("ProcessOutput failed 0x%08lX", HresultBits(hr));
    result.ok = false;
    result.stop = true;
  } else if (output.pSample != nullptr) {
    ParameterSetSource fallback;
    if (!encoder.sequenceHeaderOffered) fallback = ParameterSetSource{&ReadSequenceHeaderOnce, &encoder};
    AddEncodedSample(output.pSample, fallback);
  }

  // The intake has taken what it needs during its call.
  if (output.pSample != nullptr && output.pSample != own) output.pSample->Release();
  if (own != nullptr) own->Release();
  return result;
}

}  // namespace

IMFSample* MakeInputSample(const HardwareEncoder& encoder, const std::uint8_t* slotPixels,
                           std::int64_t time) {
  const stream::StreamFormat& format = encoder.format;
  // At most kMaxInputHeight rows of 3840 x 3 / 2 bytes: far inside 32 bits.
  const DWORD length = encoder.inputHeight * (format.width * 3 / 2);
  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(mediaFramework.createMemoryBuffer(length, &buffer)) || buffer == nullptr) return nullptr;
  BYTE* bytes = nullptr;
  if (FAILED(buffer->Lock(&bytes, nullptr, nullptr)) || bytes == nullptr) {
    buffer->Release();
    return nullptr;
  }
  if (format.pixelFormat == stream::PixelFormat::Nv12) {
    CopyNv12Frame(slotPixels, format.width, format.height, format.stride, bytes, encoder.inputHeight);
  } else {
    ConvertFrameToNv12(slotPixels, format.width, format.height, format.stride, bytes, encoder.inputHeight);
  }
  buffer->Unlock();
  buffer->SetCurrentLength(length);

  IMFSample* sample = nullptr;
  if (SUCCEEDED(mediaFramework.createSample(&sample)) && sample != nullptr) {
    sample->AddBuffer(buffer);
    sample->SetSampleTime(time);
    sample->SetSampleDuration(format.FrameDuration());
  } else {
    sample = nullptr;
  }
  buffer->Release();
  return sample;
}

bool DrainOutput(HardwareEncoder& encoder) {
  // An encoder that answers with success for ever would hold the main thread here, heartbeat and
  // all; the bound lies far beyond what a working encoder can have waiting (see its definition).
  for (std::uint32_t calls = 0; calls < kMaxOutputCallsPerDrain; ++calls) {
    const OutputResult result = CallForOutput(encoder);
    if (!result.ok) return false;
    if (result.stop) return true;
  }
  LogLine("ProcessOutput did not finish after %u calls", static_cast<unsigned>(kMaxOutputCallsPerDrain));
  return false;
}

bool ProcessOneOutput(HardwareEncoder& encoder) {
  // More input wanted or a new format: the encoder announces what it wants next by events.
  return CallForOutput(encoder).ok;
}

bool AdoptNewOutputType(HardwareEncoder& encoder) {
  IMFTransform* transform = encoder.transform;
  IMFMediaType* type = nullptr;
  if (FAILED(transform->GetOutputAvailableType(encoder.outputStreamId, 0, &type)) || type == nullptr) {
    return false;
  }
  const bool accepted = SUCCEEDED(transform->SetOutputType(encoder.outputStreamId, type, 0));
  type->Release();

  ReadSequenceHeader(encoder);

  MFT_OUTPUT_STREAM_INFO info = {};
  if (SUCCEEDED(transform->GetOutputStreamInfo(encoder.outputStreamId, &info))) {
    // 0, or a size above the bound, keeps the size in use.
    if (info.cbSize != 0 && info.cbSize <= MaxOutputBufferSize(encoder.format)) encoder.outputBufferSize = info.cbSize;
    encoder.providesSamples =
        (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
  }
  LogLine("encoder changed its output type");
  return accepted;
}

void ReadSequenceHeader(HardwareEncoder& encoder) {
  IMFMediaType* type = nullptr;
  if (FAILED(encoder.transform->GetOutputCurrentType(encoder.outputStreamId, &type)) ||
      type == nullptr) {
    return;
  }
  // The size is the encoder's word: beyond the bound it is no header, and nothing is allocated
  // for it. Only the bytes the copy reports are the header; the zero filler after them is not.
  UINT32 size = 0;
  if (FAILED(type->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size)) || size == 0 ||
      size > kMaxSequenceHeaderSize) {
    type->Release();
    return;
  }
  std::vector<std::uint8_t> header(size, 0);
  UINT32 copied = 0;
  if (SUCCEEDED(type->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), size, &copied))) {
    if (copied < size) header.resize(copied);
    ScanAnnexB(header.data(), header.size(), [&](const NalUnit& unit) {
      const auto begin = header.begin() + static_cast<std::ptrdiff_t>(unit.start);
      const auto end = begin + static_cast<std::ptrdiff_t>(unit.length);
      if (unit.type == 7) parameterSets.sps.assign(begin, end);
      if (unit.type == 8) parameterSets.pps.assign(begin, end);
    });
  }
  type->Release();
}
