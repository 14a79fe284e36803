// The reader of leftover recordings on arbitrary journals and media files. Input: one byte of
// switches, a 16-bit journal length, the journal, then the media file. The switches can seal what
// the fuzzer cannot guess (the header's CRC, each record's check, each sample's CRC over the media
// bytes where the records place it, and for the frames of sound of a version 3 journal their
// duration and their times one frame apart), so that the checks behind them are reached too.
//
// Whatever the input: no read outside either file; and when something is recovered, it is a run
// of records from a picture's keyframe: pictures with times increasing and durations in range,
// each walking its length prefixes exactly to its end; frames of sound (version 3 only) of 1 to
// kMaxAacFrameBytes bytes, the first one that a file from the first picture holds, each later one
// a frame after the one before; all of them lying inside the media data in record order, each
// matching its CRC. Its picture size is the seed's (a version 1 journal) or one a stream can have
// (versions 2 and 3); its plan is the runs of one track's records; the movie box built from it
// reads back whole, at that size, with the sound when it has two frames or more; and the media cut
// right after those records gives the same recording.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "clips/media_time.h"
#include "mp4/audio_track.h"
#include "mp4/crc32.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording.h"
#include "mp4/recording_journal.h"
#include "mp4/recovery.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

using Bytes = std::vector<std::uint8_t>;

ByteSource Memory(const Bytes& bytes) {
  ByteSource source;
  source.size = bytes.size();
  source.read = [&bytes](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    Require(offset <= bytes.size() && n <= bytes.size() - offset);  // the reader stays inside
    std::memcpy(out, bytes.data() + offset, n);
    return true;
  };
  return source;
}

std::uint32_t Read32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// The switches' work: header CRC, then sample CRCs and record checks, as a recorder would have
// written them for these bytes; frames of sound made one frame long and one frame apart.
void Seal(Bytes& journal, const Bytes& media, bool header, bool records, bool samples, bool sound) {
  // The parameter set lengths follow the identity in version 1, the picture size in versions 2
  // and 3; version 3 has the configuration's length after them.
  const std::uint32_t version = journal.size() >= 8 ? Read32(journal.data() + 4) : 0;
  const std::size_t lengths = version == 2 || version == 3 ? 32 : 24;
  const std::size_t fields = version == 3 ? 6 : 4;
  if (header && journal.size() >= lengths + fields) {
    std::size_t body = lengths + fields + (journal[lengths] << 8 | journal[lengths + 1]) +
                       (journal[lengths + 2] << 8 | journal[lengths + 3]);
    if (version == 3) body += journal[lengths + 4] << 8 | journal[lengths + 5];
    if (journal.size() >= body + 4) Put32(journal.data() + body, Crc32(journal.data(), body));
  }
  JournalHeader parsed;
  if (!records || !ParseJournalHeader(journal.data(), journal.size(), parsed)) return;
  std::uint64_t at = 40;
  bool audioBefore = false;
  std::int64_t lastAudio = 0;
  for (std::size_t i = 0; parsed.size + (i + 1) * kJournalRecordSize <= journal.size(); ++i) {
    std::uint8_t* r = journal.data() + parsed.size + i * kJournalRecordSize;
    JournalSample s;
    s.time = static_cast<std::int64_t>(std::uint64_t{Read32(r)} << 32 | Read32(r + 4));
    s.duration = static_cast<std::int64_t>(std::uint64_t{Read32(r + 8)} << 32 | Read32(r + 12));
    s.size = Read32(r + 16);
    s.checksum = Read32(r + 20);
    s.keyframe = (r[27] & 1) != 0;
    s.audio = (r[27] & 2) != 0;
    if (sound && s.audio) {
      s.keyframe = false;
      s.duration = kAacFrameUnits;
      if (audioBefore) s.time = MediaTimeDifference(lastAudio, -kAacFrameUnits);
      audioBefore = true;
      lastAudio = s.time;
    }
    if (samples && at + s.size <= media.size()) s.checksum = Crc32(media.data() + at, s.size);
    at += s.size;
    std::uint8_t sealed[kJournalRecordSize];
    BuildJournalRecord(parsed.seed, static_cast<std::uint32_t>(i), s, sealed);
    std::memcpy(r, sealed, sizeof sealed);
  }
}

