// The AAC encoder transform of the stand-in media frameworks: a synchronous IMFTransform over one
// audio codec, taking PCM (48 kHz, stereo, 16-bit) and giving raw AAC frames, one an output call,
// in samples of the caller's.
//
// The input type comes first (as the system's own AAC encoder wants it); the output type (AAC,
// 48 kHz, stereo, raw payload, AAC-LC) then opens the codec, and the current output type carries
// MF_MT_USER_DATA: the 12 bytes of HEAACWAVEINFO after WAVEFORMATEX (payload type 0, the profile
// and level indication, the rest 0), then the codec's AudioSpecificConfig.
//
// The encoder's delay: the first output sample's time lies before the first input's by the
// codec's delay (each frame's time is where its first sample stands on the input's clock), as an
// encoder can tell its caller. libavcodec's "aac" encoder delays by 1024 samples (its
// initial_padding): exactly one frame, which is also what the system assumes of an AAC encoder
// that says nothing.
#pragma once

#include <cstdint>
#include <memory>

#include "encoder/media_framework.h"
#include "mediafw/audio_codec.h"

namespace mediafw {

struct AudioTransformMode {
  // An encoder that cannot give what it is asked for: refuses every input type
  // (MF_E_INVALIDMEDIATYPE).
  bool refuseTypes = false;
  // An encoder that breaks down mid-run: once `faultAfterInputs` inputs have been accepted, the
  // chosen call fails with kAudioFaultResult, and keeps failing.
  enum class Fault { kNone, kProcessInput, kProcessOutput };
  Fault fault = Fault::kNone;
  std::uint64_t faultAfterInputs = 0;
};

// E_FAIL: what the transform answers when it breaks down.
inline constexpr HRESULT kAudioFaultResult = E_FAIL;

// What GetOutputStreamInfo names as cbSize: room for any raw AAC frame.
inline constexpr DWORD kAudioOutputBufferSize = 8191;

// A new transform over `codec`, holding one reference. E_OUTOFMEMORY for a null codec.
HRESULT CreateAudioEncoderTransform(std::unique_ptr<AudioCodec> codec, const AudioTransformMode& mode,
                                    IUnknown** transform);

}  // namespace mediafw
