#include "mp4/recording.h"

#include "app/process_state.h"
#include "clips/housekeeping.h"
#include "clips/media_time.h"
#include "log/log.h"
#include "mp4/placement.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/text.h"

RecordingFile recordingFile;

namespace {

bool IsOpen(const RecordingFile& r) { return r.handle != platform::kInvalidFile; }

void StartRetryWait(RecordingFile& r) {
  r.retryWaiting = true;
  r.retryTick = platform::TickCount() + kRecordingRetryWaitMs;
}

// Whether the wait after a failure still runs. An ended wait is forgotten at once: compared only by
// their 32-bit difference, a stale retryTick would seem to lie ahead again after 2^31 ms.
bool RetryWaitRunning(RecordingFile& r) {
  if (!r.retryWaiting) return false;
  if (static_cast<std::int32_t>(platform::TickCount() - r.retryTick) < 0) return true;
  r.retryWaiting = false;
  return false;
}

}  // namespace

bool OpenRecording() {
  RecordingFile& r = recordingFile;
  if (!HasFreeSpace(kRecordingFreeSpace)) {
    LogLine("under 5 GB free: not recording");
    StartRetryWait(r);
    return false;
  }
  const platform::LocalTime t = platform::LocalTimeNow();
  r.finalPath = processState.outputFolder + platform::FormatName64("\\rec_%04d%02d%02d_%02d%02d%02d.mp4", t.year,
                                                                   t.month, t.day, t.hour, t.minute, t.second);
  const std::u16string temporary = r.finalPath + u".tmp";
  const platform::FileHandle file = platform::CreateFileForWrite(temporary, platform::ShareMode::Read);
  if (file == platform::kInvalidFile) {
    StartRetryWait(r);
    return false;
  }
  // File type box, then a media-data header whose size stays 0 until the close patches it.
  ByteBuffer header = BuildFileTypeBox();
  AppendU32(header, 0);
  AppendFourCC(header, "mdat");
  r.mdatHeaderOffset = kRecordingMdatHeaderOffset;
  const PictureSize picture{processState.stream.width, processState.stream.height};
  if (!platform::WriteToFile(file, header.data(), header.size()) ||
      !OpenRecordingJournal(r.journal, r.finalPath, parameterSets.sps, parameterSets.pps, picture)) {
    platform::CloseFile(file);
    platform::RemoveFile(temporary);
    StartRetryWait(r);
    return false;
  }
  r.handle = file;
  r.sps = parameterSets.sps;
  r.pps = parameterSets.pps;
  r.picture = picture;
  r.lastRecordingWrite = platform::TickCount();
  return true;
}

void CloseRecording() {
  RecordingFile& r = recordingFile;
  if (!IsOpen(r)) return;
  const std::size_t frames = r.table.times.size();
  bool kept = false;
  if (frames > 0 && MediaDataFits(r.mdatPayloadBytes)) {
    // A sample whose write failed part-way may have left bytes after the last whole sample: the
    // movie box goes right after the media data the table describes, and the file ends with it.
    const std::uint64_t mdatEnd = std::uint64_t{r.mdatHeaderOffset} + 8 + r.mdatPayloadBytes;
    if (platform::SeekFile(r.handle, mdatEnd) && platform::TruncateFileHere(r.handle)) {
      ByteBuffer moov;
      AppendBox(moov, "moov", BuildMoovPayload(r.table, r.lastDuration, r.sps, r.pps, r.mdatHeaderOffset + 8, r.picture));
      if (platform::WriteToFile(r.handle, moov.data(), moov.size()) &&
          platform::SeekFile(r.handle, r.mdatHeaderOffset)) {
        ByteBuffer size;
        AppendU32(size, static_cast<std::uint32_t>(r.mdatPayloadBytes + 8));
        kept = platform::WriteToFile(r.handle, size.data(), size.size());
      }
    }
  }
  const std::u16string temporary = r.finalPath + u".tmp";
  std::u16string keptPath;
  // The file gets its final name while the handle still holds it, and is closed with that. A file
  // opened in the same second as an earlier one has its name: keep both.
  if (kept) kept = MoveToFreeName(r.handle, temporary, r.finalPath, keptPath);
  platform::CloseFile(r.handle);
  r.handle = platform::kInvalidFile;
  if (!kept) platform::RemoveFile(temporary);
  DiscardRecordingJournal(r.journal);  // only now: until the file has its final name, it rebuilds it
  LogLine("recording file closed: %s, %u frames", kept ? "ok" : "not kept", static_cast<unsigned>(frames));

  r.table.times.clear();
  r.table.keyframes.clear();
  r.table.sizes.clear();
  r.mdatPayloadBytes = 0;
  if (kept) EnforceFolderLimit(u"\\rec_*.mp4", kRecordingFolderLimit);
}

