#include "mp4/recording.h"

#include <algorithm>
#include <limits>

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

constexpr std::int64_t kUnitsPerSecond = 10000000;

bool HasSound(const RecordingFile& r) { return !r.audioSpecificConfig.empty(); }

// Room for extra more entries, so that the bookkeeping after a write cannot fail half-way.
template <typename T>
void EnsureRoom(std::vector<T>& v, std::size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max<std::size_t>(v.size() + extra, 2 * v.size()));
}

// One more sample of track at the end of the plan. Throws only before changing it.
void AddToPlan(std::vector<PlannedChunk>& plan, ChunkTrack track, std::uint32_t samples) {
  if (!plan.empty() && plan.back().track == track) {
    plan.back().samples += samples;
  } else {
    plan.push_back(PlannedChunk{track, samples});
  }
}

void ForgetContents(RecordingFile& r) {
  r.table.times.clear();
  r.table.keyframes.clear();
  r.table.sizes.clear();
  r.mdatPayloadBytes = 0;
  r.heldAudio.clear();
  r.audioSizes.clear();
  r.firstAudioTime = 0;
  r.lastAudioTime = 0;
  r.audioRun = 0;
  r.audioTaken = false;
  r.audioEnded = false;
  r.nextChunkSecond = 1;
  r.plan.clear();
}

// Takes a frame into the file when it belongs there: the first is one that AudioFrameInFile
// places in a file beginning with the file's first picture; every later one must be of the same
// run and follow the one before without a gap. The first that does not ends the file's sound.
void TakeAudio(RecordingFile& r, const EncodedAudio& frame) {
  if (!HasSound(r) || r.audioEnded || r.table.times.empty()) return;
  if (!r.audioTaken) {
    if (!AudioFrameInFile(frame.time, r.table.times.front(), std::numeric_limits<std::int64_t>::max())) return;
  } else if (frame.run != r.audioRun || !AudioFrameFollows(r.lastAudioTime, frame.time)) {
    r.audioEnded = true;
    return;
  }
  const std::size_t size = frame.data ? frame.data->size() : 0;
  if (size == 0 || size > kMaxAacFrameBytes || r.heldAudio.size() >= kMaxHeldAudioFrames) {
    r.audioEnded = true;
    return;
  }
  r.heldAudio.push_back(frame);
  if (!r.audioTaken) {
    r.audioTaken = true;
    r.audioRun = frame.run;
    r.firstAudioTime = frame.time;
  }
  r.lastAudioTime = frame.time;
}

// Writes the held frames that begin before limit as one chunk, with their journal records. False
// when the media data could not be written (the chunk is then not described); journalWritten
// false when a record could not be.
bool WriteAudioChunk(RecordingFile& r, std::int64_t limit, bool& journalWritten) {
  journalWritten = true;
  std::size_t count = 0;
  while (count < r.heldAudio.size() && r.heldAudio[count].time < limit) ++count;
  if (count == 0) return true;
  r.writeBuffer.clear();
  for (std::size_t k = 0; k < count; ++k) AppendBytes(r.writeBuffer, *r.heldAudio[k].data);
  EnsureRoom(r.audioSizes, count);
  EnsureRoom(r.plan, 2);  // this chunk, and the picture that follows it
  if (!platform::WriteToFile(r.handle, r.writeBuffer.data(), r.writeBuffer.size())) return false;
  for (std::size_t k = 0; k < count; ++k) {
    const std::vector<std::uint8_t>& bytes = *r.heldAudio[k].data;
    r.audioSizes.push_back(static_cast<std::uint32_t>(bytes.size()));
    if (journalWritten) {
      journalWritten = AppendJournalAudioRecord(r.journal, r.heldAudio[k].time, bytes.data(), bytes.size());
    }
  }
  AddToPlan(r.plan, ChunkTrack::kAudio, static_cast<std::uint32_t>(count));
  r.mdatPayloadBytes += r.writeBuffer.size();
  r.heldAudio.erase(r.heldAudio.begin(), r.heldAudio.begin() + static_cast<std::ptrdiff_t>(count));
  return true;
}

// At the close, right after the media data described so far: the held frames that begin before
// the end of the last picture, when the file then holds two frames or more (fewer describe no
// sound, and a file without any keeps its layout of before). False when the file cannot be
// finished.
bool WriteClosingAudioChunk(RecordingFile& r, std::uint64_t mdatEnd) {
  if (!HasSound(r) || r.heldAudio.empty()) return true;
  const std::int64_t videoEnd = MediaTimeDifference(r.table.times.back(), -r.lastDuration);
  std::size_t count = 0;
  std::uint64_t bytes = 0;
  while (count < r.heldAudio.size() && r.heldAudio[count].time < videoEnd) bytes += r.heldAudio[count++].data->size();
  if (r.audioSizes.size() + count < 2 || !MediaDataFits(r.mdatPayloadBytes + bytes)) return true;
  bool journalWritten = true;
  if (WriteAudioChunk(r, videoEnd, journalWritten)) return true;  // the journal goes with the close
  // A chunk written part-way is cut off again: the file ends as if it had not been tried.
  return platform::SeekFile(r.handle, mdatEnd) && platform::TruncateFileHere(r.handle);
}

}  // namespace

