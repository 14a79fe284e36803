// vistrel's side of the shared frame exchange: open and check the block, take frames in turn,
// hand slots back, notice requests, report status and heartbeat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange/layout.h"
#include "platform/shared_memory.h"
#include "stream/stream_format.h"

namespace exchange {

// The sound ring a version 3 block declares, as checked at open. Without sound (and always in
// version 2) present is false and the rest 0.
struct SoundRing {
  bool present = false;
  std::uint32_t packetFrames = 0;
  std::uint32_t packetCount = 0;
  std::size_t offset = 0;       // of the ring, from the start of the block
  std::size_t packetBytes = 0;  // head and PCM of one packet
};

struct Exchange {
  ExchangeHeader* header = nullptr;
  std::uint8_t* block = nullptr;
  std::size_t size = 0;
  platform::NamedEvent event;
  stream::StreamFormat format;  // what the header describes, checked
  SoundRing sound;              // the same for the sound
};

std::u16string BlockName(std::uint32_t hostPid);
std::u16string EventName(std::uint32_t hostPid);

// True when size bytes starting at block hold a whole exchange and its header carries the expected
// layout values; then the stream it describes goes to format and its sound ring to sound (when
// given). Reads nothing past size; writes nothing.
bool CheckBlock(const std::uint8_t* block, std::size_t size, stream::StreamFormat* format = nullptr,
                SoundRing* sound = nullptr);

// Opens the host's block and event. On false nothing has been written into the block.
bool OpenExchange(std::uint32_t hostPid, Exchange& exchange);

// Forces the terminator at the field's last unit, then returns the folder up to its first 0 unit.
std::u16string TakeOutputFolder(ExchangeHeader& header);

// Slot hand-over, in turn order 0, 1, 2, 0, ...
bool SlotFilled(const ExchangeHeader& header, int slot);
// After SlotFilled: the barrier, then the slot's time stamp.
std::int64_t ReadSlotTime(const ExchangeHeader& header, int slot);
const std::uint8_t* SlotPixels(const Exchange& exchange, int slot);
void ReleaseSlot(ExchangeHeader& header, int slot);

// The slot whose turn it is. Slots are taken strictly in the order 0, 1, 2, 0, ...; a filled slot
// out of turn waits.
struct SlotTurn {
  int slotIndex = 0;
};
bool TurnSlotFilled(const ExchangeHeader& header, const SlotTurn& turn);
// Stores 0 into the turn slot's state and gives the turn to the next slot.
void HandBackTurnSlot(ExchangeHeader& header, SlotTurn& turn);

// Compares requestCount with the last value seen; on a change records it and reads requestKind.
bool TakeRequest(const ExchangeHeader& header, std::int32_t& seenRequestCount, std::int32_t& kind);

void SetStatus(ExchangeHeader& header, std::int32_t status);
void Heartbeat(ExchangeHeader& header);

// Host switches, read with single loads (the host changes them at any time).
std::int32_t ReadStopSwitch(const ExchangeHeader& header);
std::int32_t ReadRecordSwitch(const ExchangeHeader& header);
std::int32_t ReadLogSwitch(const ExchangeHeader& header);

}  // namespace exchange
