// The game's sound on its bad days, end to end: the reference host's click track (vistrel-host
// --audio tone) starting after the picture, stopping for two seconds, playing before any picture,
// and written over while vistrel stands still; and the audio encoder missing, refusing its types or
// failing midway. After each the files alone show the sound in place (every click within one AAC
// frame of its picture, none astray, none missing but where the host wrote none or the ring lost
// it), the picture goes on exactly as without sound, and the log tells each incident once.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "integration/vistrel_run.h"
#include "mp4/mp4_reader.h"
#include "support/sync_check.h"

namespace {

using namespace vistrel_run;
using testing_support::Quote;
using testing_support::RunCommand;

constexpr double kOneAacFrameMs = 1024.0 / 48;
constexpr double kOneAacFrame = 1024.0 / 48000;
constexpr std::uint32_t kWidth = 640, kHeight = 360;
// Small pictures on the fast clock: the sound's timing is the point, not real time.
const std::string kFast = "--fast --size 640x360 ";

std::vector<std::uint8_t> Bytes(const fs::path& file) {
  const std::string s = ReadWhole(file);
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

// The number a log line carries after prefix ("sound gap of 1990 ms ..." -> 1990); 0 without one.
unsigned NumberAfter(const std::string& line, const std::string& prefix) {
  return line.rfind(prefix, 0) == 0 ? static_cast<unsigned>(std::strtoul(line.c_str() + prefix.size(), nullptr, 10))
                                    : 0u;
}

// Two files laid out alike: the same boxes in the same order, the same movie box to its size, the
// same samples (count, times, keyframes, chunks); only the pictures' encoded bytes and sizes may
// differ (libx264's sliced threads do not give the same bytes twice).
void ExpectSameLayout(const fs::path& a, const fs::path& b) {
  SCOPED_TRACE(a.filename().string() + " and " + b.filename().string());
  const mp4read::File x = mp4read::ReadFile(Bytes(a)), y = mp4read::ReadFile(Bytes(b));
  ASSERT_EQ(x.boxes.size(), y.boxes.size());
  for (std::size_t i = 0; i < x.boxes.size(); ++i) {
    EXPECT_EQ(x.boxes[i].type, y.boxes[i].type);
    if (x.boxes[i].type != "mdat") {
      EXPECT_EQ(x.boxes[i].size, y.boxes[i].size) << x.boxes[i].type;
    }
    if (x.boxes[i].offset < x.mdatOffset) {
      EXPECT_EQ(x.boxes[i].offset, y.boxes[i].offset) << x.boxes[i].type;
    }
  }
  const mp4read::Movie& m = x.movie;
  const mp4read::Movie& n = y.movie;
  EXPECT_EQ(m.boxOrder, n.boxOrder);
  EXPECT_EQ(m.movieTimeScale, n.movieTimeScale);
  EXPECT_EQ(m.movieDuration, n.movieDuration);
  EXPECT_EQ(m.trackDuration, n.trackDuration);
  EXPECT_EQ(m.mediaTimeScale, n.mediaTimeScale);
  EXPECT_EQ(m.mediaDuration, n.mediaDuration);
  EXPECT_EQ(m.width, n.width);
  EXPECT_EQ(m.height, n.height);
  EXPECT_EQ(m.sps, n.sps);
  EXPECT_EQ(m.pps, n.pps);
  EXPECT_EQ(m.stts, n.stts);
  EXPECT_EQ(m.stss, n.stss);
  EXPECT_EQ(m.ctts, n.ctts);
  EXPECT_EQ(m.stsc, n.stsc);
  EXPECT_EQ(m.stsz.size(), n.stsz.size());
  EXPECT_EQ(m.stco.size(), n.stco.size());
  EXPECT_FALSE(m.sound.present);
  EXPECT_FALSE(n.sound.present);
}

class SoundFault : public VistrelRun {
 protected:
  // Runs vistrel-host with args (and env, assignments for the stand-in) into out; returns its output.
  std::string Host(const std::string& args, const std::string& env = "") {
    const auto run = RunCommand(env + " " + Quote(bin / "vistrel-host") + " --software-encoder --log --out " +
                                Quote(out) + " " + args);
    EXPECT_EQ(run.exitCode, 0) << run.output << "\n" << Log();
    return run.output;
  }

  // The one clip of the run.
  fs::path Clip() {
    const auto clips = FilesIn(out, "clip_*.mp4");
    EXPECT_EQ(clips.size(), 1u) << Log();
    return clips.empty() ? fs::path() : clips.front();
  }

  // The run's clip and its one recording.
  std::vector<fs::path> ClipAndRecording() {
    std::vector<fs::path> files = FilesIn(out, "*.mp4");
    EXPECT_EQ(files.size(), 2u) << Log();
    EXPECT_EQ(FilesIn(out, "rec_*.mp4").size(), 1u) << Log();
    return files;
  }

  // Both streams, clean, every click found within one AAC frame of its picture, none astray.
  // Pictures without a click are left to the caller.
  testing_support::ClickSync Clicks(const fs::path& file) {
    const auto sync = testing_support::MeasureClickSync(file, kWidth, kHeight);
    std::printf("%s: %s", file.filename().string().c_str(), testing_support::Describe(sync).c_str());
    EXPECT_EQ(sync.streams, 2) << file;
    EXPECT_TRUE(sync.clean) << file << ": " << sync.errors;
    EXPECT_FALSE(sync.clicks.empty()) << file;
    EXPECT_LT(sync.worstMs, kOneAacFrameMs) << file;
    EXPECT_TRUE(sync.clicksWithoutPicture.empty()) << file;
    return sync;
  }

  // The lines of the log that begin with prefix.
  std::vector<std::string> Logged(const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& line : LogMessages()) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }

  // No incident of the sound was logged but those in expected.
  void OnlyLogged(const std::vector<std::string>& expected) {
    for (const char* incident : {"sound lapped: ", "sound gap of ", "sound clock jumped: ",
                                 "sound without a usable clock", "no audio encoder", "audio encoder failed"}) {
      if (std::find(expected.begin(), expected.end(), incident) != expected.end()) continue;
      EXPECT_EQ(CountLogged(incident), 0u) << incident << "\n" << Log();
    }
  }

  // vistrel's process id: the process that runs this test's own copy of vistrel; 0 when none.
  int VistrelPid() {
    std::error_code ec;
    const fs::path self = fs::canonical(bin / "vistrel", ec);
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
      const std::string name = e.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::error_code readError;
      if (fs::read_symlink(e.path() / "exe", readError) == self && !readError) return std::atoi(name.c_str());
    }
    return 0;
  }
};

