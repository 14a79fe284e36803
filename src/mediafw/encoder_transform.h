// The H.264 encoder transform of the stand-in media frameworks: IMFTransform (with ICodecAPI, and
// IMFMediaEventGenerator when asynchronous) over one codec.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "encoder/media_framework.h"
#include "mediafw/codec.h"

namespace mediafw {

struct TransformMode {
  // Asynchronous like a hardware encoder: MF_TRANSFORM_ASYNC = 1, locked until
  // MF_TRANSFORM_ASYNC_UNLOCK is set, input requests and outputs announced as events, output
  // samples of its own. Otherwise synchronous: no events, ProcessOutput fills the caller's sample
  // and answers MF_E_TRANSFORM_NEED_MORE_INPUT when nothing is ready.
  bool async = true;
  // Before its first output the transform changes its output type once
  // (MF_E_TRANSFORM_STREAM_CHANGE), offering a type whose MF_MT_MPEG_SEQUENCE_HEADER holds the
  // stream's SPS and PPS.
  bool typeChange = false;
  // How many METransformNeedInput requests an asynchronous transform keeps outstanding. A hardware
  // encoder with an input queue asks for several frames at once; it asks for another whenever
  // fewer than this many frames are on their way through it (requests not yet answered, frames
  // taken and not yet encoded, output not yet taken). 1: one frame at a time.
  int inputRequests = 1;
  // Every refuseEvery-th input that comes against a request (or, synchronous, while nothing waits
  // to be taken) is refused with MF_E_NOTACCEPTING, as a busy encoder refuses now and then; 0:
  // never. A refusal withdraws the requests outstanding, and the asynchronous transform at once
  // asks again with new METransformNeedInput events.
  std::uint32_t refuseEvery = 0;
  // A transform that breaks down mid-run, as a hardware encoder does when its device is lost:
  // once `faultAfterFrames` inputs have been accepted, the chosen operation fails with
  // kEncoderFaultResult (an MEError event carries it as its status), and keeps failing. The
  // failed-marker fault sends, once, an event of another type (METransformMarker) whose status
  // is kEncoderFaultResult.
  enum class Fault { kNone, kProcessInput, kProcessOutput, kGetEvent, kErrorEvent, kFailedMarker };
  Fault fault = Fault::kNone;
  std::uint64_t faultAfterFrames = 0;

  // More ways in which hardware encoders differ from one another:
  // - asynchronous, whether the caller supplies the output samples (no
  //   MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, and cbSize 0: the caller picks the size);
  bool callerSamples = false;
  // - the rows of each NV12 input buffer (GetInputStreamInfo cbSize), 0 for the picture's: an
  //   encoder whose surfaces are padded below the picture takes its chroma plane after that many
  //   luma rows and refuses a smaller buffer;
  std::uint32_t inputRows = 0;
  //   or, for padding that follows the picture's size, a multiple the rows are rounded up to (as
  //   surfaces of 16 or 32 rows' alignment are), 0 for none;
  std::uint32_t inputRowMultiple = 0;
  // - an encoder that cannot give what it is asked for refuses every output type;
  bool refuseOutputType = false;
  // - where each ICodecAPI::SetValue it is given is written down, one line each, so that a test
  //   sees what reached the encoder (empty: nowhere).
  std::filesystem::path codecApiRecord;
};

// DXGI_ERROR_DEVICE_REMOVED: what a hardware encoder reports when its GPU has gone away.
inline constexpr HRESULT kEncoderFaultResult = static_cast<HRESULT>(0x887A0005);

// A new transform over `codec`, holding one reference. E_OUTOFMEMORY for a null codec.
HRESULT CreateEncoderTransform(std::unique_ptr<Codec> codec, const TransformMode& mode, IUnknown** transform);

// Output buffer size that a synchronous transform asks for (GetOutputStreamInfo cbSize).
inline constexpr DWORD kSyncOutputBufferSize = 2000000;

}  // namespace mediafw
