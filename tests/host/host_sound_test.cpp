// The host's sound through the ring to vistrel's reader: the header it declares, packets cut from
// any size of offer, a host that stops and resumes, and a host thread that never waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "exchange/exchange.h"
#include "exchange/sound_reader.h"
#include "host/host_exchange.h"
#include "platform/process.h"

namespace {

std::uint32_t SoundPid() {
  static std::uint32_t next = 3300000000u + (platform::CurrentProcessId() % 100000u) * 10u;
  return next++;
}

host::HostOptions SoundOptions(std::uint32_t packetFrames = 480, std::uint32_t packetCount = 400) {
  host::HostOptions options;
  host::HostStream stream;
  stream.width = 640;
  stream.height = 360;
  options.stream = stream;
  options.sound = true;
  options.soundPacketFrames = packetFrames;
  options.soundPacketCount = packetCount;
  options.clockFrequency = 48000;  // a tick per frame
  return options;
}

// Frame n of the sound carries n (never 0, which is silence).
std::uint32_t FrameValue(std::uint64_t n) { return static_cast<std::uint32_t>(n % 0xFFFF + 1) * 0x10001u; }

std::vector<std::int16_t> Frames(std::uint64_t first, std::size_t count) {
  std::vector<std::int16_t> pcm(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t v = FrameValue(first + i);
    std::memcpy(pcm.data() + i * 2, &v, 4);
  }
  return pcm;
}

std::uint32_t At(const std::vector<std::int16_t>& pcm, std::uint64_t frame) {
  std::uint32_t v;
  std::memcpy(&v, pcm.data() + frame * 2, 4);
  return v;
}

TEST(HostSound, RingIsDeclaredAfterTheSlots) {
  host::HostExchange ex;
  const std::uint32_t pid = SoundPid();
  ASSERT_TRUE(ex.Create(pid, SoundOptions()));
  const std::uint64_t slotsEnd = 8192 + 3 * 2560 * 360;
  const auto& s = ex.Header()->sound;
  EXPECT_EQ(s.present, 1u);
  EXPECT_EQ(s.rate, 48000u);
  EXPECT_EQ(s.channels, 2u);
  EXPECT_EQ(s.bitsPerSample, 16u);
  EXPECT_GE(s.ringOffset, slotsEnd);
  EXPECT_EQ(s.ringOffset % 64, 0u);
  EXPECT_EQ(s.ringBytes, 400u * 1936u);
  EXPECT_EQ(ex.BlockBytes(), s.ringOffset + s.ringBytes);
  exchange::Exchange opened;
  ASSERT_TRUE(exchange::OpenExchange(pid, opened));
  EXPECT_TRUE(opened.sound.present);
  EXPECT_EQ(opened.sound.packetFrames, 480u);
  EXPECT_EQ(opened.sound.offset, s.ringOffset);
  // Sound needs a version 3 block; a version 2 one stays as it is.
  host::HostOptions v2 = SoundOptions();
  v2.stream.reset();
  host::HostExchange ex2;
  EXPECT_FALSE(ex2.Create(SoundPid(), v2));
  // Without sound nothing is offered.
  host::HostExchange quiet;
  host::HostOptions none = SoundOptions();
  none.sound = false;
  ASSERT_TRUE(quiet.Create(SoundPid(), none));
  const auto pcm = Frames(0, 480);
  EXPECT_FALSE(quiet.OfferAudio(pcm.data(), 480, 0));
  EXPECT_EQ(quiet.Header()->sound.present, 0u);
}

TEST(HostSound, OffersOfAnySizeAreCutIntoTimedPackets) {
  host::HostExchange ex;
  ASSERT_TRUE(ex.Create(SoundPid(), SoundOptions()));
  exchange::SoundRing ring;
  ASSERT_TRUE(exchange::CheckBlock(ex.Block(), ex.BlockBytes(), nullptr, &ring));
  exchange::SoundReader reader(ex.Block(), ring, 48000);
  std::vector<std::int16_t> out;
  // Nothing whole is offered before a packet is full.
  auto pcm = Frames(0, 1000);
  ASSERT_TRUE(ex.OfferAudio(pcm.data(), 300, 5000));
  EXPECT_EQ(ex.AudioPacketsWritten(), 0u);
  reader.Take(out, 1 << 20);
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(ex.OfferAudio(pcm.data() + 600, 700, 5300));
  EXPECT_EQ(ex.AudioPacketsWritten(), 2u);
  const auto report = reader.Take(out, 1 << 20);
  EXPECT_EQ(report.lostPackets + report.gapMilliseconds, 0u);
  ASSERT_EQ(out.size(), 960u * 2);
  for (std::uint64_t f = 0; f < 960; ++f) ASSERT_EQ(At(out, f), FrameValue(f)) << f;
  EXPECT_EQ(reader.StartTime(), 5000);
  EXPECT_EQ(ex.Header()->sound.packetsWritten, 2u);
}

TEST(HostSound, HostThatStopsAndResumesStaysInSync) {
  host::HostExchange ex;
  ASSERT_TRUE(ex.Create(SoundPid(), SoundOptions()));
  exchange::SoundRing ring;
  ASSERT_TRUE(exchange::CheckBlock(ex.Block(), ex.BlockBytes(), nullptr, &ring));
  exchange::SoundReader reader(ex.Block(), ring, 48000);
  std::vector<std::int16_t> out;
  // 10 packets and 100 frames, then 2 s without sound, then on.
  const auto before = Frames(0, 4900);
  ASSERT_TRUE(ex.OfferAudio(before.data(), 4900, 0));
  reader.Take(out, 1 << 20);
  const std::uint64_t resume = 4900 + 96000;
  const auto after = Frames(resume, 960);
  ASSERT_TRUE(ex.OfferAudio(after.data(), 960, static_cast<std::int64_t>(resume)));
  // The 100 waiting frames went out first, filled up to a packet.
  EXPECT_EQ(ex.AudioPacketsWritten(), 13u);
  const auto report = reader.Take(out, 1 << 20);
  EXPECT_EQ(report.lostPackets, 0u);
  EXPECT_EQ(report.gapMilliseconds, (resume - 5280) / 48);
  // Every frame after the pause lies at its own time.
  ASSERT_EQ(reader.FramesOut(), resume + 960);
  for (std::uint64_t f = 0; f < resume + 960; ++f) {
    ASSERT_EQ(At(out, f), f < 4900 || f >= resume ? FrameValue(f) : 0u) << f;
  }
}

TEST(HostSound, HostThreadNeverWaitsAndTheReaderKeepsItsPlace) {
  // A ring of 4 packets: the host laps the reader often. Whatever is lost is silence; every frame
  // taken is at its own place.
  host::HostExchange ex;
  ASSERT_TRUE(ex.Create(SoundPid(), SoundOptions(240, 4)));
  exchange::SoundRing ring;
  ASSERT_TRUE(exchange::CheckBlock(ex.Block(), ex.BlockBytes(), nullptr, &ring));
  exchange::SoundReader reader(ex.Block(), ring, 48000);
  constexpr std::uint64_t kTotal = 240 * 2000;
  std::atomic<bool> done{false};
  std::thread hostThread([&] {
    std::uint64_t frame = 0;
    std::size_t step = 1;
    while (frame < kTotal) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(step, kTotal - frame));
      const auto pcm = Frames(frame, n);
      ex.OfferAudio(pcm.data(), n, static_cast<std::int64_t>(frame));
      frame += n;
      step = step * 7 % 601 + 1;
    }
    done = true;
  });
  std::vector<std::int16_t> out;
  std::uint64_t lost = 0;
  for (;;) {
    const bool finished = done;
    lost += reader.Take(out, 1 << 20).lostPackets;
    if (finished) break;
  }
  hostThread.join();
  // The reader starts with the oldest whole packet it finds; frame 0 of its sound is that one's.
  ASSERT_TRUE(reader.Started());
  const auto start = static_cast<std::uint64_t>(reader.StartTime());
  ASSERT_EQ(start % 240, 0u);
  ASSERT_EQ(reader.FramesOut(), kTotal - start);
  std::uint64_t taken = 0;
  for (std::uint64_t f = 0; f < kTotal - start; ++f) {
    const std::uint32_t v = At(out, f);
    if (v != 0) {
      ASSERT_EQ(v, FrameValue(start + f)) << f;
      ++taken;
    }
  }
  EXPECT_EQ(taken + lost * 240, kTotal - start);
}

}  // namespace