bool AudioFrameFollows(std::int64_t previous, std::int64_t time) {
  const std::int64_t step = MediaTimeDifference(time, previous);
  return step >= kAacFrameUnits - kAudioStepTolerance && step <= kAacFrameUnits + kAudioStepTolerance;
}

ByteBuffer RecordingMoovPayload(const SampleTable& video, std::int64_t lastDuration,
                                const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                PictureSize picture, const std::vector<std::uint8_t>& audioSpecificConfig,
                                const std::vector<std::uint32_t>& audioSizes, std::int64_t firstAudioTime,
                                const std::vector<PlannedChunk>& plan) {
  const std::uint32_t mediaDataStart = kRecordingMdatHeaderOffset + 8;
  if (audioSizes.empty()) return BuildMoovPayload(video, lastDuration, sps, pps, mediaDataStart, picture);
  if (audioSizes.size() >= 2 && !audioSpecificConfig.empty()) {
    ByteBuffer payload = BuildAudioVideoMoovPayload(
        video, lastDuration, sps, pps, picture,
        MakeFileAudioTable(audioSizes, audioSpecificConfig, firstAudioTime, video.times.front()), plan,
        mediaDataStart);
    if (!payload.empty()) return payload;
  }
  return BuildPlannedVideoMoovPayload(video, lastDuration, sps, pps, picture, audioSizes, plan, mediaDataStart);
}

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
  // A configuration out of bounds describes no sound: the file is recorded without.
  const std::vector<std::uint8_t>& config = audioStream.audioSpecificConfig;
  const bool sound = !config.empty() && config.size() <= kMaxAudioSpecificConfigBytes;
  if (!platform::WriteToFile(file, header.data(), header.size()) ||
      !OpenRecordingJournal(r.journal, r.finalPath, parameterSets.sps, parameterSets.pps, picture,
                            sound ? config : std::vector<std::uint8_t>{})) {
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
  ForgetContents(r);
  if (sound) {
    r.audioSpecificConfig = config;
  } else {
    r.audioSpecificConfig.clear();
  }
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
    ByteBuffer payload;
    if (platform::SeekFile(r.handle, mdatEnd) && platform::TruncateFileHere(r.handle) &&
        WriteClosingAudioChunk(r, mdatEnd)) {
      payload = RecordingMoovPayload(r.table, r.lastDuration, r.sps, r.pps, r.picture, r.audioSpecificConfig,
                                     r.audioSizes, r.firstAudioTime, r.plan);
    }
    if (!payload.empty()) {
      ByteBuffer moov;
      AppendBox(moov, "moov", payload);
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

  ForgetContents(r);
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

  // Before the first picture of a new second after the file's first: the sound held for the time
  // before it, as one chunk.
  if (HasSound(r) && !r.table.times.empty()) {
    const std::int64_t second = MediaTimeDifference(sample.time, r.table.times.front()) / kUnitsPerSecond;
    if (second >= r.nextChunkSecond) {
      r.nextChunkSecond = second + 1;
      bool journalWritten = true;
      if (!WriteAudioChunk(r, sample.time, journalWritten) || !journalWritten) {
        LogLine("recording write failed (disk full?)");
        CloseRecording();
        StartRetryWait(r);
        return;
      }
    }
  }

  r.writeBuffer.clear();
  ConvertAccessUnit(r.writeBuffer, SampleBytes(sample), SampleSize(sample));
  const bool written = platform::WriteToFile(r.handle, r.writeBuffer.data(), r.writeBuffer.size());
  if (written) {
    const std::size_t described = r.table.times.size();
    try {
      r.table.times.push_back(sample.time);
      r.table.keyframes.push_back(sample.keyframe ? 1 : 0);
      r.table.sizes.push_back(static_cast<std::uint32_t>(r.writeBuffer.size()));
      AddToPlan(r.plan, ChunkTrack::kVideo, 1);
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
    // The file's first picture: the audio encoder runs ahead of the picture's, so the frames that
    // belong to the file from its start are already in the history.
    if (described == 0 && HasSound(r)) {
      for (const EncodedAudio& frame : sampleHistory.audio) TakeAudio(r, frame);
    }
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

void AppendAudioToRecording(const EncodedAudio& frame) {
  platform::LockHolder hold(processState.recordingLock);
  if (processState.shuttingDown || platform::AtomicLoad(processState.recordingWanted) == 0) return;
  RecordingFile& r = recordingFile;
  if (IsOpen(r)) TakeAudio(r, frame);
}
