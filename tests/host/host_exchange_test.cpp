// The host side of the exchange against vistrel's side, in two real processes, and the numbered
// test picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "exchange/exchange.h"
#include "exchange/sound_reader.h"
#include "host/click_track.h"
#include "host/host_exchange.h"
#include "host/test_picture.h"
#include "platform/atomic.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

std::u16string selfPath;

// Grey as the encoder's luma would be: only the band matters, and it is pure black or white.
std::vector<std::uint8_t> Luma(const std::uint8_t* bgra, std::uint32_t width = 1280, std::uint32_t height = 720,
                               std::size_t stride = 5120) {
  std::vector<std::uint8_t> y(std::size_t{width} * height);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint8_t* p = bgra + r * stride + x * 4;
      y[r * width + x] = static_cast<std::uint8_t>(((47 * p[2] + 157 * p[1] + 16 * p[0] + 128) >> 8) + 16);
    }
  }
  return y;
}

// What compression does to the band, roughly: edges smeared (a 5 x 5 mean), and noise on top.
// Only the band's rows (and a few below) are smeared; the rest is copied.
std::vector<std::uint8_t> Smeared(const std::vector<std::uint8_t>& luma, std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> out(luma);
  std::uint32_t noise = 12345;
  for (std::uint32_t y = 0; y < height / 9 + 3; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      int sum = 0, count = 0;
      for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
          const long yy = static_cast<long>(y) + dy, xx = static_cast<long>(x) + dx;
          if (yy < 0 || xx < 0 || yy >= static_cast<long>(height) || xx >= static_cast<long>(width)) continue;
          sum += luma[static_cast<std::size_t>(yy) * width + static_cast<std::size_t>(xx)];
          ++count;
        }
      }
      noise = noise * 1103515245u + 12345u;
      const int v = sum / count + static_cast<int>((noise >> 16) % 41) - 20;
      out[std::size_t{y} * width + x] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
  return out;
}

struct PictureSize {
  std::uint32_t width, height;
  std::size_t stride;
};

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

TEST(TestPicture, ScalesToEverySizeAndReadsBackSmeared) {
  for (const PictureSize size : {PictureSize{320, 180, 1280}, PictureSize{322, 182, 1300}, PictureSize{640, 360, 2816},
                                 PictureSize{1366, 768, 5464}, PictureSize{1920, 1080, 7680},
                                 PictureSize{2560, 1440, 10240}, PictureSize{3840, 2160, 15360}}) {
    // The rows' padding must stay as it was: nothing is drawn past a row.
    std::vector<std::uint8_t> frame(size.stride * size.height, 0x5A);
    for (std::uint32_t n : {0u, 1u, 59u, 123456u, host::kMaxFrameNumber}) {
      host::DrawTestPicture(frame.data(), size.width, size.height, size.stride, n);
      const auto luma = Luma(frame.data(), size.width, size.height, size.stride);
      const auto read = host::ReadFrameNumber(luma.data(), size.width, size.height, size.width);
      ASSERT_TRUE(read.has_value()) << size.width << "x" << size.height << " " << n;
      EXPECT_EQ(*read, n);
      const auto smeared = Smeared(luma, size.width, size.height);
      EXPECT_EQ(host::ReadFrameNumber(smeared.data(), size.width, size.height, size.width), n)
          << size.width << "x" << size.height << " " << n;
    }
    for (std::uint32_t y = 0; y < size.height; ++y) {
      for (std::size_t x = size.width * 4u; x < size.stride; ++x) {
        ASSERT_EQ(frame[y * size.stride + x], 0x5A) << size.width << "x" << size.height << " row " << y;
      }
    }
  }
}

