// The C host library from outside, as a game calls it: every refused call returns its code and
// leaves the block exactly as it was (compared byte for byte through a mapping of our own, the way
// vistrel sees it), and the calls that are taken change what they should.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "exchange/exchange.h"
#include "exchange/layout.h"
#include "vistrel_host.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

std::string Utf8(const std::filesystem::path& p) { return platform::Utf8FromUtf16(p.u16string()); }

// A program that ends at once with code 7, started in vistrel's place: beside this one, with the
// same extension.
std::string ExitAtOnce() {
  std::string self = platform::Utf8FromUtf16(platform::ExecutablePath());
  const auto slash = self.find_last_of("\\/");
  const std::string folder = self.substr(0, slash + 1);
  const std::string name = self.substr(slash + 1);
  const auto dot = name.rfind('.');
  std::string path = folder + "host_c_exit_at_once" + (dot == std::string::npos ? "" : name.substr(dot));
#if !defined(_WIN32)
  std::replace(path.begin(), path.end(), '\\', '/');
#endif
  return path;
}

// Unmaps a view of our own without removing the block's name (which closing does on POSIX).
void Unmap(platform::SharedBlock& block) {
  if (!block.view) return;
#if defined(_WIN32)
  ::UnmapViewOfFile(block.view);
  ::CloseHandle(reinterpret_cast<HANDLE>(block.mapping));
#else
  ::munmap(block.view, block.size);
  ::close(static_cast<int>(block.mapping));
#endif
  block = platform::SharedBlock{};
}

class HostApi : public testing::Test {
 protected:
  testing_support::TempDir dir;
  vistrel_host* h = nullptr;
  platform::SharedBlock peek;

  void TearDown() override {
    if (h) {
      EXPECT_EQ(vistrel_host_destroy(h), VISTREL_HOST_OK);
    }
    h = nullptr;
    Unmap(peek);
  }

  // A handle for options (none: version 2), and a mapping of its block of our own.
  void Create(const vistrel_host_options* options) {
    ASSERT_EQ(vistrel_host_create(Utf8(dir.path()).c_str(), options, &h), VISTREL_HOST_OK);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(platform::OpenSharedBlock(exchange::BlockName(platform::CurrentProcessId()), peek));
  }
  // A small version 3 block with sound: 320 x 180 BGRA.
  static vistrel_host_options Small() {
    vistrel_host_options o;
    std::memset(&o, 0, sizeof o);
    o.width = 320;
    o.height = 180;
    o.sound = 1;
    return o;
  }

  exchange::ExchangeHeader& Header() { return *reinterpret_cast<exchange::ExchangeHeader*>(peek.view); }
  std::vector<std::uint8_t> Bytes() const { return {peek.view, peek.view + peek.size}; }
};

// The frame the block takes, with packed rows, each byte telling its place.
std::vector<std::uint8_t> Frame(std::size_t bytes, std::uint8_t seed) {
  std::vector<std::uint8_t> f(bytes);
  for (std::size_t i = 0; i < bytes; ++i) f[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return f;
}

constexpr std::size_t kSmallFrame = 320 * 180 * 4;

TEST_F(HostApi, VersionIsTheProjects) {
  const std::string v = vistrel_host_version();
  EXPECT_EQ(v, VISTREL_TEST_VERSION);
  EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2) << v;
}

TEST_F(HostApi, AllZeroOptionsMakeTheVersion2BlockAndAnyFieldVersion3) {
  vistrel_host_options zero;
  std::memset(&zero, 0, sizeof zero);
  Create(&zero);
  EXPECT_EQ(Header().version, exchange::kVersion);
  EXPECT_EQ(Header().width, 1280u);
  EXPECT_EQ(Header().stride, 5120u);
  EXPECT_EQ(Header().frameRateNumerator, 0u);
  EXPECT_EQ(Header().clockFrequency, 10000000);
  EXPECT_EQ(peek.size >= exchange::kBlockBytes, true);
  EXPECT_TRUE(exchange::CheckBlock(peek.view, peek.size));
  TearDown();

  vistrel_host_options nv12 = zero;
  nv12.pixel_format = VISTREL_HOST_PIXEL_NV12;
  Create(&nv12);
  EXPECT_EQ(Header().version, exchange::kVersion3);
  EXPECT_EQ(Header().width, 1280u);
  EXPECT_EQ(Header().height, 720u);
  EXPECT_EQ(Header().stride, 1280u);
  EXPECT_EQ(Header().frameRateNumerator, 30u);
  EXPECT_EQ(Header().frameRateDenominator, 1u);
  EXPECT_EQ(Header().pixelFormat, exchange::kPixelFormatNv12);
  EXPECT_EQ(Header().sound.present, 0u);
  TearDown();

  vistrel_host_options sound = zero;
  sound.sound = 1;
  Create(&sound);
  EXPECT_EQ(Header().version, exchange::kVersion3);
  EXPECT_EQ(Header().sound.present, 1u);
  EXPECT_EQ(Header().sound.packetFrames, 480u);
  EXPECT_EQ(Header().sound.packetCount, 400u);
}

