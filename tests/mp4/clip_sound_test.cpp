// Clips with the game's sound: which frames a clip takes, both tracks as the reader sees them, every
// frame's bytes where its chunk offset says, and the video-only clip whenever the sound cannot be
// carried.
#include <gtest/gtest.h>

#include <limits>

#include "mp4/audio_track.h"
#include "mp4/clip_writer.h"
#include "mp4/mp4_reader.h"
#include "mp4/samples.h"
#include "mp4/test_files.h"
#include "support/failing_allocation.h"

namespace {

using namespace testing_files;
using namespace testing_samples;

constexpr std::int64_t kSecond = 10000000;
const std::vector<std::uint8_t> kAsc = {0x11, 0x90};  // AAC-LC, 48 kHz, stereo

// A frame whose bytes tell it apart from every other: its index in the first bytes.
EncodedAudio Frame(std::int64_t time, std::uint32_t run, std::uint32_t index) {
  EncodedAudio a;
  std::vector<std::uint8_t> bytes(200 + index % 37, static_cast<std::uint8_t>(0x40 + run));
  bytes[0] = static_cast<std::uint8_t>(index >> 8);
  bytes[1] = static_cast<std::uint8_t>(index);
  a.data = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  a.time = time;
  a.run = run;
  return a;
}

// count frames of one run, one after the other from start; indices from firstIndex on.
std::vector<EncodedAudio> Frames(std::int64_t start, int count, std::uint32_t run = 0, std::uint32_t firstIndex = 0) {
  std::vector<EncodedAudio> frames;
  // Stamped as the main loop does: whole samples from the run's start, in 100-ns units.
  for (int j = 0; j < count; ++j) {
    const std::int64_t samples = std::int64_t{j} * 1024;
    frames.push_back(Frame(start + samples * kSecond / 48000, run, firstIndex + static_cast<std::uint32_t>(j)));
  }
  return frames;
}

std::vector<EncodedAudio> Join(std::vector<EncodedAudio> a, const std::vector<EncodedAudio>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::uint32_t Be32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
         (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

// Each sample's file offset, from a track's chunk offsets, sample-to-chunk runs and sizes.
std::vector<std::uint64_t> SampleOffsets(const std::vector<std::uint32_t>& stco,
                                         const std::vector<std::array<std::uint32_t, 3>>& stsc,
                                         const std::vector<std::uint32_t>& stsz) {
  std::vector<std::uint64_t> offsets;
  std::size_t sample = 0;
  for (std::size_t chunk = 0; chunk < stco.size(); ++chunk) {
    std::uint32_t perChunk = 0;
    for (const auto& entry : stsc) {
      if (entry[0] <= chunk + 1) perChunk = entry[1];
    }
    std::uint64_t at = stco[chunk];
    for (std::uint32_t k = 0; k < perChunk && sample < stsz.size(); ++k, ++sample) {
      offsets.push_back(at);
      at += stsz[sample];
    }
  }
  EXPECT_EQ(sample, stsz.size()) << "the chunks do not hold every sample";
  return offsets;
}

class ClipSoundTest : public testing::Test {
 protected:
  std::vector<std::uint8_t> Write(const std::string& name, const std::vector<EncodedSample>& samples,
                                  const ClipSound& sound) {
    std::u16string written;
    EXPECT_TRUE(WriteClipFile(SystemPath(folder / name), samples, kSps, kPps, sound, &written));
    EXPECT_EQ(written, SystemPath(folder / name));
    return ReadFileBytes(folder / name);
  }

  std::vector<std::uint8_t> WriteVideoOnly(const std::string& name, const std::vector<EncodedSample>& samples) {
    EXPECT_TRUE(WriteClipFile(SystemPath(folder / name), samples, kSps, kPps));
    return ReadFileBytes(folder / name);
  }

  TempFolder folder;
};

// 5 s of picture and sound running from before the clip's first picture to after its last: the
// clip holds the frames from one before its first picture to its end, in chunks of about a
// second, each frame's bytes at the offset its table gives, the pictures' too.
TEST_F(ClipSoundTest, BothTracksAndEveryFrameWhereItsTableSays) {
  const std::vector<EncodedSample> samples = Sequence(150, 60, 55555555, 300);
  const std::int64_t videoStart = samples.front().time;
  const std::int64_t videoEnd = samples.back().time + samples.back().duration;
  // Frames from 1 s before the picture to 1 s after it; the sound's samples lie half a frame off
  // the picture's.
  ClipSound sound{Frames(videoStart - kSecond - kAacFrameUnits / 2, 7 * 47), kAsc};
  std::vector<std::size_t> held;
  for (std::size_t j = 0; j < sound.frames.size(); ++j) {
    const std::int64_t t = sound.frames[j].time;
    if (t + kAacFrameUnits > videoStart - kAacFrameUnits && t < videoEnd) held.push_back(j);
  }
  ASSERT_GT(held.size(), 5u * 47);
  // The first held frame is the decoder's pre-roll before the first picture.
  ASSERT_LT(sound.frames[held.front()].time, videoStart - kAacFrameUnits);

  const std::vector<std::uint8_t> bytes = Write("clip.mp4", samples, sound);
  const mp4read::File f = mp4read::ReadFile(bytes);
  const mp4read::SoundTrack& s = f.movie.sound;
  ASSERT_TRUE(s.present);
  EXPECT_EQ(f.movie.handlerType, "vide");
  EXPECT_EQ(s.handlerType, "soun");
  EXPECT_EQ(s.audioSpecificConfig, kAsc);
  EXPECT_EQ(s.mediaTimeScale, 48000u);
  ASSERT_EQ(s.stsz.size(), held.size());
  EXPECT_EQ(s.stts, std::vector<mp4read::Entry>({{static_cast<std::uint32_t>(held.size()), 1024}}));
  EXPECT_EQ(s.mediaDuration, held.size() * 1024);
  // The first audible sample (one frame in) lies before the first picture: one edit whose media
  // time skips the pre-roll frame and the samples before the picture.
  const std::int64_t early = videoStart - (sound.frames[held.front()].time + kAacFrameUnits);
  ASSERT_GT(early, 0);
  ASSERT_EQ(s.edits.size(), 1u);
  EXPECT_NEAR(s.edits[0].mediaTime, 1024 + static_cast<double>(early) * 48000 / kSecond, 2);
  EXPECT_EQ(s.edits[0].rate, 1);

  // Chunks of about a second: five or six of each track, taking turns from a video chunk on.
  EXPECT_GE(s.stco.size(), 5u);
  EXPECT_LE(s.stco.size(), 7u);
  EXPECT_EQ(f.movie.stco.size(), 5u);
  EXPECT_LT(f.movie.stco[0], s.stco[0]);
  for (std::size_t c = 1; c < f.movie.stco.size(); ++c) EXPECT_LT(s.stco[c - 1], f.movie.stco[c]) << c;

  // Every frame's bytes where the table says, exactly as the encoder gave them.
  const std::vector<std::uint64_t> audioAt = SampleOffsets(s.stco, s.stsc, s.stsz);
  ASSERT_EQ(audioAt.size(), held.size());
  std::uint64_t mediaBytes = 0;
  for (std::size_t k = 0; k < held.size(); ++k) {
    const std::vector<std::uint8_t>& frame = *sound.frames[held[k]].data;
    ASSERT_EQ(s.stsz[k], frame.size()) << k;
    ASSERT_LE(audioAt[k] + frame.size(), bytes.size());
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes.begin() + static_cast<std::ptrdiff_t>(audioAt[k])))
        << "frame " << k;
    mediaBytes += frame.size();
  }
  // And every picture's: one slice behind its length.
  const std::vector<std::uint64_t> videoAt = SampleOffsets(f.movie.stco, f.movie.stsc, f.movie.stsz);
  ASSERT_EQ(videoAt.size(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(f.movie.stsz[i], 305u);
    EXPECT_EQ(Be32(bytes, videoAt[i]), 301u) << i;
    const std::vector<std::uint8_t>& au = *samples[i].data;
    EXPECT_TRUE(std::equal(au.end() - 301, au.end(), bytes.begin() + static_cast<std::ptrdiff_t>(videoAt[i] + 4)))
        << "picture " << i;
    mediaBytes += 305;
  }
  // The media data holds the samples and nothing else.
  EXPECT_EQ(f.mdatSize, 8 + mediaBytes);
  EXPECT_EQ(f.mdatOffset + f.mdatSize, bytes.size());
  EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>({"clip.mp4"}));
}

// Sound that starts after the clip's first picture waits for its time behind an empty edit.
TEST_F(ClipSoundTest, SoundThatStartsLaterWaitsForItsTime) {
  const std::vector<EncodedSample> samples = Sequence(90, 30, 0, 100);
  const std::int64_t firstFrame = kSecond / 2 - kAacFrameUnits;  // first audible sample at 0.5 s
  const std::vector<EncodedAudio> frames = Frames(firstFrame, 150);    // to 3.7 s
  const mp4read::File f = mp4read::ReadFile(Write("late.mp4", samples, ClipSound{frames, kAsc}));
  const mp4read::SoundTrack& s = f.movie.sound;
  ASSERT_TRUE(s.present);
  // The frames up to the picture's end at 3 s: the last begins before it.
  const std::int64_t videoEnd = samples.back().time + samples.back().duration;
  std::size_t before = 0;
  while (before < frames.size() && frames[before].time < videoEnd) ++before;
  ASSERT_LT(before, frames.size());
  EXPECT_EQ(s.stsz.size(), before);
  ASSERT_EQ(s.edits.size(), 2u);
  EXPECT_EQ(s.edits[0].mediaTime, -1);
  EXPECT_NEAR(s.edits[0].duration, 45000u, 1);  // 0.5 s at 90 kHz
  EXPECT_EQ(s.edits[1].mediaTime, 1024);
}

// A file never holds two runs: after the sound's encoder restarted, the clip takes the longer
// stretch of frames, and only its frames are in the file.
TEST_F(ClipSoundTest, FramesOfASecondRunStayOut) {
  const std::vector<EncodedSample> samples = Sequence(240, 60, 0, 50);  // 8 s
  // Run 1 for 5 s, then run 2 (its clock 30 ms later) to the end.
  const std::vector<EncodedAudio> first = Frames(-kAacFrameUnits, 5 * 47, 1, 0);
  const std::int64_t restart = first.back().time + kAacFrameUnits + 300000;
  const std::vector<EncodedAudio> second = Frames(restart, 3 * 47, 2, 1000);
  const ClipSound sound{Join(first, second), kAsc};
  const mp4read::File f = mp4read::ReadFile(Write("runs.mp4", samples, sound));
  ASSERT_TRUE(f.movie.sound.present);
  ASSERT_EQ(f.movie.sound.stsz.size(), first.size());
  const std::vector<std::uint8_t> bytes = ReadFileBytes(folder / "runs.mp4");
  const std::vector<std::uint64_t> at = SampleOffsets(f.movie.sound.stco, f.movie.sound.stsc, f.movie.sound.stsz);
  for (std::size_t k = 0; k < at.size(); ++k) {
    ASSERT_EQ(bytes[at[k] + 2], 0x41) << "a frame of the second run at " << k;
    ASSERT_EQ(bytes[at[k]] << 8 | bytes[at[k] + 1], static_cast<int>(k));
  }
}

TEST(SelectClipAudio, OneStretchOfOneRun) {
  constexpr std::int64_t kStart = 100 * kSecond, kEnd = 110 * kSecond;
  using Pair = std::pair<std::size_t, std::size_t>;
  auto select = [&](const std::vector<EncodedAudio>& frames) {
    const AudioSelection s = SelectClipAudio(frames, kStart, kEnd);
    return std::pair<std::size_t, std::size_t>(s.first, s.count);
  };
  EXPECT_EQ(select({}).second, 0u);
  // Entirely before or after the picture: nothing.
  EXPECT_EQ(select(Frames(kStart - 5 * kSecond, 10)).second, 0u);
  EXPECT_EQ(select(Frames(kEnd, 10)).second, 0u);
  // Frames outside the picture's span are left at both ends.
  const std::vector<EncodedAudio> around = Frames(kStart - 10 * kAacFrameUnits - kAacFrameUnits / 2, 70);
  // From the frame beginning one and a half frames before the first picture: it ends after one
  // frame before it, the one before does not.
  EXPECT_EQ(select(around), Pair(9, 61));
  // The longer of two runs, whichever comes first; the later of two equally long ones.
  EXPECT_EQ(select(Join(Frames(kStart, 20, 1), Frames(kStart + 3 * kSecond, 10, 2))), Pair(0, 20));
  EXPECT_EQ(select(Join(Frames(kStart, 10, 1), Frames(kStart + 3 * kSecond, 20, 2))), Pair(10, 20));
  EXPECT_EQ(select(Join(Frames(kStart, 10, 1), Frames(kStart + 3 * kSecond, 10, 2))), Pair(10, 10));
  // A run whose clock jumps is two stretches, as are frames of two runs that would line up; a step
  // within 2 units of a frame is one frame on.
  std::vector<EncodedAudio> jumped = Frames(kStart, 30, 1);
  for (std::size_t j = 12; j < jumped.size(); ++j) jumped[j].time += 1000;
  EXPECT_EQ(select(jumped), Pair(12, 18));
  std::vector<EncodedAudio> lined = Frames(kStart, 30, 1);
  for (std::size_t j = 0; j < 12; ++j) lined[j].run = 7;
  EXPECT_EQ(select(lined), Pair(12, 18));
  std::vector<EncodedAudio> wobbly = Frames(kStart, 30, 1);
  for (std::size_t j = 1; j < wobbly.size(); j += 2) wobbly[j].time += 1;
  EXPECT_EQ(select(wobbly), Pair(0, 30));
  // Garbage times at the ends of the range neither overflow nor join a stretch.
  std::vector<EncodedAudio> garbage = Frames(kStart, 5, 1);
  garbage[2].time = std::numeric_limits<std::int64_t>::min();
  garbage.push_back(Frame(std::numeric_limits<std::int64_t>::max(), 1, 99));
  EXPECT_EQ(select(garbage), Pair(3, 2));
}

// Whenever the sound cannot be carried the file is the video-only clip, byte for byte: no frame,
// one frame in the span, no configuration, a configuration the movie box cannot state, an empty or
// oversized frame.
TEST_F(ClipSoundTest, WithoutSoundToCarryTheClipIsTheVideoOnlyOne) {
  const std::vector<EncodedSample> samples = Sequence(45, 30, 7777777, 120);
  const std::vector<std::uint8_t> videoOnly = WriteVideoOnly("video.mp4", samples);
  ASSERT_FALSE(mp4read::ReadFile(videoOnly).movie.sound.present);
  const std::int64_t start = samples.front().time;
  std::vector<EncodedAudio> oneInside = Frames(start - 20 * kAacFrameUnits, 5);  // all before the picture
  oneInside.push_back(Frame(start, 0, 9));
  std::vector<EncodedAudio> emptyFrame = Frames(start, 20);
  emptyFrame[3].data = std::make_shared<const std::vector<std::uint8_t>>();
  std::vector<EncodedAudio> noBytes = Frames(start, 20);
  noBytes[4].data.reset();
  std::vector<EncodedAudio> huge = Frames(start, 20);
  huge[5].data = std::make_shared<const std::vector<std::uint8_t>>(kMaxAacFrameBytes + 1, std::uint8_t{1});
  const std::vector<ClipSound> cases = {
      ClipSound{},
      ClipSound{{}, kAsc},
      ClipSound{Frames(start, 1), kAsc},
      ClipSound{oneInside, kAsc},
      ClipSound{Frames(start, 20), {}},
      ClipSound{Frames(start, 20), std::vector<std::uint8_t>(kMaxAudioSpecificConfigBytes + 1, 0x11)},
      ClipSound{emptyFrame, kAsc},
      ClipSound{noBytes, kAsc},
      ClipSound{huge, kAsc},
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const std::string name = "case" + std::to_string(c) + ".mp4";
    EXPECT_TRUE(Write(name, samples, cases[c]) == videoOnly) << name;
  }
  // And two frames are enough for a second track.
  EXPECT_TRUE(mp4read::ReadFile(Write("two.mp4", samples, ClipSound{Frames(start, 2), kAsc})).movie.sound.present);
}

// A clip with sound keeps the writer's promises: a kept file is never replaced, and a write that
// fails leaves nothing behind.
TEST_F(ClipSoundTest, KeptFilesStayAndFailuresLeaveNothing) {
  const std::vector<EncodedSample> samples = Sequence(60, 30, 0, 80);
  const ClipSound sound{Frames(-kAacFrameUnits, 100), kAsc};
  const fs::path path = folder / "clip_20250314_211502_kill.mp4";
  { std::ofstream(path, std::ios::binary) << "older clip"; }
  std::u16string written;
  ASSERT_TRUE(WriteClipFile(SystemPath(path), samples, kSps, kPps, sound, &written));
  EXPECT_EQ(written, folder.system() + u"\\clip_20250314_211502_kill_2.mp4");
  EXPECT_TRUE(mp4read::ReadFile(ReadFileBytes(folder / "clip_20250314_211502_kill_2.mp4")).movie.sound.present);
  const std::vector<std::uint8_t> older = ReadFileBytes(path);
  EXPECT_EQ(std::string(older.begin(), older.end()), "older clip");

  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\missing\\clip.mp4", samples, kSps, kPps, sound));
  fs::create_directory(folder / "taken.mp4.tmp");
  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\taken.mp4", samples, kSps, kPps, sound));
  EXPECT_FALSE(WriteClipFile(folder.system() + u"\\none.mp4", {}, kSps, kPps, sound));
  EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>({"clip_20250314_211502_kill.mp4",
                                                                  "clip_20250314_211502_kill_2.mp4", "taken.mp4.tmp"}));
}

// Memory that runs out at any allocation on the way: the write fails without throwing and leaves
// nothing behind, or succeeds with a whole file.
TEST_F(ClipSoundTest, MemoryRunningOutAnywhereIsAFailedWrite) {
  const std::vector<EncodedSample> samples = Sequence(60, 30, 0, 80);
  const ClipSound sound{Frames(-kAacFrameUnits, 100), kAsc};
  const std::u16string path = folder.system() + u"\\clip.mp4";
  bool succeeded = false;
  for (std::size_t n = 1; n < 100000 && !succeeded; ++n) {
    testing_support::FailAllocationNumber(n);
    bool ok = false;
    EXPECT_NO_THROW(ok = WriteClipFile(path, samples, kSps, kPps, sound)) << n;
    testing_support::FailAllocationNumber(0);
    if (!ok) {
      ASSERT_TRUE(FolderNames(folder.path()).empty()) << n;
      continue;
    }
    succeeded = true;
    EXPECT_TRUE(mp4read::ReadFile(ReadFileBytes(folder / "clip.mp4")).movie.sound.present);
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
