// The AAC encoder of vistrel-test-encoders.dll: a synchronous audio encoder transform from PCM
// (48 kHz, 2 channels, 16-bit) to raw AAC-LC, for the Windows tests (Wine 8 has no AAC encoder).
// It encodes no sound: each frame it gives is one of two fixed AAC-LC frames, silent when the
// 1024 input samples it stands for are all near zero, and loud otherwise, so that a decoded file
// still shows where the input had a click: decoded, a loud frame sounds over 2048 samples (its
// window overlaps the next frame's), from the first of the 1024 it stands for. The click lies
// among those first 1024, so the loudness begins up to 1023 samples (21.3 ms) before it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace test_audio {

// AudioSpecificConfig: object type 2 (AAC-LC, 5 bits 00010), sampling frequency index 3 (48 kHz,
// 0011), channel configuration 2 (0010), then the GASpecificConfig's three flags, all 0 (1024
// samples a frame, no core coder, no extension).
inline constexpr std::uint8_t kAudioSpecificConfig[] = {0x11, 0x90};

// The first 12 bytes of MF_MT_USER_DATA, HEAACWAVEINFO after its WAVEFORMATEX: wPayloadType 0
// (raw), wAudioProfileLevelIndication 0x29, wStructType 0, wReserved1 0, dwReserved2 0 (all
// little-endian). The AudioSpecificConfig follows them.
inline constexpr std::uint8_t kUserDataHead[] = {0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// One raw_data_block of silence: a channel pair element (id 1, tag 0, no common window), each
// channel's stream with global gain 100, a long window of sine shape with no scale factor band
// (max_sfb 0), no predictor, pulse, TNS or gain control data; then the end element (id 7) and
// zero bits to the byte. 55 bits.
inline constexpr std::uint8_t kSilentFrame[] = {0x20, 0x64, 0x00, 0x01, 0x90, 0x00, 0x0e};

// One raw_data_block of noise: as the silent one, but each channel codes its first 30 scale factor
// bands as one section of the noise codebook (13, length 30): the first band's energy in 9 bits
// (320, an offset of 64 from 256), each further band's as a difference of 0 (the one-bit code
// "0"). The decoder fills the bands, up to about 7.5 kHz, with noise of that energy: peaks of
// about a fifth of full scale.
inline constexpr std::uint8_t kLoudFrame[] = {0x20, 0x64, 0x07, 0x9b, 0xea, 0x00, 0x00, 0x00, 0x00, 0x03,
                                              0x20, 0x3c, 0xdf, 0x50, 0x00, 0x00, 0x00, 0x00, 0x38};

inline constexpr std::uint32_t kSampleRate = 48000;
inline constexpr std::uint32_t kChannels = 2;
inline constexpr std::uint32_t kBlockAlign = 4;               // one stereo 16-bit PCM frame
inline constexpr std::uint32_t kAverageBytesIn = 192000;
inline constexpr std::uint32_t kAverageBytesOut = 20000;      // 160 kbit/s
inline constexpr std::uint32_t kProfileLevel = 0x29;          // AAC profile, level 2
inline constexpr std::uint32_t kFrameSamples = 1024;
inline constexpr std::uint32_t kPrimingSamples = 1024;        // the first frame is the decoder's pre-roll
inline constexpr DWORD kOutputBufferSize = 8192;              // GetOutputStreamInfo cbSize
// A sample whose magnitude is above this (of 32767) is not near zero: its frame is loud.
inline constexpr int kClickLevel = 512;

// How one encoder differs from the plain one.
struct AudioMode {
  // Takes its input type but refuses every output type: an encoder that cannot give what it is
  // asked for.
  bool refuseOutputType = false;
  // Breaks down mid-run: once this many inputs have been taken, the next ProcessInput fails with
  // kAudioFaultResult, and so does every ProcessInput and ProcessOutput after it; 0: never.
  std::uint64_t failAfterInputs = 0;
};

inline constexpr HRESULT kAudioFaultResult = E_UNEXPECTED;

// A new encoder, handed out as riid. `liveObjects` counts it while it lives (the library's
// DllCanUnloadNow looks at it).
HRESULT CreateAudioEncoder(std::atomic<long>& liveObjects, const AudioMode& mode, REFIID riid, void** object);

}  // namespace test_audio
