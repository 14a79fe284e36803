// The sound ring as vistrel reads it: packets in order, lapped and torn packets, gaps filled with
// silence on a continuous sample clock, and whatever the host writes never read outside the ring.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "exchange/sound_reader.h"
#include "platform/atomic.h"

namespace {

using exchange::SoundReader;

constexpr std::uint32_t kFrames = 240;
constexpr std::uint32_t kCount = 8;
constexpr std::int64_t kClock = 48000;  // a tick per frame keeps the times readable
constexpr std::size_t kMany = 1 << 24;

// Frame n of the sound holds n in its two samples (left the low half): its place can be read back.
std::uint32_t FrameValue(std::uint64_t n) { return static_cast<std::uint32_t>(n % 0xFFFF + 1) * 0x10001u; }

// A block of exactly header + ring, written as a host does (test writer: every field by hand).
struct Ring {
  std::unique_ptr<std::uint64_t[]> storage;
  std::uint8_t* block = nullptr;
  exchange::SoundRing ring;
  std::uint64_t written = 0;

  explicit Ring(std::uint32_t frames = kFrames, std::uint32_t count = kCount) {
    ring.present = true;
    ring.packetFrames = frames;
    ring.packetCount = count;
    ring.offset = 8192;
    ring.packetBytes = 16 + 4 * std::size_t{frames};
    const std::size_t bytes = 8192 + count * ring.packetBytes;
    storage = std::make_unique<std::uint64_t[]>(bytes / 8);
    block = reinterpret_cast<std::uint8_t*>(storage.get());
    std::memset(block, 0, bytes);
    for (std::uint32_t i = 0; i < count; ++i) Head(i).sequence = exchange::kSoundSequenceWriting;
  }
  exchange::ExchangeHeader& Header() { return *reinterpret_cast<exchange::ExchangeHeader*>(block); }
  exchange::SoundPacketHeader& Head(std::uint64_t number) {
    return *reinterpret_cast<exchange::SoundPacketHeader*>(block + ring.offset +
                                                           (number % ring.packetCount) * ring.packetBytes);
  }
  std::uint32_t* Pcm(std::uint64_t number) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<std::uint8_t*>(&Head(number)) + 16);
  }
  // Writes the next packet holding frames firstFrame.. of the sound, at time.
  void Write(std::uint64_t firstFrame, std::int64_t time) {
    auto& head = Head(written);
    platform::AtomicStore(head.sequence, exchange::kSoundSequenceWriting);
    head.time = time;
    for (std::uint32_t i = 0; i < ring.packetFrames; ++i) Pcm(written)[i] = FrameValue(firstFrame + i);
    platform::AtomicStore(head.sequence, written);
    ++written;
    platform::AtomicStore(Header().sound.packetsWritten, written);
  }
  // Packets on the sound's own clock: packet n holds frames n x frames.. and starts at that time.
  void WriteOnClock(std::uint64_t packets) {
    for (std::uint64_t i = 0; i < packets; ++i) {
      const std::uint64_t first = written * ring.packetFrames;
      Write(first, static_cast<std::int64_t>(first) + 1000);
    }
  }
};

std::uint32_t At(const std::vector<std::int16_t>& pcm, std::uint64_t frame) {
  std::uint32_t v;
  std::memcpy(&v, pcm.data() + frame * 2, 4);
  return v;
}

TEST(SoundReader, TakesPacketsInOrderOnce) {
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  std::vector<std::int16_t> pcm;
  auto report = reader.Take(pcm, kMany);
  EXPECT_TRUE(pcm.empty());
  EXPECT_FALSE(reader.Started());
  r.WriteOnClock(5);
  report = reader.Take(pcm, kMany);
  EXPECT_EQ(report.lostPackets, 0u);
  EXPECT_EQ(report.gapMilliseconds, 0u);
  ASSERT_EQ(pcm.size(), 5u * kFrames * 2);
  for (std::uint64_t f = 0; f < 5 * kFrames; ++f) ASSERT_EQ(At(pcm, f), FrameValue(f)) << f;
  EXPECT_TRUE(reader.Started());
  EXPECT_EQ(reader.StartTime(), 1000);
  EXPECT_EQ(reader.FramesOut(), 5u * kFrames);
  // Nothing new: nothing taken twice.
  reader.Take(pcm, kMany);
  EXPECT_EQ(pcm.size(), 5u * kFrames * 2);
}

