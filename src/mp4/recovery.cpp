#include "mp4/recovery.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "app/process_state.h"
#include "clips/housekeeping.h"
#include "clips/media_time.h"
#include "log/log.h"
#include "mp4/crc32.h"
#include "mp4/placement.h"
#include "mp4/recording.h"
#include "mp4/recording_journal.h"
#include "platform/atomic.h"
#include "platform/exclusive_file.h"
#include "platform/lock.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr std::size_t kMediaBlock = 1u << 20;
constexpr std::size_t kRecordBlock = 2048;  // records read at a time: 64 KiB
constexpr std::uint32_t kMediaHeaderSize = kRecordingMdatHeaderOffset + 8;
// No frame lasts longer than a whole file.
constexpr std::int64_t kMaxSampleDuration = kRecordingRotationAge;

// Reads the media data front to back through one block-sized buffer.
class MediaReader {
 public:
  MediaReader(const ByteSource& media, std::uint64_t start) : media_(media), next_(start) {}

  // Up to want (> 0) bytes from the current position; false when they cannot be read.
  bool Take(std::size_t want, const std::uint8_t*& bytes, std::size_t& got) {
    if (at_ == filled_) {
      const std::uint64_t left = media_.size - next_;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kMediaBlock));
      if (n == 0) return false;
      if (buffer_.empty()) buffer_.resize(kMediaBlock);
      if (!media_.read(next_, buffer_.data(), n)) return false;
      next_ += n;
      at_ = 0;
      filled_ = n;
    }
    got = std::min(want, filled_ - at_);
    bytes = buffer_.data() + at_;
    at_ += got;
    return true;
  }

 private:
  const ByteSource& media_;
  std::uint64_t next_;  // file offset of the byte after the buffer's
  std::vector<std::uint8_t> buffer_;
  std::size_t at_ = 0, filled_ = 0;
};

// Walks a sample's 4-byte length prefixes: each unit must fit in what is left of the sample, and
// the last must end exactly where the sample does.
class UnitWalk {
 public:
  explicit UnitWalk(std::uint64_t size) : left_(size) {}

  bool Feed(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
      if (unitLeft_ > 0) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(unitLeft_, n - i));
        i += k;
        unitLeft_ -= k;
        left_ -= k;
        continue;
      }
      length_ = length_ << 8 | p[i++];
      --left_;
      if (++lengthBytes_ == 4) {
        if (length_ > left_) return false;
        unitLeft_ = length_;
        length_ = 0;
        lengthBytes_ = 0;
      }
    }
    return true;
  }
  bool Ended() const { return left_ == 0 && unitLeft_ == 0 && lengthBytes_ == 0; }

 private:
  std::uint64_t left_;          // bytes of the sample not yet walked
  std::uint64_t unitLeft_ = 0;  // bytes of the current unit not yet walked
  std::uint32_t length_ = 0;
  int lengthBytes_ = 0;
};

// The next size bytes are exactly the sample the record describes: a picture's walk their length
// prefixes, a frame of sound has none.
bool SampleIsWhole(MediaReader& reader, const JournalSample& sample) {
  UnitWalk walk(sample.audio ? 0 : sample.size);
  std::uint32_t crc = 0;
  std::uint64_t left = sample.size;
  while (left > 0) {
    const std::uint8_t* bytes = nullptr;
    std::size_t got = 0;
    if (!reader.Take(static_cast<std::size_t>(std::min<std::uint64_t>(left, kMediaBlock)), bytes, got)) return false;
    crc = Crc32(bytes, got, crc);
    if (!sample.audio && !walk.Feed(bytes, got)) return false;
    left -= got;
  }
  return crc == sample.checksum && walk.Ended();
}

