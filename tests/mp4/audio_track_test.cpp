// The movie box with a sound track beside the picture: its boxes read back by the independent
// reader, the video track as a video-only file has it, chunks that tile the media data in the
// planned order, the edit list that lines the first audible sample up with the first picture, and
// the bounds on what the audio encoder hands over.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>

#include "mp4/audio_track.h"
#include "mp4/mp4_reader.h"

namespace {

const std::vector<std::uint8_t> kSps = {0x67, 0x4D, 0x40, 0x1F};
const std::vector<std::uint8_t> kPps = {0x68, 0xEE};
const std::vector<std::uint8_t> kAsc = {0x11, 0x90};  // AAC-LC, 48 kHz, 2 channels
constexpr std::int64_t kFrame30 = 333333;

SampleTable Video(std::size_t count, std::int64_t step = kFrame30) {
  SampleTable t;
  for (std::size_t i = 0; i < count; ++i) {
    t.times.push_back(static_cast<std::int64_t>(i) * step);
    t.keyframes.push_back(i % 30 == 0 ? 1 : 0);
    t.sizes.push_back(static_cast<std::uint32_t>(1000 + 7 * i));
  }
  return t;
}

AudioTable Audio(std::size_t frames, std::uint32_t priming = 1024, std::int64_t firstAudible = 0) {
  AudioTable a;
  for (std::size_t j = 0; j < frames; ++j) a.sizes.push_back(static_cast<std::uint32_t>(300 + j % 50));
  a.audioSpecificConfig = kAsc;
  a.primingSamples = priming;
  a.firstAudibleTime = firstAudible;
  return a;
}

ByteBuffer Build(const SampleTable& v, const AudioTable& a, std::uint64_t start = 1000) {
  return BuildAudioVideoMoovPayload(v, kFrame30, kSps, kPps, PictureSize{}, a, PlanChunks(v, a), start);
}

// Every sample's byte range, from the reader's stsc, stco and stsz: sample number -> offset.
std::vector<std::uint64_t> SampleOffsets(const std::vector<std::array<std::uint32_t, 3>>& stsc,
                                         const std::vector<std::uint32_t>& stco,
                                         const std::vector<std::uint32_t>& stsz) {
  std::vector<std::uint64_t> offsets;
  std::size_t sample = 0;
  for (std::size_t chunk = 0; chunk < stco.size(); ++chunk) {
    std::uint32_t perChunk = 0;
    for (const auto& e : stsc) {
      if (e[0] <= chunk + 1) perChunk = e[1];
    }
    std::uint64_t at = stco[chunk];
    for (std::uint32_t k = 0; k < perChunk && sample < stsz.size(); ++k, ++sample) {
      offsets.push_back(at);
      at += stsz[sample];
    }
  }
  return offsets;
}

// The samples of both tracks cover [start, start + all bytes) exactly, without gap or overlap.
void ExpectTiled(const mp4read::Movie& m, std::uint64_t start) {
  const std::vector<std::uint64_t> video = SampleOffsets(m.stsc, m.stco, m.stsz);
  const std::vector<std::uint64_t> sound = SampleOffsets(m.sound.stsc, m.sound.stco, m.sound.stsz);
  ASSERT_EQ(video.size(), m.stsz.size());
  ASSERT_EQ(sound.size(), m.sound.stsz.size());
  std::map<std::uint64_t, std::uint64_t> ranges;  // offset -> size
  for (std::size_t i = 0; i < video.size(); ++i) ranges.emplace(video[i], m.stsz[i]);
  for (std::size_t j = 0; j < sound.size(); ++j) ranges.emplace(sound[j], m.sound.stsz[j]);
  ASSERT_EQ(ranges.size(), video.size() + sound.size()) << "two samples share an offset";
  std::uint64_t at = start;
  for (const auto& [offset, size] : ranges) {
    ASSERT_EQ(offset, at) << "gap or overlap";
    at += size;
  }
}

TEST(AudioTrack, SoundTrackBoxesReadBack) {
  const SampleTable v = Video(90);
  const AudioTable a = Audio(142);
  const mp4read::Movie m = mp4read::ReadMoovPayload(Build(v, a));
  const mp4read::SoundTrack& s = m.sound;
  ASSERT_TRUE(s.present);
  EXPECT_EQ(m.nextTrackId, 3u);
  EXPECT_EQ(s.trackFlags, 3u);
  EXPECT_EQ(s.trackId, 2u);
  EXPECT_EQ(s.volume, 0x0100);
  EXPECT_EQ(s.trackWidth, 0u);
  EXPECT_EQ(s.handlerType, "soun");
  EXPECT_EQ(s.handlerName, "SoundHandler");
  EXPECT_EQ(s.mediaTimeScale, 48000u);
  EXPECT_EQ(s.mediaDuration, 142u * 1024);
  EXPECT_EQ(s.language, 0x55C4);
  EXPECT_EQ(s.dataEntries, 1u);
  EXPECT_EQ(s.dataReferenceIndex, 1);
  EXPECT_EQ(s.channels, 2);
  EXPECT_EQ(s.sampleBits, 16);
  EXPECT_EQ(s.sampleRate, 48000u << 16);
  EXPECT_EQ(s.objectType, 0x40);
  EXPECT_EQ(s.streamType, 0x15);
  EXPECT_EQ(s.audioSpecificConfig, kAsc);
  EXPECT_EQ(s.slPredefined, 2);
  EXPECT_EQ(s.bufferSize, *std::max_element(a.sizes.begin(), a.sizes.end()));
  EXPECT_GE(s.maxBitrate, s.averageBitrate);
  EXPECT_GT(s.averageBitrate, 0u);
  EXPECT_EQ(s.stts, (std::vector<mp4read::Entry>{{142, 1024}}));
  EXPECT_EQ(s.stsz, a.sizes);
  // The sound's boxes in their order, after the picture's.
  const std::vector<std::string> order(std::find(m.boxOrder.begin(), m.boxOrder.end(), "trak[2]/tkhd"),
                                       m.boxOrder.end());
  EXPECT_EQ(order, (std::vector<std::string>{
                       "trak[2]/tkhd", "trak[2]/edts", "trak[2]/edts/elst", "trak[2]/mdia", "trak[2]/mdia/mdhd",
                       "trak[2]/mdia/hdlr", "trak[2]/mdia/minf", "trak[2]/mdia/minf/smhd",
                       "trak[2]/mdia/minf/dinf", "trak[2]/mdia/minf/stbl", "trak[2]/mdia/minf/stbl/stsd",
                       "trak[2]/mdia/minf/stbl/stsd/mp4a", "trak[2]/mdia/minf/stbl/stsd/mp4a/esds",
                       "trak[2]/mdia/minf/stbl/stts", "trak[2]/mdia/minf/stbl/stsc", "trak[2]/mdia/minf/stbl/stsz",
                       "trak[2]/mdia/minf/stbl/stco"}));
}

// The picture's track is the video-only file's, byte for byte, but for its chunk boxes; with the
// whole video in one chunk at the same offset it is the same bytes.
TEST(AudioTrack, VideoTrackIsTheVideoOnlyTrack) {
  const SampleTable v = Video(90);
  const AudioTable a = Audio(142);
  const std::uint32_t start = 4096;
  const std::vector<PlannedChunk> plan = {{ChunkTrack::kVideo, 90}, {ChunkTrack::kAudio, 142}};
  const ByteBuffer both = BuildAudioVideoMoovPayload(v, kFrame30, kSps, kPps, PictureSize{}, a, plan, start);
  const ByteBuffer alone = BuildMoovPayload(v, kFrame30, kSps, kPps, start);
  ASSERT_FALSE(both.empty());
  // Both begin with "mvhd" (108 bytes); the video "trak" follows with the same length.
  const std::size_t trakSize = (std::size_t{alone[108]} << 24) | (alone[109] << 16) | (alone[110] << 8) | alone[111];
  ASSERT_EQ(alone.size(), 108 + trakSize);
  ASSERT_GT(both.size(), 108 + trakSize);
  EXPECT_TRUE(std::equal(alone.begin() + 108, alone.end(), both.begin() + 108));

  const mp4read::Movie m = mp4read::ReadMoovPayload(both);
  EXPECT_EQ(m.stco, (std::vector<std::uint32_t>{start}));
  EXPECT_EQ(m.sound.stco, (std::vector<std::uint32_t>{start + std::accumulate(v.sizes.begin(), v.sizes.end(), 0u)}));
}

TEST(AudioTrack, ChunksOfAboutASecondTileTheMediaData) {
  const SampleTable v = Video(95);        // 3.17 s
  const AudioTable a = Audio(150, 2112);  // 3.16 s after 2112 samples of priming
  const std::vector<PlannedChunk> plan = PlanChunks(v, a);
  // Video and sound take turns, a second each: the pictures of the second (31 in the first: the
  // 30th lies 1 us before its end), then the sound frames that begin before that second ends.
  ASSERT_EQ(plan.size(), 8u);
  for (std::size_t c = 0; c < plan.size(); ++c) {
    EXPECT_EQ(plan[c].track, c % 2 == 0 ? ChunkTrack::kVideo : ChunkTrack::kAudio) << c;
    EXPECT_GT(plan[c].samples, 0u);
  }
  EXPECT_EQ(plan[0].samples, 31u);
  EXPECT_EQ(plan[2].samples, 30u);
  EXPECT_EQ(plan[4].samples, 30u);
  EXPECT_EQ(plan[6].samples, 4u);
  // Frames beginning before 1 s: priming 2112 samples = 0.044 s before the picture, so 49 of them.
  EXPECT_EQ(plan[1].samples, 49u);
  EXPECT_EQ(plan[3].samples, 47u);
  EXPECT_EQ(plan[7].samples, 7u);

  const std::uint64_t start = 777;
  const mp4read::Movie m = mp4read::ReadMoovPayload(
      BuildAudioVideoMoovPayload(v, kFrame30, kSps, kPps, PictureSize{}, a, plan, start));
  EXPECT_EQ(m.stco.size(), 4u);
  EXPECT_EQ(m.sound.stco.size(), 4u);
  // Equal neighbours share a run: 31, 30, 30, 4 pictures.
  EXPECT_EQ(m.stsc, (std::vector<std::array<std::uint32_t, 3>>{{1, 31, 1}, {2, 30, 1}, {4, 4, 1}}));
  ExpectTiled(m, start);
}

TEST(AudioTrack, PlanTakesEverySampleHoweverFarApartTheTimesAre) {
  SampleTable v = Video(4);
  v.times = {0, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(), 5};
  AudioTable a = Audio(3, 0, std::numeric_limits<std::int64_t>::max());
  std::uint64_t videoSamples = 0, audioSamples = 0;
  for (const PlannedChunk& c : PlanChunks(v, a)) {
    EXPECT_GT(c.samples, 0u);
    (c.track == ChunkTrack::kVideo ? videoSamples : audioSamples) += c.samples;
  }
  EXPECT_EQ(videoSamples, 4u);
  EXPECT_EQ(audioSamples, 3u);
}

struct EditCase {
  const char* name;
  std::uint32_t priming;
  std::int64_t firstAudible;
  std::vector<std::pair<std::uint32_t, std::int32_t>> edits;  // duration (90 kHz), media time (48 kHz)
  std::uint32_t trackDuration;
};

// 100 frames of 1024 samples: 102400 samples, 192000 ticks at 90 kHz.
TEST(AudioTrack, EditListLinesTheFirstAudibleSampleUpWithItsPicture) {
  const EditCase cases[] = {
      {"no priming, with the picture", 0, 0, {{192000, 0}}, 192000},
      {"priming removed", 1024, 0, {{190080, 1024}}, 190080},
      {"sound half a second late", 2112, 5000000, {{45000, -1}, {188040, 2112}}, 233040},
      {"sound 0.1 s early: its first 4800 samples cut", 1024, -1000000, {{181080, 5824}}, 181080},
  };
  const std::uint32_t videoDuration = mp4read::ReadMoovPayload(BuildMoovPayload(Video(30), kFrame30, kSps, kPps, 0))
                                          .trackDuration;
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    const mp4read::Movie m = mp4read::ReadMoovPayload(Build(Video(30), Audio(100, c.priming, c.firstAudible)));
    ASSERT_EQ(m.sound.edits.size(), c.edits.size());
    for (std::size_t k = 0; k < c.edits.size(); ++k) {
      EXPECT_EQ(m.sound.edits[k].duration, c.edits[k].first);
      EXPECT_EQ(m.sound.edits[k].mediaTime, c.edits[k].second);
      EXPECT_EQ(m.sound.edits[k].rate, 1);
    }
    EXPECT_EQ(m.sound.trackDuration, c.trackDuration);
    // The movie lasts as long as the longer track; the picture's own duration stays its own.
    EXPECT_EQ(m.trackDuration, videoDuration);
    EXPECT_EQ(m.movieDuration, std::max(c.trackDuration, m.trackDuration));
  }
}

