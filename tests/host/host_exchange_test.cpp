// The host side of the exchange against vistrel's side, in two real processes, and the numbered
// test picture.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exchange/exchange.h"
#include "host/host_exchange.h"
#include "host/test_picture.h"
#include "platform/atomic.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

std::u16string selfPath;

// Grey as the encoder's luma would be: only the band matters, and it is pure black or white.
std::vector<std::uint8_t> Luma(const std::uint8_t* bgra) {
  std::vector<std::uint8_t> y(1280 * 720);
  for (int i = 0; i < 1280 * 720; ++i) {
    const std::uint8_t* p = bgra + i * 4;
    y[i] = static_cast<std::uint8_t>(((47 * p[2] + 157 * p[1] + 16 * p[0] + 128) >> 8) + 16);
  }
  return y;
}

TEST(TestPicture, NumbersReadBack) {
  std::vector<std::uint8_t> frame(exchange::kSlotBytes);
  for (std::uint32_t n : {0u, 1u, 29u, 30u, 12345u, 108000u, host::kMaxFrameNumber}) {
    host::DrawTestPicture(frame.data(), 5120, n);
    const auto luma = Luma(frame.data());
    const auto read = host::ReadFrameNumber(luma.data(), 1280);
    ASSERT_TRUE(read.has_value()) << n;
    EXPECT_EQ(*read, n);
  }
}

TEST(TestPicture, DamagedBandIsNotMistakenForANumber) {
  std::vector<std::uint8_t> frame(exchange::kSlotBytes);
  host::DrawTestPicture(frame.data(), 5120, 777);
  auto luma = Luma(frame.data());
  // Flip one bit block: the check bits no longer match.
  for (int y = 0; y < 80; ++y) {
    for (int x = 0; x < 40; ++x) luma[y * 1280 + 5 * 40 + x] ^= 0xFF;
  }
  EXPECT_FALSE(host::ReadFrameNumber(luma.data(), 1280).has_value());
  std::vector<std::uint8_t> grey(1280 * 720, 128);
  EXPECT_FALSE(host::ReadFrameNumber(grey.data(), 1280).has_value());
}

TEST(TestPicture, MovesBetweenFrames) {
  std::vector<std::uint8_t> a(exchange::kSlotBytes), b(exchange::kSlotBytes);
  host::DrawTestPicture(a.data(), 5120, 10);
  host::DrawTestPicture(b.data(), 5120, 11);
  EXPECT_NE(std::memcmp(a.data() + 100 * 5120, b.data() + 100 * 5120, 5120 * 600), 0);
}

TEST(HostExchange, HeaderIsLaidOutForVistrel) {
  const std::uint32_t pid = 3100000000u + platform::CurrentProcessId() % 1000000u;
  host::HostExchange ex;
  host::HostOptions options;
  options.outputFolder = u"C:\\Clips";
  options.log = true;
  options.record = true;
  options.clockFrequency = 3579545;
  ASSERT_TRUE(ex.Create(pid, options));
  EXPECT_TRUE(exchange::CheckBlock(ex.Block(), exchange::kBlockBytes));
  EXPECT_EQ(ex.Header()->clockFrequency, 3579545);
  EXPECT_EQ(ex.Header()->logSwitch, 1);
  EXPECT_EQ(ex.Header()->recordSwitch, 1);
  EXPECT_EQ(exchange::TakeOutputFolder(*ex.Header()), u"C:\\Clips");
  ex.RaiseRequest(2);
  EXPECT_EQ(ex.Header()->requestCount, 1);
  EXPECT_EQ(ex.Header()->requestKind, 2);
  // Slots are offered in turn and not reused until handed back.
  std::vector<std::uint8_t> frame(exchange::kSlotBytes, 7);
  EXPECT_TRUE(ex.OfferFrame(frame.data(), 5120, 100));
  EXPECT_TRUE(ex.OfferFrame(frame.data(), 5120, 200));
  EXPECT_TRUE(ex.OfferFrame(frame.data(), 5120, 300));
  EXPECT_FALSE(ex.OfferFrame(frame.data(), 5120, 400));
  EXPECT_EQ(ex.Header()->slotTime[2], 300);
  EXPECT_EQ(ex.FramesTaken(), 0u);
  ex.Header()->slotState[0] = 0;
  EXPECT_EQ(ex.FramesTaken(), 1u);
  EXPECT_TRUE(ex.OfferFrame(frame.data(), 5120, 400));
  EXPECT_EQ(ex.Header()->slotTime[0], 400);
}

// The other side, in a child process: takes frames in turn and checks each one's number.
int TakeFrames(std::uint32_t hostPid, int count) {
  exchange::Exchange ex;
  if (!exchange::OpenExchange(hostPid, ex)) return 10;
  exchange::SlotTurn turn;
  for (int taken = 0; taken < count;) {
    platform::WaitNamedEvent(ex.event, 10);
    if (!exchange::TurnSlotFilled(*ex.header, turn)) continue;
    const std::int64_t time = exchange::ReadSlotTime(*ex.header, turn.slotIndex);
    const auto luma = Luma(exchange::SlotPixels(ex, turn.slotIndex));
    const auto n = host::ReadFrameNumber(luma.data(), 1280);
    if (!n || *n != static_cast<std::uint32_t>(taken) || time != 1000 + taken) return 20 + taken;
    exchange::HandBackTurnSlot(*ex.header, turn);
    exchange::Heartbeat(*ex.header);
    ++taken;
  }
  exchange::SetStatus(*ex.header, exchange::kStatusRunning);
  return 0;
}

TEST(HostExchange, FramesCrossToAnotherProcessInTurn) {
  host::HostExchange ex;
  host::HostOptions options;
  const std::uint32_t pid = platform::CurrentProcessId();
  ASSERT_TRUE(ex.Create(pid, options));
  platform::ProcessHandle child;
  ASSERT_TRUE(platform::StartProcess(selfPath, {u"--take-frames", platform::Utf16FromUtf8(std::to_string(pid)), u"20"}, child));
  std::uint32_t code = 99;
  bool ended = false;
  for (int n = 0; n < 20 && !ended;) {
    if (std::uint8_t* slot = ex.NextSlot()) {
      host::DrawTestPicture(slot, 5120, static_cast<std::uint32_t>(n));
      ex.SubmitSlot(1000 + n);
      ++n;
    } else {
      ended = platform::WaitProcessFor(child, 1, code);
    }
  }
  if (!ended) ended = platform::WaitProcessFor(child, 30000, code);
  ASSERT_TRUE(ended);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(ex.Status(), 1);
  EXPECT_EQ(ex.Heartbeat(), 20u);
  EXPECT_EQ(ex.FramesTaken(), 20u);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--take-frames") == 0) {
    return TakeFrames(static_cast<std::uint32_t>(std::stoul(argv[2])), std::stoi(argv[3]));
  }
  selfPath = platform::ExecutablePath();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
