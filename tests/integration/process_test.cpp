// vistrel as a whole: the real process, started by a real host, with the stand-in media framework
// and libx264, and every file it writes read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "exchange/exchange.h"
#include "host/host_exchange.h"
#include "mediafw/framework_driver.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/media_check.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Consecutive;
using testing_support::DecodeFrameNumbers;
using testing_support::ProbeVideo;
using testing_support::Quote;
using testing_support::RunCommand;

// The hardware encoders the stand-in framework offers, in its order, and the first of them that
// takes the system's configuration on this machine (-1: none, as on a machine without an encoding
// GPU). Found through the framework itself, so that the expectations hold with or without a GPU.
struct HardwareEncoders {
  std::vector<std::string> names;
  int firstWorking = -1;
};

const HardwareEncoders& FindHardwareEncoders() {
  static const HardwareEncoders found = [] {
    HardwareEncoders h;
    mediafw_driver::Framework framework;
    std::string error;
    if (!mediafw_driver::LoadFramework(VISTREL_MEDIAFW_PATH, &framework, &error)) {
      ADD_FAILURE() << error;
      return h;
    }
    mediafw_driver::ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", nullptr);
    std::vector<mediafw_driver::Candidate> candidates;
    EXPECT_EQ(mediafw_driver::EnumerateEncoders(framework, &candidates), S_OK);
    for (mediafw_driver::Candidate& candidate : candidates) {
      h.names.push_back(candidate.friendlyName);
      if (h.firstWorking >= 0) continue;
      IMFTransform* transform = nullptr;
      if (FAILED(candidate.activate->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform)))) continue;
      mediafw_driver::Encoder encoder;
      std::string failedStep;
      const HRESULT hr =
          mediafw_driver::ConfigureEncoder(framework, transform, mediafw_driver::Configuration{}, &encoder, &failedStep);
      transform->Release();
      mediafw_driver::ReleaseEncoder(&encoder);
      candidate.activate->ShutdownObject();
      if (SUCCEEDED(hr)) h.firstWorking = static_cast<int>(h.names.size()) - 1;
    }
    mediafw_driver::ReleaseCandidates(&candidates);
    return h;
  }();
  return found;
}

// Each test runs its own copy of the binaries, so that its vistrel.log (written next to the
// executable) is its own.
class Process : public testing::Test {
 protected:
  testing_support::TempDir dir;
  fs::path bin, out;

  void SetUp() override {
    bin = dir.path() / "bin";
    out = dir.path() / "out";
    fs::create_directories(bin);
    for (const char* name : {"vistrel", "vistrel-host", "libvistrel-mediafw.so"}) {
      fs::copy_file(fs::path(VISTREL_BIN_DIR) / name, bin / name);
    }
    for (const char* name : {"VISTREL_SOFTWARE_ENCODER", "VISTREL_MEDIAFW_SYNC", "VISTREL_MEDIAFW_TYPE_CHANGE",
                             "VISTREL_MEDIAFW_INPUT_REQUESTS", "VISTREL_MEDIAFW_REFUSE_EVERY"}) {
      ::unsetenv(name);
    }
  }

  testing_support::CommandResult Host(const std::string& args) {
    return RunCommand(Quote(bin / "vistrel-host") + " --out " + Quote(out) + " " + args);
  }
  testing_support::CommandResult Vistrel(const std::string& args, const std::string& env = "") {
    return RunCommand(env + " " + Quote(bin / "vistrel") + " " + args);
  }