TEST(SoundReader, LappedRingIsReportedOnceAndFilledWithSilence) {
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  std::vector<std::int16_t> pcm;
  r.WriteOnClock(2);
  reader.Take(pcm, kMany);
  // The host runs five rings ahead.
  r.WriteOnClock(5 * kCount);
  const auto report = reader.Take(pcm, kMany);
  // Of packets 2..41, 34..41 are in the ring and 34 is the next the host writes over: 33 lost.
  EXPECT_EQ(report.lostPackets, 5 * kCount - kCount + 1);
  EXPECT_EQ(report.gapMilliseconds, 0u);  // the lost packets' time is the lap's, not a second gap
  // The clock goes on as if nothing had been lost: every packet taken is at its own place.
  const std::uint64_t total = r.written * kFrames;
  ASSERT_EQ(reader.FramesOut(), total);
  ASSERT_EQ(pcm.size(), total * 2);
  const std::uint64_t firstKept = (r.written - kCount + 1) * kFrames;
  for (std::uint64_t f = 0; f < total; ++f) {
    const bool lost = f >= 2 * kFrames && f < firstKept;
    ASSERT_EQ(At(pcm, f), lost ? 0u : FrameValue(f)) << f;
  }
  // Once per incident.
  r.WriteOnClock(1);
  EXPECT_EQ(reader.Take(pcm, kMany).lostPackets, 0u);
  EXPECT_EQ(At(pcm, total), FrameValue(total));
}

TEST(SoundReader, ReaderStartingLateTakesTheOldestWholePacketsWithoutALap) {
  Ring r;
  r.WriteOnClock(3 * kCount);
  SoundReader reader(r.block, r.ring, kClock);
  std::vector<std::int16_t> pcm;
  const auto report = reader.Take(pcm, kMany);
  EXPECT_EQ(report.lostPackets, 0u);
  EXPECT_EQ(pcm.size(), (kCount - 1) * kFrames * 2u);
  EXPECT_EQ(At(pcm, 0), FrameValue((2 * kCount + 1) * kFrames));
}

struct Overwrite {
  Ring* ring;
  int calls = 0;
  int tearAt = 0;
};

TEST(SoundReader, PacketOverwrittenDuringTheCopyIsLostNotTaken) {
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  r.WriteOnClock(4);
  // While packet 1 is copied, the host starts writing over it (as it does when it laps).
  Overwrite o{&r, 0, 2};
  reader.SetAfterCopyForTesting(
      [](void* a) {
        auto* w = static_cast<Overwrite*>(a);
        if (++w->calls != w->tearAt) return;
        platform::AtomicStore(w->ring->Head(1).sequence, exchange::kSoundSequenceWriting);
        w->ring->Pcm(1)[0] = 0xDEADBEEF;
      },
      &o);
  std::vector<std::int16_t> pcm;
  const auto report = reader.Take(pcm, kMany);
  EXPECT_EQ(report.lostPackets, 1u);
  ASSERT_EQ(pcm.size(), 4u * kFrames * 2);
  for (std::uint64_t f = 0; f < 4 * kFrames; ++f) {
    ASSERT_EQ(At(pcm, f), f >= kFrames && f < 2 * kFrames ? 0u : FrameValue(f)) << f;
  }
  // A newer packet in the place (the host lapped it) is just as lost.
  Ring r2;
  SoundReader reader2(r2.block, r2.ring, kClock);
  r2.WriteOnClock(2);
  Overwrite o2{&r2, 0, 1};
  reader2.SetAfterCopyForTesting(
      [](void* a) {
        auto* w = static_cast<Overwrite*>(a);
        if (++w->calls != w->tearAt) return;
        platform::AtomicStore(w->ring->Head(0).sequence, std::uint64_t{kCount});
      },
      &o2);
  pcm.clear();
  // The sound starts with the first whole packet: what was lost before it is no incident.
  EXPECT_EQ(reader2.Take(pcm, kMany).lostPackets, 0u);
  EXPECT_EQ(reader2.StartTime(), 1000 + kFrames);
  EXPECT_EQ(At(pcm, 0), FrameValue(kFrames));
}

