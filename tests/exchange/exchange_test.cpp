// The shared block as vistrel opens and uses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "exchange/exchange.h"
#include "platform/process.h"
#include "platform/shared_memory.h"

namespace {

using exchange::ExchangeHeader;

std::vector<std::uint8_t> GoodBlock() {
  std::vector<std::uint8_t> block(exchange::kBlockBytes, 0);
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  h->magic = exchange::kMagic;
  h->version = 2;
  h->width = 1280;
  h->height = 720;
  h->stride = 5120;
  h->slotCount = 3;
  h->framesOffset = 8192;
  return block;
}

TEST(ExchangeCheck, GoodBlockPasses) {
  auto block = GoodBlock();
  EXPECT_TRUE(exchange::CheckBlock(block.data(), block.size()));
  EXPECT_EQ(std::memcmp(block.data(), "CLIP", 4), 0);  // the magic in file order
}

struct FieldCase {
  const char* name;
  std::size_t offset;
  std::uint32_t value;
};

class ExchangeCheckField : public testing::TestWithParam<FieldCase> {};

TEST_P(ExchangeCheckField, OneFieldOffFailsTheCheck) {
  auto block = GoodBlock();
  std::memcpy(block.data() + GetParam().offset, &GetParam().value, 4);
  EXPECT_FALSE(exchange::CheckBlock(block.data(), block.size())) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ExchangeCheckField,
    testing::Values(FieldCase{"magic", 0, 0x50494C42}, FieldCase{"magic", 0, 0x434C4950},
                    FieldCase{"version1", 4, 1}, FieldCase{"version3", 4, 3}, FieldCase{"width", 8, 1279},
                    FieldCase{"width", 8, 1281}, FieldCase{"height", 12, 719}, FieldCase{"height", 12, 721},
                    FieldCase{"stride5124", 16, 5124}, FieldCase{"stride", 16, 5119},
                    FieldCase{"slotCount", 20, 2}, FieldCase{"slotCount", 20, 4},
                    FieldCase{"framesOffset", 28, 8191}, FieldCase{"framesOffset", 28, 8193}),
    [](const auto& p) { return std::string(p.param.name) + "_" + std::to_string(p.index); });

TEST(ExchangeCheck, ReservedAndClockFrequencyAreNotChecked) {
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  for (std::int64_t f : {std::int64_t{0}, std::int64_t{-1}, INT64_MIN, INT64_MAX, std::int64_t{10000000}}) {
    h->reserved = static_cast<std::uint32_t>(f);
    h->clockFrequency = f;
    EXPECT_TRUE(exchange::CheckBlock(block.data(), block.size()));
  }
}

TEST(ExchangeCheck, BlockTooSmallFailsWithoutReadingPastItsEnd) {
  auto good = GoodBlock();
  // An exact-size heap copy: AddressSanitizer reports any read past it.
  for (std::size_t size : {exchange::kBlockBytes - 1, std::size_t{8192}, std::size_t{40}, std::size_t{0}}) {
    auto small = std::make_unique<std::uint8_t[]>(size ? size : 1);
    std::memcpy(small.get(), good.data(), size);
    EXPECT_FALSE(exchange::CheckBlock(small.get(), size)) << size;
  }
  EXPECT_FALSE(exchange::CheckBlock(nullptr, exchange::kBlockBytes));
  EXPECT_TRUE(exchange::CheckBlock(good.data(), exchange::kBlockBytes));
}

// Version 3: the host's own stream, within the limits.
struct Stream3 {
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  std::uint32_t stride = 7680;
  std::uint32_t numerator = 60;
  std::uint32_t denominator = 1;
  std::uint32_t bitRate = 0;
  std::uint32_t pixelFormat = exchange::kPixelFormatBgra;