// The host's sound starts 2.5 s after its first picture: clip and recording hold both streams,
// their sound begins later (an empty edit before it), and every click from there on is in place. That is no
// gap and nothing lost.
TEST_F(SoundFault, SoundThatStartsAfterThePicture) {
  Host(kFast + "--audio tone --audio-start 2.5 --record --duration 10 --request key@9.5");
  for (const fs::path& path : ClipAndRecording()) {
    const auto sync = Clicks(path);
    EXPECT_TRUE(sync.picturesWithoutClick.empty());
    ASSERT_FALSE(sync.clicks.empty());
    // The first click is frame 90's (3 s), the first multiple of 30 after 2.5 s; the sound begins
    // half a second before it.
    EXPECT_EQ(sync.clicks.front().frame, 90u);
    const double soundStarts = sync.clicks.front().pictureSeconds - 0.5;
    EXPECT_NEAR(sync.audioStart, soundStarts, kOneAacFrame + 0.001);
    const mp4read::File file = mp4read::ReadFile(Bytes(path));
    ASSERT_TRUE(file.movie.sound.present);
    ASSERT_EQ(file.movie.sound.edits.size(), 2u);
    EXPECT_EQ(file.movie.sound.edits[0].mediaTime, -1);
    EXPECT_NEAR(file.movie.sound.edits[0].duration / static_cast<double>(file.movie.movieTimeScale), soundStarts,
                kOneAacFrame + 0.001);
  }
  OnlyLogged({});
}