  std::string Log() {
    std::ifstream in(bin / "vistrel.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The log's messages, without the time stamps.
  std::vector<std::string> LogMessages() {
    std::vector<std::string> lines;
    std::istringstream in(Log());
    std::string line;
    while (std::getline(in, line)) {
      EXPECT_GE(line.size(), 15u);
      EXPECT_EQ(line.back(), '\r');
      lines.push_back(line.substr(14, line.size() - 15));
    }
    return lines;
  }
  bool Logged(const std::string& message) {
    const auto lines = LogMessages();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }
  std::vector<fs::path> Files(const std::string& prefix, const std::string& suffix = ".mp4") {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(out, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(prefix, 0) == 0 && name.size() >= suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        files.push_back(e.path());
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  // Every file decodes cleanly as 1280x720 H.264 Main; returns the frame numbers it holds.
  std::vector<std::optional<std::uint32_t>> CheckVideo(const fs::path& file) {
    const auto probe = ProbeVideo(file);
    EXPECT_TRUE(probe.ok) << file << ": " << probe.errors;
    EXPECT_EQ(probe.codec, "h264") << file;
    EXPECT_EQ(probe.profile, "Main") << file;
    EXPECT_EQ(probe.width, 1280);
    EXPECT_EQ(probe.height, 720);
    const auto decoded = DecodeFrameNumbers(file);
    EXPECT_TRUE(decoded.clean) << file << ": " << decoded.errors;
    EXPECT_EQ(static_cast<std::int64_t>(decoded.numbers.size()), probe.frames) << file;
    EXPECT_TRUE(Consecutive(decoded.numbers)) << file;
    return decoded.numbers;
  }
};

TEST_F(Process, CommandLineExitCodes) {
  EXPECT_EQ(Vistrel("").exitCode, 4);
  EXPECT_EQ(Vistrel("--PROBE").exitCode, 4);
  EXPECT_EQ(Vistrel("--run").exitCode, 4);
  EXPECT_EQ(Vistrel("--run abc").exitCode, 4);  // identifier 0: no such process
  EXPECT_EQ(Vistrel("--run 4000000000").exitCode, 4);
  // 0 exactly when a hardware encoder works here.
  EXPECT_EQ(Vistrel("--probe").exitCode, FindHardwareEncoders().firstWorking >= 0 ? 0 : 3);
  EXPECT_EQ(Vistrel("--probe --anything", "VISTREL_SOFTWARE_ENCODER=1").exitCode, 0);
  EXPECT_FALSE(fs::exists(bin / "vistrel.log"));  // the probe never logs
  fs::remove(bin / "libvistrel-mediafw.so");
  EXPECT_EQ(Vistrel("--probe", "VISTREL_SOFTWARE_ENCODER=1").exitCode, 3);
}

// Every hardware encoder the framework offers is tried in its order, each named in the log, until
// one takes the configuration; when none does, the run ends with 3.
TEST_F(Process, HardwareEncodersTriedInOrder) {
  const HardwareEncoders& hardware = FindHardwareEncoders();
  const auto run = Host("--log --duration 1");
  const auto lines = LogMessages();
  std::vector<std::string> tried;
  for (const std::string& l : lines) {
    if (l.rfind("encoder ", 0) == 0) tried.push_back(l);
  }
  std::vector<std::string> expected;
  const std::size_t count = hardware.firstWorking >= 0 ? static_cast<std::size_t>(hardware.firstWorking) + 1
                                                        : hardware.names.size();
  for (std::size_t i = 0; i < count; ++i) expected.push_back("encoder " + std::to_string(i) + ": " + hardware.names[i]);
  EXPECT_EQ(tried, expected) << Log();
  if (hardware.firstWorking < 0) {
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find("status: 2"), std::string::npos) << run.output;
    ASSERT_FALSE(lines.empty()) << Log();
    EXPECT_EQ(lines.back(), "no working hardware encoder");
  } else {
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("status: 1"), std::string::npos) << run.output;
    const auto chosen = std::find(lines.begin(), lines.end(), expected.back());
    ASSERT_NE(chosen, lines.end());
    ASSERT_NE(chosen + 1, lines.end());
    EXPECT_EQ(chosen[1].rfind("  using it: ", 0), 0u) << Log();
    EXPECT_FALSE(Logged("no working hardware encoder"));
  }
}

// Without the media framework there is no encoder at all, GPU or not.
TEST_F(Process, RunWithoutAWorkingEncoder) {
  fs::remove(bin / "libvistrel-mediafw.so");
  const auto run = Host("--software-encoder --log --duration 1");
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("status: 2"), std::string::npos) << run.output;
  EXPECT_EQ(LogMessages(), std::vector<std::string>({"no working hardware encoder"})) << Log();
}

// vistrel started by this test, which plays the host in-process.
class InProcessHost : public Process {
 protected:
  host::HostExchange ex;
  platform::ProcessHandle child;