  std::uint64_t SlotBytes() const {
    return std::uint64_t{stride} * (pixelFormat == exchange::kPixelFormatNv12 ? height * 3 / 2 : height);
  }
  std::uint64_t BlockBytes() const { return 8192 + 3 * SlotBytes(); }
};

// Only the header: the slots are never read by the check, so a test can claim a larger size.
std::vector<std::uint8_t> Header3(const Stream3& s) {
  std::vector<std::uint8_t> block(8192, 0);
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  h->magic = exchange::kMagic;
  h->version = 3;
  h->width = s.width;
  h->height = s.height;
  h->stride = s.stride;
  h->slotCount = 3;
  h->framesOffset = 8192;
  h->frameRateNumerator = s.numerator;
  h->frameRateDenominator = s.denominator;
  h->bitRate = s.bitRate;
  h->pixelFormat = s.pixelFormat;
  return block;
}

bool Check3(const Stream3& s, stream::StreamFormat* format = nullptr) {
  const auto header = Header3(s);
  const std::uint64_t size = s.BlockBytes();
  if (size > SIZE_MAX) return false;
  return exchange::CheckBlock(header.data(), static_cast<std::size_t>(size), format);
}

TEST(ExchangeCheck3, DescribesTheHostsStream) {
  stream::StreamFormat f;
  Stream3 s;
  s.bitRate = 12000000;
  ASSERT_TRUE(Check3(s, &f));
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1080u);
  EXPECT_EQ(f.stride, 7680u);
  EXPECT_EQ(f.frameRateNumerator, 60u);
  EXPECT_EQ(f.frameRateDenominator, 1u);
  EXPECT_EQ(f.bitRate, 12000000u);
  EXPECT_EQ(f.pixelFormat, stream::PixelFormat::Bgra);

  // 0 leaves the bit rate to vistrel.
  s = Stream3{};
  s.width = 2560;
  s.height = 1440;
  s.stride = 2560;
  s.numerator = 30000;
  s.denominator = 1001;
  s.pixelFormat = exchange::kPixelFormatNv12;
  ASSERT_TRUE(Check3(s, &f));
  EXPECT_EQ(f.pixelFormat, stream::PixelFormat::Nv12);
  EXPECT_EQ(f.frameRateNumerator, 30000u);
  EXPECT_EQ(f.frameRateDenominator, 1001u);
  EXPECT_EQ(f.bitRate, stream::DefaultBitRate(2560, 1440, 30000, 1001));
  EXPECT_NE(f.bitRate, 0u);

  // The seed's stream stated as version 3 describes the same stream as version 2.
  s = Stream3{};
  s.width = 1280;
  s.height = 720;
  s.stride = 5120;
  s.numerator = 30;
  ASSERT_TRUE(Check3(s, &f));
  EXPECT_EQ(f, stream::SeedStreamFormat());
}

TEST(ExchangeCheck3, VersionTwoStillGivesTheSeedStream) {
  // Version 3 fields left in a version 2 block change nothing.
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  h->frameRateNumerator = 60;
  h->frameRateDenominator = 1;
  h->bitRate = 99;
  h->pixelFormat = 7;
  stream::StreamFormat f;
  f.width = 1;
  ASSERT_TRUE(exchange::CheckBlock(block.data(), block.size(), &f));
  EXPECT_EQ(f, stream::SeedStreamFormat());
  // A version 2 block is still the seed's full size, even though a version 3 block may be smaller.
  EXPECT_FALSE(exchange::CheckBlock(block.data(), block.size() - 1, &f));
}

