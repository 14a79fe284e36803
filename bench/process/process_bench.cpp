// vistrel's own cost as a running process, measured from outside the way a game would see it:
// idle CPU with a host attached, how fast a frame's slot comes back, the pipeline's frame rate
// with the fast clock, the longest loop pass while a clip is saved, and (with a transform that
// replays recorded access units instead of encoding) vistrel's own CPU per frame, and how much a
// 300 s recording left by a kill delays the start that recovers it.
//
//   process_bench [--replay [STREAM.h264]] [--sync]
//   process_bench --size WxH --fps N[/D] [--nv12] [--seconds S]
//   process_bench --sound [--seconds S]
//
// It plays the host in this process and starts build/<preset>/bin/vistrel with the stand-in
// framework: libx264 through VISTREL_SOFTWARE_ENCODER=1, or with --replay the replaying encoder
// (VISTREL_MEDIAFW_REPLAY), whose access units come from STREAM.h264 or, without one, from the
// numbered test picture encoded here by ffmpeg's libx264 (1280x720 Main, a keyframe every 30
// frames, no B-frames). --sync makes the transform synchronous (VISTREL_MEDIAFW_SYNC): it then
// takes no copy of each frame. The real-time part runs with the record switch on, so that its CPU
// per frame covers the conversion, the intake, the history and the recording's writes.
//
// With --size or --fps it measures the pipeline at that stream instead (a version 3 block, BGRA or
// with --nv12 NV12 slots, libx264 in the stand-in): for S seconds (default 10) the host offers a
// frame at every tick of the stream's rate the way a game does, dropping the frame when vistrel
// still holds the slot whose turn it is, with the record switch on. It reports whether this
// machine keeps up: frames taken per second against the rate, frames dropped, how many slots
// vistrel held when a frame was due, frames that reached the recording, and vistrel's CPU per
// frame (libx264's threads included); then the same stream on the fast clock.
//
// With --sound it measures what the game's sound costs: a version 3 block of the seed's stream,
// recording, replayed access units, for S seconds (default 10) in real time, once without sound and
// once with the reference host's click track; vistrel's CPU per second of each, and the difference
// as a share of one core.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "exchange/layout.h"
#include "host/click_track.h"
#include "host/host_exchange.h"
#include "host/test_picture.h"
#include "leftover.h"
#include "platform/atomic.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;