// Pictures in reordered form show their first one after the composition shift: the sound waits
// for it as well.
TEST(AudioTrack, SoundWaitsForAReorderedFirstPicture) {
  SampleTable v = Video(4);
  v.times = {0, 3 * kFrame30, kFrame30, 2 * kFrame30};
  const mp4read::Movie m = mp4read::ReadMoovPayload(Build(v, Audio(10, 0, 0)));
  ASSERT_TRUE(m.hasCtts);
  ASSERT_EQ(m.sound.edits.size(), 2u);
  EXPECT_EQ(m.sound.edits[0].mediaTime, -1);
  EXPECT_EQ(m.sound.edits[0].duration, m.ctts[0].value);
  EXPECT_GT(m.sound.edits[0].duration, 0u);
}

// Whatever the encoder hands over, the result is a whole movie box or nothing at all.
TEST(AudioTrack, ValuesFromTheEncoderOutOfBoundsGiveNoSoundTrack) {
  const SampleTable v = Video(30);
  auto refused = [&](const AudioTable& a) { return Build(v, a).empty(); };
  auto readable = [&](const AudioTable& a) {
    const ByteBuffer b = Build(v, a);
    if (b.empty()) return false;
    return mp4read::ReadMoovPayload(b).sound.stsz == a.sizes;
  };
  AudioTable a = Audio(40);

  a.audioSpecificConfig.clear();
  EXPECT_TRUE(refused(a));
  a.audioSpecificConfig.assign(kMaxAudioSpecificConfigBytes + 1, 0x11);
  EXPECT_TRUE(refused(a));
  a.audioSpecificConfig.assign(kMaxAudioSpecificConfigBytes, 0x11);
  EXPECT_TRUE(readable(a));
  EXPECT_EQ(mp4read::ReadMoovPayload(Build(v, a)).sound.audioSpecificConfig, a.audioSpecificConfig);

  a = Audio(40);
  a.sizes[7] = 0;
  EXPECT_TRUE(refused(a));
  a.sizes[7] = kMaxAacFrameBytes + 1;
  EXPECT_TRUE(refused(a));
  a.sizes[7] = kMaxAacFrameBytes;
  EXPECT_TRUE(readable(a));

  EXPECT_TRUE(refused(Audio(0)));
  EXPECT_TRUE(refused(Audio(kMaxAudioFrames + 1, 0)));
  EXPECT_TRUE(readable(Audio(kMaxAudioFrames, 0)));

  EXPECT_TRUE(refused(Audio(40, kMaxPrimingSamples + 1)));
  EXPECT_TRUE(readable(Audio(47, kMaxPrimingSamples)));
  EXPECT_TRUE(refused(Audio(1, 1024)));  // priming as long as the sound: nothing audible
  EXPECT_TRUE(readable(Audio(2, 1024)));

  EXPECT_TRUE(refused(Audio(40, 0, kMaxAudioLead + 1)));
  EXPECT_TRUE(refused(Audio(40, 0, -kMaxAudioLead - 1)));
  EXPECT_TRUE(readable(Audio(40, 0, kMaxAudioLead)));
  EXPECT_TRUE(refused(Audio(40, 0, -10000000)));  // 0.85 s of sound, all of it before the picture
  EXPECT_TRUE(readable(Audio(40, 0, -8000000)));
}