struct LimitCase {
  const char* name;
  bool accepted;
  Stream3 stream;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

Stream3 With(void (*change)(Stream3&)) {
  Stream3 s;
  change(s);
  return s;
}

class ExchangeCheck3Limit : public testing::TestWithParam<LimitCase> {};

TEST_P(ExchangeCheck3Limit, EachLimitHoldsExactlyAtItsEdge) {
  const LimitCase& c = GetParam();
  stream::StreamFormat f;
  f.width = 1;
  EXPECT_EQ(Check3(c.stream, &f), c.accepted);
  // A refused block leaves the description as it was.
  if (!c.accepted) {
    EXPECT_EQ(f.width, 1u);
  }
}

// Each case changes one field of a good 1920 x 1080 60/1 BGRA block (stride kept wide enough where
// the width changes, so only the named field decides).
INSTANTIATE_TEST_SUITE_P(
    Limits, ExchangeCheck3Limit,
    testing::Values(
        LimitCase{"width_min", true, With([](Stream3& s) { s.width = 320; })},
        LimitCase{"width_below_min", false, With([](Stream3& s) { s.width = 318; })},
        LimitCase{"width_max", true, With([](Stream3& s) { s.width = 3840; s.stride = 15360; })},
        LimitCase{"width_above_max", false, With([](Stream3& s) { s.width = 3842; s.stride = 15368; })},
        LimitCase{"width_odd", false, With([](Stream3& s) { s.width = 1919; })},
        LimitCase{"width_zero", false, With([](Stream3& s) { s.width = 0; })},
        LimitCase{"width_huge", false, With([](Stream3& s) { s.width = 0x80000000u; })},
        LimitCase{"height_min", true, With([](Stream3& s) { s.height = 180; })},
        LimitCase{"height_below_min", false, With([](Stream3& s) { s.height = 178; })},
        LimitCase{"height_max", true, With([](Stream3& s) { s.height = 2160; })},
        LimitCase{"height_above_max", false, With([](Stream3& s) { s.height = 2162; })},
        LimitCase{"height_odd", false, With([](Stream3& s) { s.height = 1079; })},
        LimitCase{"stride_exact_row", true, With([](Stream3& s) { s.stride = 7680; })},
        LimitCase{"stride_wider", true, With([](Stream3& s) { s.stride = 8192; })},
        LimitCase{"stride_short", false, With([](Stream3& s) { s.stride = 7676; })},
        LimitCase{"stride_not_multiple_of_4", false, With([](Stream3& s) { s.stride = 7682; })},
        LimitCase{"stride_zero", false, With([](Stream3& s) { s.stride = 0; })},
        LimitCase{"nv12_stride_exact_row", true,
                  With([](Stream3& s) { s.pixelFormat = 1; s.stride = 1920; })},
        LimitCase{"nv12_stride_short", false, With([](Stream3& s) { s.pixelFormat = 1; s.stride = 1916; })},
        LimitCase{"nv12_stride_not_multiple_of_4", false,
                  With([](Stream3& s) { s.pixelFormat = 1; s.width = 1918; s.stride = 1918; })},
        LimitCase{"pixel_format_unknown", false, With([](Stream3& s) { s.pixelFormat = 2; })},
        LimitCase{"pixel_format_huge", false, With([](Stream3& s) { s.pixelFormat = 0xFFFFFFFFu; })},
        LimitCase{"rate_min", true, With([](Stream3& s) { s.numerator = 1; s.denominator = 1; })},
        LimitCase{"rate_below_min", false, With([](Stream3& s) { s.numerator = 999; s.denominator = 1000; })},
        LimitCase{"rate_max", true, With([](Stream3& s) { s.numerator = 240; })},
        LimitCase{"rate_above_max", false, With([](Stream3& s) { s.numerator = 241; })},
        LimitCase{"rate_max_fraction", true,
                  With([](Stream3& s) { s.numerator = 240000000; s.denominator = 1000000; })},
        LimitCase{"rate_above_max_fraction", false,
                  With([](Stream3& s) { s.numerator = 240000001; s.denominator = 1000000; })},
        LimitCase{"rate_ntsc", true, With([](Stream3& s) { s.numerator = 60000; s.denominator = 1001; })},
        LimitCase{"rate_numerator_zero", false, With([](Stream3& s) { s.numerator = 0; })},
        LimitCase{"rate_denominator_zero", false, With([](Stream3& s) { s.denominator = 0; })},
        // 240 x 17,895,698 is 2^32 + 224: a 32-bit check would refuse this rate of 2 a second.
        LimitCase{"rate_denominator_wrapping", true,
                  With([](Stream3& s) { s.numerator = 2 * 17895698u; s.denominator = 17895698u; })},
        LimitCase{"rate_huge_both", true,
                  With([](Stream3& s) { s.numerator = 0xFFFFFFFFu; s.denominator = 0xFFFFFFFFu; })},
        LimitCase{"bit_rate_default", true, With([](Stream3& s) { s.bitRate = 0; })},
        LimitCase{"bit_rate_min", true, With([](Stream3& s) { s.bitRate = 1000000; })},
        LimitCase{"bit_rate_below_min", false, With([](Stream3& s) { s.bitRate = 999999; })},
        LimitCase{"bit_rate_one", false, With([](Stream3& s) { s.bitRate = 1; })},
        LimitCase{"bit_rate_max", true, With([](Stream3& s) { s.bitRate = 100000000; })},
        LimitCase{"bit_rate_above_max", false, With([](Stream3& s) { s.bitRate = 100000001; })}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ExchangeCheck3, FixedFieldsStayFixed) {
  for (auto change : {+[](ExchangeHeader& h) { h.magic = 0x434C4950; }, +[](ExchangeHeader& h) { h.version = 4; },
                      +[](ExchangeHeader& h) { h.version = 1; }, +[](ExchangeHeader& h) { h.slotCount = 2; },
                      +[](ExchangeHeader& h) { h.slotCount = 4; }, +[](ExchangeHeader& h) { h.framesOffset = 8191; },
                      +[](ExchangeHeader& h) { h.framesOffset = 8196; }}) {
    Stream3 s;
    auto header = Header3(s);
    EXPECT_TRUE(exchange::CheckBlock(header.data(), static_cast<std::size_t>(s.BlockBytes())));
    change(*reinterpret_cast<ExchangeHeader*>(header.data()));
    EXPECT_FALSE(exchange::CheckBlock(header.data(), static_cast<std::size_t>(s.BlockBytes())));
  }
}

TEST(ExchangeCheck3, MappingMustHoldThreeSlotsOfTheFormat) {
  // BGRA: stride x height a slot; NV12: stride x height x 3/2, luma and chroma rows.
  for (const std::uint32_t format : {exchange::kPixelFormatBgra, exchange::kPixelFormatNv12}) {
    Stream3 s;
    s.width = 640;
    s.height = 360;
    s.stride = format == exchange::kPixelFormatNv12 ? 704 : 2816;
    s.pixelFormat = format;
    const std::size_t needed = 8192 + 3 * static_cast<std::size_t>(s.stride) * (format ? 540 : 360);
    ASSERT_EQ(s.BlockBytes(), needed);
    // A real block of exactly that size, so a read past it would show under AddressSanitizer.
    const auto header = Header3(s);
    for (const std::size_t size : {needed, needed + 1, needed - 1, needed - s.stride, std::size_t{8192},
                                   std::size_t{8191}, std::size_t{0}}) {
      auto block = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(size, 1));
      std::memcpy(block.get(), header.data(), std::min<std::size_t>(size, 8192));
      EXPECT_EQ(exchange::CheckBlock(block.get(), size), size >= needed) << format << " " << size;
    }
  }
  // Three slots of 662,816 x 2160 bytes are 2^32 + 80,384 bytes: a size computed in 32 bits would
  // wrap and take a small block for a whole one.
  Stream3 s;
  s.width = 3840;
  s.height = 2160;
  s.stride = 662816;
  const auto header = Header3(s);
  std::vector<std::uint8_t> small(8192 + 80384 + 4096);
  std::memcpy(small.data(), header.data(), 8192);
  EXPECT_FALSE(exchange::CheckBlock(small.data(), small.size()));
}

TEST(ExchangeFolder, TerminatorForcedAndCutAt519) {
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  for (std::size_t i = 0; i < exchange::kOutputFolderUnits; ++i) h->outputFolder[i] = u'a';
  const std::u16string folder = exchange::TakeOutputFolder(*h);
  EXPECT_EQ(folder, std::u16string(519, u'a'));
  std::uint16_t last;
  std::memcpy(&last, block.data() + 1146, 2);
  EXPECT_EQ(last, 0);

  const std::u16string shortName = u"C:\\Clips";
  std::memcpy(h->outputFolder, shortName.c_str(), (shortName.size() + 1) * 2);
  EXPECT_EQ(exchange::TakeOutputFolder(*h), shortName);
  h->outputFolder[0] = 0;
  EXPECT_EQ(exchange::TakeOutputFolder(*h), u"");
}

TEST(ExchangeSlots, TurnOrderAndHandBack) {
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  exchange::SlotTurn turn;
  // Slot 1 filled while slot 0 is not: nothing to take.
  h->slotState[1] = 1;
  EXPECT_FALSE(exchange::TurnSlotFilled(*h, turn));
  // Only exactly 1 counts as filled.
  h->slotState[0] = 2;
  EXPECT_FALSE(exchange::TurnSlotFilled(*h, turn));
  h->slotState[0] = -1;
  EXPECT_FALSE(exchange::TurnSlotFilled(*h, turn));
  h->slotState[0] = 1;
  h->slotTime[0] = 0x123456789ALL;
  ASSERT_TRUE(exchange::TurnSlotFilled(*h, turn));
  EXPECT_EQ(exchange::ReadSlotTime(*h, turn.slotIndex), 0x123456789ALL);
  exchange::HandBackTurnSlot(*h, turn);
  EXPECT_EQ(h->slotState[0], 0);
  EXPECT_EQ(turn.slotIndex, 1);
  EXPECT_TRUE(exchange::TurnSlotFilled(*h, turn));
  exchange::HandBackTurnSlot(*h, turn);
  EXPECT_EQ(h->slotState[1], 0);
  EXPECT_EQ(turn.slotIndex, 2);
  h->slotState[2] = 1;
  exchange::HandBackTurnSlot(*h, turn);
  EXPECT_EQ(turn.slotIndex, 0);
  EXPECT_EQ(h->slotState[2], 0);
}

TEST(ExchangeSlots, PixelsAreReadInPlace) {
  auto block = GoodBlock();
  exchange::Exchange ex;
  ex.block = block.data();
  ex.header = reinterpret_cast<ExchangeHeader*>(block.data());
  ex.size = block.size();
  EXPECT_EQ(exchange::SlotPixels(ex, 0) - block.data(), 8192);
  EXPECT_EQ(exchange::SlotPixels(ex, 1) - block.data(), 3694592);
  EXPECT_EQ(exchange::SlotPixels(ex, 2) - block.data(), 7380992);
}

TEST(ExchangeRequests, RaisesBetweenLooksCountOnce) {
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  std::int32_t seen = 0, kind = 0;
  EXPECT_FALSE(exchange::TakeRequest(*h, seen, kind));
  h->requestKind = 1;
  h->requestCount = 1;
  h->requestKind = 2;
  h->requestCount = 2;
  EXPECT_TRUE(exchange::TakeRequest(*h, seen, kind));
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(seen, 2);
  EXPECT_FALSE(exchange::TakeRequest(*h, seen, kind));
  // Any change counts, also downwards and across the wrap.
  h->requestCount = -5;
  EXPECT_TRUE(exchange::TakeRequest(*h, seen, kind));
}

TEST(ExchangeRequests, NonZeroCountAtStartIsOneRequest) {
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  h->requestCount = 5;
  h->requestKind = 3;
  std::int32_t seen = 0, kind = 0;
  EXPECT_TRUE(exchange::TakeRequest(*h, seen, kind));
  EXPECT_EQ(kind, 3);
  EXPECT_FALSE(exchange::TakeRequest(*h, seen, kind));
}

TEST(ExchangeStatus, StatusAndHeartbeat) {
  auto block = GoodBlock();
  auto* h = reinterpret_cast<ExchangeHeader*>(block.data());
  exchange::SetStatus(*h, exchange::kStatusRunning);
  EXPECT_EQ(h->status, 1);
  h->heartbeat = 0xFFFFFFFFu;
  exchange::Heartbeat(*h);
  EXPECT_EQ(h->heartbeat, 0u);
  h->stopSwitch = 9;
  h->recordSwitch = 1;
  h->logSwitch = -1;
  EXPECT_EQ(exchange::ReadStopSwitch(*h), 9);
  EXPECT_EQ(exchange::ReadRecordSwitch(*h), 1);
  EXPECT_EQ(exchange::ReadLogSwitch(*h), -1);
}

TEST(ExchangeNames, FormattedWithThePid) {
  EXPECT_EQ(exchange::BlockName(1234), u"Local\\QuelvaneClip_1234");
  EXPECT_EQ(exchange::EventName(4294967295u), u"Local\\QuelvaneClipEv_4294967295");
}

// Opening a real named block, as the host creates it.
class ExchangeOpen : public testing::Test {
 protected:
  // A process id no real host has. Each test takes its own: an opened exchange is never closed
  // (vistrel holds it for its whole life), and on Windows a named object lives while a handle does.
  static std::uint32_t NextPid() {
    static std::uint32_t next = 3000000000u + (platform::CurrentProcessId() % 100000u) * 100u;
    return next++;
  }
  const std::uint32_t pid = NextPid();
  platform::SharedBlock block;
  platform::NamedEvent event;

