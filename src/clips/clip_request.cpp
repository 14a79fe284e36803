#include "clips/clip_request.h"

#include "app/process_state.h"
#include "clips/housekeeping.h"
#include "log/log.h"
#include "mp4/clip_writer.h"
#include "platform/atomic.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

void RunSaveThread(void* job) { SaveClipThread(static_cast<ClipJob*>(job)); }

}  // namespace

const char* ClipLabel(std::int32_t kind) {
  switch (kind) {
    case 1:
      return "death";
    case 2:
      return "kill";
    default:
      return "key";
  }
}

std::u16string ClipFileName(const platform::LocalTime& t, std::int32_t kind) {
  return platform::FormatName64("\\clip_%04d%02d%02d_%02d%02d%02d_%s.mp4", t.year, t.month, t.day, t.hour,
                                t.minute, t.second, ClipLabel(kind));
}

std::unique_ptr<ClipJob> MakeClipJob(const SampleHistory& history, const ParameterSets& sets, std::int32_t kind,
                                     const AudioStreamInfo& sound) {
  auto job = std::make_unique<ClipJob>();
  job->samples.assign(history.samples.begin(), history.samples.end());
  job->sps = sets.sps;
  job->pps = sets.pps;
  job->kind = kind;
  // Without a configuration no file can carry the sound: no frame is taken.
  if (!sound.audioSpecificConfig.empty()) {
    job->sound.frames.assign(history.audio.begin(), history.audio.end());
    job->sound.audioSpecificConfig = sound.audioSpecificConfig;
  }
  return job;
}

void RequestClip(std::int32_t kind) {
  if (sampleHistory.samples.empty() || !ParameterSetsUsable(parameterSets)) {
    LogLine("nothing to save yet");
    return;
  }
  if (!sampleHistory.samples.front().keyframe) {
    LogLine("no keyframe yet");
    return;
  }
  if (platform::AtomicLoad(processState.runningSaves) > 0) {
    LogLine("a save is still running: skipped");
    return;
  }
  std::unique_ptr<ClipJob> job = MakeClipJob(sampleHistory, parameterSets, kind);
  platform::AtomicIncrement(processState.runningSaves);
  if (platform::StartDetachedThread(RunSaveThread, job.get())) {
    job.release();  // the thread owns it now
    return;
  }
  platform::AtomicDecrement(processState.runningSaves);
}

namespace {

// What a save has told the log so far.
struct SaveReport {
  std::string name;     // the file name, once it is known
  bool logged = false;  // its outcome is in the log
};

void LogOutcome(const ClipJob& job, SaveReport& report, bool ok) {
  // The length between the first and the last sample's time; the last duration is not added.
  const double seconds = job.samples.empty() ? 0.0
                                             : (static_cast<double>(job.samples.back().time) -
                                                static_cast<double>(job.samples.front().time)) /
                                                   10000000.0;
  LogLine("saved %s: %s, %u frames, %.1f s", report.name.c_str(), ok ? "ok" : "FAILED",
          static_cast<unsigned>(job.samples.size()), seconds);
  report.logged = true;
}

// The name as "%S" would print it: the name is ASCII, and the 8-bit log cannot rely on what "%S"
// means to each C library.
std::string NameForLog(const std::u16string& path) { return platform::Utf8FromUtf16(path.substr(path.rfind(u'\\') + 1)); }

void SaveClip(const ClipJob& job, SaveReport& report) {
  if (!HasFreeSpace(kClipFreeSpace)) {
    LogLine("under 1 GB free: clip skipped");
    report.logged = true;
    return;
  }
  const std::u16string path = processState.outputFolder + ClipFileName(platform::LocalTimeNow(), job.kind);
  report.name = NameForLog(path);
  std::u16string written = path;
  const PictureSize picture{processState.stream.width, processState.stream.height};
  const bool ok = WriteClipFile(path, job.samples, job.sps, job.pps, job.sound, &written, picture);
  if (written != path) report.name = NameForLog(written);
  LogOutcome(job, report, ok);
  if (ok) EnforceFolderLimit(u"\\clip_*.mp4", kClipFolderLimit);
}

}  // namespace

void SaveClipThread(ClipJob* job) {
  // Nothing may leave this thread, or the process would end with it: a save that fails on the way
  // (memory that runs out while the clip is built) is a failed save, reported as one.
  SaveReport report;
  try {
    SaveClip(*job, report);
  } catch (...) {
    if (!report.logged) LogOutcome(*job, report, false);
  }
  // Free the job before the counter falls: once it is back to 0, this thread touches nothing.
  delete job;
  platform::AtomicDecrement(processState.runningSaves);
}
