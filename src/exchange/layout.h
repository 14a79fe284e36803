// The shared block that the host and vistrel share: a control header and three raw frame slots.
// This header is all a host needs of the layout; it is used by both sides. docs/PROTOCOL.md
// describes it field by field.
//
// Version 2 is fixed: 1280 x 720 BGRA, rows 5120 bytes apart, 30 frames a second. Version 3 uses
// the same header and adds the host's own picture size, frame rate, bit rate and pixel format, and
// the game's sound in a ring after the slots.
//
// All integers are little-endian (both sides run on the same machine).
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

inline constexpr std::uint32_t kMagic = 0x50494C43;  // the bytes "CLIP" in file order
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::uint32_t kWidth = 1280;
inline constexpr std::uint32_t kHeight = 720;
inline constexpr std::uint32_t kStride = 5120;
inline constexpr std::uint32_t kSlotCount = 3;
inline constexpr std::uint32_t kFramesOffset = 8192;
inline constexpr std::size_t kSlotBytes = 3686400;                       // 1280 x 720 x 4
inline constexpr std::size_t kBlockBytes = kFramesOffset + 3 * kSlotBytes;  // 11,067,392
inline constexpr std::size_t kOutputFolderUnits = 520;

// Version 3: the host states its stream. width, height and stride (above) then describe the slots.
inline constexpr std::uint32_t kVersion3 = 3;
inline constexpr std::uint32_t kPixelFormatBgra = 0;  // B, G, R, unused byte per pixel (as version 2)
inline constexpr std::uint32_t kPixelFormatNv12 = 1;  // BT.709 studio range: height luma rows, then
                                                      // height / 2 rows of Cb, Cr pairs, stride apart
inline constexpr std::uint32_t kMinWidth3 = 320;      // even widths only
inline constexpr std::uint32_t kMaxWidth3 = 3840;
inline constexpr std::uint32_t kMinHeight3 = 180;     // even heights only
inline constexpr std::uint32_t kMaxHeight3 = 2160;
inline constexpr std::uint32_t kMaxFrameRate3 = 240;      // frames a second; at least 1
inline constexpr std::uint32_t kMinBitRate3 = 1000000;    // bit/s, or 0 for vistrel's own choice
inline constexpr std::uint32_t kMaxBitRate3 = 100000000;
inline constexpr std::size_t kSoundBytes = 1024;          // the game's sound: its fields and room for more
// A version 3 stride is a multiple of 4 and at least the row's bytes (4 x width for BGRA, width
// for NV12); the mapping holds at least kFramesOffset + 3 slots of stride x height bytes (NV12:
// stride x height x 3 / 2).

// Version 3 sound: the game's mixed PCM in one format (the host converts to it), in a ring of
// packets placed after the three frame slots. The host never waits for vistrel: it overwrites the
// oldest packet. A packet is kSoundPacketHeaderBytes (its time, then its sequence number) followed
// by soundPacketFrames frames of 2 interleaved 16-bit signed samples (left, right).
inline constexpr std::uint32_t kSoundAbsent = 0;
inline constexpr std::uint32_t kSoundPresent = 1;
inline constexpr std::uint32_t kSoundRate = 48000;  // frames a second
inline constexpr std::uint32_t kSoundChannels = 2;
inline constexpr std::uint32_t kSoundBitsPerSample = 16;
inline constexpr std::uint32_t kSoundFrameBytes = kSoundChannels * kSoundBitsPerSample / 8;  // 4
inline constexpr std::uint32_t kMinSoundPacketFrames = 240;   // 5 ms; even counts only
inline constexpr std::uint32_t kMaxSoundPacketFrames = 4800;  // 100 ms
inline constexpr std::uint32_t kMinSoundPacketCount = 4;
inline constexpr std::uint64_t kMaxSoundRingBytes = 32u << 20;  // about 3 minutes of sound
inline constexpr std::uint32_t kSoundPacketHeaderBytes = 16;
inline constexpr std::uint64_t kSoundRingAlignment = 8;
// The fastest clock the sound's times can be read in (about 1.1 THz): beyond it a second of sound
// in ticks leaves too little room in 64 bits, and vistrel records no sound.
inline constexpr std::int64_t kMaxSoundClockFrequency = std::int64_t{1} << 40;
// A packet's sequence while the host writes it: no packet number ever takes this value.
inline constexpr std::uint64_t kSoundSequenceWriting = ~std::uint64_t{0};