  void Start(const host::HostOptions& options) {
    ASSERT_TRUE(ex.Create(platform::CurrentProcessId(), options));
    const std::u16string exe = testing_support::TempDir::SystemPath(bin / "vistrel");
    ASSERT_TRUE(platform::StartProcess(
        exe, {u"--run", platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()))}, child));
  }
  // Waits ms, or less when vistrel ends meanwhile; false once it has ended (Wait then gives its
  // exit code).
  bool StillRunning(std::uint32_t ms) {
    if (ended_) return false;
    std::uint32_t code = 0;
    if (!platform::WaitProcessFor(child, ms, code)) return true;
    ended_ = static_cast<int>(code);
    return false;
  }
  int Wait(std::uint32_t ms = 30000) {
    if (ended_) return *ended_;
    std::uint32_t code = 0;
    if (!platform::WaitProcessFor(child, ms, code)) {
      platform::KillProcess(child);
      platform::WaitProcessFor(child, 5000, code);
      return -1;
    }
    return static_cast<int>(code);
  }

 private:
  std::optional<int> ended_;
};

TEST_F(InProcessHost, HeaderMismatchEndsWithFourAndTouchesNothing) {
  host::HostOptions options;
  options.log = true;
  options.outputFolder = testing_support::TempDir::SystemPath(out);
  ASSERT_TRUE(ex.Create(platform::CurrentProcessId(), options));
  ex.Header()->version = 1;
  const std::vector<std::uint8_t> before(ex.Block(), ex.Block() + 8192);
  const std::u16string exe = testing_support::TempDir::SystemPath(bin / "vistrel");
  ASSERT_TRUE(platform::StartProcess(
      exe, {u"--run", platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()))}, child));
  EXPECT_EQ(Wait(), 4);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), ex.Block()));
  EXPECT_FALSE(fs::exists(bin / "vistrel.log"));
}

// A version 3 block with one field outside its limits (the mapping sized for what the header
// says, so that only that field is wrong): vistrel ends with 4 before it writes anything.
struct OutOfLimit {
  const char* name;
  host::HostStream stream;
  std::uint32_t headerHeight = 0;  // not 0: the height written over the created one
};

void PrintTo(const OutOfLimit& c, std::ostream* os) { *os << c.name; }

class RefusedVersion3 : public InProcessHost, public testing::WithParamInterface<OutOfLimit> {};

TEST_P(RefusedVersion3, EndsWithFourAndWritesNothing) {
  host::HostOptions options;
  options.log = true;
  options.outputFolder = testing_support::TempDir::SystemPath(out);
  options.stream = GetParam().stream;
  fs::create_directories(out);
  ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  ASSERT_TRUE(ex.Create(platform::CurrentProcessId(), options));
  if (GetParam().headerHeight != 0) ex.Header()->height = GetParam().headerHeight;
  const std::vector<std::uint8_t> before(ex.Block(), ex.Block() + 8192);
  const std::u16string exe = testing_support::TempDir::SystemPath(bin / "vistrel");
  ASSERT_TRUE(platform::StartProcess(
      exe, {u"--run", platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()))}, child));
  EXPECT_EQ(Wait(), 4);
  EXPECT_EQ(ex.Status(), 0);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), ex.Block()));
  EXPECT_FALSE(fs::exists(bin / "vistrel.log"));
  EXPECT_TRUE(fs::is_empty(out));
}