TEST(TestPicture, Nv12IsTheSamePictureInStudioRange) {
  // BT.709 studio-range values of white, black, red, green and blue, as vistrel's own conversion
  // rounds them (white's Cb and green's Y and Cb lie one below the exact values 128, 173, 42).
  struct Colour {
    std::uint8_t b, g, r;
    int y, cb, cr;
  };
  for (const Colour c : {Colour{255, 255, 255, 235, 127, 128}, Colour{0, 0, 0, 16, 128, 128},
                         Colour{0, 0, 255, 63, 102, 240}, Colour{0, 255, 0, 172, 41, 26},
                         Colour{255, 0, 0, 32, 240, 118}}) {
    std::vector<std::uint8_t> bgra(4 * 4 * 2);
    for (std::size_t i = 0; i < bgra.size(); i += 4) {
      bgra[i] = c.b;
      bgra[i + 1] = c.g;
      bgra[i + 2] = c.r;
      bgra[i + 3] = 255;
    }
    std::vector<std::uint8_t> nv12(8 * 3, 0xEE);
    host::ConvertToNv12(bgra.data(), 16, 4, 2, nv12.data(), 8);
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(nv12[x], c.y);
      EXPECT_EQ(nv12[8 + x], c.y);
    }
    EXPECT_EQ(nv12[16], c.cb);
    EXPECT_EQ(nv12[17], c.cr);
    EXPECT_EQ(nv12[18], c.cb);
    EXPECT_EQ(nv12[19], c.cr);
    // Rows end at the width: the padding is left alone.
    for (int row = 0; row < 3; ++row) {
      for (int x = 4; x < 8; ++x) EXPECT_EQ(nv12[row * 8 + x], 0xEE);
    }
  }

  // The NV12 test picture: the BGRA one's luma and chroma, rows stride apart, number readable.
  const std::uint32_t width = 640, height = 360;
  const std::size_t stride = 704;
  std::vector<std::uint8_t> nv12(stride * height * 3 / 2, 0xEE);
  std::vector<std::uint8_t> bgra(std::size_t{width} * 4 * height);
  host::DrawTestPictureNv12(nv12.data(), width, height, stride, 4242);
  host::DrawTestPicture(bgra.data(), width, height, width * 4, 4242);
  const auto luma = Luma(bgra.data(), width, height, width * 4);
  std::vector<std::uint8_t> expected(stride * height * 3 / 2, 0xEE);
  host::ConvertToNv12(bgra.data(), width * 4, width, height, expected.data(), stride);
  EXPECT_EQ(nv12, expected);
  for (std::uint32_t y = 0; y < height; ++y) {
    ASSERT_EQ(std::memcmp(nv12.data() + y * stride, luma.data() + y * width, width), 0) << y;
  }
  EXPECT_EQ(host::ReadFrameNumber(nv12.data(), width, height, stride), 4242u);
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

std::uint32_t TestPid() {
  static std::uint32_t next = 3200000000u + (platform::CurrentProcessId() % 100000u) * 10u;
  return next++;
}

TEST(HostExchange, VersionTwoHeaderIsExactlyTheFixedOne) {
  host::HostExchange ex;
  host::HostOptions options;
  options.outputFolder = u"D:\\Out";
  options.clockFrequency = 1000;
  ASSERT_TRUE(ex.Create(TestPid(), options));
  ASSERT_EQ(ex.BlockBytes(), exchange::kBlockBytes);
  std::vector<std::uint8_t> expected(8192, 0);
  auto put = [&](std::size_t at, std::uint32_t v) { std::memcpy(expected.data() + at, &v, 4); };
  put(0, 0x50494C43);
  put(4, 2);
  put(8, 1280);
  put(12, 720);
  put(16, 5120);
  put(20, 3);
  put(28, 8192);
  put(32, 1000);
  const std::u16string folder = u"D:\\Out";
  std::memcpy(expected.data() + 108, folder.data(), folder.size() * 2);
  EXPECT_EQ(std::memcmp(ex.Block(), expected.data(), 8192), 0);
  EXPECT_EQ(ex.NextSlot() - ex.Block(), 8192);
}