// The length prefixes of one sample walk exactly to its end.
bool UnitsWalk(const std::uint8_t* p, std::uint64_t size) {
  std::uint64_t at = 0;
  while (at < size) {
    if (size - at < 4) return false;
    const std::uint64_t length = Read32(p + at);
    at += 4;
    if (length > size - at) return false;
    at += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto switches = in.ConsumeIntegral<std::uint8_t>();
  Bytes journal = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint16_t>());
  const Bytes media = in.ConsumeRemainingBytes<std::uint8_t>();
  Seal(journal, media, switches & 1, switches & 2, switches & 4, switches & 8);

  RecoveredRecording r;
  if (!ReadLeftoverRecording(Memory(journal), Memory(media), r)) return 0;

  const SampleTable& t = r.table;
  const std::size_t n = t.times.size();
  const std::size_t frames = r.audioSizes.size();
  Require(n >= 1 && n + frames <= kMaxRecoveredSamples && t.keyframes.size() == n && t.sizes.size() == n);
  Require(t.keyframes[0] == 1);
  Require(r.sps.size() >= 4 && r.sps.size() <= 65535 && !r.pps.empty() && r.pps.size() <= 65535);
  Require(r.lastDuration > 0 && r.lastDuration <= 3000000000LL);
  JournalHeader header;
  Require(ParseJournalHeader(journal.data(), journal.size(), header));
  Require(r.picture == header.picture);
  Require(r.audioSpecificConfig == header.audioSpecificConfig);
  const std::uint32_t version = Read32(journal.data() + 4);
  if (version == 1) {
    Require(r.picture == PictureSize{});
  } else {
    Require((version == 2 || version == 3) && JournalPictureSizeValid(r.picture));
    Require(r.picture.width % 2 == 0 && r.picture.height % 2 == 0 && r.picture.width >= 320 &&
            r.picture.width <= 3840 && r.picture.height >= 180 && r.picture.height <= 2160);
  }
  const bool sound = version == 3;
  Require(sound ? !r.audioSpecificConfig.empty() && r.audioSpecificConfig.size() <= 64 : frames == 0);

  // The records in order: each where the ones before end, of its own track's kind.
  std::uint64_t at = 40;
  std::size_t picture = 0, frame = 0;
  std::int64_t lastAudio = 0;
  std::vector<PlannedChunk> plan;
  for (std::size_t i = 0; i < n + frames; ++i) {
    JournalSample s;
    Require(ParseJournalRecord(header.seed, static_cast<std::uint32_t>(i),
                               journal.data() + header.size + i * kJournalRecordSize, s, sound));
    Require(at + s.size <= media.size());
    Require(Crc32(media.data() + at, s.size) == s.checksum);
    if (s.audio) {
      Require(frame < frames && picture > 0 && s.size == r.audioSizes[frame]);
      Require(s.size >= 1 && s.size <= kMaxAacFrameBytes && s.duration == kAacFrameUnits && !s.keyframe);
      if (frame == 0) {
        Require(s.time == r.firstAudioTime);
        Require(AudioFrameInFile(s.time, t.times[0], std::numeric_limits<std::int64_t>::max()));
      } else {
        const std::int64_t step = MediaTimeDifference(s.time, lastAudio);
        Require(step >= kAacFrameUnits - 2 && step <= kAacFrameUnits + 2);
      }
      lastAudio = s.time;
      ++frame;
    } else {
      Require(picture < n);
      if (picture > 0) Require(t.times[picture] > t.times[picture - 1]);
      Require(s.time == t.times[picture] && s.size == t.sizes[picture] && (s.keyframe ? 1 : 0) == t.keyframes[picture]);
      Require(UnitsWalk(media.data() + at, s.size));
      ++picture;
    }
    const ChunkTrack track = s.audio ? ChunkTrack::kAudio : ChunkTrack::kVideo;
    if (!plan.empty() && plan.back().track == track) {
      ++plan.back().samples;
    } else {
      plan.push_back(PlannedChunk{track, 1});
    }
    at += s.size;
  }
  Require(picture == n && frame == frames);
  Require(at == 40 + r.mediaBytes && r.mediaBytes <= 4294967287ull);
  Require(plan.size() == r.plan.size());
  for (std::size_t c = 0; c < plan.size(); ++c) {
    Require(plan[c].track == r.plan[c].track && plan[c].samples == r.plan[c].samples);
  }
  // Frames after the last picture are there only as a close would have written them.
  if (plan.back().track == ChunkTrack::kAudio) {
    Require(frames >= 2 && lastAudio < MediaTimeDifference(t.times[n - 1], -r.lastDuration));
  }

  // The movie box of the rebuilt file reads back whole.
  const ByteBuffer payload = RecordingMoovPayload(t, r.lastDuration, r.sps, r.pps, r.picture, r.audioSpecificConfig,
                                                  r.audioSizes, r.firstAudioTime, r.plan);
  Require(!payload.empty());
  try {
    const mp4read::Movie movie = mp4read::ReadMoovPayload(payload);
    Require(movie.stsz == t.sizes);
    Require(movie.width == r.picture.width && movie.height == r.picture.height);
    if (movie.sound.present) {
      Require(frames >= 2 && movie.sound.stsz == r.audioSizes && movie.sound.audioSpecificConfig == r.audioSpecificConfig);
    }
    if (frames == 0) Require(!movie.sound.present && movie.stco == std::vector<std::uint32_t>{40});
  } catch (const mp4read::ParseError&) {
    std::abort();
  }

  // The media data cut right after the recovered records holds exactly them.
  const Bytes cut(media.begin(), media.begin() + static_cast<std::ptrdiff_t>(at));
  RecoveredRecording again;
  Require(ReadLeftoverRecording(Memory(journal), Memory(cut), again));
  Require(again.table.times == t.times && again.table.sizes == t.sizes && again.mediaBytes == r.mediaBytes &&
          again.picture == r.picture && again.audioSizes == r.audioSizes);
  return 0;
}