bool MediaHeaderIsOurs(const ByteSource& media) {
  std::uint8_t header[kMediaHeaderSize];
  if (media.size < sizeof header || !media.read(0, header, sizeof header)) return false;
  const ByteBuffer fileType = BuildFileTypeBox();
  // The media-data size itself is 0 while recording, or already patched by a close that got that
  // far: either way it is written anew.
  return std::memcmp(header, fileType.data(), fileType.size()) == 0 &&
         std::memcmp(header + kRecordingMdatHeaderOffset + 4, "mdat", 4) == 0;
}

std::string NameOf(const std::u16string& path) {
  const std::size_t cut = path.find_last_of(u"\\/");
  return platform::Utf8FromUtf16(cut == std::u16string::npos ? path : path.substr(cut + 1));
}

bool EndsWith(const std::u16string& text, const std::u16string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The names vistrel gives recording files, "rec_" digits and underscores ".mp4.tmp": nothing else
// is rebuilt, and no path made from such a name can leave the folder.
bool IsRecordingTempName(const std::u16string& name) {
  const std::u16string prefix = u"rec_", suffix = u".mp4.tmp";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      !EndsWith(name, suffix)) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                     name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                     [](char16_t c) { return (c >= u'0' && c <= u'9') || c == u'_'; });
}

ByteSource FileSource(platform::FileHandle file) {
  ByteSource source;
  if (!platform::FileSizeOf(file, source.size)) source.size = 0;
  source.read = [file](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    return platform::ReadFileAt(file, offset, out, n);
  };
  return source;
}

void Close(platform::FileHandle& file) {
  platform::CloseFile(file);
  file = platform::kInvalidFile;
}

void LetGo(LeftoverRecordings& leftovers) {
  for (LeftoverRecording& file : leftovers.files) {
    Close(file.media);
    Close(file.journal);
  }
  leftovers.files.clear();
}

void RecoverOne(LeftoverRecording& file) {
  const std::string leftoverName = NameOf(file.mediaPath);
  RecoveredRecording recording;
  if (!ReadLeftoverRecording(FileSource(file.journal), FileSource(file.media), recording)) {
    Close(file.media);
    Close(file.journal);
    platform::RemoveFile(file.mediaPath);
    platform::RemoveFile(file.journalPath);
    LogLine("could not recover %s", leftoverName.c_str());
    return;
  }
  const bool rebuilt = RebuildRecordingFile(file.media, recording);
  std::u16string finalPath = file.mediaPath.substr(0, file.mediaPath.size() - 4);  // without ".tmp"
  std::u16string keptPath;
  // The file is held until it has its final name, and until the journal goes no other start
  // takes it over: its journal is still held here.
  if (!rebuilt || !MoveToFreeName(file.media, file.mediaPath, finalPath, keptPath)) {
    Close(file.media);
    Close(file.journal);
    LogLine("could not recover %s", leftoverName.c_str());
    return;
  }
  Close(file.journal);
  platform::RemoveFile(file.journalPath);
  LogLine("recovered %s: %u frames", NameOf(keptPath).c_str(), static_cast<unsigned>(recording.table.times.size()));
  // The recording's own close applies the budget under the same lock.
  platform::LockHolder hold(processState.recordingLock);
  EnforceFolderLimit(u"\\rec_*.mp4", kRecordingFolderLimit);
}

void RecoveryThread(void* argument) {
  std::unique_ptr<LeftoverRecordings> leftovers(static_cast<LeftoverRecordings*>(argument));
  try {
    RecoverLeftoverRecordings(*leftovers);
  } catch (...) {
    LetGo(*leftovers);  // out of memory: the rest stays for a later start
  }
  leftovers.reset();
  platform::AtomicDecrement(processState.runningRecoveries);
}

}  // namespace