TEST(AudioTrack, PlanThatDoesNotCoverBothTablesGivesNothing) {
  const SampleTable v = Video(30);
  const AudioTable a = Audio(40);
  auto build = [&](const std::vector<PlannedChunk>& plan, std::uint64_t start = 0) {
    return BuildAudioVideoMoovPayload(v, kFrame30, kSps, kPps, PictureSize{}, a, plan, start);
  };
  using C = PlannedChunk;
  EXPECT_FALSE(build({C{ChunkTrack::kVideo, 30}, C{ChunkTrack::kAudio, 40}}).empty());
  EXPECT_TRUE(build({C{ChunkTrack::kVideo, 30}, C{ChunkTrack::kAudio, 39}}).empty());
  EXPECT_TRUE(build({C{ChunkTrack::kVideo, 30}, C{ChunkTrack::kAudio, 41}}).empty());
  EXPECT_TRUE(build({C{ChunkTrack::kVideo, 31}, C{ChunkTrack::kAudio, 40}}).empty());
  EXPECT_TRUE(build({C{ChunkTrack::kVideo, 30}, C{ChunkTrack::kAudio, 0}, C{ChunkTrack::kAudio, 40}}).empty());
  EXPECT_TRUE(build({}).empty());
  // A chunk must start where a 32-bit offset reaches; the last may start at its very end.
  const std::uint64_t videoBytes = std::accumulate(v.sizes.begin(), v.sizes.end(), std::uint64_t{0});
  const std::uint64_t limit = std::numeric_limits<std::uint32_t>::max();
  EXPECT_FALSE(build({C{ChunkTrack::kVideo, 30}, C{ChunkTrack::kAudio, 40}}, limit - videoBytes).empty());
  EXPECT_TRUE(build({C{ChunkTrack::kVideo, 30}, C{ChunkTrack::kAudio, 40}}, limit - videoBytes + 1).empty());
}

}  // namespace