TEST_F(HostApi, OptionsVistrelWouldRefuseCreateNothing) {
  const auto small = Small();
  struct Row {
    const char* what;
    void (*change)(vistrel_host_options&);
  };
  const Row rows[] = {
      {"odd width", [](vistrel_host_options& o) { o.width = 321; }},
      {"narrow", [](vistrel_host_options& o) { o.width = 318; }},
      {"wide", [](vistrel_host_options& o) { o.width = 3842; }},
      {"odd height", [](vistrel_host_options& o) { o.height = 181; }},
      {"tall", [](vistrel_host_options& o) { o.height = 2162; }},
      {"pixel format", [](vistrel_host_options& o) { o.pixel_format = 2; }},
      {"stride short of a row", [](vistrel_host_options& o) { o.stride = 1276; }},
      {"stride not a multiple of 4", [](vistrel_host_options& o) { o.stride = 1282; }},
      {"stride beyond the library's", [](vistrel_host_options& o) { o.stride = 65540; }},
      {"rate 0/1", [](vistrel_host_options& o) { o.frame_rate_numerator = 0; o.frame_rate_denominator = 1; }},
      {"rate 30/0", [](vistrel_host_options& o) { o.frame_rate_numerator = 30; o.frame_rate_denominator = 0; }},
      {"rate 241", [](vistrel_host_options& o) { o.frame_rate_numerator = 241; o.frame_rate_denominator = 1; }},
      {"rate below 1", [](vistrel_host_options& o) { o.frame_rate_numerator = 1; o.frame_rate_denominator = 2; }},
      {"bit rate low", [](vistrel_host_options& o) { o.bit_rate = 999999; }},
      {"bit rate high", [](vistrel_host_options& o) { o.bit_rate = 100000001; }},
      {"sound 2", [](vistrel_host_options& o) { o.sound = 2; }},
      {"odd packet", [](vistrel_host_options& o) { o.sound_packet_frames = 481; }},
      {"short packet", [](vistrel_host_options& o) { o.sound_packet_frames = 238; }},
      {"long packet", [](vistrel_host_options& o) { o.sound_packet_frames = 4802; }},
      {"3 packets", [](vistrel_host_options& o) { o.sound_packet_count = 3; }},
      {"ring over 32 MiB", [](vistrel_host_options& o) { o.sound_packet_frames = 4800; o.sound_packet_count = 1747; }},
      {"packets without sound", [](vistrel_host_options& o) { o.sound = 0; o.sound_packet_count = 8; }},
      {"negative clock", [](vistrel_host_options& o) { o.clock_frequency = -1; }},
      {"a clock too fast for sound", [](vistrel_host_options& o) { o.clock_frequency = (std::int64_t{1} << 40) + 1; }},
      {"log 2", [](vistrel_host_options& o) { o.log = 2; }},
      {"record 2", [](vistrel_host_options& o) { o.record = 2; }},
      {"reserved", [](vistrel_host_options& o) { o.reserved[7] = 1; }},
  };
  for (const Row& row : rows) {
    vistrel_host_options o = small;
    row.change(o);
    vistrel_host* made = reinterpret_cast<vistrel_host*>(&o);  // must come back NULL
    EXPECT_EQ(vistrel_host_create(Utf8(dir.path()).c_str(), &o, &made), VISTREL_HOST_E_BAD_OPTIONS) << row.what;
    EXPECT_EQ(made, nullptr) << row.what;
    platform::SharedBlock none;
    EXPECT_FALSE(platform::OpenSharedBlock(exchange::BlockName(platform::CurrentProcessId()), none)) << row.what;
    Unmap(none);
  }
  // The largest ring there is, and the fastest clock the sound can be read in, just within.
  vistrel_host_options o = small;
  o.sound_packet_frames = 4800;
  o.sound_packet_count = 1746;
  o.clock_frequency = std::int64_t{1} << 40;
  Create(&o);
  EXPECT_EQ(Header().sound.ringBytes, 1746u * (16 + 4 * 4800));

  vistrel_host* second = nullptr;
  EXPECT_EQ(vistrel_host_create(Utf8(dir.path()).c_str(), nullptr, nullptr), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_create(nullptr, nullptr, &second), VISTREL_HOST_E_NULL_ARGUMENT);
  EXPECT_EQ(vistrel_host_create("", nullptr, &second), VISTREL_HOST_E_BAD_OPTIONS);
  EXPECT_EQ(vistrel_host_create(std::string(600, 'a').c_str(), nullptr, &second), VISTREL_HOST_E_BAD_OPTIONS);
  // Bytes that are no UTF-8 would name another folder than the caller's.
  EXPECT_EQ(vistrel_host_create((Utf8(dir.path()) + "/\xC3(").c_str(), nullptr, &second), VISTREL_HOST_E_BAD_OPTIONS);
  EXPECT_EQ(second, nullptr);
}

