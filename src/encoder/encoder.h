// The hardware H.264 encoder: selection and fixed configuration, frame submission and output
// drain. Everything here runs on the main thread.
#pragma once

#include <cstdint>

#include "encoder/media_framework.h"
#include "stream/stream_format.h"

// One per process, owned by the main loop (or the probe) for the life of the process. References
// are released explicitly; the chosen transform is never released or shut down.
struct HardwareEncoder {
  stream::StreamFormat format;  // the stream to encode: the seed's unless the block says otherwise
  IMFTransform* transform = nullptr;                // the chosen transform; null while none is active
  IMFMediaEventGenerator* eventGenerator = nullptr;  // set only for an asynchronous transform
  DWORD inputStreamId = 0;
  DWORD outputStreamId = 0;
  bool isAsync = false;                 // asynchronous and unlocked
  std::int32_t pendingInputRequests = 0;  // unanswered METransformNeedInput events (main loop)
  DWORD outputBufferSize = 0;           // bytes of each output buffer when we allocate them
  bool providesSamples = false;         // the transform allocates its output samples
  std::uint32_t inputHeight = 720;      // luma rows of each input buffer (the picture's or padded)
  // The intake has had its one look at the output type's parameter sets (for an encoder that
  // publishes them only there).
  bool sequenceHeaderOffered = false;
};

// The seed's encoding configuration (a version 2 block's; HardwareEncoder::format holds the one in
// use).
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

// Bounds on the sizes an encoder names. Each lies far above anything a working encoder of the
// picture asks for; an answer above one is treated like no answer at all, so no size from the
// encoder reaches an allocation unchecked.
//
// Input rows: encoders pad the picture to their surface alignment (736, 768 or 1088 rows for
// 720, 1088 or 1152 for 1080, 2176 or 2304 for 2160); 8192 rows are more than eleven 720-row
// pictures and more than three of 2160 rows: 15,728,640 bytes per input buffer at 1280 pixels a
// row, 47,185,920 at 3840.
inline constexpr std::uint32_t kMaxInputHeight = 8192;
// Output buffers hold one access unit. A coded 1280 x 720 picture stays near the raw picture's
// 1,382,400 bytes even at its worst (every macroblock sent raw); 16 MiB is twelve times that.
inline constexpr DWORD kMaxOutputBufferSize = 16 * 1024 * 1024;

// The same two sizes for any picture: a larger picture's access unit can outgrow the seed's
// buffers, so both grow with the raw picture (default: one raw picture; bound: four), never
// below the seed's. The seed's picture gets exactly the constants above.
DWORD DefaultOutputBufferSize(const stream::StreamFormat& format);
DWORD MaxOutputBufferSize(const stream::StreamFormat& format);
// A sequence header holds the parameter sets, a few hundred bytes even with every optional
// field; 64 KiB leaves room for any number of them.
inline constexpr std::uint32_t kMaxSequenceHeaderSize = 64 * 1024;
// Output calls of one synchronous drain. The drain runs after every frame and goes on until the
// encoder asks for more input, so one drain collects only what the encoder has held back since
// the last one; reaching this many calls would take an encoder that withholds 34 s of video at
// 30 frames per second (4 s at 240), far beyond any encoder's delay, and more so in low-latency
// mode.
inline constexpr std::uint32_t kMaxOutputCallsPerDrain = 1024;

// Enumerates the hardware H.264 encoders and keeps the first one that ConfigureEncoder accepts,
// streaming. Needs LoadMediaFramework and COM (multithreaded apartment) on this thread. Logs
// "encoder %u: %s" per tried candidate and "  using it: %s, input height %u" for the chosen one.
bool SelectEncoder(HardwareEncoder& encoder);

// Configures the transform just activated into encoder.transform (unlock, codec properties, stream
// ids, output then input type, buffer sizes, start). On false the caller discards the transform.
bool ConfigureEncoder(HardwareEncoder& encoder);

// The eight attributes that the input and the output type share (the stream's size and rate,
// square pixels, progressive, BT.709, studio range).
void SetCommonVideoAttributes(IMFMediaType* type, const stream::StreamFormat& format);

// A new input sample holding one reference: the slot's picture (encoder.format: BGRA converted,
// or NV12 copied; read only) as NV12 in a new buffer of inputHeight rows of width bytes plus their
// chroma, with the time and a duration of one frame. Null when the buffer or the sample cannot be
// made.
IMFSample* MakeInputSample(const HardwareEncoder& encoder, const std::uint8_t* slotPixels,
                           std::int64_t time);

// Synchronous encoders: asks for output until the encoder needs more input or has changed its
// output type (true) or a call fails (false). Each output sample goes to AddEncodedSample. An
// encoder that has not finished after kMaxOutputCallsPerDrain calls has broken down: the drain
// logs "ProcessOutput did not finish after %u calls" and returns false.
bool DrainOutput(HardwareEncoder& encoder);

// Asynchronous encoders, once per METransformHaveOutput event: one output call. False on failure.
bool ProcessOneOutput(HardwareEncoder& encoder);

// On MF_E_TRANSFORM_STREAM_CHANGE: sets the first offered output type, refreshes the parameter
// sets from its sequence header and the output buffer settings. True when the type was accepted.
bool AdoptNewOutputType(HardwareEncoder& encoder);

// Replaces the SPS and PPS of parameterSets with those of the current output type's sequence
// header, when it has one of at most kMaxSequenceHeaderSize bytes; otherwise they stay as they
// are.
void ReadSequenceHeader(HardwareEncoder& encoder);