// User + system CPU seconds of a process, from /proc.
double CpuSeconds(std::uint32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoul(f);
    if (i == 15) stime = std::stoul(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds of the threads a process has now, to the nanosecond (/proc/<pid>/task/*/schedstat):
// for spans in which no thread ends. -1 when no thread's figure can be read (a kernel without
// schedstat, or the process gone), so that no figure is printed rather than 0.
double ThreadCpuSeconds(std::uint32_t pid) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  double seconds = 0;
  bool read = false;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) {
      seconds += static_cast<double>(ns) / 1e9;
      read = true;
    }
  }
  return read ? seconds : -1;
}

// The numbered test picture, frames 0 to count-1, encoded the way a hardware encoder is configured
// by vistrel; false when ffmpeg fails.
bool RecordStream(const std::string& file, int count) {
  const std::string command =
      "ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s 1280x720 -r 30 -i - -pix_fmt yuv420p -c:v libx264 "
      "-preset veryfast -profile:v main -g 30 -bf 0 -x264-params repeat-headers=1:keyint=30:min-keyint=30:scenecut=0 "
      "-f h264 -y '" + file + "'";
  FILE* ffmpeg = ::popen(command.c_str(), "w");
  if (ffmpeg == nullptr) return false;
  std::vector<std::uint8_t> frame(exchange::kSlotBytes);
  bool written = true;
  for (int n = 0; n < count && written; ++n) {
    host::DrawTestPicture(frame.data(), exchange::kStride, static_cast<std::uint32_t>(n));
    written = std::fwrite(frame.data(), 1, frame.size(), ffmpeg) == frame.size();
  }
  return ::pclose(ffmpeg) == 0 && written;
}

class Session {
 public:
  bool Start(const std::string& folder, bool record = false, std::optional<host::HostStream> stream = {},
             bool log = false, bool sound = false) {
    host::HostOptions options;
    options.sound = sound;
    options.outputFolder = platform::Utf16FromUtf8(folder);
    options.record = record;
    options.stream = stream;
    options.log = log;
    if (!ex.Create(platform::CurrentProcessId(), options)) return false;
    const std::u16string exe = platform::Utf16FromUtf8(std::string(VISTREL_BIN_DIR) + "/vistrel");
    if (!platform::StartProcess(exe, {u"--run", platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()))},
                                child)) {
      return false;
    }
    for (int i = 0; i < 5000 && ex.Status() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ex.Status() == 1;
  }
  void Stop() {
    ex.SetStopSwitch();
    std::uint32_t code = 0;
    if (!platform::WaitProcessFor(child, 30000, code)) platform::KillProcess(child);
    ex.Close();
  }
  // Feeds one frame and returns how long its slot took to come back.
  double FeedAndTime(std::uint32_t n, std::int64_t time) {
    std::uint8_t* slot = nullptr;
    while (!(slot = ex.NextSlot())) std::this_thread::yield();
    host::DrawTestPicture(slot, exchange::kStride, n);
    const int index = static_cast<int>(n % 3);
    const auto start = Clock::now();
    ex.SubmitSlot(time);
    while (platform::AtomicLoad(ex.Header()->slotState[index]) != 0) std::this_thread::yield();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }

  host::HostExchange ex;
  platform::ProcessHandle child;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

bool ParseUnsigned(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = static_cast<std::uint32_t>(std::stoul(text));
  return true;
}

// The frames the last closed recording held, from vistrel.log; -1 when none was logged.
long RecordedFrames() {
  std::ifstream in(std::string(VISTREL_BIN_DIR) + "/vistrel.log", std::ios::binary);
  std::string line;
  long frames = -1;
  const std::string marker = "recording file closed: ok, ";
  while (std::getline(in, line)) {
    const auto at = line.find(marker);
    if (at != std::string::npos) frames = std::atol(line.c_str() + at + marker.size());
  }
  return frames;
}

// A handful of distinct pictures drawn before the clock starts, so that the host's drawing does
// not compete with vistrel for the machine: a game hands over what its GPU has already drawn.
std::vector<std::vector<std::uint8_t>> DrawPictures(const host::HostStream& stream, int count) {
  std::vector<std::vector<std::uint8_t>> pictures(static_cast<std::size_t>(count));
  for (int n = 0; n < count; ++n) {
    auto& p = pictures[static_cast<std::size_t>(n)];
    p.resize(static_cast<std::size_t>(stream.SlotBytes()));
    if (stream.pixelFormat == exchange::kPixelFormatNv12) {
      host::DrawTestPictureNv12(p.data(), stream.width, stream.height, stream.RowStride(), static_cast<std::uint32_t>(n));
    } else {
      host::DrawTestPicture(p.data(), stream.width, stream.height, stream.RowStride(), static_cast<std::uint32_t>(n));
    }
  }
  return pictures;
}

// The pipeline at the given stream: real time as a game feeds it, then the fast clock.
int RunStream(const std::string& folder, const host::HostStream& stream, double seconds) {
  const double rate = double(stream.frameRateNumerator) / stream.frameRateDenominator;
  const auto pictures = DrawPictures(stream, 8);
  const char* format = stream.pixelFormat == exchange::kPixelFormatNv12 ? "NV12" : "BGRA";
  std::printf("stream %ux%u %s at %u/%u (%.3f frames a second), libx264 in the stand-in, %.0f s\n", stream.width,
              stream.height, format, stream.frameRateNumerator, stream.frameRateDenominator, rate, seconds);
  auto frameTime = [&](std::uint64_t n) {
    return static_cast<std::int64_t>(n * 10000000ull * stream.frameRateDenominator / stream.frameRateNumerator);
  };
  {
    Session s;
    if (!s.Start(folder, /*record=*/true, stream, /*log=*/true)) {
      std::fprintf(stderr, "vistrel did not come up\n");
      return 1;
    }
    const auto frames = static_cast<std::uint64_t>(seconds * rate);
    // The first second is the start-up (libx264's threads, the first keyframe): measured from there.
    const auto steadyFrom = static_cast<std::uint64_t>(rate);
    std::uint64_t offered = 0, dropped = 0, steadyDropped = 0, heldSum = 0, heldAll = 0, steadyTakenBefore = 0;
    double cpuBefore = -1;
    Clock::time_point steadyStart;
    const auto start = Clock::now();
    for (std::uint64_t n = 0; n < frames; ++n) {
      std::this_thread::sleep_until(start + std::chrono::nanoseconds(frameTime(n) * 100));
      if (n == steadyFrom) {
        cpuBefore = ThreadCpuSeconds(s.child.pid);
        steadyTakenBefore = s.ex.FramesTaken();
        steadyStart = Clock::now();
      }
      std::uint64_t held = 0;
      for (std::uint32_t i = 0; i < exchange::kSlotCount; ++i) {
        held += platform::AtomicLoad(s.ex.Header()->slotState[i]) != 0;
      }
      if (n >= steadyFrom) {
        heldSum += held;
        heldAll += held == exchange::kSlotCount;
      }
      ++offered;
      std::uint8_t* slot = s.ex.NextSlot();
      if (!slot) {
        ++dropped;  // a game does not wait: this frame is not recorded
        if (n >= steadyFrom) ++steadyDropped;
        continue;
      }
      const auto& picture = pictures[n % pictures.size()];
      std::copy(picture.begin(), picture.end(), slot);
      s.ex.SubmitSlot(frameTime(n));
    }
    // Until the next tick, so that the last frame had its frame time like every other.
    std::this_thread::sleep_until(start + std::chrono::nanoseconds(frameTime(frames) * 100));
    const double cpuAfter = ThreadCpuSeconds(s.child.pid);
    const double steadySeconds = std::chrono::duration<double>(Clock::now() - steadyStart).count();
    const std::uint64_t steadyTaken = s.ex.FramesTaken() - steadyTakenBefore;
    const std::uint64_t taken = s.ex.FramesTaken();
    s.Stop();
    const long recorded = RecordedFrames();
    const double steadyFrames = static_cast<double>(frames - steadyFrom);
    std::printf("real time: %llu frames due, %llu taken, %llu dropped (%.1f%%); %ld reached the recording\n",
                static_cast<unsigned long long>(offered), static_cast<unsigned long long>(taken),
                static_cast<unsigned long long>(dropped), 100.0 * double(dropped) / double(offered), recorded);
    std::printf("real time after the first second: %.2f frames taken a second against %.3f, %llu dropped; when a "
                "frame was due vistrel held %.2f of 3 slots on average, all 3 at %.1f%% of the frames\n",
                double(steadyTaken) / steadySeconds, rate, static_cast<unsigned long long>(steadyDropped),
                double(heldSum) / steadyFrames, 100.0 * double(heldAll) / steadyFrames);
    if (cpuBefore >= 0 && cpuAfter >= 0) {
      const double cpu = cpuAfter - cpuBefore;
      std::printf("real time after the first second: %.2f ms of vistrel CPU per frame taken (libx264 included), "
                  "%.0f%% of one core; this machine has %ld cores\n",
                  steadyTaken ? cpu * 1000.0 / double(steadyTaken) : 0.0, cpu / steadySeconds * 100.0,
                  ::sysconf(_SC_NPROCESSORS_ONLN));
    }
    std::printf("keeps up: %s\n", steadyDropped == 0 && recorded == static_cast<long>(taken)
                                       ? "yes, no frame dropped after the first second, every frame taken recorded"
                                       : "no");
  }
  {
    Session s;
    if (!s.Start(folder, /*record=*/false, stream)) return 1;
    const auto frames = static_cast<std::uint64_t>(seconds * rate);
    const auto begin = Clock::now();
    for (std::uint64_t n = 0; n < frames; ++n) {
      std::uint8_t* slot = nullptr;
      // Slept, not spun: on a small machine a spinning host takes the core vistrel needs.
      while (!(slot = s.ex.NextSlot())) std::this_thread::sleep_for(std::chrono::microseconds(200));
      const auto& picture = pictures[n % pictures.size()];
      std::copy(picture.begin(), picture.end(), slot);
      s.ex.SubmitSlot(frameTime(n));
    }
    while (s.ex.FramesTaken() < frames) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("fast clock: %.1f frames a second taken through the whole pipeline (%llu frames)\n",
                double(frames) / elapsed, static_cast<unsigned long long>(frames));
    s.Stop();
  }
  return 0;
}

}  // namespace

