#include "exchange/exchange.h"

#include <cstring>

#include "platform/atomic.h"
#include "platform/text.h"

namespace exchange {

std::u16string BlockName(std::uint32_t hostPid) {
  return platform::FormatName64(kBlockNameFormat, static_cast<unsigned long>(hostPid));
}

std::u16string EventName(std::uint32_t hostPid) {
  return platform::FormatName64(kEventNameFormat, static_cast<unsigned long>(hostPid));
}

namespace {

// The host header states the limits on its own; they are the stream's.
static_assert(kMinWidth3 == stream::kMinWidth && kMaxWidth3 == stream::kMaxWidth);
static_assert(kMinHeight3 == stream::kMinHeight && kMaxHeight3 == stream::kMaxHeight);
static_assert(kMaxFrameRate3 == stream::kMaxFrameRate);
static_assert(kMinBitRate3 == stream::kMinBitRate && kMaxBitRate3 == stream::kMaxBitRate);
static_assert(kPixelFormatBgra == static_cast<std::uint32_t>(stream::PixelFormat::Bgra));
static_assert(kPixelFormatNv12 == static_cast<std::uint32_t>(stream::PixelFormat::Nv12));

bool CheckVersion2(const ExchangeHeader& h, std::size_t size, stream::StreamFormat* format) {
  // A block smaller than the layout would let a slot read run past the mapping.
  if (size < kBlockBytes) return false;
  const bool seed = h.magic == kMagic && h.version == kVersion && h.width == kWidth && h.height == kHeight &&
                    h.stride == kStride && h.slotCount == kSlotCount && h.framesOffset == kFramesOffset;
  if (seed && format) *format = stream::SeedStreamFormat();
  return seed;
}

bool InRange(std::uint32_t v, std::uint32_t low, std::uint32_t high) { return v >= low && v <= high; }

// The sound fields are read only when the host declares sound; without it the block is checked as
// one without the sound fields at all.
bool CheckSound(const SoundHeader& s, std::uint64_t slotsEnd, std::uint64_t size, SoundRing* ring) {
  if (s.present == kSoundAbsent) {
    if (ring) *ring = SoundRing{};
    return true;
  }
  if (s.present != kSoundPresent) return false;
  if (s.rate != kSoundRate || s.channels != kSoundChannels || s.bitsPerSample != kSoundBitsPerSample) return false;
  if (s.packetFrames % 2 != 0 || !InRange(s.packetFrames, kMinSoundPacketFrames, kMaxSoundPacketFrames)) return false;
  if (s.packetCount < kMinSoundPacketCount) return false;
  // At most 2^32 packets of at most 19,216 bytes: no product here leaves 64 bits.
  const std::uint64_t packetBytes = kSoundPacketHeaderBytes + std::uint64_t{s.packetFrames} * kSoundFrameBytes;
  const std::uint64_t ringBytes = s.packetCount * packetBytes;
  if (ringBytes > kMaxSoundRingBytes || s.ringBytes != ringBytes) return false;
  // After the slots, aligned for the packets' 64-bit words, and wholly inside the mapping.
  if (s.ringOffset % kSoundRingAlignment != 0 || s.ringOffset < slotsEnd) return false;
  if (s.ringOffset > size || ringBytes > size - s.ringOffset) return false;
  if (ring) {
    ring->present = true;
    ring->packetFrames = s.packetFrames;
    ring->packetCount = s.packetCount;
    ring->offset = static_cast<std::size_t>(s.ringOffset);
    ring->packetBytes = static_cast<std::size_t>(packetBytes);
  }
  return true;
}

bool CheckVersion3(const ExchangeHeader& h, std::size_t size, stream::StreamFormat* format, SoundRing* sound) {
  if (h.magic != kMagic || h.slotCount != kSlotCount || h.framesOffset != kFramesOffset) return false;
  if (h.width % 2 != 0 || !InRange(h.width, kMinWidth3, kMaxWidth3)) return false;
  if (h.height % 2 != 0 || !InRange(h.height, kMinHeight3, kMaxHeight3)) return false;
  if (h.pixelFormat != kPixelFormatBgra && h.pixelFormat != kPixelFormatNv12) return false;
  const bool nv12 = h.pixelFormat == kPixelFormatNv12;
  // A BGRA pixel is 4 bytes; an NV12 luma row 1 byte a pixel (its chroma rows as many bytes).
  const std::uint64_t rowBytes = std::uint64_t{h.width} * (nv12 ? 1 : 4);
  if (h.stride % 4 != 0 || h.stride < rowBytes) return false;
  const std::uint64_t numerator = h.frameRateNumerator;
  const std::uint64_t denominator = h.frameRateDenominator;
  if (denominator < 1 || numerator < denominator || numerator > kMaxFrameRate3 * denominator) return false;
  if (h.bitRate != 0 && !InRange(h.bitRate, kMinBitRate3, kMaxBitRate3)) return false;
  const std::uint64_t rows = nv12 ? std::uint64_t{h.height} * 3 / 2 : h.height;
  const std::uint64_t needed = kFramesOffset + kSlotCount * rows * h.stride;
  if (size < needed) return false;
  if (!CheckSound(h.sound, needed, size, sound)) return false;
  if (format) {
    stream::StreamFormat f;
    f.width = h.width;
    f.height = h.height;
    f.stride = h.stride;
    f.frameRateNumerator = h.frameRateNumerator;
    f.frameRateDenominator = h.frameRateDenominator;
    f.bitRate = h.bitRate != 0 ? h.bitRate
                               : stream::DefaultBitRate(h.width, h.height, h.frameRateNumerator, h.frameRateDenominator);
    f.pixelFormat = nv12 ? stream::PixelFormat::Nv12 : stream::PixelFormat::Bgra;
    *format = f;
  }
  return true;
}

}  // namespace

bool CheckBlock(const std::uint8_t* block, std::size_t size, stream::StreamFormat* format, SoundRing* sound) {
  // Every version needs at least the whole header; the slots' size follows from it.
  if (!block || size < kFramesOffset) return false;
  ExchangeHeader h;
  std::memcpy(&h, block, offsetof(ExchangeHeader, sound.packetsWritten));
  if (h.version == kVersion) {
    if (sound) *sound = SoundRing{};
    return CheckVersion2(h, size, format);
  }
  if (h.version == kVersion3) return CheckVersion3(h, size, format, sound);
  return false;
}

bool OpenExchange(std::uint32_t hostPid, Exchange& exchange) {
  platform::SharedBlock block;
  if (!platform::OpenSharedBlock(BlockName(hostPid), block)) return false;
  stream::StreamFormat format;
  SoundRing sound;
  if (!CheckBlock(block.view, block.size, &format, &sound)) return false;
  platform::NamedEvent event;
  if (!platform::OpenNamedEvent(EventName(hostPid), event)) return false;
  // The mapping and the event stay open until the process ends.
  exchange.header = reinterpret_cast<ExchangeHeader*>(block.view);
  exchange.block = block.view;
  exchange.size = block.size;
  exchange.event = event;
  exchange.format = format;
  exchange.sound = sound;
  return true;
}

std::u16string TakeOutputFolder(ExchangeHeader& header) {
  header.outputFolder[kOutputFolderUnits - 1] = 0;
  std::size_t n = 0;
  while (n < kOutputFolderUnits - 1 && header.outputFolder[n] != 0) ++n;
  return std::u16string(header.outputFolder, n);
}

bool SlotFilled(const ExchangeHeader& header, int slot) {
  return platform::AtomicLoad(header.slotState[slot]) == 1;
}

std::int64_t ReadSlotTime(const ExchangeHeader& header, int slot) {
  // The host writes the pixels and the time before it sets the state: nothing of the slot may be
  // read before the state was.
  platform::FullBarrier();
  std::int64_t t;
  std::memcpy(&t, &header.slotTime[slot], sizeof t);
  return t;
}

const std::uint8_t* SlotPixels(const Exchange& exchange, int slot) {
  return exchange.block + kFramesOffset + static_cast<std::size_t>(slot * exchange.format.SlotBytes());
}

void ReleaseSlot(ExchangeHeader& header, int slot) {
  platform::AtomicExchange(header.slotState[slot], 0);
}

bool TurnSlotFilled(const ExchangeHeader& header, const SlotTurn& turn) {
  return SlotFilled(header, turn.slotIndex);
}

void HandBackTurnSlot(ExchangeHeader& header, SlotTurn& turn) {
  ReleaseSlot(header, turn.slotIndex);
  turn.slotIndex = (turn.slotIndex + 1) % static_cast<int>(kSlotCount);
}

bool TakeRequest(const ExchangeHeader& header, std::int32_t& seenRequestCount, std::int32_t& kind) {
  const std::int32_t count = platform::AtomicLoad(header.requestCount);
  if (count == seenRequestCount) return false;
  seenRequestCount = count;
  kind = platform::AtomicLoad(header.requestKind);
  return true;
}

void SetStatus(ExchangeHeader& header, std::int32_t status) {
  platform::AtomicExchange(header.status, status);
}

void Heartbeat(ExchangeHeader& header) { platform::AtomicIncrement(header.heartbeat); }

std::int32_t ReadStopSwitch(const ExchangeHeader& header) {
  return platform::AtomicLoad(header.stopSwitch);
}
std::int32_t ReadRecordSwitch(const ExchangeHeader& header) {
  return platform::AtomicLoad(header.recordSwitch);
}
std::int32_t ReadLogSwitch(const ExchangeHeader& header) {
  return platform::AtomicLoad(header.logSwitch);
}

}  // namespace exchange