TEST_F(HostApi, ASecondHandleOfTheProcessLeavesTheFirstBlockAlone) {
  auto o = Small();
  Create(&o);
  const auto frame = Frame(kSmallFrame, 1);
  ASSERT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 10), VISTREL_HOST_OK);
  const auto before = Bytes();
  vistrel_host* second = nullptr;
  EXPECT_EQ(vistrel_host_create(Utf8(dir.path()).c_str(), nullptr, &second), VISTREL_HOST_E_CREATE_FAILED);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(Bytes(), before);
  // The first handle's block is still the one a vistrel would open.
  platform::SharedBlock again;
  ASSERT_TRUE(platform::OpenSharedBlock(exchange::BlockName(platform::CurrentProcessId()), again));
  EXPECT_EQ(std::memcmp(again.view, before.data(), before.size()), 0);
  Unmap(again);
}

TEST_F(HostApi, ANullHandleIsRefusedByEveryCall) {
  auto o = Small();
  Create(&o);
  const auto before = Bytes();
  const auto frame = Frame(kSmallFrame, 1);
  const std::int16_t pcm[4] = {1, 2, 3, 4};
  std::int32_t i32 = 5;
  std::uint32_t u32 = 5;
  std::uint64_t u64 = 5;
  EXPECT_EQ(vistrel_host_start(nullptr, ExitAtOnce().c_str()), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_submit_frame(nullptr, frame.data(), frame.size(), 0, 1), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_request_clip(nullptr, 1), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_set_record(nullptr, 1), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_submit_audio(nullptr, pcm, 2, 1), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_stop(nullptr, 0, &i32), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_read_status(nullptr, &i32, &u32), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_alive(nullptr, 1000, &i32), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_frames_taken(nullptr, &u64), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(vistrel_host_destroy(nullptr), VISTREL_HOST_E_NULL_HANDLE);
  EXPECT_EQ(i32, 5);
  EXPECT_EQ(u32, 5u);
  EXPECT_EQ(u64, 5u);
  EXPECT_EQ(Bytes(), before);
}

TEST_F(HostApi, NullAndShortBuffersAreRefused) {
  auto o = Small();
  o.stride = 1344;  // rows of the slot wider than the picture
  Create(&o);
  const auto before = Bytes();
  const auto frame = Frame(kSmallFrame + 4096, 3);
  EXPECT_EQ(vistrel_host_submit_frame(h, nullptr, kSmallFrame, 0, 1), VISTREL_HOST_E_NULL_ARGUMENT);
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), kSmallFrame - 1, 0, 1), VISTREL_HOST_E_SHORT_BUFFER);
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), 0, 0, 1), VISTREL_HOST_E_SHORT_BUFFER);
  // Rows of the caller's buffer shorter than a row of the picture.
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 1276, 1), VISTREL_HOST_E_SHORT_BUFFER);
  // Rows 1300 bytes apart: the last row ends 179 x 1300 + 1280 bytes in.
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), 179 * 1300 + 1279, 1300, 1), VISTREL_HOST_E_SHORT_BUFFER);
  // Rows so far apart that the frame outruns a 32-bit address space: no buffer can hold it, whatever
  // the size claimed (on a 64-bit system such a claim is the caller's word, and is taken).
  if (sizeof(std::size_t) == 4) {
    EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), UINT64_MAX, 0xFFFFFFFCu, 1), VISTREL_HOST_E_SHORT_BUFFER);
  }
  EXPECT_EQ(vistrel_host_submit_audio(h, nullptr, 1, 1), VISTREL_HOST_E_NULL_ARGUMENT);
  EXPECT_EQ(vistrel_host_read_status(h, nullptr, nullptr), VISTREL_HOST_E_NULL_ARGUMENT);
  EXPECT_EQ(vistrel_host_alive(h, 1000, nullptr), VISTREL_HOST_E_NULL_ARGUMENT);
  EXPECT_EQ(vistrel_host_frames_taken(h, nullptr), VISTREL_HOST_E_NULL_ARGUMENT);
  EXPECT_EQ(Bytes(), before);

  // Exactly enough is taken, row by row into the slot's wider rows.
  ASSERT_EQ(vistrel_host_submit_frame(h, frame.data(), 179 * 1300 + 1280, 1300, 1), VISTREL_HOST_OK);
  EXPECT_EQ(Header().slotState[0], 1);
  EXPECT_EQ(Header().slotTime[0], 1);
  const std::uint8_t* slot = peek.view + exchange::kFramesOffset;
  for (std::size_t y = 0; y < 180; ++y) {
    ASSERT_EQ(std::memcmp(slot + y * 1344, frame.data() + y * 1300, 1280), 0) << "row " << y;
  }
}