bool ReadLeftoverRecording(const ByteSource& journal, const ByteSource& media, RecoveredRecording& out) {
  out = RecoveredRecording{};
  std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min<std::uint64_t>(journal.size, kMaxJournalHeaderSize)));
  JournalHeader header;
  if (head.empty() || !journal.read(0, head.data(), head.size()) ||
      !ParseJournalHeader(head.data(), head.size(), header) || header.sps.size() < 4) {
    return false;
  }
  if (!MediaHeaderIsOurs(media)) return false;

  const std::uint64_t recordCount =
      std::min<std::uint64_t>((journal.size - header.size) / kJournalRecordSize, kMaxRecoveredSamples);
  const bool sound = !header.audioSpecificConfig.empty();
  MediaReader reader(media, kMediaHeaderSize);
  std::vector<std::int64_t> audioTimes;
  // Takes record index if it and its sample are valid; the first one that is not ends the file.
  auto take = [&](std::uint32_t index, const std::uint8_t* record) {
    JournalSample sample;
    if (!ParseJournalRecord(header.seed, index, record, sample, sound)) return false;
    const std::uint64_t end = out.mediaBytes + sample.size;
    if (!MediaDataFits(end) || kMediaHeaderSize + end > media.size) return false;
    if (sample.audio) {
      // Never before the first picture, whose time places the file's sound.
      if (out.table.times.empty() || sample.size == 0 || sample.size > kMaxAacFrameBytes) return false;
      const bool belongs =
          audioTimes.empty()
              ? AudioFrameInFile(sample.time, out.table.times.front(), std::numeric_limits<std::int64_t>::max())
              : AudioFrameFollows(audioTimes.back(), sample.time);
      if (!belongs || !SampleIsWhole(reader, sample)) return false;
      if (audioTimes.empty()) out.firstAudioTime = sample.time;
      out.audioSizes.push_back(sample.size);
      audioTimes.push_back(sample.time);
    } else {
      const bool inOrder = out.table.times.empty() ? sample.keyframe : sample.time > out.table.times.back();
      if (!inOrder || sample.duration <= 0 || sample.duration > kMaxSampleDuration || !SampleIsWhole(reader, sample)) {
        return false;
      }
      out.table.times.push_back(sample.time);
      out.table.keyframes.push_back(sample.keyframe ? 1 : 0);
      out.table.sizes.push_back(sample.size);
      out.lastDuration = sample.duration;
    }
    out.mediaBytes = end;
    const ChunkTrack track = sample.audio ? ChunkTrack::kAudio : ChunkTrack::kVideo;
    if (!out.plan.empty() && out.plan.back().track == track) {
      ++out.plan.back().samples;
    } else {
      out.plan.push_back(PlannedChunk{track, 1});
    }
    return true;
  };
  std::vector<std::uint8_t> records;
  bool going = true;
  for (std::uint64_t first = 0; going && first < recordCount; first += kRecordBlock) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kRecordBlock, recordCount - first));
    records.resize(count * kJournalRecordSize);
    going = journal.read(header.size + first * kJournalRecordSize, records.data(), records.size());
    for (std::size_t k = 0; going && k < count; ++k) {
      going = take(static_cast<std::uint32_t>(first + k), records.data() + k * kJournalRecordSize);
    }
  }
  if (out.table.times.empty()) return false;
  // The frames after the last picture are the chunk its close would have written: only those that
  // begin before the picture's end, and only when the file holds two frames or more.
  const std::int64_t videoEnd = MediaTimeDifference(out.table.times.back(), -out.lastDuration);
  while (out.plan.back().track == ChunkTrack::kAudio &&
         (audioTimes.back() >= videoEnd || out.audioSizes.size() < 2)) {
    out.mediaBytes -= out.audioSizes.back();
    out.audioSizes.pop_back();
    audioTimes.pop_back();
    if (--out.plan.back().samples == 0) out.plan.pop_back();
  }
  out.sps = std::move(header.sps);
  out.pps = std::move(header.pps);
  out.picture = header.picture;
  out.audioSpecificConfig = std::move(header.audioSpecificConfig);
  return true;
}

