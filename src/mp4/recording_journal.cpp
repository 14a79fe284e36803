#include "mp4/recording_journal.h"

#include <cstring>

#include "mp4/audio_track.h"
#include "mp4/crc32.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "stream/stream_format.h"

namespace {

constexpr std::uint8_t kMagic[4] = {'V', 'R', 'J', 'L'};
constexpr std::uint32_t kSeedSizeVersion = 1;  // the seed's 1280x720, not written down
constexpr std::uint32_t kSizedVersion = 2;     // the picture size at offset 24
constexpr std::uint32_t kSoundVersion = 3;     // the picture size, and the sound's configuration
constexpr std::uint32_t kKeyframeFlag = 1;
constexpr std::uint32_t kAudioFlag = 2;
static_assert(kMaxJournalAudioConfigSize == kMaxAudioSpecificConfigBytes);

std::uint32_t Read32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint64_t Read64(const std::uint8_t* p) { return std::uint64_t{Read32(p)} << 32 | Read32(p + 4); }

void Put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
void Put64(std::uint8_t* p, std::uint64_t v) {
  Put32(p, static_cast<std::uint32_t>(v >> 32));
  Put32(p + 4, static_cast<std::uint32_t>(v));
}

// The check of a record: its first 28 bytes behind the journal's seed and the record's place.
std::uint32_t RecordCheck(std::uint32_t seed, std::uint32_t index, const std::uint8_t* record) {
  std::uint8_t place[8];
  Put32(place, seed);
  Put32(place + 4, index);
  return Crc32(record, kJournalRecordSize - 4, Crc32(place, sizeof place));
}

}  // namespace

std::u16string JournalPathFor(const std::u16string& finalPath) {
  const std::u16string extension = u".mp4";
  std::u16string stem = finalPath;
  if (stem.size() >= extension.size() && stem.compare(stem.size() - extension.size(), extension.size(), extension) == 0) {
    stem.resize(stem.size() - extension.size());
  }
  return stem + u".journal.mp4.tmp";
}

ByteBuffer BuildJournalHeader(const std::uint8_t (&identity)[kJournalIdentitySize], const std::vector<std::uint8_t>& sps,
                              const std::vector<std::uint8_t>& pps, PictureSize picture,
                              const std::vector<std::uint8_t>& audioSpecificConfig) {
  // The seed's size keeps the first version, so that those journals stay as they always were; a
  // recording without sound keeps the first two.
  const bool sound = !audioSpecificConfig.empty();
  const bool sized = sound || picture != PictureSize{};
  ByteBuffer h;
  h.reserve(42 + sps.size() + pps.size() + audioSpecificConfig.size());
  AppendBytes(h, kMagic, sizeof kMagic);
  AppendU32(h, sound ? kSoundVersion : sized ? kSizedVersion : kSeedSizeVersion);
  AppendBytes(h, identity, kJournalIdentitySize);
  if (sized) {
    AppendU32(h, picture.width);
    AppendU32(h, picture.height);
  }
  AppendU16(h, static_cast<std::uint16_t>(sps.size()));
  AppendU16(h, static_cast<std::uint16_t>(pps.size()));
  if (sound) AppendU16(h, static_cast<std::uint16_t>(audioSpecificConfig.size()));
  AppendBytes(h, sps);
  AppendBytes(h, pps);
  AppendBytes(h, audioSpecificConfig);
  AppendU32(h, Crc32(h.data(), h.size()));
  return h;
}

bool JournalPictureSizeValid(PictureSize picture) {
  return picture.width % 2 == 0 && picture.height % 2 == 0 && picture.width >= stream::kMinWidth &&
         picture.width <= stream::kMaxWidth && picture.height >= stream::kMinHeight &&
         picture.height <= stream::kMaxHeight;
}