TEST_F(HostApi, ATimeThatDoesNotAdvanceIsRefused) {
  auto o = Small();
  Create(&o);
  const auto frame = Frame(kSmallFrame, 5);
  ASSERT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 1000), VISTREL_HOST_OK);
  const std::int16_t pcm[960] = {};
  ASSERT_EQ(vistrel_host_submit_audio(h, pcm, 480, 5000), VISTREL_HOST_OK);
  const auto before = Bytes();
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 1000), VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 999), VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, INT64_MIN), VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 480, 4999), VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT_EQ(Bytes(), before);
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 1001), VISTREL_HOST_OK);
  EXPECT_EQ(Header().slotTime[1], 1001);
}

TEST_F(HostApi, AFrameFindsNoSlotWhileVistrelHoldsThemAll) {
  auto o = Small();
  Create(&o);
  const auto frame = Frame(kSmallFrame, 9);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, i), VISTREL_HOST_OK);
  const auto before = Bytes();
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 3), VISTREL_HOST_BUSY);
  EXPECT_EQ(Bytes(), before);
  // The refused frame's time does not count: the same time is taken once the slot is free.
  Header().slotState[0] = 0;
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 3), VISTREL_HOST_OK);
  EXPECT_EQ(Header().slotTime[0], 3);
  std::uint64_t taken = 0;
  EXPECT_EQ(vistrel_host_frames_taken(h, &taken), VISTREL_HOST_OK);
  EXPECT_EQ(taken, 1u);
}

TEST_F(HostApi, KindsAndSwitchesOutOfRangeAreRefused) {
  auto o = Small();
  Create(&o);
  const auto before = Bytes();
  for (std::int32_t kind : {0, 4, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(vistrel_host_request_clip(h, kind), VISTREL_HOST_E_OUT_OF_RANGE) << kind;
  }
  for (std::int32_t on : {2, -1, INT32_MIN}) EXPECT_EQ(vistrel_host_set_record(h, on), VISTREL_HOST_E_OUT_OF_RANGE);
  const std::int16_t pcm[2] = {};
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, std::uint64_t{VISTREL_HOST_MAX_AUDIO_FRAMES} + 1, 0),
            VISTREL_HOST_E_OUT_OF_RANGE);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, UINT64_MAX, 0), VISTREL_HOST_E_OUT_OF_RANGE);
  EXPECT_EQ(Bytes(), before);

  for (std::int32_t kind = 1; kind <= 3; ++kind) {
    EXPECT_EQ(vistrel_host_request_clip(h, kind), VISTREL_HOST_OK);
    EXPECT_EQ(Header().requestKind, kind);
    EXPECT_EQ(Header().requestCount, kind);
  }
  EXPECT_EQ(vistrel_host_set_record(h, 1), VISTREL_HOST_OK);
  EXPECT_EQ(Header().recordSwitch, 1);
  EXPECT_EQ(vistrel_host_set_record(h, 0), VISTREL_HOST_OK);
  EXPECT_EQ(Header().recordSwitch, 0);
}

