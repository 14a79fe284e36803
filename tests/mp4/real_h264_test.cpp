// Clips and recordings made from real H.264 (1280x720 at 30 and 1920x1080 at 60 frames a second,
// Main profile from libx264, made at build time), read back by ffprobe and decoded frame by frame
// by ffmpeg, frame for frame the same as the stream they came from.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "clips/annexb.h"
#include "clips/clip_request.h"
#include "clips/save_wait.h"
#include "mediafw/objects.h"
#include "clips/housekeeping.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "mp4/recovery.h"
#include "mp4/tmpfs.h"

#if !defined(VISTREL_H264_FIXTURE) || !defined(VISTREL_H264_FIXTURE_1080P60)
#error "the build names the fixtures"
#endif

namespace {

using namespace testing_files;

struct Output {
  int status = -1;
  std::string out;
  std::string err;
};

Output Run(const std::string& command, const fs::path& scratch) {
  const fs::path errors = scratch.string() + ".stderr";
  Output o;
  FILE* pipe = ::popen((command + " 2>'" + errors.string() + "'").c_str(), "r");
  if (!pipe) return o;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) o.out.append(buffer, n);
  o.status = ::pclose(pipe);
  const std::vector<std::uint8_t> e = ReadFileBytes(errors);
  o.err.assign(e.begin(), e.end());
  fs::remove(errors);
  return o;
}

// The access units of the fixture: each begins with its delimiter's start code.
std::vector<std::vector<std::uint8_t>> AccessUnits(const char* fixture = VISTREL_H264_FIXTURE) {
  const std::vector<std::uint8_t> stream = ReadFileBytes(fixture);
  std::vector<std::size_t> starts;
  ScanAnnexB(stream.data(), stream.size(), [&](const NalUnit& u) {
    if (u.type != 9) return;
    std::size_t at = u.start - 3;
    if (at > 0 && stream[at - 1] == 0) --at;
    starts.push_back(at);
  });
  std::vector<std::vector<std::uint8_t>> units;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : stream.size();
    units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                       stream.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return units;
}

bool HasIdr(const std::vector<std::uint8_t>& au) {
  bool idr = false;
  ScanAnnexB(au.data(), au.size(), [&](const NalUnit& u) { idr |= u.type == 5; });
  return idr;
}

// The encoder's output sample for one access unit, as the framework hands it over.
void Feed(const std::vector<std::uint8_t>& au, std::int64_t time, std::int64_t duration = 333333) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  ASSERT_EQ(CreateSampleObject(&sample), S_OK);
  ASSERT_EQ(CreateMemoryBufferObject(static_cast<DWORD>(au.size()), &buffer), S_OK);
  BYTE* p = nullptr;
  buffer->Lock(&p, nullptr, nullptr);
  std::memcpy(p, au.data(), au.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(au.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  if (HasIdr(au)) sample->SetUINT32(MFSampleExtension_CleanPoint, 1);
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  AddEncodedSample(sample);
  sample->Release();
}

struct Probe {
  std::string codec, profile, frameRate;
  int width = 0, height = 0, frames = 0;
  double duration = 0;
};

Probe ProbeFile(const fs::path& file) {
  const Output o = Run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                       "stream=codec_name,profile,width,height,r_frame_rate,nb_read_frames:format=duration "
                       "-of default=noprint_wrappers=1 '" + file.string() + "'",
                       file);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "") << file;
  Probe p;
  std::istringstream lines(o.out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "codec_name") p.codec = value;
    if (key == "profile") p.profile = value;
    if (key == "width") p.width = std::stoi(value);
    if (key == "height") p.height = std::stoi(value);
    if (key == "r_frame_rate") p.frameRate = value;
    if (key == "nb_read_frames") p.frames = std::stoi(value);
    if (key == "duration") p.duration = std::stod(value);
  }
  return p;
}

// Decodes every frame; the checksums of the pictures in order. Any warning fails the test.
std::vector<std::string> DecodedFrames(const fs::path& file) {
  const Output o = Run("ffmpeg -nostdin -v warning -i '" + file.string() + "' -fps_mode passthrough -f framemd5 -", file);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "") << file;
  std::vector<std::string> sums;
  std::istringstream lines(o.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    sums.push_back(line.substr(line.rfind(',') + 1));
  }
  return sums;
}