host::HostStream Changed(void (*change)(host::HostStream&)) {
  host::HostStream s;
  s.width = 640;
  s.height = 360;
  s.frameRateNumerator = 60;
  change(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RefusedVersion3,
    testing::Values(OutOfLimit{"width_odd", Changed([](host::HostStream& s) { s.width = 641; s.stride = 2564; })},
                    OutOfLimit{"width_small", Changed([](host::HostStream& s) { s.width = 318; })},
                    OutOfLimit{"width_large", Changed([](host::HostStream& s) { s.width = 3842; })},
                    OutOfLimit{"height_odd", Changed([](host::HostStream& s) { s.height = 361; })},
                    OutOfLimit{"height_small", Changed([](host::HostStream& s) { s.height = 178; })},
                    OutOfLimit{"height_large", Changed([](host::HostStream& s) { s.height = 2162; })},
                    OutOfLimit{"stride_short", Changed([](host::HostStream& s) { s.stride = 2556; })},
                    OutOfLimit{"stride_unaligned", Changed([](host::HostStream& s) { s.stride = 2562; })},
                    OutOfLimit{"nv12_stride_short", Changed([](host::HostStream& s) {
                                 s.pixelFormat = exchange::kPixelFormatNv12;
                                 s.stride = 636;
                               })},
                    OutOfLimit{"rate_zero", Changed([](host::HostStream& s) { s.frameRateNumerator = 0; })},
                    OutOfLimit{"rate_high", Changed([](host::HostStream& s) { s.frameRateNumerator = 241; })},
                    OutOfLimit{"rate_low", Changed([](host::HostStream& s) {
                                 s.frameRateNumerator = 1000;
                                 s.frameRateDenominator = 1001;
                               })},
                    OutOfLimit{"rate_denominator_zero", Changed([](host::HostStream& s) { s.frameRateDenominator = 0; })},
                    OutOfLimit{"bit_rate_low", Changed([](host::HostStream& s) { s.bitRate = 999999; })},
                    OutOfLimit{"bit_rate_high", Changed([](host::HostStream& s) { s.bitRate = 100000001; })},
                    OutOfLimit{"pixel_format", Changed([](host::HostStream& s) { s.pixelFormat = 2; })},
                    // The header asks for more rows than the mapping holds.
                    OutOfLimit{"mapping_small", Changed([](host::HostStream&) {}), 362}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(InProcessHost, StopAlreadySetEndsWithoutAPass) {
  ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  host::HostOptions options;
  options.log = true;
  options.outputFolder = testing_support::TempDir::SystemPath(out);
  ASSERT_TRUE(ex.Create(platform::CurrentProcessId(), options));
  ex.SetStopSwitch();
  ex.RaiseRequest(1);
  const std::u16string exe = testing_support::TempDir::SystemPath(bin / "vistrel");
  ASSERT_TRUE(platform::StartProcess(
      exe, {u"--run", platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()))}, child));
  EXPECT_EQ(Wait(), 0);
  EXPECT_EQ(ex.Status(), 1);
  EXPECT_EQ(ex.Heartbeat(), 0u);
  EXPECT_EQ(LogMessages().back(), "stopped by the switch");
  EXPECT_FALSE(Logged("request 1, saving in 2000 ms"));
}

TEST_F(InProcessHost, HeartbeatWhileIdleThenStop) {
  ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  host::HostOptions options;
  options.log = true;
  options.outputFolder = testing_support::TempDir::SystemPath(out);
  Start(options);
  for (int i = 0; i < 1000 && ex.Status() != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(ex.Status(), 1);
  // While idle every pass waits 10 ms for the host's event. Passes keep coming: 20 of them within
  // a generous time, however loaded the machine. And the wait is taken: at most one pass per 10 ms
  // of the time measured around the two reads (one more for the pass under way at the first read;
  // 8 ms instead of 10 for the timer's slack). Without the wait there would be thousands.
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t before = ex.Heartbeat();
  std::uint32_t beats = 0;
  auto elapsed = std::chrono::steady_clock::duration::zero();
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    beats = ex.Heartbeat() - before;
    elapsed = std::chrono::steady_clock::now() - start;
  } while ((beats < 20 || elapsed < std::chrono::seconds(1)) && elapsed < std::chrono::seconds(30));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  EXPECT_GE(beats, 20u) << "in " << ms << " ms";
  EXPECT_LE(beats, static_cast<std::uint32_t>(ms / 8 + 2)) << "in " << ms << " ms";
  ex.SetStopSwitch();
  EXPECT_EQ(Wait(), 0);
  EXPECT_EQ(ex.Status(), 1);
  EXPECT_EQ(LogMessages().back(), "stopped by the switch");
}

// The log switch: off leaves an earlier run's log as it is; on starts a new, empty log; and a log
// that cannot be created does not stop the run.
class LogSwitch : public InProcessHost {
 protected:
  void SetUp() override {
    InProcessHost::SetUp();
    ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  }
  // A whole run: up and passing, a key clip asked for (which logs, and finds nothing to save), more
  // passes, then the stop.
  void RunAndStop(bool log) {
    host::HostOptions options;
    options.log = log;
    options.outputFolder = testing_support::TempDir::SystemPath(out);
    Start(options);
    WaitForPasses(5);
    ex.RaiseRequest(3);
    WaitForPasses(5);
    ex.SetStopSwitch();
    EXPECT_EQ(Wait(), 0);
    EXPECT_EQ(ex.Status(), 1);
  }
  void WaitForPasses(std::uint32_t passes) {
    for (int i = 0; i < 3000 && ex.Status() != 1 && StillRunning(10); ++i) {
    }
    ASSERT_EQ(ex.Status(), 1);
    const std::uint32_t before = ex.Heartbeat();
    for (int i = 0; i < 3000 && ex.Heartbeat() - before < passes && StillRunning(10); ++i) {
    }
    ASSERT_GE(ex.Heartbeat() - before, passes);
  }
  void WriteEarlierLog(const std::string& text) {
    std::ofstream(bin / "vistrel.log", std::ios::binary) << text;
  }
};

TEST_F(LogSwitch, OffLeavesAnEarlierLogUntouched) {
  const std::string earlier = "21:15:02.000  stopped by the switch\r\n";
  WriteEarlierLog(earlier);
  RunAndStop(false);
  EXPECT_EQ(Log(), earlier);
}

TEST_F(LogSwitch, OnEmptiesAnEarlierLog) {
  std::string earlier;
  while (earlier.size() < 64 * 1024) earlier += "21:15:02.000  from an earlier run\r\n";
  WriteEarlierLog(earlier);
  RunAndStop(true);
  const std::string text = Log();
  EXPECT_EQ(text.find("from an earlier run"), std::string::npos);
  EXPECT_LT(text.size(), 4096u);
  const auto lines = LogMessages();
  EXPECT_TRUE(Logged("request 3, saving in 0 ms")) << text;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "stopped by the switch");
}