TEST_F(HostApi, SoundGoesIntoTheRingOnlyOfABlockWithSound) {
  Create(nullptr);
  const auto before = Bytes();
  std::int16_t pcm[960];
  for (int i = 0; i < 960; ++i) pcm[i] = static_cast<std::int16_t>(i - 480);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 480, 0), VISTREL_HOST_E_NO_SOUND);
  EXPECT_EQ(Bytes(), before);
  TearDown();

  auto o = Small();
  Create(&o);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 0, 0), VISTREL_HOST_OK);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 480, 0), VISTREL_HOST_OK);
  EXPECT_EQ(Header().sound.packetsWritten, 1u);
  const std::uint8_t* packet = peek.view + Header().sound.ringOffset;
  EXPECT_EQ(std::memcmp(packet + exchange::kSoundPacketHeaderBytes, pcm, sizeof pcm), 0);
}

// Sound at the ends of the clock's range: an end beyond the largest time is refused and changes
// nothing; two times as far apart as the range allows still start a packet of their own.
TEST_F(HostApi, SoundTimesAtTheEndsOfTheClockNeitherWrapNorMerge) {
  auto o = Small();
  Create(&o);
  std::int16_t pcm[2 * 960] = {};
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  ASSERT_EQ(vistrel_host_submit_audio(h, pcm, 100, min), VISTREL_HOST_OK);
  const auto before = Bytes();
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 960, max), VISTREL_HOST_E_OUT_OF_RANGE);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 1, max), VISTREL_HOST_E_OUT_OF_RANGE);
  EXPECT_EQ(Bytes(), before);
  // 960 frames are 200,000 ticks of the 10 MHz clock: the last call that still ends in range.
  ASSERT_EQ(vistrel_host_submit_audio(h, pcm, 960, max - 200000), VISTREL_HOST_OK);
  ASSERT_EQ(Header().sound.packetsWritten, 3u) << "the 100 frames of the first call, then twice 480 of the second";
  exchange::SoundPacketHeader first, second;
  const std::uint8_t* ring = peek.view + Header().sound.ringOffset;
  std::memcpy(&first, ring, sizeof first);
  const std::size_t packetBytes = exchange::kSoundPacketHeaderBytes + std::size_t{Header().sound.packetFrames} * 4;
  std::memcpy(&second, ring + packetBytes, sizeof second);
  EXPECT_EQ(first.time, min);
  EXPECT_EQ(second.time, max - 200000);
}

// vistrel writes the slots' states: however it sets them, no more frames come back than went out.
TEST_F(HostApi, FramesTakenNeverExceedsTheFramesGiven) {
  auto o = Small();
  Create(&o);
  std::uint64_t taken = 99;
  Header().slotState[0] = 1;
  Header().slotState[2] = 1;
  EXPECT_EQ(vistrel_host_frames_taken(h, &taken), VISTREL_HOST_OK);
  EXPECT_EQ(taken, 0u);
}

// A handle destroyed while its vistrel still holds the block, then a new one: Windows hands back the
// old block (its size, and a reader still serving it), so the new handle is refused until that
// vistrel has let go; POSIX takes the name for a new block, the old one staying with its holder.
TEST_F(HostApi, ANewHandleNeverTakesOverABlockStillHeld) {
  Create(nullptr);
  platform::SharedBlock held = peek;  // the old vistrel's view
  peek = platform::SharedBlock{};
  ASSERT_EQ(vistrel_host_destroy(h), VISTREL_HOST_OK);
  h = nullptr;
  auto o = Small();
  vistrel_host* again = nullptr;
  const vistrel_host_result r = vistrel_host_create(Utf8(dir.path()).c_str(), &o, &again);
#if defined(_WIN32)
  EXPECT_EQ(r, VISTREL_HOST_E_CREATE_FAILED);
  EXPECT_EQ(again, nullptr);
  Unmap(held);
  // Once it has let go, the name is free again.
  EXPECT_EQ(vistrel_host_create(Utf8(dir.path()).c_str(), &o, &again), VISTREL_HOST_OK);
#else
  EXPECT_EQ(r, VISTREL_HOST_OK);
  EXPECT_EQ(reinterpret_cast<exchange::ExchangeHeader*>(held.view)->version, exchange::kVersion)
      << "the old block is left as it was";
  Unmap(held);
#endif
  h = again;
}