std::vector<std::string> Slice(const std::vector<std::string>& v, std::size_t from, std::size_t to) {
  return std::vector<std::string>(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to));
}

class RealH264 : public RecordingTest {
 protected:
  RealH264() {
    sampleHistory = SampleHistory{};
    parameterSets = ParameterSets{};
  }
  ~RealH264() override { sampleHistory = SampleHistory{}; }

  static void SetUpTestSuite() {
    units_ = AccessUnits();
    reference_ = DecodedFrames(VISTREL_H264_FIXTURE);
  }

  static inline std::vector<std::vector<std::uint8_t>> units_;
  static inline std::vector<std::string> reference_;
};

TEST_F(RealH264, FixtureIsWhatTheTestsAssume) {
  ASSERT_EQ(units_.size(), 90u);
  ASSERT_EQ(reference_.size(), 90u);
  for (std::size_t i = 0; i < units_.size(); ++i) EXPECT_EQ(HasIdr(units_[i]), i % 30 == 0) << i;
}

TEST_F(RealH264, ClipAndRecordingDecodeFrameForFrame) {
  RunRecordingControl(1);
  for (std::size_t i = 0; i < units_.size(); ++i) Feed(units_[i], 40000000 + static_cast<std::int64_t>(i) * 10000000 / 30);
  RequestClip(2);
  WaitForSaves();
  RunRecordingControl(0);
  ASSERT_EQ(Files(), std::vector<std::string>({"clip_20250314_211502_kill.mp4", "rec_20250314_211502.mp4"}));
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"saved clip_20250314_211502_kill.mp4: ok, 90 frames, 3.0 s",
                                                      "recording file closed: ok, 90 frames"}));
  for (const char* name : {"clip_20250314_211502_kill.mp4", "rec_20250314_211502.mp4"}) {
    SCOPED_TRACE(name);
    const Probe p = ProbeFile(folder / name);
    EXPECT_EQ(p.codec, "h264");
    EXPECT_EQ(p.profile, "Main");
    EXPECT_EQ(p.width, 1280);
    EXPECT_EQ(p.height, 720);
    EXPECT_EQ(p.frames, 90);
    EXPECT_NEAR(p.duration, 3.0, 0.01);
    EXPECT_EQ(DecodedFrames(folder / name), reference_);
  }
}

// Files rotate at the first keyframe 300 s after the first sample: stamped 5 s apart, the third
// group's keyframe is that one.
TEST_F(RealH264, RotatedFilesEachDecodeOnTheirOwn) {
  RunRecordingControl(1);
  for (std::size_t i = 0; i < units_.size(); ++i) {
    if (i == 60) clock.SetSecond(9);
    Feed(units_[i], static_cast<std::int64_t>(i) * 50000000);
  }
  RunRecordingControl(0);
  ASSERT_EQ(Files(), std::vector<std::string>({"rec_20250314_211502.mp4", "rec_20250314_211509.mp4"}));
  EXPECT_EQ(DecodedFrames(folder / "rec_20250314_211502.mp4"), Slice(reference_, 0, 60));
  EXPECT_EQ(DecodedFrames(folder / "rec_20250314_211509.mp4"), Slice(reference_, 60, 90));
  EXPECT_EQ(ProbeFile(folder / "rec_20250314_211509.mp4").frames, 30);
}

// The disk fills up in the middle of a frame: the kept file holds the frames before it, intact.
TEST_F(RealH264, RecordingCutOffByAFullDiskStillDecodes) {
  Tmpfs disk(6ull << 30);
  SKIP_WITHOUT_TMPFS(disk);
  processState.outputFolder = disk.system();
  RunRecordingControl(1);
  for (std::size_t i = 0; i < 45; ++i) Feed(units_[i], static_cast<std::int64_t>(i) * 10000000 / 30);
  ASSERT_TRUE(disk.LeaveFree(Tmpfs::kPage));
  Feed(units_[45], 45 * 10000000 / 30);
  ASSERT_TRUE(disk.Resize(6ull << 30));
  EXPECT_EQ(log.Messages(), std::vector<std::string>({"recording write failed (disk full?)",
                                                      "recording file closed: ok, 45 frames"}));
  ASSERT_EQ(FolderNames(disk.path()), std::vector<std::string>({"rec_20250314_211502.mp4"}));
  EXPECT_EQ(ProbeFile(disk.path() / "rec_20250314_211502.mp4").frames, 45);
  EXPECT_EQ(DecodedFrames(disk.path() / "rec_20250314_211502.mp4"), Slice(reference_, 0, 45));
}