// One packet's head in the ring; the PCM follows at kSoundPacketHeaderBytes.
struct SoundPacketHeader {
  std::int64_t time;       // host: the time of the packet's first frame, in slotTime's clock
  std::uint64_t sequence;  // host: the packet's number (0, 1, 2, ...), or kSoundSequenceWriting
};
static_assert(offsetof(SoundPacketHeader, time) == 0);
static_assert(offsetof(SoundPacketHeader, sequence) == 8);
static_assert(sizeof(SoundPacketHeader) == kSoundPacketHeaderBytes);

// The sound fields at the start of the sound area.
struct SoundHeader {
  std::uint32_t present;         // host: kSoundAbsent or kSoundPresent
  std::uint32_t rate;            // host: kSoundRate
  std::uint32_t channels;        // host: kSoundChannels
  std::uint32_t bitsPerSample;   // host: kSoundBitsPerSample (signed, little-endian)
  std::uint32_t packetFrames;    // host: frames in every packet, even, 240..4800
  std::uint32_t packetCount;     // host: packets the ring holds, at least 4
  std::uint64_t ringOffset;      // host: from the start of the block, a multiple of 8, after the slots
  std::uint64_t ringBytes;       // host: packetCount x (16 + 4 x packetFrames), at most 32 MiB
  std::uint64_t packetsWritten;  // host: packets completely written so far (0, 1, 2, ...)
  std::uint8_t reserved[976];    // host: 0; not read
};
static_assert(offsetof(SoundHeader, present) == 0);
static_assert(offsetof(SoundHeader, rate) == 4);
static_assert(offsetof(SoundHeader, channels) == 8);
static_assert(offsetof(SoundHeader, bitsPerSample) == 12);
static_assert(offsetof(SoundHeader, packetFrames) == 16);
static_assert(offsetof(SoundHeader, packetCount) == 20);
static_assert(offsetof(SoundHeader, ringOffset) == 24);
static_assert(offsetof(SoundHeader, ringBytes) == 32);
static_assert(offsetof(SoundHeader, packetsWritten) == 40);
static_assert(offsetof(SoundHeader, reserved) == 48);
static_assert(sizeof(SoundHeader) == kSoundBytes);

// Object names, formatted with the host's process id (unsigned decimal).
inline constexpr const char* kBlockNameFormat = "Local\\QuelvaneClip_%lu";
inline constexpr const char* kEventNameFormat = "Local\\QuelvaneClipEv_%lu";

// status values written by vistrel.
inline constexpr std::int32_t kStatusRunning = 1;
inline constexpr std::int32_t kStatusFailed = 2;

struct ExchangeHeader {
  std::uint32_t magic;          // host: kMagic
  std::uint32_t version;        // host: kVersion (2) or kVersion3
  std::uint32_t width;          // host: 1280; version 3: the picture's width
  std::uint32_t height;         // host: 720; version 3: the picture's height
  std::uint32_t stride;         // host: 5120; version 3: bytes between rows of a slot
  std::uint32_t slotCount;      // host: 3
  std::uint32_t reserved;       // not read
  std::uint32_t framesOffset;   // host: 8192
  std::int64_t clockFrequency;  // host: ticks per second of slotTime
  std::int32_t slotState[3];    // both: 1 = filled by the host; vistrel stores 0 when taken
  std::uint32_t padding;        // not read
  std::int64_t slotTime[3];     // host: time stamp of the frame in each slot, in clock ticks
  std::int32_t requestCount;    // host: raised once per clip request
  std::int32_t requestKind;     // host: 1 death, 2 kill, other key; 3 also saves at once
  std::int32_t stopSwitch;      // host: non-zero asks vistrel to stop (exit code 0)
  std::int32_t status;          // vistrel: 1 running, 2 failed
  std::uint32_t heartbeat;      // vistrel: +1 every loop pass
  std::int32_t logSwitch;       // host: non-zero at start writes vistrel.log
  std::int32_t recordSwitch;    // host: non-zero records continuously
  char16_t outputFolder[kOutputFolderUnits];  // host: folder for clips and recordings, 0-terminated
  // Version 3 only (a version 2 host leaves them 0; vistrel does not read them in version 2).
  std::uint32_t frameRateNumerator;    // host: frames per second = numerator / denominator,
  std::uint32_t frameRateDenominator;  //       1 to 240 (30/1, 60/1, 30000/1001 ...)
  std::uint32_t bitRate;               // host: bit/s, 0 = vistrel chooses
  std::uint32_t pixelFormat;           // host: kPixelFormatBgra or kPixelFormatNv12
  std::uint8_t reserved3[116];         // host: 0; not read
  SoundHeader sound;                   // host: all 0 for no sound
  std::uint8_t unused[5888];
};

