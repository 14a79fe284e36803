// The hardware H.264 encoder: selection and fixed configuration, frame submission and output
// drain. Everything here runs on the main thread.
#pragma once

#include <cstdint>

#include "encoder/media_framework.h"

// One per process, owned by the main loop (or the probe) for the life of the process. References
// are released explicitly; the chosen transform is never released or shut down.
struct HardwareEncoder {
  IMFTransform* transform = nullptr;                // the chosen transform; null while none is active
  IMFMediaEventGenerator* eventGenerator = nullptr;  // set only for an asynchronous transform
  DWORD inputStreamId = 0;
  DWORD outputStreamId = 0;
  bool isAsync = false;                 // asynchronous and unlocked
  std::int32_t pendingInputRequests = 0;  // unanswered METransformNeedInput events (main loop)
  DWORD outputBufferSize = 0;           // bytes of each output buffer when we allocate them
  bool providesSamples = false;         // the transform allocates its output samples
  std::uint32_t inputHeight = 720;      // luma rows of each input buffer (720 or padded)
};

// The fixed encoding configuration.
inline constexpr std::uint32_t kFrameWidth = 1280;
inline constexpr std::uint32_t kFrameHeight = 720;
inline constexpr std::uint32_t kFrameRate = 30;
inline constexpr std::uint32_t kBitRate = 8000000;
inline constexpr std::uint32_t kGopSize = 30;
inline constexpr std::int64_t kFrameDuration = 333333;  // 100-ns units, one frame at 30 fps
// An unpadded NV12 frame: 1280 x 720 luma bytes and half as many chroma bytes.
inline constexpr std::uint32_t kUnpaddedInputSize = kFrameWidth * kFrameHeight * 3 / 2;
// Output buffers when the transform names no size.
inline constexpr DWORD kDefaultOutputBufferSize = 2 * 1024 * 1024;

// Enumerates the hardware H.264 encoders and keeps the first one that ConfigureEncoder accepts,
// streaming. Needs LoadMediaFramework and COM (multithreaded apartment) on this thread. Logs
// "encoder %u: %s" per tried candidate and "  using it: %s, input height %u" for the chosen one.
bool SelectEncoder(HardwareEncoder& encoder);

// Configures the transform just activated into encoder.transform (unlock, codec properties, stream
// ids, output then input type, buffer sizes, start). On false the caller discards the transform.
bool ConfigureEncoder(HardwareEncoder& encoder);

// The eight attributes that the input and the output type share (1280x720, 30/1, square pixels,
// progressive, BT.709, studio range).
void SetCommonVideoAttributes(IMFMediaType* type);

// A new input sample holding one reference: the BGRA frame (1280 x 720, rows 5120 bytes apart,
// read only) converted to NV12 in a new buffer of inputHeight x 1920 bytes, with the time and a
// duration of one frame. Null when the buffer or the sample cannot be made.
IMFSample* MakeInputSample(const HardwareEncoder& encoder, const std::uint8_t* slotPixels,
                           std::int64_t time);

// Synchronous encoders: asks for output until the encoder needs more input or has changed its
// output type (true) or a call fails (false). Each output sample goes to AddEncodedSample.
bool DrainOutput(HardwareEncoder& encoder);

// Asynchronous encoders, once per METransformHaveOutput event: one output call. False on failure.
bool ProcessOneOutput(HardwareEncoder& encoder);

// On MF_E_TRANSFORM_STREAM_CHANGE: sets the first offered output type, refreshes the parameter
// sets from its sequence header and the output buffer settings. True when the type was accepted.
bool AdoptNewOutputType(HardwareEncoder& encoder);

// Replaces the SPS and PPS of parameterSets with those of the current output type's sequence
// header, when it has one.
void ReadSequenceHeader(HardwareEncoder& encoder);
