// The shared block as vistrel opens and uses it.
#include <gtest/gtest.h>

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
