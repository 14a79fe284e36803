// The stand-in framework's own cost: CPU time per 720p30 frame encoded with libx264 through
// libvistrel-mediafw.so (configured and fed the way the system does it), against the same encoder
// with the same settings driven by the ffmpeg command on the same raw frames. Both count user +
// system time of every thread: ours with getrusage of this process around the whole run (open,
// 300 frames, release), ffmpeg's with the rusage of its process from wait4. The frames are drawn
// before either starts; writing them into ffmpeg's pipe is this process's time, not ffmpeg's, and
// copying them into the input samples is counted for ours, as the system's own work.
//
// Goal: "ratio" (ours / ffmpeg) at most 1.05.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "mediafw/framework_driver.h"

extern char** environ;

namespace {

using namespace mediafw_driver;

constexpr int kFrames = 300;
constexpr int kDistinctFrames = 60;

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return CpuSeconds(usage);
}

// The test picture with a grain of noise over it, so that the encoder has detail to spend its bits
// on, as in a game's picture.
const std::vector<std::vector<std::uint8_t>>& Frames() {
  static const std::vector<std::vector<std::uint8_t>> frames = [] {
    std::vector<std::vector<std::uint8_t>> all;
    std::uint32_t seed = 12345;
    for (int i = 0; i < kDistinctFrames; ++i) {
      std::vector<std::uint8_t> frame = TestFrame(i);
      for (std::size_t p = 0; p < static_cast<std::size_t>(kWidth) * kHeight; ++p) {
        seed = seed * 1664525u + 1013904223u;
        frame[p] = static_cast<std::uint8_t>(frame[p] + (seed >> 29) - 4);
      }
      all.push_back(std::move(frame));
    }
    return all;
  }();
  return frames;
}

double lastOursPerFrame = 0;

void BM_ThroughFramework(benchmark::State& state) {
  const std::vector<std::vector<std::uint8_t>>& frames = Frames();
  mediafw_driver::Framework framework;
  std::string error;
  if (!LoadFramework(VISTREL_MEDIAFW_PATH, &framework, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  double cpu = 0;
  for (auto _ : state) {
    double start = ProcessCpuSeconds();
    Encoder encoder;
    std::string failedStep;
    if (FAILED(OpenLastCandidate(framework, Configuration{}, &encoder, &failedStep))) {
      state.SkipWithError(failedStep.c_str());
      return;
    }
    Collected collected;
    for (int i = 0; i < kFrames; ++i) {
      if (!SubmitFrame(framework, encoder, frames[static_cast<std::size_t>(i % kDistinctFrames)].data(),
                       i * kFrameDuration, &collected)) {
        state.SkipWithError(collected.error.c_str());
        return;
      }
    }
    CollectRemaining(framework, encoder, &collected);
    ReleaseEncoder(&encoder);
    cpu += ProcessCpuSeconds() - start;
    if (collected.units.size() != static_cast<std::size_t>(kFrames)) {
      state.SkipWithError("not one access unit per frame");
      return;
    }
  }
  lastOursPerFrame = cpu * 1000 / (static_cast<double>(state.iterations()) * kFrames);
  state.counters["cpu_ms_per_frame"] = lastOursPerFrame;
}
BENCHMARK(BM_ThroughFramework)->Iterations(3)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// ffmpeg with the settings the framework gives libx264: one run, its CPU seconds (negative on
// failure).
double RunFfmpeg(const std::vector<std::vector<std::uint8_t>>& frames) {
  const char* argv[] = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "nv12",
                        "-video_size", "1280x720", "-framerate", "30", "-i", "pipe:0", "-c:v", "libx264",
                        "-preset", "superfast", "-tune", "zerolatency", "-profile:v", "main", "-b:v", "8000000",
                        "-maxrate", "8000000", "-bufsize", "8000000", "-g", "30", "-bf", "0", "-x264-params",
                        "scenecut=0:repeat-headers=1", "-color_range", "tv", "-colorspace", "bt709",
                        "-color_primaries", "bt709", "-color_trc", "bt709", "-f", "h264", "-y", "/dev/null",
                        nullptr};
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  pid_t child = 0;
  int spawned = posix_spawnp(&child, "ffmpeg", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[0]);
  if (spawned != 0) {
    close(pipeFds[1]);
    return -1;
  }
  bool written = true;
  for (int i = 0; i < kFrames && written; ++i) {
    const std::vector<std::uint8_t>& frame = frames[static_cast<std::size_t>(i % kDistinctFrames)];
    std::size_t offset = 0;
    while (offset < frame.size()) {
      ssize_t n = write(pipeFds[1], frame.data() + offset, frame.size() - offset);
      if (n <= 0) {
        written = false;
        break;
      }
      offset += static_cast<std::size_t>(n);
    }
  }
  close(pipeFds[1]);
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !written) {
    return -1;
  }
  return CpuSeconds(usage);
}

void BM_FfmpegCommand(benchmark::State& state) {
  std::signal(SIGPIPE, SIG_IGN);  // a failing ffmpeg must not end the benchmark
  const std::vector<std::vector<std::uint8_t>>& frames = Frames();
  double cpu = 0;
  for (auto _ : state) {
    double seconds = RunFfmpeg(frames);
    if (seconds < 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    cpu += seconds;
  }
  double perFrame = cpu * 1000 / (static_cast<double>(state.iterations()) * kFrames);
  state.counters["cpu_ms_per_frame"] = perFrame;
  if (lastOursPerFrame > 0) state.counters["ratio"] = lastOursPerFrame / perFrame;
}
BENCHMARK(BM_FfmpegCommand)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
