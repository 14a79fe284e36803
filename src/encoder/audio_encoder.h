// The AAC encoder of the game's sound: the media framework's audio encoder transform, synchronous,
// fed on the main thread. It never costs the picture: when none can be brought up, or one fails
// while running, the sound stops with one log line and the picture goes on as without sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "encoder/media_framework.h"

// 48 kHz, 2 channels, 16-bit signed PCM in; AAC-LC at 160 kbit/s out, raw payload (no ADTS).
inline constexpr std::uint32_t kAudioBytesPerSecondOut = 20000;  // 160 kbit/s
inline constexpr std::uint32_t kAudioFrameBytesIn = 4;            // one stereo 16-bit frame
// PCM frames handed to the encoder with one input call: 1024 per AAC frame, 4 AAC frames.
inline constexpr std::size_t kAudioInputFrames = 4096;

// One AAC frame as the encoder gave it, before it gets its place on the picture's clock.
struct AudioEncoderOutput {
  std::vector<std::uint8_t> bytes;  // 1..kMaxAacFrameBytes
};

// One per process, owned by the main loop; main thread only.
struct AudioEncoder {
  IMFTransform* transform = nullptr;  // null while there is no working encoder
  DWORD inputStreamId = 0;
  DWORD outputStreamId = 0;
  DWORD outputBufferSize = 0;                    // bytes of each output buffer we allocate
  bool providesSamples = false;                  // the transform allocates its output samples
  std::vector<std::uint8_t> audioSpecificConfig;  // from the output type's user data, 1..64 bytes
  // Samples the encoder puts before the first one it was given (its delay): the first output
  // frame's sample primingSamples is the first input sample. At most kMaxPrimingSamples.
  std::uint32_t primingSamples = 1024;
  std::uint64_t framesIn = 0;   // PCM frames accepted so far
  std::uint64_t framesOut = 0;  // AAC frames handed out so far
};

// Enumerates MFT_CATEGORY_AUDIO_ENCODER transforms from PCM to MFAudioFormat_AAC and keeps the first
// that accepts the input type (PCM 48 kHz stereo 16-bit), then the output type (AAC-LC, 48 kHz,
// stereo, 20,000 bytes/s, raw payload) and gives a usable AudioSpecificConfig. Needs
// LoadMediaFramework and COM on this thread. Logs "audio encoder: %s" for the one kept, or
// "no audio encoder: the sound is not recorded" when none; false then.
bool SelectAudioEncoder(AudioEncoder& encoder);

// Hands frames PCM frames (interleaved left, right) to the encoder and appends every AAC frame it
// gives back to out, in order. False when the encoder failed (logged once as "audio encoder failed
// 0x%08lX: the sound stops"); the caller releases it with ReleaseAudioEncoder and records no more
// sound. Values from the encoder are bounded: an empty or oversized output frame is a failure.
bool EncodeAudio(AudioEncoder& encoder, const std::int16_t* pcm, std::size_t frames,
                 std::vector<AudioEncoderOutput>& out);

// Releases the transform (if any); the encoder is then as a new one.
void ReleaseAudioEncoder(AudioEncoder& encoder);
