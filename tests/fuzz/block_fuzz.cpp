// A shared block of arbitrary content and size, as a host (or anything else that took the name)
// may leave it: the check accepts exactly a valid version 2 layout of the full size or a version 3
// header within its limits whose three slots fit the size, and what is read from an accepted block
// afterwards (the stream it describes, the slots, the output folder, requests, slot times, frame
// times) stays inside it and is defined for every value.
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

// The version 3 rules, written out again in 128-bit arithmetic: nothing here can wrap.
using Wide = unsigned __int128;

Wide SlotBytes3(const exchange::ExchangeHeader& h) {
  const Wide rows = h.pixelFormat == exchange::kPixelFormatNv12 ? Wide{h.height} * 3 / 2 : Wide{h.height};
  return rows * h.stride;
}

bool ValidLayout3(const exchange::ExchangeHeader& h, std::size_t size) {
  const bool nv12 = h.pixelFormat == exchange::kPixelFormatNv12;
  return h.magic == exchange::kMagic && h.version == 3 && h.slotCount == 3 && h.framesOffset == 8192 &&
         h.width % 2 == 0 && h.width >= 320 && h.width <= 3840 && h.height % 2 == 0 && h.height >= 180 &&
         h.height <= 2160 && (nv12 || h.pixelFormat == exchange::kPixelFormatBgra) && h.stride % 4 == 0 &&
         Wide{h.stride} >= Wide{h.width} * (nv12 ? 1 : 4) && h.frameRateDenominator >= 1 &&
         Wide{h.frameRateNumerator} >= Wide{h.frameRateDenominator} &&
         Wide{h.frameRateNumerator} <= Wide{h.frameRateDenominator} * 240 &&
         (h.bitRate == 0 || (h.bitRate >= 1000000 && h.bitRate <= 100000000)) &&
         Wide{size} >= 8192 + 3 * SlotBytes3(h);
}

