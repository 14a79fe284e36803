// The H.264 encoder transform of the stand-in media frameworks: IMFTransform (with ICodecAPI, and
// IMFMediaEventGenerator when asynchronous) over one codec.
#pragma once

#include <cstdint>
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
  // A transform that breaks down mid-run, as a hardware encoder does when its device is lost:
  // once `faultAfterFrames` inputs have been accepted, the chosen operation fails with
  // kEncoderFaultResult (an MEError event carries it as its status), and keeps failing.
  enum class Fault { kNone, kProcessInput, kProcessOutput, kGetEvent, kErrorEvent };
  Fault fault = Fault::kNone;
  std::uint64_t faultAfterFrames = 0;
};

// DXGI_ERROR_DEVICE_REMOVED: what a hardware encoder reports when its GPU has gone away.
inline constexpr HRESULT kEncoderFaultResult = static_cast<HRESULT>(0x887A0005);

// A new transform over `codec`, holding one reference. E_OUTOFMEMORY for a null codec.
HRESULT CreateEncoderTransform(std::unique_ptr<Codec> codec, const TransformMode& mode, IUnknown** transform);

// Output buffer size that a synchronous transform asks for (GetOutputStreamInfo cbSize).
inline constexpr DWORD kSyncOutputBufferSize = 2000000;

}  // namespace mediafw
