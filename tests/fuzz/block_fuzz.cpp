// A shared block of arbitrary content and size, as a host (or anything else that took the name)
// may leave it: the check accepts exactly the valid layout of the full size, and what is read from
// an accepted block afterwards (the output folder, requests, slot times, frame times) stays inside
// it and is defined for every value.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/sample_time.h"
#include "exchange/exchange.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool ValidLayout(const exchange::ExchangeHeader& h) {
  return h.magic == exchange::kMagic && h.version == exchange::kVersion && h.width == exchange::kWidth &&
         h.height == exchange::kHeight && h.stride == exchange::kStride && h.slotCount == exchange::kSlotCount &&
         h.framesOffset == exchange::kFramesOffset;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace exchange;
  // One buffer for the whole run. Each input decides how much of it is the mapped block; the rest
  // is poisoned, so a read past the block's size is a sanitizer report.
  static std::uint8_t* const buffer = new std::uint8_t[kBlockBytes + 4096]();
  FuzzedDataProvider in(data, size);

  std::size_t blockSize = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: blockSize = in.ConsumeIntegralInRange<std::size_t>(0, kFramesOffset + 64); break;
    case 1: blockSize = kBlockBytes - in.ConsumeIntegralInRange<std::size_t>(0, 4096); break;
    case 2: blockSize = kBlockBytes + in.ConsumeIntegralInRange<std::size_t>(0, 4096); break;
    default: blockSize = kBlockBytes; break;
  }
  // Often start from a valid header, so the fuzzer reaches what follows the check.
  ExchangeHeader header{};
  if (in.ConsumeBool()) {
    header.magic = kMagic;
    header.version = kVersion;
    header.width = kWidth;
    header.height = kHeight;
    header.stride = kStride;
    header.slotCount = kSlotCount;
    header.framesOffset = kFramesOffset;
  }
  const std::vector<std::uint8_t> patch = in.ConsumeBytes<std::uint8_t>(sizeof header);
  const auto patchAt = in.ConsumeIntegralInRange<std::size_t>(0, sizeof header);
  auto* headerBytes = reinterpret_cast<std::uint8_t*>(&header);
  for (std::size_t i = 0; i < patch.size() && patchAt + i < sizeof header; ++i) headerBytes[patchAt + i] = patch[i];
  const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
  if (!rest.empty()) std::memcpy(header.outputFolder, rest.data(), std::min(rest.size(), sizeof header.outputFolder));

  ASAN_UNPOISON_MEMORY_REGION(buffer, kBlockBytes + 4096);
  ASAN_POISON_MEMORY_REGION(buffer + blockSize, kBlockBytes + 4096 - blockSize);
  std::memcpy(buffer, &header, std::min(blockSize, sizeof header));
  const bool accepted = CheckBlock(buffer, blockSize);
  Require(accepted == (blockSize >= kBlockBytes && ValidLayout(header)));
  Require(!CheckBlock(nullptr, blockSize));
  if (!accepted) return 0;

  auto& h = *reinterpret_cast<ExchangeHeader*>(buffer);
  const std::u16string folder = TakeOutputFolder(h);
  Require(folder.size() < kOutputFolderUnits);
  Require(folder.find(u'\0') == std::u16string::npos);

  std::int32_t seen = 0, kind = 0;
  const bool request = TakeRequest(h, seen, kind);
  Require(request == (header.requestCount != 0));
  Require(!TakeRequest(h, seen, kind));

  FrameClock clock;
  SlotTurn turn;
  for (int pass = 0; pass < 6; ++pass) {
    const int slot = turn.slotIndex;
    Require(slot >= 0 && slot < static_cast<int>(kSlotCount));
    Require(SlotPixels(Exchange{&h, buffer, blockSize, {}}, slot) + kSlotBytes <= buffer + blockSize);
    const std::int64_t before = clock.lastTime;
    const std::int64_t t = SampleTimeFor(clock, ReadSlotTime(h, slot), h.clockFrequency);
    Require(t > before);
    HandBackTurnSlot(h, turn);
    Require(!SlotFilled(h, slot));
  }
  return 0;
}