// Large enough for a version 2 block and for version 3 pictures up to 1920 x 1080 BGRA; larger ones
// are checked against sizes up to this.
constexpr std::size_t kBufferBytes = 8192 + 3 * std::size_t{7680 + 256} * 1080 + 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace exchange;
  // One buffer for the whole run. Each input decides how much of it is the mapped block; the rest
  // is poisoned, so a read past the block's size is a sanitizer report.
  static std::uint8_t* const buffer = new std::uint8_t[kBufferBytes]();
  FuzzedDataProvider in(data, size);

  // Often start from a valid header, so the fuzzer reaches what follows the check: version 2, or a
  // version 3 picture small enough for the buffer.
  ExchangeHeader header{};
  const int start = in.ConsumeIntegralInRange<int>(0, 2);
  if (start != 0) {
    header.magic = kMagic;
    header.version = kVersion;
    header.width = kWidth;
    header.height = kHeight;
    header.stride = kStride;
    header.slotCount = kSlotCount;
    header.framesOffset = kFramesOffset;
  }
  if (start == 2) {
    const bool nv12 = in.ConsumeBool();
    header.version = kVersion3;
    header.width = in.ConsumeIntegralInRange<std::uint32_t>(160, 1920) * 2;
    header.height = in.ConsumeIntegralInRange<std::uint32_t>(90, 1080) * 2;
    header.stride = (header.width * (nv12 ? 1 : 4) + 3) / 4 * 4 + in.ConsumeIntegralInRange<std::uint32_t>(0, 64) * 4;
    header.frameRateDenominator = in.ConsumeIntegralInRange<std::uint32_t>(1, 1001);
    header.frameRateNumerator =
        header.frameRateDenominator * in.ConsumeIntegralInRange<std::uint32_t>(1, 240);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: header.bitRate = 0; break;
      case 1: header.bitRate = kMinBitRate3; break;
      case 2: header.bitRate = kMaxBitRate3; break;
      default: header.bitRate = in.ConsumeIntegralInRange<std::uint32_t>(kMinBitRate3, kMaxBitRate3); break;
    }
    header.pixelFormat = nv12 ? kPixelFormatNv12 : kPixelFormatBgra;
    // Now and then one field a step off, where the limits are.
    std::uint32_t* fields[] = {&header.width,  &header.height, &header.stride, &header.frameRateNumerator,
                               &header.frameRateDenominator, &header.bitRate, &header.pixelFormat};
    const auto nudged = in.ConsumeIntegralInRange<std::size_t>(0, 2 * std::size(fields));
    if (nudged < std::size(fields)) *fields[nudged] += in.ConsumeIntegralInRange<std::uint32_t>(0, 4) - 2;
  }
  const std::vector<std::uint8_t> patch = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 256));
  const auto patchAt = in.ConsumeIntegralInRange<std::size_t>(0, sizeof header);
  auto* headerBytes = reinterpret_cast<std::uint8_t*>(&header);
  for (std::size_t i = 0; i < patch.size() && patchAt + i < sizeof header; ++i) headerBytes[patchAt + i] = patch[i];

  // The mapped size: around the header, around the version 2 size, around what the version 3
  // header needs, or anything up to the buffer.
  const std::uint64_t needed3 = std::min<std::uint64_t>(
      static_cast<std::uint64_t>(std::min<Wide>(8192 + 3 * SlotBytes3(header), kBufferBytes)), kBufferBytes);
  std::size_t blockSize = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: blockSize = in.ConsumeIntegralInRange<std::size_t>(0, kFramesOffset + 64); break;
    case 1: blockSize = kBlockBytes - in.ConsumeIntegralInRange<std::size_t>(0, 4096); break;
    case 2: blockSize = kBlockBytes + in.ConsumeIntegralInRange<std::size_t>(0, 4096); break;
    case 3:
      blockSize = static_cast<std::size_t>(needed3) - in.ConsumeIntegralInRange<std::size_t>(0, 64) +
                  in.ConsumeIntegralInRange<std::size_t>(0, 64);
      break;
    default: blockSize = in.ConsumeIntegralInRange<std::size_t>(0, kBufferBytes); break;
  }
  blockSize = std::min(blockSize, kBufferBytes);
  const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
  if (!rest.empty()) std::memcpy(header.outputFolder, rest.data(), std::min(rest.size(), sizeof header.outputFolder));

  ASAN_UNPOISON_MEMORY_REGION(buffer, kBufferBytes);
  ASAN_POISON_MEMORY_REGION(buffer + blockSize, kBufferBytes - blockSize);
  std::memcpy(buffer, &header, std::min(blockSize, sizeof header));
  stream::StreamFormat format;
  const bool accepted = CheckBlock(buffer, blockSize, &format);
  const bool version2 = blockSize >= kBlockBytes && ValidLayout(header);
  const bool version3 = blockSize >= kFramesOffset && ValidLayout3(header, blockSize);
  // A version 3 block that declares sound must also give a sound ring within its limits (its own
  // tests hold those): such a block may be refused although its picture fields are right.
  const bool soundDeclared = header.version == 3 && header.sound.present != 0;
  if (version2) {
    Require(accepted);
  } else if (version3) {
    Require(accepted || soundDeclared);
  } else {
    Require(!accepted);
  }
  Require(!CheckBlock(nullptr, blockSize));
  if (!accepted) return 0;

  // The stream is what the header says (version 2: always the seed's).
  if (version2) {
    Require(format == stream::SeedStreamFormat());
  } else {
    Require(format.width == header.width && format.height == header.height && format.stride == header.stride);
    Require(format.frameRateNumerator == header.frameRateNumerator &&
            format.frameRateDenominator == header.frameRateDenominator);
    Require(format.bitRate == (header.bitRate ? header.bitRate : stream::DefaultBitRate(header.width, header.height,
                                                                                         header.frameRateNumerator,
                                                                                         header.frameRateDenominator)));
    Require(format.bitRate >= stream::kMinBitRate && format.bitRate <= stream::kMaxBitRate);
    Require(static_cast<std::uint32_t>(format.pixelFormat) == header.pixelFormat);
    Require(format.FrameDuration() > 0 && format.GopFrames() >= 1);
  }
  // No slot of an accepted block reaches past its size.
  const Exchange view{reinterpret_cast<ExchangeHeader*>(buffer), buffer, blockSize, {}, format, {}};
  for (int slot = 0; slot < static_cast<int>(kSlotCount); ++slot) {
    const std::uint8_t* pixels = SlotPixels(view, slot);
    Require(pixels >= buffer + kFramesOffset);
    Require(Wide(pixels - buffer) + format.SlotBytes() <= blockSize);
  }

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
    const std::int64_t before = clock.lastTime;
    const std::int64_t t = SampleTimeFor(clock, ReadSlotTime(h, slot), h.clockFrequency);
    Require(t > before);
    HandBackTurnSlot(h, turn);
    Require(!SlotFilled(h, slot));
  }
  return 0;
}