void AppendToRecording(const EncodedSample& sample) {
  platform::LockHolder hold(processState.recordingLock);
  if (processState.shuttingDown || platform::AtomicLoad(processState.recordingWanted) == 0) return;
  RecordingFile& r = recordingFile;

  if (IsOpen(r) && sample.keyframe && !r.table.times.empty() &&
      (MediaTimeDifference(sample.time, r.table.times.front()) >= kRecordingRotationAge ||
       r.mdatPayloadBytes >= kRecordingRotationBytes)) {
    CloseRecording();
  }
  if (!IsOpen(r) && sample.keyframe && ParameterSetsUsable(parameterSets) && !RetryWaitRunning(r)) {
    OpenRecording();
  }
  if (!IsOpen(r)) return;  // a file always begins with a keyframe

  r.writeBuffer.clear();
  ConvertAccessUnit(r.writeBuffer, SampleBytes(sample), SampleSize(sample));
  const bool written = platform::WriteToFile(r.handle, r.writeBuffer.data(), r.writeBuffer.size());
  if (written) {
    const std::size_t described = r.table.times.size();
    try {
      r.table.times.push_back(sample.time);
      r.table.keyframes.push_back(sample.keyframe ? 1 : 0);
      r.table.sizes.push_back(static_cast<std::uint32_t>(r.writeBuffer.size()));
    } catch (...) {
      // The columns stay the same length, so that the close describes whole samples only (the
      // bytes written after them are cut off there) when the failure ends the run.
      r.table.times.resize(described);
      r.table.keyframes.resize(described);
      r.table.sizes.resize(described);
      throw;
    }
    r.mdatPayloadBytes += r.writeBuffer.size();
    r.lastDuration = sample.duration;
    r.lastRecordingWrite = platform::TickCount();
  }
  // The journal's record follows its sample, so that it never describes bytes not handed to the
  // file. A journal that cannot be written fails the recording like its own data (a full disk).
  if (!written || !AppendJournalRecord(r.journal, sample.time, sample.duration, sample.keyframe,
                                       r.writeBuffer.data(), r.writeBuffer.size())) {
    LogLine("recording write failed (disk full?)");
    CloseRecording();
    StartRetryWait(r);
  }
}

void RunRecordingControl(std::int32_t recordSwitch) {
  platform::AtomicExchange(processState.recordingWanted, recordSwitch);
  platform::LockHolder hold(processState.recordingLock);
  RecordingFile& r = recordingFile;
  RetryWaitRunning(r);  // lets an ended wait lapse while its tick difference still means something
  if (!IsOpen(r)) return;
  if (recordSwitch == 0 || platform::TickCount() - r.lastRecordingWrite > kRecordingIdleMs) CloseRecording();
}

void CloseRecordingForShutdown() {
  platform::LockHolder hold(processState.recordingLock);
  processState.shuttingDown = true;
  CloseRecording();
}

void AppendAudioToRecording(const EncodedAudio&) {}
