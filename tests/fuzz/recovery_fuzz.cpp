// The reader of leftover recordings on arbitrary journals and media files. Input: one byte of
// switches, a 16-bit journal length, the journal, then the media file. The switches can seal what
// the fuzzer cannot guess (the header's CRC, each record's check, each sample's CRC over the media
// bytes where the records place it), so that the checks behind them are reached too.
//
// Whatever the input: no read outside either file; and when something is recovered, it is a run
// of samples from a keyframe, times increasing, durations in range, lying inside the media data,
// each matching its CRC and walking its length prefixes exactly to its end; its picture size is
// the seed's (a version 1 journal) or one a stream can have (version 2); the movie box built from
// it reads back whole, at that size; and the media cut right after those samples gives the same
// run.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mp4/crc32.h"
#include "mp4/mp4_reader.h"
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
// written them for these bytes.
void Seal(Bytes& journal, const Bytes& media, bool header, bool records, bool samples) {
  // The parameter set lengths follow the identity in version 1, the picture size in version 2.
  const std::size_t lengths = journal.size() >= 8 && Read32(journal.data() + 4) == 2 ? 32 : 24;
  if (header && journal.size() >= lengths + 4) {
    const std::size_t body = lengths + 4 + (journal[lengths] << 8 | journal[lengths + 1]) +
                             (journal[lengths + 2] << 8 | journal[lengths + 3]);
    if (journal.size() >= body + 4) Put32(journal.data() + body, Crc32(journal.data(), body));
  }
  JournalHeader parsed;
  if (!records || !ParseJournalHeader(journal.data(), journal.size(), parsed)) return;
  std::uint64_t at = 40;
  for (std::size_t i = 0; parsed.size + (i + 1) * kJournalRecordSize <= journal.size(); ++i) {
    std::uint8_t* r = journal.data() + parsed.size + i * kJournalRecordSize;
    JournalSample s;
    s.time = static_cast<std::int64_t>(std::uint64_t{Read32(r)} << 32 | Read32(r + 4));
    s.duration = static_cast<std::int64_t>(std::uint64_t{Read32(r + 8)} << 32 | Read32(r + 12));
    s.size = Read32(r + 16);
    s.checksum = Read32(r + 20);
    s.keyframe = (r[27] & 1) != 0;
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
  Seal(journal, media, switches & 1, switches & 2, switches & 4);

  RecoveredRecording r;
  if (!ReadLeftoverRecording(Memory(journal), Memory(media), r)) return 0;

  const SampleTable& t = r.table;
  const std::size_t n = t.times.size();
  Require(n >= 1 && n <= kMaxRecoveredSamples && t.keyframes.size() == n && t.sizes.size() == n);
  Require(t.keyframes[0] == 1);
  Require(r.sps.size() >= 4 && r.sps.size() <= 65535 && !r.pps.empty() && r.pps.size() <= 65535);
  Require(r.lastDuration > 0 && r.lastDuration <= 3000000000LL);
  JournalHeader header;
  Require(ParseJournalHeader(journal.data(), journal.size(), header));
  Require(r.picture == header.picture);
  if (Read32(journal.data() + 4) == 1) {
    Require(r.picture == PictureSize{});
  } else {
    Require(Read32(journal.data() + 4) == 2 && JournalPictureSizeValid(r.picture));
    Require(r.picture.width % 2 == 0 && r.picture.height % 2 == 0 && r.picture.width >= 320 &&
            r.picture.width <= 3840 && r.picture.height >= 180 && r.picture.height <= 2160);
  }
  std::uint64_t at = 40;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) Require(t.times[i] > t.times[i - 1]);
    JournalSample s;
    Require(ParseJournalRecord(header.seed, static_cast<std::uint32_t>(i),
                               journal.data() + header.size + i * kJournalRecordSize, s));
    Require(s.time == t.times[i] && s.size == t.sizes[i] && (s.keyframe ? 1 : 0) == t.keyframes[i]);
    Require(at + s.size <= media.size());
    Require(Crc32(media.data() + at, s.size) == s.checksum);
    Require(UnitsWalk(media.data() + at, s.size));
    at += s.size;
  }
  Require(at == 40 + r.mediaBytes && r.mediaBytes <= 4294967287ull);

  // The movie box of the rebuilt file reads back whole.
  const ByteBuffer payload = BuildMoovPayload(t, r.lastDuration, r.sps, r.pps, 40, r.picture);
  try {
    const mp4read::Movie movie = mp4read::ReadMoovPayload(payload);
    Require(movie.stsz == t.sizes);
    Require(movie.width == r.picture.width && movie.height == r.picture.height);
  } catch (const mp4read::ParseError&) {
    std::abort();
  }

  // The media data cut right after the recovered samples holds exactly them.
  const Bytes cut(media.begin(), media.begin() + static_cast<std::ptrdiff_t>(at));
  RecoveredRecording again;
  Require(ReadLeftoverRecording(Memory(journal), Memory(cut), again));
  Require(again.table.times == t.times && again.table.sizes == t.sizes && again.mediaBytes == r.mediaBytes &&
          again.picture == r.picture);
  return 0;
}