TEST(SoundReader, TimeGapIsFilledWithSilenceAndTheClockStaysContinuous) {
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  std::vector<std::int16_t> pcm;
  r.Write(0, 1000);
  r.Write(kFrames, 1000 + kFrames + kFrames / 2);  // late by less than a packet: jitter, no gap
  r.Write(3 * kFrames, 1000 + 3 * kFrames - 7);    // and early: taken at its place
  reader.Take(pcm, kMany);
  EXPECT_EQ(reader.FramesOut(), 3u * kFrames);
  // The host stops for 1.5 s, then goes on; its packet says where it belongs.
  const std::uint64_t resume = 3 * kFrames + 72000;
  r.Write(resume, 1000 + static_cast<std::int64_t>(resume));
  r.Write(resume + kFrames, 1000 + static_cast<std::int64_t>(resume + kFrames));
  const auto report = reader.Take(pcm, kMany);
  EXPECT_EQ(report.gapMilliseconds, 1500u);
  EXPECT_EQ(report.lostPackets, 0u);
  ASSERT_EQ(reader.FramesOut(), resume + 2 * kFrames);
  for (std::uint64_t f = 3 * kFrames; f < resume; ++f) ASSERT_EQ(At(pcm, f), 0u) << f;
  for (std::uint64_t f = resume; f < resume + 2 * kFrames; ++f) ASSERT_EQ(At(pcm, f), FrameValue(f)) << f;
  EXPECT_EQ(reader.Take(pcm, kMany).gapMilliseconds, 0u);
}

TEST(SoundReader, LongSilenceIsHandedOnInPiecesOfTheCallersSize) {
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  std::vector<std::int16_t> pcm;
  r.Write(0, 0);
  r.Write(48000 * 10, 48000 * 10);  // 10 s later
  std::uint64_t gapReports = 0;
  for (int i = 0; i < 100 && reader.FramesOut() < 48000 * 10 + kFrames; ++i) {
    const std::size_t before = pcm.size();
    if (reader.Take(pcm, 48000).gapMilliseconds != 0) ++gapReports;
    ASSERT_LE(pcm.size() - before, 48000u * 2);
  }
  EXPECT_EQ(gapReports, 1u);
  ASSERT_EQ(reader.FramesOut(), 48000u * 10 + kFrames);
  EXPECT_EQ(At(pcm, 48000 * 10), FrameValue(48000 * 10));
  EXPECT_EQ(At(pcm, 48000 * 10 - 1), 0u);
}

TEST(SoundReader, HostileCountsSequencesAndTimesStayInsideTheRing) {
  // Exactly header + ring on the heap: AddressSanitizer shows any read outside.
  for (const std::uint64_t written : {~std::uint64_t{0}, std::uint64_t{1} << 63, std::uint64_t{kCount} * 3 + 5}) {
    Ring r;
    r.WriteOnClock(2);
    SoundReader reader(r.block, r.ring, kClock);
    std::vector<std::int16_t> pcm;
    reader.Take(pcm, kMany);
    r.Head(2).sequence = 12345;
    r.Head(3).sequence = 3;
    r.Head(3).time = INT64_MAX;
    r.Head(4).sequence = 4;
    r.Head(4).time = INT64_MIN;
    r.Header().sound.packetsWritten = written;
    const auto report = reader.Take(pcm, 1 << 20);
    EXPECT_GT(report.lostPackets, 0u);
    EXPECT_LE(pcm.size(), std::size_t{1} << 21);
    // A count gone back gives nothing.
    r.Header().sound.packetsWritten = 1;
    const std::size_t before = pcm.size();
    reader.Take(pcm, kMany);
    EXPECT_EQ(pcm.size(), before);
  }
  // A time far ahead is a jump of the host's clock: reported, not filled.
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  std::vector<std::int16_t> pcm;
  r.Write(0, 0);
  r.Write(kFrames, INT64_MAX);
  r.Write(2 * kFrames, INT64_MAX - 100);  // and a little back from there: at its place
  const auto report = reader.Take(pcm, kMany);
  EXPECT_GT(report.jumpSeconds, exchange::kMaxSoundGapSeconds);
  EXPECT_EQ(report.gapMilliseconds, 0u);
  EXPECT_EQ(reader.FramesOut(), 3u * kFrames);
  // A clock of 0 ticks a second: gaps come from lost packets only.
  Ring z;
  SoundReader noClock(z.block, z.ring, 0);
  z.Write(0, 0);
  z.Write(kFrames, 1000000);
  pcm.clear();
  EXPECT_EQ(noClock.Take(pcm, kMany).gapMilliseconds, 0u);
  EXPECT_EQ(noClock.FramesOut(), 2u * kFrames);
}

}  // namespace