// The host writes no sound from 4 s for 2 s: the gap is logged once and filled with silence, so
// that the clicks after it stay in place; only the clicks of frames 120 and 150 (4 s and 5 s),
// which the host never wrote, are missing.
TEST_F(SoundFault, GapOfTwoSecondsIsFilledWithSilence) {
  Host(kFast + "--audio tone --audio-gap 4:2 --record --duration 10 --request key@9.5");
  for (const fs::path& path : ClipAndRecording()) {
    const auto sync = Clicks(path);
    EXPECT_EQ(sync.picturesWithoutClick, (std::vector<std::uint32_t>{120, 150}));
    EXPECT_TRUE(std::any_of(sync.clicks.begin(), sync.clicks.end(), [](const auto& c) { return c.frame == 270; }));
  }
  const auto gaps = Logged("sound gap of ");
  ASSERT_EQ(gaps.size(), 1u) << Log();
  std::printf("%s\n", gaps[0].c_str());
  // Two seconds, less the part of a packet the host filled up with silence before it.
  const unsigned ms = NumberAfter(gaps[0], "sound gap of ");
  EXPECT_GE(ms, 1985u) << gaps[0];
  EXPECT_LE(ms, 2000u) << gaps[0];
  OnlyLogged({"sound gap of "});
}

// 5 s of sound before the first picture, more than the ring holds: read as it comes and dropped
// without a word (nothing lost), and the sound after it keeps its place on the host's clock, which
// started before the picture's (and below zero: the first picture is at 2.5 s of it).
TEST_F(SoundFault, SoundBeforeAnyPictureIsDropped) {
  Host(kFast + "--audio tone --audio-lead 5 --clock-start 25000000 --record --duration 6 --request key@5.5");
  for (const fs::path& path : ClipAndRecording()) {
    const auto sync = Clicks(path);
    EXPECT_TRUE(sync.picturesWithoutClick.empty());
    ASSERT_FALSE(sync.clicks.empty());
    EXPECT_EQ(sync.clicks.front().frame, 0u);
    // The sound is there from the first picture on.
    EXPECT_LT(sync.audioStart, kOneAacFrame + 0.001);
  }
  OnlyLogged({});
}