TEST_F(LogSwitch, LogThatCannotBeCreatedLetsTheRunGoOn) {
  fs::create_directory(bin / "vistrel.log");  // no file can be created under that name
  RunAndStop(true);
  EXPECT_TRUE(fs::is_directory(bin / "vistrel.log"));
  EXPECT_TRUE(fs::is_empty(bin / "vistrel.log"));
}

// The demo's run: 25 s in real time, recording on, a death clip asked for at 17 s and a key clip
// at 23 s.
TEST_F(Process, ClipsAndRecordingInRealTime) {
  const auto run = Host("--software-encoder --log --record --duration 25 --request death@17 --request key@23");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("status: 1"), std::string::npos);
  EXPECT_TRUE(Logged("request 1, saving in 2000 ms")) << Log();
  EXPECT_TRUE(Logged("request 3, saving in 0 ms")) << Log();
  EXPECT_TRUE(Logged("stopped by the switch"));

  const auto deaths = Files("clip_", "_death.mp4");
  const auto keys = Files("clip_", "_key.mp4");
  ASSERT_EQ(deaths.size(), 1u) << run.output;
  ASSERT_EQ(keys.size(), 1u) << run.output;
  // A death clip: from a keyframe, 15 to 16 s long, ending about 2 s after the request's frame
  // (frame 510 at 17 s).
  const auto death = CheckVideo(deaths[0]);
  ASSERT_FALSE(death.empty());
  EXPECT_EQ(*death.front() % 30, 0u);
  EXPECT_GE(death.size(), 450u);
  EXPECT_LE(death.size(), 481u);
  EXPECT_GE(*death.back(), 555u);
  EXPECT_LE(*death.back(), 590u);
  // A key clip is saved at once: it ends at the request's frame (690 at 23 s).
  const auto key = CheckVideo(keys[0]);
  ASSERT_FALSE(key.empty());
  EXPECT_EQ(*key.front() % 30, 0u);
  EXPECT_GE(*key.back(), 680u);
  EXPECT_LE(*key.back(), 705u);

  // The recording holds everything from the first frame to the stop.
  const auto recs = Files("rec_");
  ASSERT_EQ(recs.size(), 1u);
  const auto rec = CheckVideo(recs[0]);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(*rec.front(), 0u);
  EXPECT_GE(rec.size(), 740u);
  EXPECT_TRUE(Files("", ".tmp").empty());
  const std::regex closed("recording file closed: ok, [0-9]+ frames");
  const auto lines = LogMessages();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, closed); }));
}