#if !defined(_WIN32)
// A game that ignores SIGCHLD leaves no exit code to wait for: stop still learns that vistrel has
// ended, with the code unknown, and never reports a time-out for ever.
TEST_F(HostApi, AVistrelReapedByTheSystemHasEndedWithItsCodeUnknown) {
  auto o = Small();
  Create(&o);
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
  ASSERT_EQ(vistrel_host_start(h, ExitAtOnce().c_str()), VISTREL_HOST_OK);
  std::int32_t code = 0;
  vistrel_host_result r = VISTREL_HOST_TIMEOUT;
  for (int i = 0; i < 600 && r == VISTREL_HOST_TIMEOUT; ++i) r = vistrel_host_stop(h, 100, &code);
  ::sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(r, VISTREL_HOST_OK);
  EXPECT_EQ(code, VISTREL_HOST_EXIT_UNKNOWN);
}
#endif

TEST_F(HostApi, AfterStopOnlyTheWaitAndTheReadsRemain) {
  auto o = Small();
  Create(&o);
  std::int32_t code = -1;
  EXPECT_EQ(vistrel_host_stop(h, 1000, &code), VISTREL_HOST_E_NOT_STARTED);
  EXPECT_EQ(Header().stopSwitch, 0);
  EXPECT_EQ(vistrel_host_start(h, (Utf8(dir.path()) + "/no such program").c_str()), VISTREL_HOST_E_START_FAILED);
  EXPECT_EQ(vistrel_host_start(h, ""), VISTREL_HOST_E_START_FAILED);
  EXPECT_EQ(vistrel_host_start(h, (ExitAtOnce() + "\xFF").c_str()), VISTREL_HOST_E_START_FAILED);

  ASSERT_EQ(vistrel_host_start(h, ExitAtOnce().c_str()), VISTREL_HOST_OK);
  EXPECT_EQ(vistrel_host_start(h, ExitAtOnce().c_str()), VISTREL_HOST_E_ALREADY_STARTED);
  // No time limit of its own: the program ends at once, a slow machine takes longer.
  vistrel_host_result r = VISTREL_HOST_TIMEOUT;
  while (r == VISTREL_HOST_TIMEOUT) r = vistrel_host_stop(h, 1000, &code);
  ASSERT_EQ(r, VISTREL_HOST_OK);
  EXPECT_EQ(code, 7);
  EXPECT_EQ(Header().stopSwitch, 1);
  code = -1;
  EXPECT_EQ(vistrel_host_stop(h, 0, &code), VISTREL_HOST_OK);
  EXPECT_EQ(code, 7);

  const auto before = Bytes();
  const auto frame = Frame(kSmallFrame, 2);
  const std::int16_t pcm[960] = {};
  EXPECT_EQ(vistrel_host_start(h, ExitAtOnce().c_str()), VISTREL_HOST_E_STOPPED);
  EXPECT_EQ(vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, 1), VISTREL_HOST_E_STOPPED);
  EXPECT_EQ(vistrel_host_request_clip(h, 3), VISTREL_HOST_E_STOPPED);
  EXPECT_EQ(vistrel_host_set_record(h, 1), VISTREL_HOST_E_STOPPED);
  EXPECT_EQ(vistrel_host_submit_audio(h, pcm, 480, 1), VISTREL_HOST_E_STOPPED);
  std::int32_t status = -1, alive = -1;
  std::uint32_t beat = 1;
  EXPECT_EQ(vistrel_host_read_status(h, &status, &beat), VISTREL_HOST_OK);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(beat, 0u);
  EXPECT_EQ(vistrel_host_alive(h, 60000, &alive), VISTREL_HOST_OK);
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(Bytes(), before);
}