bool ParseJournalHeader(const std::uint8_t* bytes, std::size_t size, JournalHeader& header) {
  if (size < 28 || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  const std::uint32_t version = Read32(bytes + 4);
  if (version != kSeedSizeVersion && version != kSizedVersion && version != kSoundVersion) return false;
  const bool sized = version != kSeedSizeVersion;
  const bool sound = version == kSoundVersion;
  std::size_t at = 24;  // the first field after the identity
  PictureSize picture;
  if (sized) {
    if (size < (sound ? 38 : 36)) return false;
    picture = PictureSize{Read32(bytes + 24), Read32(bytes + 28)};
    at = 32;
  }
  const std::size_t spsSize = Read16(bytes + at);
  const std::size_t ppsSize = Read16(bytes + at + 2);
  const std::size_t configSize = sound ? Read16(bytes + at + 4) : 0;
  if (spsSize == 0 || ppsSize == 0) return false;
  if (sound && (configSize == 0 || configSize > kMaxJournalAudioConfigSize)) return false;
  const std::size_t sets = at + (sound ? 6 : 4);
  const std::size_t config = sets + spsSize + ppsSize;
  const std::size_t body = config + configSize;
  if (size < body + 4 || Crc32(bytes, body) != Read32(bytes + body)) return false;
  // Checked behind the CRC: a size out of range there is no damage but a journal vistrel never
  // writes (its stream could not have been opened), and nothing of it is rebuilt.
  if (sized && !JournalPictureSizeValid(picture)) return false;
  header.picture = picture;
  header.sps.assign(bytes + sets, bytes + sets + spsSize);
  header.pps.assign(bytes + sets + spsSize, bytes + config);
  header.audioSpecificConfig.assign(bytes + config, bytes + body);
  header.seed = Read32(bytes + body);
  header.size = body + 4;
  return true;
}

void BuildJournalRecord(std::uint32_t seed, std::uint32_t index, const JournalSample& sample,
                        std::uint8_t (&out)[kJournalRecordSize]) {
  Put64(out, static_cast<std::uint64_t>(sample.time));
  Put64(out + 8, static_cast<std::uint64_t>(sample.duration));
  Put32(out + 16, sample.size);
  Put32(out + 20, sample.checksum);
  Put32(out + 24, (sample.keyframe ? kKeyframeFlag : 0) | (sample.audio ? kAudioFlag : 0));
  Put32(out + 28, RecordCheck(seed, index, out));
}

bool ParseJournalRecord(std::uint32_t seed, std::uint32_t index, const std::uint8_t* bytes, JournalSample& sample,
                        bool withSound) {
  if (RecordCheck(seed, index, bytes) != Read32(bytes + 28)) return false;
  const std::uint32_t flags = Read32(bytes + 24);
  const std::uint32_t known = withSound ? kKeyframeFlag | kAudioFlag : kKeyframeFlag;
  if ((flags & ~known) != 0 || flags == (kKeyframeFlag | kAudioFlag)) return false;
  const bool audio = (flags & kAudioFlag) != 0;
  const auto duration = static_cast<std::int64_t>(Read64(bytes + 8));
  if (audio && duration != kAacFrameUnits) return false;
  sample.time = static_cast<std::int64_t>(Read64(bytes));
  sample.duration = duration;
  sample.size = Read32(bytes + 16);
  sample.checksum = Read32(bytes + 20);
  sample.keyframe = (flags & kKeyframeFlag) != 0;
  sample.audio = audio;
  return true;
}

bool OpenRecordingJournal(RecordingJournal& journal, const std::u16string& finalPath,
                          const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                          PictureSize picture, const std::vector<std::uint8_t>& audioSpecificConfig) {
  if (sps.empty() || pps.empty() || sps.size() > kMaxParameterSetSize || pps.size() > kMaxParameterSetSize ||
      audioSpecificConfig.size() > kMaxJournalAudioConfigSize) {
    return false;
  }
  // Only recordingLock's holder opens journals, so a plain counter is enough.
  static std::uint32_t opened = 0;
  const platform::LocalTime t = platform::LocalTimeNow();
  std::uint8_t identity[kJournalIdentitySize];
  Put32(identity, platform::CurrentProcessId());
  Put32(identity + 4, platform::TickCount());
  Put32(identity + 8, opened++);
  Put32(identity + 12, static_cast<std::uint32_t>(((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.milliseconds));

  journal.path = JournalPathFor(finalPath);
  journal.handle = platform::CreateFileForWrite(journal.path, platform::ShareMode::Read);
  if (journal.handle == platform::kInvalidFile) return false;
  const ByteBuffer header = BuildJournalHeader(identity, sps, pps, picture, audioSpecificConfig);
  if (!platform::WriteToFile(journal.handle, header.data(), header.size())) {
    DiscardRecordingJournal(journal);
    return false;
  }
  journal.seed = Crc32(header.data(), header.size() - 4);
  journal.records = 0;
  return true;
}

bool AppendJournalRecord(RecordingJournal& journal, std::int64_t time, std::int64_t duration, bool keyframe,
                         const std::uint8_t* bytes, std::size_t size) {
  JournalSample sample;
  sample.time = time;
  sample.duration = duration;
  sample.size = static_cast<std::uint32_t>(size);
  sample.checksum = Crc32(bytes, size);
  sample.keyframe = keyframe;
  std::uint8_t record[kJournalRecordSize];
  BuildJournalRecord(journal.seed, journal.records, sample, record);
  if (!platform::WriteToFile(journal.handle, record, sizeof record)) return false;
  ++journal.records;
  return true;
}

bool AppendJournalAudioRecord(RecordingJournal& journal, std::int64_t time, const std::uint8_t* bytes,
                              std::size_t size) {
  JournalSample sample;
  sample.time = time;
  sample.duration = kAacFrameUnits;
  sample.size = static_cast<std::uint32_t>(size);
  sample.checksum = Crc32(bytes, size);
  sample.audio = true;
  std::uint8_t record[kJournalRecordSize];
  BuildJournalRecord(journal.seed, journal.records, sample, record);
  if (!platform::WriteToFile(journal.handle, record, sizeof record)) return false;
  ++journal.records;
  return true;
}

void DiscardRecordingJournal(RecordingJournal& journal) {
  if (journal.handle == platform::kInvalidFile) return;
  platform::CloseFile(journal.handle);
  journal.handle = platform::kInvalidFile;
  platform::RemoveFile(journal.path);
}