// vistrel stands still for 5 s while the host goes on writing: the ring (4 s) is lapped, the loss
// is logged once and filled with silence, and in the clip requested after the stall and in the
// recording every click is in place; a click may be missing only where the ring lost it, on the last picture of a
// multiple of 30 before the stall.
TEST_F(SoundFault, OverrunWhileVistrelIsStalled) {
  std::string output;
  std::thread host([&] { output = Host("--size 640x360 --audio tone --record --duration 12 --request key@11.5"); });
  int pid = 0;
  WaitUntil([&] { return (pid = VistrelPid()) != 0 && CountLogged("audio encoder: ") > 0; }, 20000);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const bool stopped = pid != 0 && ::kill(pid, SIGSTOP) == 0;
  std::this_thread::sleep_for(std::chrono::seconds(5));
  if (stopped) ::kill(pid, SIGCONT);
  host.join();
  ASSERT_TRUE(stopped) << "vistrel not found\n" << Log();

  const auto lapped = Logged("sound lapped: ");
  ASSERT_EQ(lapped.size(), 1u) << Log();
  std::printf("%s\n", lapped[0].c_str());
  // The 5 s stall loses about a second of 10 ms packets.
  EXPECT_GE(NumberAfter(lapped[0], "sound lapped: "), 50u) << lapped[0];
  OnlyLogged({"sound lapped: "});

  for (const fs::path& path : ClipAndRecording()) {
    const auto decoded = testing_support::DecodeFrameNumbers(path, kWidth, kHeight);
    EXPECT_TRUE(testing_support::Consecutive(decoded.numbers));
    const auto sync = Clicks(path);
    // The stall: the two clicks 30 frames apart whose pictures lie furthest apart in time.
    std::size_t stall = 0;
    double widest = 0;
    for (std::size_t i = 1; i < sync.clicks.size(); ++i) {
      const double apart = sync.clicks[i].pictureSeconds - sync.clicks[i - 1].pictureSeconds;
      if (apart > widest) {
        widest = apart;
        stall = i;
      }
    }
    ASSERT_GT(stall, 0u);
    const std::uint32_t before = sync.clicks[stall - 1].frame, after = sync.clicks[stall].frame;
    std::printf("stall between the clicks of frames %u and %u\n", before, after);
    // It lies in the middle of the file, the stall's 5 s between the two.
    EXPECT_GT(widest, 4.0);
    EXPECT_GE(sync.clicks.size() - stall, 3u) << "too few clicks after the stall";
    EXPECT_LE(after - before, 60u);
    for (std::uint32_t missing : sync.picturesWithoutClick) {
      EXPECT_EQ(missing, before + 30) << "a click lost elsewhere";
    }
  }
}

// Runs of a version 3 block at 640x360: without sound (the block declares none), and with the
// click track under each fault of the audio encoder. Requests come after the last frame, so that
// every run's clip holds the same pictures; the recording holds them all.
class EncoderFault : public SoundFault {
 protected:
  static constexpr const char* kRun = "--duration 6 --record --request key@6.8 --stop-at 7.5";

  struct Files {
    fs::path clip, recording;
    std::vector<std::optional<std::uint32_t>> clipFrames, recordingFrames;
  };

  // The run's clip and recording, each decoded to consecutive pictures; then the folder is emptied.
  Files Run(const std::string& args, const std::string& env = "") {
    for (const auto& f : FilesIn(out, "*")) fs::remove(f);
    fs::remove(bin / "vistrel.log");
    Host(kFast + args + " " + kRun, env);
    Files files;
    files.clip = Clip();
    const auto recordings = FilesIn(out, "rec_*.mp4");
    EXPECT_EQ(recordings.size(), 1u) << Log();
    if (!recordings.empty()) files.recording = recordings.front();
    if (files.clip.empty() || files.recording.empty()) return files;
    files.clipFrames = CheckVideo(files.clip, kWidth, kHeight);
    files.recordingFrames = CheckVideo(files.recording, kWidth, kHeight);
    // Kept apart from the next run's.
    const fs::path kept = dir.path() / ("kept" + std::to_string(kept_++));
    fs::create_directories(kept);
    fs::rename(files.clip, kept / "clip.mp4");
    fs::rename(files.recording, kept / "rec.mp4");
    files.clip = kept / "clip.mp4";
    files.recording = kept / "rec.mp4";
    return files;
  }

  int kept_ = 0;
};

