// The sound fields of a version 3 header as vistrel checks them at open.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exchange/exchange.h"

namespace {

using exchange::ExchangeHeader;
using exchange::SoundHeader;

// 640 x 360 BGRA: the slots end at 8192 + 3 x 921,600.
constexpr std::uint64_t kSlotsEnd = 8192 + 3 * 921600;

struct Block3 {
  std::vector<std::uint8_t> header = std::vector<std::uint8_t>(8192, 0);
  std::uint64_t size = kSlotsEnd;
  ExchangeHeader& h() { return *reinterpret_cast<ExchangeHeader*>(header.data()); }
};

Block3 NoSound() {
  Block3 b;
  ExchangeHeader& h = b.h();
  h.magic = exchange::kMagic;
  h.version = 3;
  h.width = 640;
  h.height = 360;
  h.stride = 2560;
  h.slotCount = 3;
  h.framesOffset = 8192;
  h.frameRateNumerator = 60;
  h.frameRateDenominator = 1;
  return b;
}

// 480-frame packets (1,936 bytes), 100 of them, right after the slots.
Block3 WithSound() {
  Block3 b = NoSound();
  SoundHeader& s = b.h().sound;
  s.present = 1;
  s.rate = 48000;
  s.channels = 2;
  s.bitsPerSample = 16;
  s.packetFrames = 480;
  s.packetCount = 100;
  s.ringOffset = kSlotsEnd;
  s.ringBytes = 100 * 1936;
  b.size = kSlotsEnd + 100 * 1936;
  return b;
}

bool Check(Block3& b, exchange::SoundRing* ring = nullptr) {
  // The check reads only the header: a larger size than the buffer is never touched.
  return exchange::CheckBlock(b.header.data(), static_cast<std::size_t>(b.size), nullptr, ring);
}

TEST(SoundCheck, DeclaredRingIsDescribed) {
  Block3 b = WithSound();
  exchange::SoundRing ring;
  ASSERT_TRUE(Check(b, &ring));
  EXPECT_TRUE(ring.present);
  EXPECT_EQ(ring.packetFrames, 480u);
  EXPECT_EQ(ring.packetCount, 100u);
  EXPECT_EQ(ring.offset, kSlotsEnd);
  EXPECT_EQ(ring.packetBytes, 1936u);
  // The bytes as a host built by another compiler writes them.
  const std::uint8_t* bytes = b.header.data();
  std::uint32_t u32;
  std::uint64_t u64;
  std::memcpy(&u32, bytes + 1280, 4);
  EXPECT_EQ(u32, 1u);
  std::memcpy(&u32, bytes + 1284, 4);
  EXPECT_EQ(u32, 48000u);
  std::memcpy(&u32, bytes + 1296, 4);
  EXPECT_EQ(u32, 480u);
  std::memcpy(&u64, bytes + 1304, 8);
  EXPECT_EQ(u64, kSlotsEnd);
  std::memcpy(&u64, bytes + 1312, 8);
  EXPECT_EQ(u64, 193600u);
}

TEST(SoundCheck, WithoutSoundTheFieldsAreNotRead) {
  // present 0: whatever else the area holds, the block is checked as one without sound, in
  // version 3 as in version 2 (where not even present is read).
  Block3 b = NoSound();
  std::memset(&b.h().sound, 0xA5, sizeof(SoundHeader));
  b.h().sound.present = 0;
  exchange::SoundRing ring;
  ring.present = true;
  EXPECT_TRUE(Check(b, &ring));
  EXPECT_FALSE(ring.present);
  EXPECT_EQ(ring.packetCount, 0u);

  std::vector<std::uint8_t> v2(exchange::kBlockBytes, 0);
  auto& h2 = *reinterpret_cast<ExchangeHeader*>(v2.data());
  h2 = ExchangeHeader{};
  h2.magic = exchange::kMagic;
  h2.version = 2;
  h2.width = 1280;
  h2.height = 720;
  h2.stride = 5120;
  h2.slotCount = 3;
  h2.framesOffset = 8192;
  std::memset(&h2.sound, 0xA5, sizeof(SoundHeader));
  ring.present = true;
  EXPECT_TRUE(exchange::CheckBlock(v2.data(), v2.size(), nullptr, &ring));
  EXPECT_FALSE(ring.present);
}

struct SoundLimit {
  const char* name;
  std::function<void(Block3&)> change;
  bool passes;
};

class SoundCheckLimit : public testing::TestWithParam<SoundLimit> {};

TEST_P(SoundCheckLimit, EachLimitHoldsExactlyAtItsEdge) {
  Block3 b = WithSound();
  ASSERT_TRUE(Check(b));
  GetParam().change(b);
  EXPECT_EQ(Check(b), GetParam().passes) << GetParam().name;
}

// Resizes the ring to count packets of frames, at the end of the block.
void Ring(Block3& b, std::uint32_t frames, std::uint32_t count) {
  SoundHeader& s = b.h().sound;
  s.packetFrames = frames;
  s.packetCount = count;
  s.ringBytes = std::uint64_t{count} * (16 + 4 * std::uint64_t{frames});
  b.size = s.ringOffset + s.ringBytes;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SoundCheckLimit,
    testing::Values(
        SoundLimit{"present2", [](Block3& b) { b.h().sound.present = 2; }, false},
        SoundLimit{"presentAll", [](Block3& b) { b.h().sound.present = 0xFFFFFFFF; }, false},
        SoundLimit{"rate44100", [](Block3& b) { b.h().sound.rate = 44100; }, false},
        SoundLimit{"rate0", [](Block3& b) { b.h().sound.rate = 0; }, false},
        SoundLimit{"mono", [](Block3& b) { b.h().sound.channels = 1; }, false},
        SoundLimit{"bits24", [](Block3& b) { b.h().sound.bitsPerSample = 24; }, false},
        SoundLimit{"frames240", [](Block3& b) { Ring(b, 240, 100); }, true},
        SoundLimit{"frames238", [](Block3& b) { Ring(b, 238, 100); }, false},
        SoundLimit{"framesOdd", [](Block3& b) { Ring(b, 481, 100); }, false},
        SoundLimit{"frames4800", [](Block3& b) { Ring(b, 4800, 100); }, true},
        SoundLimit{"frames4802", [](Block3& b) { Ring(b, 4802, 100); }, false},
        SoundLimit{"frames0", [](Block3& b) { Ring(b, 0, 100); }, false},
        SoundLimit{"count4", [](Block3& b) { Ring(b, 480, 4); }, true},
        SoundLimit{"count3", [](Block3& b) { Ring(b, 480, 3); }, false},
        SoundLimit{"count0", [](Block3& b) { Ring(b, 480, 0); }, false},
        // At most 32 MiB (33,554,432 bytes): 17,331 packets of 480 frames are 33,552,816 bytes,
        // 17,332 are 33,554,752.
        SoundLimit{"ringAtMost", [](Block3& b) { Ring(b, 480, 17331); }, true},
        SoundLimit{"ringOverMax", [](Block3& b) { Ring(b, 480, 17332); }, false},
        // A count whose ring wraps 32 bits: 2^32 - 1 packets.
        SoundLimit{"countHuge", [](Block3& b) { Ring(b, 480, 0xFFFFFFFF); }, false},
        SoundLimit{"bytesShort", [](Block3& b) { b.h().sound.ringBytes -= 1936; }, false},
        SoundLimit{"bytesLong", [](Block3& b) { b.h().sound.ringBytes += 1936; }, false},
        SoundLimit{"offsetLater",
                   [](Block3& b) {
                     b.h().sound.ringOffset += 4096;
                     b.size += 4096;
                   },
                   true},
        SoundLimit{"offsetUnaligned",
                   [](Block3& b) {
                     b.h().sound.ringOffset += 4;
                     b.size += 4;
                   },
                   false},
        SoundLimit{"offsetInSlots", [](Block3& b) { b.h().sound.ringOffset -= 8; }, false},
        SoundLimit{"offsetInHeader", [](Block3& b) { b.h().sound.ringOffset = 2304; }, false},
        SoundLimit{"mappingShort", [](Block3& b) { b.size -= 1; }, false},
        SoundLimit{"mappingLonger", [](Block3& b) { b.size += 1; }, true},
        // Offsets near 2^64: offset + bytes wraps to a small number in 64 bits.
        SoundLimit{"offsetWraps", [](Block3& b) { b.h().sound.ringOffset = ~std::uint64_t{0} - 7; }, false},
        SoundLimit{"offsetPastMapping", [](Block3& b) { b.h().sound.ringOffset = b.size + 8; }, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SoundCheck, RingPastTheMappingIsRefusedWithoutReadingIt) {
  // A real block of exactly the header's size: nothing past it may be read.
  Block3 b = WithSound();
  b.h().sound.ringOffset = 8192;  // inside the slots
  auto small = std::make_unique<std::uint8_t[]>(8192);
  std::memcpy(small.get(), b.header.data(), 8192);
  EXPECT_FALSE(exchange::CheckBlock(small.get(), 8192));
}

}  // namespace