TEST(HostExchange, VersionThreeHeaderDescribesTheStream) {
  host::HostExchange ex;
  host::HostOptions options;
  host::HostStream stream;
  stream.width = 1920;
  stream.height = 1080;
  stream.frameRateNumerator = 60000;
  stream.frameRateDenominator = 1001;
  stream.bitRate = 20000000;
  options.stream = stream;
  const std::uint32_t pid = TestPid();
  ASSERT_TRUE(ex.Create(pid, options));
  EXPECT_EQ(ex.BlockBytes(), 8192u + 3u * 7680u * 1080u);
  const auto* h = ex.Header();
  EXPECT_EQ(h->version, 3u);
  EXPECT_EQ(h->stride, 7680u);
  stream::StreamFormat f;
  ASSERT_TRUE(exchange::CheckBlock(ex.Block(), ex.BlockBytes(), &f));
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1080u);
  EXPECT_EQ(f.stride, 7680u);
  EXPECT_EQ(f.frameRateNumerator, 60000u);
  EXPECT_EQ(f.frameRateDenominator, 1001u);
  EXPECT_EQ(f.bitRate, 20000000u);
  EXPECT_EQ(f.pixelFormat, stream::PixelFormat::Bgra);
  // Nothing past the version 3 fields: the reserved room and the sound's are 0.
  for (std::size_t i = offsetof(exchange::ExchangeHeader, reserved3); i < 8192; ++i) {
    ASSERT_EQ(ex.Block()[i], 0) << i;
  }
  // The block vistrel opens by name is the same.
  exchange::Exchange opened;
  ASSERT_TRUE(exchange::OpenExchange(pid, opened));
  EXPECT_EQ(opened.format, f);

  // NV12: the default stride is the width rounded up to 4, the slot 3/2 of the rows.
  host::HostExchange nv12;
  stream = host::HostStream{};
  stream.width = 1366;
  stream.height = 768;
  stream.pixelFormat = exchange::kPixelFormatNv12;
  options.stream = stream;
  ASSERT_TRUE(nv12.Create(TestPid(), options));
  EXPECT_EQ(nv12.Header()->stride, 1368u);
  EXPECT_EQ(nv12.BlockBytes(), 8192u + 3u * 1368u * 1152u);
  ASSERT_TRUE(exchange::CheckBlock(nv12.Block(), nv12.BlockBytes(), &f));
  EXPECT_EQ(f.pixelFormat, stream::PixelFormat::Nv12);
  EXPECT_EQ(f.bitRate, stream::DefaultBitRate(1366, 768, 30, 1));
}

// Source rows of any stride land in slot rows of the block's stride; the padding past each row is
// not written.
TEST(HostExchange, OfferedFramesAreCopiedRowByRow) {
  for (const std::uint32_t format : {exchange::kPixelFormatBgra, exchange::kPixelFormatNv12}) {
    host::HostExchange ex;
    host::HostOptions options;
    host::HostStream stream;
    stream.width = 322;
    stream.height = 180;
    stream.pixelFormat = format;
    stream.stride = format == exchange::kPixelFormatNv12 ? 400 : 1400;
    options.stream = stream;
    ASSERT_TRUE(ex.Create(TestPid(), options));
    const std::size_t rowBytes = format == exchange::kPixelFormatNv12 ? 322 : 1288;
    const std::size_t rows = format == exchange::kPixelFormatNv12 ? 270 : 180;
    const std::size_t slotBytes = std::size_t{stream.stride} * rows;
    ASSERT_EQ(ex.BlockBytes(), 8192 + 3 * slotBytes);
    std::memset(ex.Block() + 8192, 0xEE, 3 * slotBytes);
    const std::size_t sourceStride = rowBytes + 36;
    std::vector<std::uint8_t> source(sourceStride * rows);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 31 + i / 997);
    for (int n = 0; n < 3; ++n) {
      if (format == exchange::kPixelFormatNv12 && n == 2) {
        // Planes apart, with strides of their own.
        std::vector<std::uint8_t> chroma(rowBytes * 90 + 8, 0);
        for (std::size_t y = 0; y < 90; ++y) {
          std::memcpy(chroma.data() + y * rowBytes, source.data() + (180 + y) * sourceStride, rowBytes);
        }
        ASSERT_TRUE(ex.OfferNv12Frame(source.data(), sourceStride, chroma.data(), rowBytes, 10 + n));
      } else {
        ASSERT_TRUE(ex.OfferFrame(source.data(), sourceStride, 10 + n));
      }
      const std::uint8_t* slot = ex.Block() + 8192 + static_cast<std::size_t>(n) * slotBytes;
      for (std::size_t y = 0; y < rows; ++y) {
        ASSERT_EQ(std::memcmp(slot + y * stream.stride, source.data() + y * sourceStride, rowBytes), 0)
            << format << " frame " << n << " row " << y;
        for (std::size_t x = rowBytes; x < stream.stride; ++x) ASSERT_EQ(slot[y * stream.stride + x], 0xEE);
      }
    }
    EXPECT_FALSE(ex.OfferFrame(source.data(), sourceStride, 20));  // all three slots held
    if (format == exchange::kPixelFormatBgra) {
      EXPECT_FALSE(ex.OfferNv12Frame(source.data(), sourceStride, source.data(), sourceStride, 20));
    }
  }
}