namespace {

// The main loop places the sound on the picture's clock through TimeOfFrame: after a jump of the
// host's clock, the frames from the jump on take their time from where the clock jumped to.
TEST(SoundReader, TimeOfFrameFollowsTheClockAcrossAJump) {
  Ring r;
  SoundReader reader(r.block, r.ring, kClock);
  std::int64_t ticks = 0;
  EXPECT_FALSE(reader.TimeOfFrame(0, ticks));  // nothing taken yet: no start
  constexpr std::int64_t kStart = 1000;
  constexpr std::int64_t kJump = 700 * kClock;  // beyond the longest gap filled
  r.Write(0, kStart);
  r.Write(kFrames, kStart + kFrames);
  r.Write(2 * kFrames, kStart + 2 * kFrames + kJump);
  std::vector<std::int16_t> pcm;
  const auto report = reader.Take(pcm, kMany);
  ASSERT_GT(report.jumpSeconds, 0u);
  EXPECT_EQ(report.jumpFrame, 2u * kFrames);
  ASSERT_TRUE(reader.TimeOfFrame(2 * kFrames, ticks));
  EXPECT_EQ(ticks, kStart + 2 * kFrames + kJump);
  ASSERT_TRUE(reader.TimeOfFrame(2 * kFrames + 48000, ticks));
  EXPECT_EQ(ticks, kStart + 2 * kFrames + kJump + kClock);
  // Without a usable clock no frame has a time.
  Ring z;
  SoundReader noClock(z.block, z.ring, 0);
  z.Write(0, kStart);
  noClock.Take(pcm, kMany);
  EXPECT_FALSE(noClock.TimeOfFrame(0, ticks));
}

}  // namespace

namespace {

// A host's sound device a little faster or slower than the clock of its time stamps (here 1 %,
// so that a few hundred packets show what hours of a real crystal would): every frame handed on
// stays within the drift allowed of where its time stamp puts it, and nothing is logged.
TEST(SoundReader, DeviceClockDriftIsBroughtBackQuietly) {
  for (const std::int64_t step : {std::int64_t{238}, std::int64_t{242}}) {
    SCOPED_TRACE(step);
    Ring r;
    SoundReader reader(r.block, r.ring, kClock);
    std::vector<std::int16_t> pcm;
    std::int64_t worst = 0;
    for (std::uint64_t n = 0; n < 1000; ++n) {
      const std::int64_t time = 1000 + static_cast<std::int64_t>(n) * step;
      r.Write(n * kFrames, time);
      pcm.clear();
      const auto report = reader.Take(pcm, kMany);
      EXPECT_EQ(report.gapMilliseconds, 0u);
      EXPECT_EQ(report.lostPackets, 0u);
      // A packet wholly behind what was handed on already is left out; otherwise its last frame
      // went out last: its place on the sample clock against its time.
      if (pcm.empty()) continue;
      EXPECT_EQ(At(pcm, pcm.size() / 2 - 1), FrameValue(n * kFrames + kFrames - 1));
      const std::int64_t placed = static_cast<std::int64_t>(reader.FramesOut()) - 1;
      const std::int64_t stamped = time - 1000 + kFrames - 1;
      worst = std::max(worst, std::abs(placed - stamped));
    }
    EXPECT_LE(worst, std::int64_t{exchange::kSoundDriftFrames});
    // The drift was there to bring back: frames were left out of a fast device's sound, and
    // silence added to a slow one's.
    if (step < kFrames) {
      EXPECT_LT(reader.FramesOut(), 1000u * kFrames);
    } else {
      EXPECT_GT(reader.FramesOut(), 1000u * kFrames);
    }
  }
}

}  // namespace