// vistrel's CPU per second of a real-time 720p30 stream, with or without the click track; -1 when
// it cannot be read.
static double SoundRunCpu(const std::string& folder, bool sound, double seconds) {
  Session s;
  if (!s.Start(folder, /*record=*/true, host::HostStream{}, /*log=*/false, sound)) return -1;
  constexpr std::int64_t kFrequency = 10000000;
  host::ClickTrack track(kFrequency);
  std::vector<std::int16_t> pcm;
  const int frames = static_cast<int>(seconds * 30);
  constexpr int kSteadyFrom = 30;
  double before = -1;
  const auto start = Clock::now();
  for (int n = 0; n < frames; ++n) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(33333LL * n));
    if (n == kSteadyFrom) before = CpuSeconds(s.child.pid);
    const std::int64_t time = 333333LL * n;
    if (sound) {
      track.AddPicture(static_cast<std::uint32_t>(n), time);
      pcm.clear();
      const std::uint64_t first = track.Rendered();
      const std::size_t rendered = track.Render(time + 333333, pcm);
      if (rendered > 0) s.ex.OfferAudio(pcm.data(), rendered, track.TimeOf(first));
    }
    s.FeedAndTime(static_cast<std::uint32_t>(n), time);
  }
  const double cpu = before >= 0 ? CpuSeconds(s.child.pid) - before : -1;
  s.Stop();
  return cpu < 0 ? -1 : cpu / ((frames - kSteadyFrom) / 30.0);
}