bool RebuildRecordingFile(platform::FileHandle media, const RecoveredRecording& recording) {
  // The steps of the recording's own close: cut after the whole samples, movie box at the end,
  // then the media-data size.
  const std::uint64_t mdatEnd = kMediaHeaderSize + recording.mediaBytes;
  const ByteBuffer payload = RecordingMoovPayload(recording.table, recording.lastDuration, recording.sps,
                                                  recording.pps, recording.picture, recording.audioSpecificConfig,
                                                  recording.audioSizes, recording.firstAudioTime, recording.plan);
  if (payload.empty()) return false;
  ByteBuffer moov;
  AppendBox(moov, "moov", payload);
  ByteBuffer size;
  AppendU32(size, static_cast<std::uint32_t>(recording.mediaBytes + 8));
  return platform::SeekFile(media, mdatEnd) && platform::TruncateFileHere(media) &&
         platform::WriteToFile(media, moov.data(), moov.size()) &&
         platform::SeekFile(media, kRecordingMdatHeaderOffset) && platform::WriteToFile(media, size.data(), size.size());
}

LeftoverRecordings TakeLeftoverRecordings(void (*cleanUp)()) {
  LeftoverRecordings taken;
  std::vector<platform::FileHandle> spared;
  const std::u16string& folder = processState.outputFolder;
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(folder + u"\\rec_*.mp4.tmp", entries);
  const std::u16string journalSuffix = u".journal.mp4.tmp";
  for (const platform::DirEntry& entry : entries) {
    if (entry.kind != platform::EntryKind::File || EndsWith(entry.name, journalSuffix)) continue;
    const std::u16string mediaPath = folder + u"\\" + entry.name;
    platform::FileHandle journal = platform::kInvalidFile;
    platform::ExclusiveOpen journalState = platform::ExclusiveOpen::Missing;
    std::u16string journalPath;
    if (IsRecordingTempName(entry.name)) {
      journalPath = JournalPathFor(mediaPath.substr(0, mediaPath.size() - 4));
      journalState = platform::OpenFileExclusive(journalPath, journal);
      if (journalState == platform::ExclusiveOpen::Held) {
        // A running vistrel records into this file, and may be between closing it and giving it
        // its final name: the clean-up must not take it away meanwhile.
        platform::FileHandle media = platform::kInvalidFile;
        if (platform::OpenFileExclusive(mediaPath, media) == platform::ExclusiveOpen::Opened) spared.push_back(media);
        continue;
      }
    }
    platform::FileHandle media = platform::kInvalidFile;
    const platform::ExclusiveOpen mediaState = platform::OpenFileExclusive(mediaPath, media);
    if (mediaState == platform::ExclusiveOpen::Opened && journalState == platform::ExclusiveOpen::Opened) {
      taken.files.push_back(LeftoverRecording{mediaPath, journalPath, media, journal});
      continue;
    }
    if (mediaState == platform::ExclusiveOpen::Held && journalState == platform::ExclusiveOpen::Opened) {
      spared.push_back(journal);  // to recover the file once it is free
      continue;
    }
    platform::CloseFile(journal);
    platform::CloseFile(media);
    // Nobody holds it and nothing can rebuild it: the clean-up that follows deletes it.
    if (mediaState == platform::ExclusiveOpen::Opened) LogLine("could not recover %s", NameOf(mediaPath).c_str());
  }
  cleanUp();
  for (platform::FileHandle& file : spared) Close(file);
  return taken;
}

void RecoverLeftoverRecordings(LeftoverRecordings& leftovers) {
  for (LeftoverRecording& file : leftovers.files) RecoverOne(file);
  leftovers.files.clear();
}

void StartRecoveringLeftoverRecordings(LeftoverRecordings&& leftovers) {
  if (leftovers.files.empty()) {
    LetGo(leftovers);
    return;
  }
  auto* job = new (std::nothrow) LeftoverRecordings(std::move(leftovers));
  if (job == nullptr) {
    LetGo(leftovers);
    return;
  }
  platform::AtomicIncrement(processState.runningRecoveries);
  if (!platform::StartDetachedThread(RecoveryThread, job)) {
    platform::AtomicDecrement(processState.runningRecoveries);
    LetGo(*job);
    delete job;
  }
}