struct EncoderMode {
  const char* name;
  const char* flags;
};

class EncoderPaths : public Process, public testing::WithParamInterface<EncoderMode> {};

// Both drains of the main loop and the announced type change, with the fast clock. The kill clip is
// saved 2 s of real time after its request, and a fast encoder plays the rest of the timeline in
// less: the idle time keeps the stop after the save.
TEST_P(EncoderPaths, RecordAndClipEndToEnd) {
  const auto run = Host(std::string("--software-encoder --log --fast --record --duration 12 --idle 3 ") +
                        "--request kill@4 " + GetParam().flags);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto lines = LogMessages();
  const bool async = std::string(GetParam().flags).find("--sync-encoder") == std::string::npos;
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind(async ? "  using it: async" : "  using it: sync", 0) == 0;
  })) << Log();
  const auto recs = Files("rec_");
  ASSERT_EQ(recs.size(), 1u) << run.output;
  const auto rec = CheckVideo(recs[0]);
  // Everything from the first frame; the last few may still be inside the encoder at the stop.
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(*rec.front(), 0u);
  EXPECT_GE(rec.size(), 350u);
  EXPECT_LE(rec.size(), 360u);
  const auto kills = Files("clip_", "_kill.mp4");
  ASSERT_EQ(kills.size(), 1u) << Log();
  CheckVideo(kills[0]);
}

INSTANTIATE_TEST_SUITE_P(Modes, EncoderPaths,
                         testing::Values(EncoderMode{"Async", ""}, EncoderMode{"Sync", "--sync-encoder"},
                                         EncoderMode{"AsyncTypeChange", "--type-change"},
                                         EncoderMode{"SyncTypeChange", "--sync-encoder --type-change"}),
                         [](const auto& p) { return std::string(p.param.name); });

struct Protocol {
  const char* name;
  const char* flags;
  const char* inputRequests;  // VISTREL_MEDIAFW_INPUT_REQUESTS, or null
  const char* refuseEvery;    // VISTREL_MEDIAFW_REFUSE_EVERY, or null
};

class EncoderProtocol : public Process, public testing::WithParamInterface<Protocol> {};