// The luma of the slot vistrel would read: NV12's first plane, or BGRA's made grey.
std::vector<std::uint8_t> SlotLuma(const exchange::Exchange& ex, int slot) {
  const stream::StreamFormat& f = ex.format;
  const std::uint8_t* pixels = exchange::SlotPixels(ex, slot);
  if (f.pixelFormat == stream::PixelFormat::Bgra) return Luma(pixels, f.width, f.height, f.stride);
  std::vector<std::uint8_t> y(std::size_t{f.width} * f.height);
  for (std::uint32_t r = 0; r < f.height; ++r) std::memcpy(&y[r * f.width], pixels + r * f.stride, f.width);
  return y;
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
    const auto luma = SlotLuma(ex, turn.slotIndex);
    const auto n = host::ReadFrameNumber(luma.data(), ex.format.width, ex.format.height, ex.format.width);
    if (!n || *n != static_cast<std::uint32_t>(taken) || time != 1000 + taken) return 20 + taken;
    exchange::HandBackTurnSlot(*ex.header, turn);
    exchange::Heartbeat(*ex.header);
    ++taken;
  }
  exchange::SetStatus(*ex.header, exchange::kStatusRunning);
  return 0;
}

class FramesCross : public testing::TestWithParam<std::optional<host::HostStream>> {};