TEST_F(HostApi, AVistrelThatEndedIsNotAlive) {
  auto o = Small();
  Create(&o);
  std::int32_t alive = -1;
  EXPECT_EQ(vistrel_host_alive(h, 60000, &alive), VISTREL_HOST_OK);
  EXPECT_EQ(alive, 0) << "not started";
  ASSERT_EQ(vistrel_host_start(h, ExitAtOnce().c_str()), VISTREL_HOST_OK);
  // The program reports running and a moving heartbeat, yet it ends: its end decides.
  Header().status = 1;
  for (int i = 0; i < 20000; ++i) {
    Header().heartbeat += 1;
    ASSERT_EQ(vistrel_host_alive(h, 60000, &alive), VISTREL_HOST_OK);
    if (alive == 0) break;
    platform::SleepMilliseconds(1);
  }
  EXPECT_EQ(alive, 0);
  std::int32_t code = -1;
  EXPECT_EQ(vistrel_host_stop(h, 0, &code), VISTREL_HOST_OK) << "the end seen by alive is kept";
  EXPECT_EQ(code, 7);
}

// A copy of the library in a folder of its own, with a program named vistrel beside it (the one
// that ends with 7): started without a path, that is the program that runs, whatever the folder
// of this test or the current one holds.
TEST(HostApiBeside, StartWithoutAPathRunsTheVistrelBesideTheLibrary) {
  namespace fs = std::filesystem;
  testing_support::TempDir dir;
#if defined(_WIN32)
  const char* const libraryName = "vistrel_host.dll";
  const char* const vistrelName = "vistrel.exe";
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(::GetModuleHandleW(L"vistrel_host.dll"), self, MAX_PATH);
  ASSERT_GT(n, 0u);
  const fs::path library(std::wstring(self, n));
#else
  const char* const libraryName = "libvistrel_host.so";
  const char* const vistrelName = "vistrel";
  Dl_info info{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(&vistrel_host_version), &info), 0);
  const fs::path library = fs::absolute(info.dli_fname);
#endif
  const std::string program = ExitAtOnce();
  fs::copy_file(library, dir.path() / libraryName);
  fs::copy_file(fs::path(program), dir.path() / vistrelName);
  const fs::path out = dir.path() / "out";
  fs::create_directories(out);

  using Create = vistrel_host_result(VISTREL_HOST_CALL*)(const char*, const vistrel_host_options*, vistrel_host**);
  using Start = vistrel_host_result(VISTREL_HOST_CALL*)(vistrel_host*, const char*);
  using Stop = vistrel_host_result(VISTREL_HOST_CALL*)(vistrel_host*, uint32_t, int32_t*);
  using Destroy = vistrel_host_result(VISTREL_HOST_CALL*)(vistrel_host*);
#if defined(_WIN32)
  HMODULE copy = ::LoadLibraryW((dir.path() / libraryName).wstring().c_str());
  ASSERT_NE(copy, nullptr);
  auto find = [&](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(copy, name)); };
#else
  void* copy = ::dlopen((dir.path() / libraryName).c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(copy, nullptr) << ::dlerror();
  auto find = [&](const char* name) { return ::dlsym(copy, name); };
#endif
  const auto create = reinterpret_cast<Create>(find("vistrel_host_create"));
  const auto start = reinterpret_cast<Start>(find("vistrel_host_start"));
  const auto stop = reinterpret_cast<Stop>(find("vistrel_host_stop"));
  const auto destroy = reinterpret_cast<Destroy>(find("vistrel_host_destroy"));
  ASSERT_TRUE(create && start && stop && destroy);
  vistrel_host* h = nullptr;
  ASSERT_EQ(create(Utf8(out).c_str(), nullptr, &h), VISTREL_HOST_OK);
  EXPECT_EQ(start(h, nullptr), VISTREL_HOST_OK);
  std::int32_t code = -1;
  vistrel_host_result r = VISTREL_HOST_TIMEOUT;
  while (r == VISTREL_HOST_TIMEOUT) r = stop(h, 1000, &code);
  EXPECT_EQ(r, VISTREL_HOST_OK);
  EXPECT_EQ(code, 7);
  EXPECT_EQ(destroy(h), VISTREL_HOST_OK);
#if defined(_WIN32)
  ::FreeLibrary(copy);
#else
  ::dlclose(copy);
#endif
}

}  // namespace