// Offsets are part of the protocol with hosts built by other compilers: check every one.
static_assert(offsetof(ExchangeHeader, magic) == 0);
static_assert(offsetof(ExchangeHeader, version) == 4);
static_assert(offsetof(ExchangeHeader, width) == 8);
static_assert(offsetof(ExchangeHeader, height) == 12);
static_assert(offsetof(ExchangeHeader, stride) == 16);
static_assert(offsetof(ExchangeHeader, slotCount) == 20);
static_assert(offsetof(ExchangeHeader, reserved) == 24);
static_assert(offsetof(ExchangeHeader, framesOffset) == 28);
static_assert(offsetof(ExchangeHeader, clockFrequency) == 32);
static_assert(offsetof(ExchangeHeader, slotState) == 40);
static_assert(offsetof(ExchangeHeader, padding) == 52);
static_assert(offsetof(ExchangeHeader, slotTime) == 56);
static_assert(offsetof(ExchangeHeader, requestCount) == 80);
static_assert(offsetof(ExchangeHeader, requestKind) == 84);
static_assert(offsetof(ExchangeHeader, stopSwitch) == 88);
static_assert(offsetof(ExchangeHeader, status) == 92);
static_assert(offsetof(ExchangeHeader, heartbeat) == 96);
static_assert(offsetof(ExchangeHeader, logSwitch) == 100);
static_assert(offsetof(ExchangeHeader, recordSwitch) == 104);
static_assert(offsetof(ExchangeHeader, outputFolder) == 108);
static_assert(offsetof(ExchangeHeader, frameRateNumerator) == 1148);
static_assert(offsetof(ExchangeHeader, frameRateDenominator) == 1152);
static_assert(offsetof(ExchangeHeader, bitRate) == 1156);
static_assert(offsetof(ExchangeHeader, pixelFormat) == 1160);
static_assert(offsetof(ExchangeHeader, reserved3) == 1164);
static_assert(offsetof(ExchangeHeader, sound) == 1280);
static_assert(offsetof(ExchangeHeader, sound.present) == 1280);
static_assert(offsetof(ExchangeHeader, sound.rate) == 1284);
static_assert(offsetof(ExchangeHeader, sound.channels) == 1288);
static_assert(offsetof(ExchangeHeader, sound.bitsPerSample) == 1292);
static_assert(offsetof(ExchangeHeader, sound.packetFrames) == 1296);
static_assert(offsetof(ExchangeHeader, sound.packetCount) == 1300);
static_assert(offsetof(ExchangeHeader, sound.ringOffset) == 1304);
static_assert(offsetof(ExchangeHeader, sound.ringBytes) == 1312);
static_assert(offsetof(ExchangeHeader, sound.packetsWritten) == 1320);
static_assert(offsetof(ExchangeHeader, sound.reserved) == 1328);
static_assert(offsetof(ExchangeHeader, unused) == 2304);
static_assert(sizeof(ExchangeHeader) == kFramesOffset);

// One raw frame of version 2: 720 rows of 5120 bytes, top row first, pixels B, G, R and an unused byte.
struct FrameSlot {
  std::uint8_t pixels[kSlotBytes];
};
static_assert(sizeof(FrameSlot) == 3686400);
static_assert(kFramesOffset + 0 * kSlotBytes == 8192);
static_assert(kFramesOffset + 1 * kSlotBytes == 3694592);
static_assert(kFramesOffset + 2 * kSlotBytes == 7380992);
static_assert(kBlockBytes == 11067392);

}  // namespace exchange