TEST_P(FramesCross, ToAnotherProcessInTurn) {
  host::HostExchange ex;
  host::HostOptions options;
  options.stream = GetParam();
  const std::uint32_t pid = platform::CurrentProcessId();
  ASSERT_TRUE(ex.Create(pid, options));
  const host::HostStream& s = ex.Stream();
  platform::ProcessHandle child;
  ASSERT_TRUE(platform::StartProcess(selfPath, {u"--take-frames", platform::Utf16FromUtf8(std::to_string(pid)), u"20"}, child));
  std::uint32_t code = 99;
  bool ended = false;
  for (int n = 0; n < 20 && !ended;) {
    if (std::uint8_t* slot = ex.NextSlot()) {
      if (!options.stream) {
        host::DrawTestPicture(slot, 5120, static_cast<std::uint32_t>(n));
      } else if (s.pixelFormat == exchange::kPixelFormatNv12) {
        host::DrawTestPictureNv12(slot, s.width, s.height, s.stride, static_cast<std::uint32_t>(n));
      } else {
        host::DrawTestPicture(slot, s.width, s.height, s.stride, static_cast<std::uint32_t>(n));
      }
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

host::HostStream Stream(std::uint32_t width, std::uint32_t height, std::uint32_t stride, std::uint32_t format) {
  host::HostStream s;
  s.width = width;
  s.height = height;
  s.stride = stride;
  s.frameRateNumerator = 60;
  s.pixelFormat = format;
  return s;
}

INSTANTIATE_TEST_SUITE_P(Blocks, FramesCross,
                         testing::Values(std::nullopt, Stream(640, 360, 2816, exchange::kPixelFormatBgra),
                                         Stream(1920, 1080, 2048, exchange::kPixelFormatNv12),
                                         Stream(320, 180, 0, exchange::kPixelFormatNv12)),
                         [](const auto& p) {
                           if (!p.param) return std::string("version2");
                           return std::string(p.param->pixelFormat ? "nv12_" : "bgra_") +
                                  std::to_string(p.param->width) + "x" + std::to_string(p.param->height);
                         });

// vistrel-host itself, with this program in vistrel's place ("-- COMMAND").
class HostCommand : public testing::Test {
 protected:
  testing_support::TempDir dir;
  const std::string outFolder = (dir.path() / "out").string();

  static std::u16string HostPath() {
    const auto slash = selfPath.rfind(u'\\');
    const std::u16string folder = slash == std::u16string::npos ? u"" : selfPath.substr(0, slash + 1);
    const std::u16string name = slash == std::u16string::npos ? selfPath : selfPath.substr(slash + 1);
    const auto dot = name.rfind(u'.');
    return folder + u"vistrel-host" + (dot == std::u16string::npos ? u"" : name.substr(dot));
  }
  // vistrel-host's exit code, or -1 when it did not end.
  static int Run(const std::vector<std::string>& args) {
    std::vector<std::u16string> a;
    for (const std::string& arg : args) a.push_back(platform::Utf16FromUtf8(arg));
    platform::ProcessHandle child;
    if (!platform::StartProcess(HostPath(), a, child)) return -2;
    std::uint32_t code = 0;
    if (!platform::WaitProcessFor(child, 120000, code)) {
      platform::KillProcess(child);
      platform::WaitProcessFor(child, 5000, code);
      return -1;
    }
    return static_cast<int>(code);
  }
};

TEST_F(HostCommand, BadStreamValuesAreUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--size", "1281x720"}, {"--size", "1280x721"}, {"--size", "318x180"}, {"--size", "320x178"},
      {"--size", "3842x2160"}, {"--size", "3840x2162"}, {"--size", "1280"}, {"--size", "x720"},
      {"--size", "1280x"}, {"--size", "-1280x720"}, {"--size", "99999999999x720"}, {"--fps", "0"},
      {"--fps", "241"}, {"--fps", "30/0"}, {"--fps", "999/1000"}, {"--fps", "241000/1000"}, {"--fps", "30.5"},
      {"--fps", "/1"}, {"--bitrate", "999999"}, {"--bitrate", "100000001"}, {"--bitrate", "8M"},
      {"--stride", "5118"}, {"--stride", "5122"}, {"--stride", "0"}, {"--nv12", "--size", "1920x1080", "--stride", "1916"},
      {"--size", "1920x1080", "--stride", "7676"}};
  for (auto args : bad) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    // A usage error ends before anything is started; a run that got that far would fail to start
    // the command given and end with 101 instead.
    args.insert(args.end(), {"--out", outFolder, "--", "no-such-program-here"});
    EXPECT_EQ(Run(args), 100) << shown;
  }
  // The limits themselves are good values.
  for (auto args : std::vector<std::vector<std::string>>{{"--size", "320x180", "--fps", "1"},
                                                         {"--size", "3840x2160", "--fps", "240"},
                                                         {"--fps", "30000/1001", "--bitrate", "1000000"},
                                                         {"--bitrate", "100000000"}, {"--bitrate", "0"},
                                                         {"--nv12", "--size", "1920x1080", "--stride", "1920"},
                                                         {"--stride", "5120"}}) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    args.insert(args.end(), {"--out", outFolder, "--", "no-such-program-here"});
    EXPECT_EQ(Run(args), 101) << shown;
  }
}

// The sound's timeline options: each needs --audio, takes seconds (a gap FROM:LENGTH, of some
// length), and a lead and a late start do not go together.
TEST_F(HostCommand, BadSoundTimelinesAreUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--audio-start", "2"}, {"--audio-gap", "3:2"}, {"--audio-lead", "1"},
      {"--audio", "tone", "--audio-start", "-1"}, {"--audio", "tone", "--audio-start", "x"},
      {"--audio", "tone", "--audio-gap", "3"}, {"--audio", "tone", "--audio-gap", "3:0"},
      {"--audio", "tone", "--audio-gap", "-1:2"}, {"--audio", "tone", "--audio-gap", "3:-2"},
      {"--audio", "tone", "--audio-gap", ":2"}, {"--audio", "tone", "--audio-gap", "3:"},
      {"--audio", "tone", "--audio-gap", "nan:2"}, {"--audio", "tone", "--audio-lead", "2000000"},
      {"--audio", "tone", "--audio-gap", "1:2000000"}, {"--audio", "tone", "--audio-start", "1", "--audio-lead", "1"}};
  for (auto args : bad) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    args.insert(args.end(), {"--out", outFolder, "--", "no-such-program-here"});
    EXPECT_EQ(Run(args), 100) << shown;
  }
  for (auto args : std::vector<std::vector<std::string>>{
           {"--audio", "tone", "--audio-start", "2.5", "--audio-gap", "4:2", "--audio-gap", "8:0.5"},
           {"--audio", "tone", "--audio-lead", "1.5", "--audio-gap", "0:1"}}) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    args.insert(args.end(), {"--out", outFolder, "--", "no-such-program-here"});
    EXPECT_EQ(Run(args), 101) << shown;
  }
}