static int MeasureSound(const std::string& folder, double seconds) {
  const double without = SoundRunCpu(folder, false, seconds);
  const double with = SoundRunCpu(folder, true, seconds);
  if (without < 0 || with < 0) {
    std::fprintf(stderr, "vistrel did not come up, or its CPU could not be read\n");
    return 1;
  }
  std::printf("sound: vistrel CPU %.2f%% of one core without sound, %.2f%% with the click track\n", without * 100.0,
              with * 100.0);
  std::printf("sound: %.2f ms of CPU per second of sound, %.2f%% of one core\n", (with - without) * 1000.0,
              (with - without) * 100.0);
  return 0;
}

int main(int argc, char** argv) {
  bool measureSound = false;
  bool replaying = false;
  std::string replay;
  std::optional<host::HostStream> stream;
  double streamSeconds = 10;
  auto streamOption = [&]() -> host::HostStream& {
    if (!stream) stream = host::HostStream{};
    return *stream;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--size" && hasValue) {
      const std::string v = argv[++i];
      const auto x = v.find('x');
      host::HostStream& st = streamOption();
      if (x == std::string::npos || !ParseUnsigned(v.substr(0, x), st.width) ||
          !ParseUnsigned(v.substr(x + 1), st.height)) {
        std::fprintf(stderr, "--size WxH\n");
        return 2;
      }
    } else if (a == "--fps" && hasValue) {
      const std::string v = argv[++i];
      const auto slash = v.find('/');
      host::HostStream& st = streamOption();
      st.frameRateDenominator = 1;
      if (!ParseUnsigned(v.substr(0, slash), st.frameRateNumerator) ||
          (slash != std::string::npos && !ParseUnsigned(v.substr(slash + 1), st.frameRateDenominator)) ||
          st.frameRateNumerator == 0 || st.frameRateDenominator == 0) {
        std::fprintf(stderr, "--fps N[/D]\n");
        return 2;
      }
    } else if (a == "--nv12") {
      streamOption().pixelFormat = exchange::kPixelFormatNv12;
    } else if (a == "--seconds" && hasValue) {
      streamSeconds = std::atof(argv[++i]);
      if (!(streamSeconds >= 2 && streamSeconds <= 600)) {
        std::fprintf(stderr, "--seconds 2..600\n");
        return 2;
      }
    } else if (a == "--replay") {
      replaying = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') replay = argv[++i];
    } else if (a == "--sound") {
      measureSound = true;
    } else if (a == "--sync") {
      ::setenv("VISTREL_MEDIAFW_SYNC", "1", 1);
    } else {
      std::fprintf(stderr,
                   "usage: process_bench [--replay [STREAM.h264]] [--sync]\n"
                   "       process_bench --size WxH --fps N[/D] [--nv12] [--seconds S]\n"
                   "       process_bench --sound [--seconds S]\n");
      return 2;
    }
  }
  char folder[] = "/tmp/vistrel_process_bench_XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  if (stream) {
    if (replaying || measureSound) {
      std::fprintf(stderr, "--size/--fps measure libx264; --replay replays 1280x720 only\n");
      return 2;
    }
    ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
    const int result = RunStream(folder, *stream, streamSeconds);
    std::string cleanup = std::string("rm -rf ") + folder;
    return std::system(cleanup.c_str()) == 0 ? result : 1;
  }
  if (measureSound) replaying = true;
  if (replaying && replay.empty()) {
    replay = std::string(folder) + "/replay.h264";
    if (!RecordStream(replay, 150)) {
      std::fprintf(stderr, "could not record the replayed stream with ffmpeg\n");
      return 1;
    }
  }
  if (replaying) {
    ::setenv("VISTREL_MEDIAFW_REPLAY", replay.c_str(), 1);
  } else {
    ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  }

  if (measureSound) {
    const int result = MeasureSound(folder, streamSeconds);
    std::string cleanup = std::string("rm -rf ") + folder;
    return std::system(cleanup.c_str()) == 0 ? result : 1;
  }

  // 1. Idle: host attached, no frames, 10 s.
  {
    Session s;
    if (!s.Start(folder)) {
      std::fprintf(stderr, "vistrel did not come up\n");
      return 1;
    }
    const double before = CpuSeconds(s.child.pid);
    const std::uint32_t beats = s.ex.Heartbeat();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = CpuSeconds(s.child.pid) - before;
    std::printf("idle: %.2f%% of one core, %.0f passes a second\n", cpu / 10.0 * 100.0,
                (s.ex.Heartbeat() - beats) / 10.0);
    s.Stop();
  }

  // 2. Real time at 30 fps for 10 s, recording: slot hand-back latency and CPU per frame; a clip is
  // saved in the middle while a watcher looks for the longest pass (the heartbeat moves once a
  // pass).
  {
    Session s;
    if (!s.Start(folder, /*record=*/true)) return 1;
    std::atomic<bool> watching{true};
    std::atomic<double> longestGap{0};
    std::thread watcher([&] {
      std::uint32_t last = s.ex.Heartbeat();
      auto lastChange = Clock::now();
      while (watching) {
        const std::uint32_t now = s.ex.Heartbeat();
        const auto t = Clock::now();
        if (now != last) {
          const double gap = std::chrono::duration<double, std::milli>(t - lastChange).count();
          if (gap > longestGap) longestGap = gap;
          last = now;
          lastChange = t;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    std::vector<double> latencies;
    const double before = CpuSeconds(s.child.pid);
    const auto start = Clock::now();
    const int frames = 300;
    // The steady state, before the clip: from frame 30 (the start-up behind) to frame 200.
    constexpr int kSteadyFrom = 30;
    constexpr int kSteadyTo = 200;
    double steadyBefore = 0;
    double steadyCpu = 0;
    for (int n = 0; n < frames; ++n) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(33333LL * n));
      if (n == kSteadyFrom) steadyBefore = ThreadCpuSeconds(s.child.pid);
      if (n == kSteadyTo) {
        const double steadyAfter = ThreadCpuSeconds(s.child.pid);
        steadyCpu = steadyBefore >= 0 && steadyAfter >= 0 ? steadyAfter - steadyBefore : -1;
        s.ex.RaiseRequest(3);  // saved at once, while frames keep coming
      }
      latencies.push_back(s.FeedAndTime(static_cast<std::uint32_t>(n), 333333LL * n));
    }
    const double cpu = CpuSeconds(s.child.pid) - before;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    watching = false;
    watcher.join();
    std::printf("real time 30 fps: slot back after %.2f ms at the median, %.2f ms at the 95th percentile\n",
                Median(latencies), [&] {
                  auto v = latencies;
                  std::sort(v.begin(), v.end());
                  return v[v.size() * 95 / 100];
                }());
    const char* what = replaying ? "replayed access units: vistrel's own work" : "libx264 included";
    if (steadyCpu >= 0) {
      std::printf("real time 30 fps: %.3f ms of vistrel CPU per frame, recording (%s)\n",
                  steadyCpu * 1000.0 / (kSteadyTo - kSteadyFrom), what);
    } else {
      std::printf("real time 30 fps: vistrel CPU per frame while recording not measured (no schedstat)\n");
    }
    std::printf("real time 30 fps: %.3f ms of vistrel CPU per frame with a clip saved (%s)\n", cpu * 1000.0 / frames,
                what);
    std::printf("longest loop pass (heartbeat gap) while a clip was saved: %.2f ms\n", longestGap.load());
    s.Stop();
  }

  // 3. Fast clock: frames as fast as vistrel takes them, 20 s of video.
  {
    Session s;
    if (!s.Start(folder)) return 1;
    const int frames = 600;
    const auto start = Clock::now();
    for (int n = 0; n < frames; ++n) s.FeedAndTime(static_cast<std::uint32_t>(n), 333333LL * n);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("fast clock: %.1f frames a second through the whole pipeline\n", frames / seconds);
    s.Stop();
  }
  // 4. Start-up with a 300 s recording (9,000 samples, about 300 MB) left by a kill, against an
  // empty folder: the time until status 1, and until the recovered file has its final name.
  {
    auto startTime = [&](bool leftover, double& recoveredAfter) {
      const std::filesystem::path out = std::filesystem::path(folder) / "startup";
      std::filesystem::remove_all(out);
      std::filesystem::create_directories(out);
      if (leftover) bench_samples::MakeLeftoverRecording(out, 9000, 33000);
      ::sync();
      Session s;
      const auto start = Clock::now();
      if (!s.Start(out.string())) return -1.0;
      const double up = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      recoveredAfter = 0;
      while (leftover) {
        bool done = false;
        for (const auto& e : std::filesystem::directory_iterator(out)) done |= e.path().extension() == ".mp4";
        recoveredAfter = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (done || recoveredAfter > 30000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      s.Stop();
      return up;
    };
    std::vector<double> empty, withLeftover, recovered;
    for (int run = 0; run < 3; ++run) {
      double r = 0;
      empty.push_back(startTime(false, r));
      withLeftover.push_back(startTime(true, r));
      recovered.push_back(r);
    }
    std::printf("start-up to status 1: %.1f ms with an empty folder, %.1f ms with a 300 MB interrupted recording "
                "(medians of 3); the recording recovered %.1f ms after the start\n",
                Median(empty), Median(withLeftover), Median(recovered));
  }

  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