// A stream of 1920x1080 at 60 frames a second: its clip and its recording state that size, play at
// that rate and decode frame for frame; and a recording of it that a kill left behind is rebuilt
// at that size by a start whose own stream is the seed's.
class RealH264At1080p60 : public RecordingTest {
 protected:
  RealH264At1080p60() {
    sampleHistory = SampleHistory{};
    parameterSets = ParameterSets{};
    processState.stream.width = 1920;
    processState.stream.height = 1080;
    processState.stream.stride = 1920 * 4;
    processState.stream.frameRateNumerator = 60;
  }
  ~RealH264At1080p60() override { sampleHistory = SampleHistory{}; }

  static void SetUpTestSuite() {
    units_ = AccessUnits(VISTREL_H264_FIXTURE_1080P60);
    reference_ = DecodedFrames(VISTREL_H264_FIXTURE_1080P60);
  }

  // Every frame at its time on a 60 Hz grid, truncated to 100-ns units as the main loop does.
  void FeedAll() {
    for (std::size_t i = 0; i < units_.size(); ++i) {
      Feed(units_[i], 40000000 + static_cast<std::int64_t>(i) * 10000000 / 60, 166667);
    }
  }

  void ExpectStreamOf(const fs::path& file, std::size_t frames) {
    SCOPED_TRACE(file.filename().string());
    const Probe p = ProbeFile(file);
    EXPECT_EQ(p.codec, "h264");
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.frameRate, "60/1");
    EXPECT_EQ(p.frames, static_cast<int>(frames));
    EXPECT_NEAR(p.duration, static_cast<double>(frames) / 60, 0.01);
    const mp4read::File f = mp4read::ReadFile(ReadFileBytes(file));
    EXPECT_EQ(f.movie.trackWidth, 1920u << 16);
    EXPECT_EQ(f.movie.trackHeight, 1080u << 16);
    EXPECT_EQ(f.movie.width, 1920);
    EXPECT_EQ(f.movie.height, 1080);
    for (const mp4read::Entry& e : f.movie.stts) {
      EXPECT_GE(e.value, 1499u);
      EXPECT_LE(e.value, 1501u);
    }
    EXPECT_EQ(DecodedFrames(file), Slice(reference_, 0, frames));
  }

  static inline std::vector<std::vector<std::uint8_t>> units_;
  static inline std::vector<std::string> reference_;
};

TEST_F(RealH264At1080p60, ClipAndRecordingAtTheStreamsSizeAndRate) {
  ASSERT_EQ(units_.size(), 120u);
  ASSERT_EQ(reference_.size(), 120u);
  RunRecordingControl(1);
  FeedAll();
  RequestClip(2);
  WaitForSaves();
  RunRecordingControl(0);
  ASSERT_EQ(Files(), std::vector<std::string>({"clip_20250314_211502_kill.mp4", "rec_20250314_211502.mp4"}));
  ExpectStreamOf(folder / "clip_20250314_211502_kill.mp4", 120);
  ExpectStreamOf(folder / "rec_20250314_211502.mp4", 120);
}

TEST_F(RealH264At1080p60, LeftoverIsRebuiltAtItsOwnSize) {
  RunRecordingControl(1);
  FeedAll();
  {
    // A kill: the files stay as they are, open and unfinished.
    platform::LockHolder hold(processState.recordingLock);
    platform::CloseFile(recordingFile.handle);
    platform::CloseFile(recordingFile.journal.handle);
    recordingFile = RecordingFile{};
  }
  RunRecordingControl(0);
  ASSERT_EQ(Files(), std::vector<std::string>({"rec_20250314_211502.journal.mp4.tmp", "rec_20250314_211502.mp4.tmp"}));
  processState.stream = stream::SeedStreamFormat();
  LeftoverRecordings leftovers = TakeLeftoverRecordings(RemoveLeftoverTempFiles);
  RecoverLeftoverRecordings(leftovers);
  ASSERT_EQ(Files(), std::vector<std::string>({"rec_20250314_211502.mp4"}));
  ExpectStreamOf(folder / "rec_20250314_211502.mp4", 120);
}

}  // namespace