// The frame step against the stand-in encoder behaving as hardware encoders do: several input
// requests outstanding at once, a frame refused now and then. Every frame the host offers is
// taken, and reaches the recording exactly once and in order.
TEST_P(EncoderProtocol, EveryFrameOnceAndInOrder) {
  if (GetParam().inputRequests) ::setenv("VISTREL_MEDIAFW_INPUT_REQUESTS", GetParam().inputRequests, 1);
  if (GetParam().refuseEvery) ::setenv("VISTREL_MEDIAFW_REFUSE_EVERY", GetParam().refuseEvery, 1);
  const auto run = Host(std::string("--software-encoder --log --fast --record --duration 4 --idle 2 ") + GetParam().flags);
  ASSERT_EQ(run.exitCode, 0) << run.output << Log();
  EXPECT_NE(run.output.find("frames: 120 offered, 120 taken"), std::string::npos) << run.output;
  const auto recs = Files("rec_");
  ASSERT_EQ(recs.size(), 1u) << run.output;
  const auto rec = CheckVideo(recs[0]);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(*rec.front(), 0u);
  EXPECT_EQ(rec.size(), 120u);
}

INSTANTIATE_TEST_SUITE_P(Encoders, EncoderProtocol,
                         testing::Values(Protocol{"FourRequests", "", "4", nullptr},
                                         Protocol{"RequestsAndRefusals", "", "3", "7"},
                                         Protocol{"SyncRefusals", "--sync-encoder", nullptr, "5"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Process, HostEndingClosesTheRecordingAndEndsWithZero) {
  const auto run = Host("--software-encoder --log --record --duration 20 --die-at 6");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("host ended abruptly"), std::string::npos) << run.output;
  const auto recs = Files("rec_");
  ASSERT_EQ(recs.size(), 1u) << run.output << Log();
  const auto rec = CheckVideo(recs[0]);
  // How many frames 6 s of real time yield depends on the build's speed; at least one whole
  // keyframe group, from the first frame.
  ASSERT_GE(rec.size(), 30u);
  EXPECT_EQ(*rec.front(), 0u);
  EXPECT_TRUE(Files("", ".tmp").empty());
  EXPECT_FALSE(Logged("stopped by the switch"));
}

TEST_F(Process, RecordSwitchAndIdleClose) {
  // On from 1 s to 4 s; then on again from 5 s, and no frames after 8 s: the idle rule closes the
  // second file 10 s after its last sample, before the stop.
  const auto run = Host("--software-encoder --log --fast --duration 8 --idle 12 --record-on 1 --record-off 4 --record-on 5");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto recs = Files("rec_");
  ASSERT_GE(recs.size(), 1u) << run.output;
  std::size_t frames = 0;
  for (const auto& r : recs) {
    const auto numbers = CheckVideo(r);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(*numbers.front() % 30, 0u);  // each file starts at a keyframe
    frames += numbers.size();
  }
  const auto lines = LogMessages();
  const auto closes = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("recording file closed: ok", 0) == 0;
  });
  EXPECT_EQ(closes, 2) << Log();
  // Both closes came before the stop.
  const auto stop = std::find(lines.begin(), lines.end(), "stopped by the switch");
  ASSERT_NE(stop, lines.end());
  EXPECT_EQ(std::count_if(stop, lines.end(), [](const std::string& l) { return l.rfind("recording file closed", 0) == 0; }), 0);
  EXPECT_GE(frames, 150u);
}

TEST_F(Process, RecordingRotatesAfterFiveMinutesOfSampleTime) {
  const auto run = Host("--software-encoder --fast --record --duration 302");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const auto recs = Files("rec_");
  ASSERT_EQ(recs.size(), 2u) << run.output;
  const auto first = CheckVideo(recs[0]);
  const auto second = CheckVideo(recs[1]);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(first.size(), 9000u);   // 300 s at 30 fps
  EXPECT_EQ(*first.front(), 0u);
  EXPECT_EQ(*second.front(), 9000u);  // the keyframe that closed the first opens the second
  EXPECT_GE(first.size() + second.size(), 9050u);
}

}  // namespace