// Raw NV12 frames from a file land in the slots unchanged, rows stride apart, and the header
// states the stream asked for.
TEST_F(HostCommand, Nv12SourceFileReachesTheSlots) {
  const std::string file = (dir.path() / "frames.nv12").string();
  const std::uint32_t width = 322, height = 180;
  {
    std::ofstream out(file, std::ios::binary);
    std::vector<std::uint8_t> frame(std::size_t{width} * height * 3 / 2);
    for (int n = 0; n < 6; ++n) {
      for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7 + n * 13 + i / 311);
      out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    }
  }
  const int code = Run({"--size", "322x180", "--fps", "60/1", "--bitrate", "2000000", "--nv12", "--stride", "336",
                        "--source", file, "--fast", "--duration", "0.2", "--out", outFolder, "--",
                        platform::Utf8FromUtf16(selfPath), "--check-nv12-source", file});
  EXPECT_EQ(code, 0);
}

// vistrel's place in the test above: the header, then each slot against the file's frame.
int CheckNv12Source(const std::string& file, std::uint32_t hostPid) {
  exchange::Exchange ex;
  if (!exchange::OpenExchange(hostPid, ex)) return 10;
  const stream::StreamFormat& f = ex.format;
  if (f.width != 322 || f.height != 180 || f.stride != 336 || f.frameRateNumerator != 60 ||
      f.frameRateDenominator != 1 || f.bitRate != 2000000 || f.pixelFormat != stream::PixelFormat::Nv12) {
    return 11;
  }
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> frame(322 * 270);
  exchange::SlotTurn turn;
  int taken = 0;
  while (taken < 6) {
    platform::WaitNamedEvent(ex.event, 10);
    if (!exchange::TurnSlotFilled(*ex.header, turn)) continue;
    if (!in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()))) return 12;
    const std::uint8_t* slot = exchange::SlotPixels(ex, turn.slotIndex);
    for (std::size_t y = 0; y < 270; ++y) {
      if (std::memcmp(slot + y * 336, frame.data() + y * 322, 322) != 0) return 20 + taken;
    }
    exchange::HandBackTurnSlot(*ex.header, turn);
    ++taken;
  }
  // The end of the file ends the frames; the host then sets the stop switch.
  for (int i = 0; i < 6000 && exchange::ReadStopSwitch(*ex.header) == 0; ++i) platform::SleepMilliseconds(5);
  if (exchange::TurnSlotFilled(*ex.header, turn)) return 30;
  return exchange::ReadStopSwitch(*ex.header) != 0 ? 0 : 31;
}