  void Create(std::size_t size, bool withEvent) {
    ASSERT_TRUE(platform::CreateSharedBlock(exchange::BlockName(pid), size, block));
    auto good = GoodBlock();
    std::memcpy(block.view, good.data(), 8192);
    if (withEvent) {
      ASSERT_TRUE(platform::CreateNamedEvent(exchange::EventName(pid), event));
    }
  }
  void TearDown() override {
    if (block.view) platform::CloseSharedBlock(exchange::BlockName(pid), block);
    if (event.handle != -1) platform::CloseNamedEvent(exchange::EventName(pid), event);
  }
};

TEST_F(ExchangeOpen, OpensAGoodBlock) {
  Create(exchange::kBlockBytes, true);
  exchange::Exchange ex;
  ASSERT_TRUE(exchange::OpenExchange(pid, ex));
  EXPECT_GE(ex.size, exchange::kBlockBytes);
  ex.header->status = 1;
  EXPECT_EQ(reinterpret_cast<ExchangeHeader*>(block.view)->status, 1);
}

TEST_F(ExchangeOpen, MissingEventFails) {
  Create(exchange::kBlockBytes, false);
  exchange::Exchange ex;
  EXPECT_FALSE(exchange::OpenExchange(pid, ex));
}

TEST_F(ExchangeOpen, MissingBlockFails) {
  exchange::Exchange ex;
  EXPECT_FALSE(exchange::OpenExchange(pid, ex));
}

TEST_F(ExchangeOpen, SmallBlockFailsAndIsNotWritten) {
  // Windows maps views in whole pages, so a block a page short is the smallest shortfall that
  // both systems can see; POSIX sees a single byte too (checked on the exact size above).
  Create(exchange::kBlockBytes - 4096, true);
  const std::vector<std::uint8_t> before(block.view, block.view + 8192);
  exchange::Exchange ex;
  EXPECT_FALSE(exchange::OpenExchange(pid, ex));
  EXPECT_EQ(std::memcmp(before.data(), block.view, 8192), 0);
}

TEST_F(ExchangeOpen, BadHeaderFailsAndIsNotWritten) {
  Create(exchange::kBlockBytes, true);
  reinterpret_cast<ExchangeHeader*>(block.view)->version = 1;
  const std::vector<std::uint8_t> before(block.view, block.view + 8192);
  exchange::Exchange ex;
  EXPECT_FALSE(exchange::OpenExchange(pid, ex));
  EXPECT_EQ(std::memcmp(before.data(), block.view, 8192), 0);
}

}  // namespace
