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

bool CheckBlock(const std::uint8_t* block, std::size_t size, stream::StreamFormat* format) {
  // A block smaller than the layout would let a slot read run past the mapping.
  if (!block || size < kBlockBytes) return false;
  ExchangeHeader h;
  std::memcpy(&h, block, offsetof(ExchangeHeader, clockFrequency));
  const bool seed = h.magic == kMagic && h.version == kVersion && h.width == kWidth && h.height == kHeight &&
                    h.stride == kStride && h.slotCount == kSlotCount && h.framesOffset == kFramesOffset;
  if (seed && format) *format = stream::SeedStreamFormat();
  return seed;
}

bool OpenExchange(std::uint32_t hostPid, Exchange& exchange) {
  platform::SharedBlock block;
  if (!platform::OpenSharedBlock(BlockName(hostPid), block)) return false;
  stream::StreamFormat format;
  if (!CheckBlock(block.view, block.size, &format)) return false;
  platform::NamedEvent event;
  if (!platform::OpenNamedEvent(EventName(hostPid), event)) return false;
  // The mapping and the event stay open until the process ends.
  exchange.header = reinterpret_cast<ExchangeHeader*>(block.view);
  exchange.block = block.view;
  exchange.size = block.size;
  exchange.event = event;
  exchange.format = format;
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