// vistrel's place for the sound: takes every frame and all the sound until the stop, and writes
// the sound as the reader hands it on (prefix.pcm) and the frames' times with the sound's start
// (prefix.txt: "start T", "lost N gap MS", "written P" (packets the host wrote), then one time per
// frame in order). Without readSound it never looks at the sound.
int RecordHostSound(const std::string& prefix, std::uint32_t hostPid, bool readSound) {
  exchange::Exchange ex;
  if (!exchange::OpenExchange(hostPid, ex)) return 10;
  if (!ex.sound.present) return 11;
  exchange::SoundReader reader(ex.block, ex.sound, ex.header->clockFrequency);
  std::vector<std::int16_t> pcm;
  std::vector<std::int64_t> times;
  std::uint64_t lost = 0, gap = 0;
  exchange::SlotTurn turn;
  auto takeSound = [&] {
    const exchange::SoundReport r = reader.Take(pcm, 1u << 20);
    lost += r.lostPackets;
    gap += r.gapMilliseconds + r.jumpSeconds * 1000ull;
  };
  for (int i = 0; i < 60000; ++i) {
    const bool stopping = exchange::ReadStopSwitch(*ex.header) != 0;
    while (exchange::TurnSlotFilled(*ex.header, turn)) {
      times.push_back(exchange::ReadSlotTime(*ex.header, turn.slotIndex));
      exchange::HandBackTurnSlot(*ex.header, turn);
    }
    if (readSound) takeSound();
    if (stopping) break;
    platform::WaitNamedEvent(ex.event, 5);
  }
  std::ofstream(prefix + ".pcm", std::ios::binary)
      .write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * sizeof pcm[0]));
  std::ofstream text(prefix + ".txt");
  text << "start " << reader.StartTime() << "\nlost " << lost << " gap " << gap << "\nwritten "
       << platform::AtomicLoad(ex.header->sound.packetsWritten) << "\n";
  for (std::int64_t t : times) text << t << "\n";
  return 0;
}

struct RecordedSound {
  std::vector<std::int16_t> pcm;
  std::int64_t start = 0;
  std::uint64_t lost = 0, gap = 0;
  std::uint64_t written = 0;
  std::vector<std::int64_t> times;  // of frames 0, 1, 2, ...
};

RecordedSound ReadRecordedSound(const std::string& prefix) {
  RecordedSound r;
  std::ifstream in(prefix + ".pcm", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  r.pcm.resize(bytes.size() / 2);
  if (!r.pcm.empty()) std::memcpy(r.pcm.data(), bytes.data(), r.pcm.size() * 2);
  std::ifstream text(prefix + ".txt");
  std::string word;
  text >> word >> r.start >> word >> r.lost >> word >> r.gap >> word >> r.written;
  for (std::int64_t t; text >> t;) r.times.push_back(t);
  return r;
}

// The host's click track as vistrel's reader hands it on: the sound starts with the first frame,
// and every click starts on the first sample at or after its frame's time stamp (at the real
// clock and at the fast one, in clocks and at rates whose frames fall between samples), with no
// other sound, nothing lost and no gap.
// The real clock's run gives as many frames as the machine manages (at least the first, whose
// click starts the sound); the fast clock's runs give every frame.
TEST_F(HostCommand, ToneClicksOnEachMarkedFramesSample) {
  const std::vector<std::pair<std::vector<std::string>, std::size_t>> runs = {
      {{"--duration", "2.5", "--size", "640x360", "--fps", "60", "--clock-frequency", "3579545", "--clock-start",
        "1000"}, 0},
      {{"--duration", "4", "--fast", "--size", "640x360", "--fps", "30000/1001"}, 120},
      {{"--duration", "3", "--fast", "--size", "640x360", "--clock-frequency", "1000000000"}, 90}};
  int index = 0;
  for (auto [args, frameCount] : runs) {
    const std::string prefix = (dir.path() / ("sound" + std::to_string(index++))).string();
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    std::int64_t frequency = 10000000;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == "--clock-frequency") frequency = std::stoll(args[i + 1]);
    }
    args.insert(args.end(), {"--audio", "tone", "--out", outFolder, "--", platform::Utf8FromUtf16(selfPath),
                             "--record-sound", prefix});
    ASSERT_EQ(Run(args), 0);
    const RecordedSound r = ReadRecordedSound(prefix);
    if (frameCount != 0) {
      ASSERT_EQ(r.times.size(), frameCount);
    } else {
      ASSERT_FALSE(r.times.empty());
    }
    EXPECT_EQ(r.lost, 0u);
    EXPECT_EQ(r.gap, 0u);
    EXPECT_EQ(r.start, r.times[0]) << "the sound starts with the first frame";
    const std::uint64_t frames = r.pcm.size() / 2;
    // The sound runs to the end of the last frame.
    EXPECT_GE(frames, host::SampleAtOrAfter(r.start, r.times.back(), frequency));
    std::vector<std::uint64_t> expected, found;
    for (std::size_t n = 0; n < r.times.size(); n += host::kClickEveryFrames) {
      expected.push_back(host::SampleAtOrAfter(r.start, r.times[n], frequency));
    }
    std::uint64_t loud = 0;
    for (std::uint64_t k = 0; k < frames; ++k) {
      if (r.pcm[2 * k] != 0) ++loud;
      if (r.pcm[2 * k] == host::kClickAmplitude && (k == 0 || r.pcm[2 * k - 2] == 0)) found.push_back(k);
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(loud, expected.size() * (host::kClickFrames - 16));
  }
}