// The audio encoder missing, only one that refuses its types, or one that breaks down midway: one
// line each, and the pictures of clips and recordings those of a block without sound (a refusing
// one before a working one costs nothing). A version 3 block without sound gives single-track
// files.
TEST_F(EncoderFault, MissingRefusingOrFailingEncoderLeavesThePictureAsWithoutSound) {
  const Files silent = Run("");
  ASSERT_FALSE(silent.clipFrames.empty());
  EXPECT_EQ(testing_support::MeasureClickSync(silent.clip, kWidth, kHeight).streams, 1);
  EXPECT_EQ(testing_support::MeasureClickSync(silent.recording, kWidth, kHeight).streams, 1);
  EXPECT_EQ(CountLogged("audio encoder"), 0u) << "a block without sound brings up no audio encoder\n" << Log();

  struct Case {
    const char* name;
    const char* env;
  };
  for (const Case& c : {Case{"missing", "VISTREL_MEDIAFW_NO_AUDIO=1"},
                        Case{"refusing", "VISTREL_MEDIAFW_NO_AUDIO=1 VISTREL_MEDIAFW_AUDIO_REFUSER=1"}}) {
    SCOPED_TRACE(c.name);
    const Files run = Run("--audio tone", c.env);
    EXPECT_EQ(CountLogged("no audio encoder: the sound is not recorded"), 1u) << Log();
    OnlyLogged({"no audio encoder"});
    EXPECT_EQ(run.clipFrames, silent.clipFrames);
    EXPECT_EQ(run.recordingFrames, silent.recordingFrames);
    ExpectSameLayout(run.clip, silent.clip);
    ExpectSameLayout(run.recording, silent.recording);
  }

  {
    // A refusing encoder listed before a working one: the working one records the sound.
    SCOPED_TRACE("refusing first");
    const Files run = Run("--audio tone", "VISTREL_MEDIAFW_AUDIO_REFUSER=1");
    EXPECT_EQ(CountLogged("audio encoder: "), 1u) << Log();
    OnlyLogged({});
    EXPECT_EQ(run.clipFrames, silent.clipFrames);
    EXPECT_EQ(run.recordingFrames, silent.recordingFrames);
    ASSERT_FALSE(run.clip.empty());
    for (const fs::path& path : {run.clip, run.recording}) {
      const auto sync = Clicks(path);
      EXPECT_TRUE(sync.picturesWithoutClick.empty());
      EXPECT_GT(sync.audioEnd, 5.5);
    }
  }

  // Its 60th input fails: clip and recording carry the sound up to the failure, in place, and
  // nothing after it.
  SCOPED_TRACE("failing");
  const Files run = Run("--audio tone", "VISTREL_MEDIAFW_AUDIO_FAIL=input:60");
  EXPECT_EQ(CountLogged("audio encoder failed 0x80004005: the sound stops"), 1u) << Log();
  OnlyLogged({"audio encoder failed"});
  EXPECT_EQ(run.clipFrames, silent.clipFrames);
  EXPECT_EQ(run.recordingFrames, silent.recordingFrames);
  ASSERT_FALSE(run.clip.empty());
  for (const fs::path& path : {run.clip, run.recording}) {
    const auto sync = Clicks(path);
    EXPECT_TRUE(sync.picturesWithoutClick.empty());
    // The sound ends well before the picture (6 s): at the failure, after a second or so of sound.
    EXPECT_GT(sync.audioEnd, 1.0);
    EXPECT_LT(sync.audioEnd, 5.0);
    ASSERT_FALSE(sync.clicks.empty());
    EXPECT_LE(sync.clicks.back().frame, static_cast<std::uint32_t>(sync.audioEnd * 30) + 1);
  }
}

// Version 2 and a version 3 block without sound of the same frames give files laid out alike: the
// sound's arrival changed nothing for them.
TEST_F(EncoderFault, VersionTwoAndThreeWithoutSoundGiveFilesLaidOutAlike) {
  const std::string timeline = "--duration 3 --record --request key@3.8 --stop-at 4.5";
  Host("--fast " + timeline);
  const fs::path v2 = dir.path() / "v2";
  fs::create_directories(v2);
  for (const auto& f : FilesIn(out, "*.mp4")) fs::rename(f, v2 / f.filename());
  Host("--fast --size 1280x720 --fps 30 " + timeline);
  const auto twos = FilesIn(v2, "*.mp4"), threes = FilesIn(out, "*.mp4");
  ASSERT_EQ(twos.size(), 2u);
  ASSERT_EQ(threes.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(twos[i].filename().string().substr(0, 4), threes[i].filename().string().substr(0, 4));
    ExpectSameLayout(twos[i], threes[i]);
  }
}

}  // namespace