// Raw PCM from a file goes to vistrel sample for sample, starting with the first frame, and stops
// at the file's end.
TEST_F(HostCommand, AudioFileReachesTheReaderUnchanged) {
  const std::string file = (dir.path() / "sound.pcm").string();
  std::vector<std::int16_t> source(48000 * 2);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::int16_t>(i * 37 % 65521 - 32000);
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(source.data()), static_cast<std::streamsize>(source.size() * 2));
  const std::string prefix = (dir.path() / "fromfile").string();
  ASSERT_EQ(Run({"--audio", file, "--fast", "--duration", "2", "--out", outFolder, "--",
                 platform::Utf8FromUtf16(selfPath), "--record-sound", prefix}),
            0);
  const RecordedSound r = ReadRecordedSound(prefix);
  ASSERT_FALSE(r.times.empty());
  EXPECT_EQ(r.start, r.times[0]);
  EXPECT_EQ(r.lost, 0u);
  // Whole packets only: the end of the file waits for a packet that never fills.
  const std::size_t whole = source.size() / 2 / 480 * 480;
  ASSERT_EQ(r.pcm.size(), whole * 2);
  EXPECT_TRUE(std::equal(r.pcm.begin(), r.pcm.end(), source.begin()));
}

// The host never waits for the sound to be read: twenty seconds of the fast clock with a reader
// that takes the frames but never the sound (the ring holds four) run to the end, every packet
// written.
TEST_F(HostCommand, SoundNeverWaitsForTheReader) {
  const std::string prefix = (dir.path() / "unread").string();
  ASSERT_EQ(Run({"--audio", "tone", "--fast", "--duration", "20", "--size", "640x360", "--out", outFolder, "--",
                 platform::Utf8FromUtf16(selfPath), "--record-frames", prefix}),
            0);
  const RecordedSound r = ReadRecordedSound(prefix);
  EXPECT_EQ(r.times.size(), 600u);
  EXPECT_TRUE(r.pcm.empty());
  EXPECT_EQ(r.written, 2000u) << "20 s of 10 ms packets";
}

TEST_F(HostCommand, AudioFromStandardInputAndFramesFromItAreRefused) {
  EXPECT_EQ(Run({"--audio", "-", "--source", "-", "--out", outFolder, "--", "no-such-program-here"}), 100);
  EXPECT_EQ(Run({"--audio", "", "--out", outFolder, "--", "no-such-program-here"}), 100);
  EXPECT_EQ(Run({"--audio", (dir.path() / "none.pcm").string(), "--out", outFolder, "--", "no-such-program-here"}), 101);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--check-nv12-source") == 0 && std::strcmp(argv[3], "--run") == 0) {
    return CheckNv12Source(argv[2], static_cast<std::uint32_t>(std::stoul(argv[4])));
  }
  if (argc >= 5 && std::strcmp(argv[1], "--record-sound") == 0 && std::strcmp(argv[3], "--run") == 0) {
    return RecordHostSound(argv[2], static_cast<std::uint32_t>(std::stoul(argv[4])), true);
  }
  if (argc >= 5 && std::strcmp(argv[1], "--record-frames") == 0 && std::strcmp(argv[3], "--run") == 0) {
    return RecordHostSound(argv[2], static_cast<std::uint32_t>(std::stoul(argv[4])), false);
  }
  if (argc >= 4 && std::strcmp(argv[1], "--take-frames") == 0) {
    return TakeFrames(static_cast<std::uint32_t>(std::stoul(argv[2])), std::stoi(argv[3]));
  }
  selfPath = platform::ExecutablePath();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
