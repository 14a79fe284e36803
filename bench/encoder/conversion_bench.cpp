// Conversion of one frame to NV12 at each level and at each benchmarked size, against the pure
// memory pass and (where it is installed) libyuv's ARGBToNV12 as a speed reference; and the copy of
// an NV12 picture against one memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "conversion_cases.h"
#include "encoder/convert.h"

#if defined(VISTREL_HAVE_LIBYUV)
#include <libyuv/convert_from_argb.h>
#endif

namespace {

// Besides the mean, the fastest single frame: on a shared machine it shows what the code costs
// when nothing else runs.
void RunCase(benchmark::State& state, BenchPicture picture, FrameOperation run) {
  RotatingFrames frames(picture);
  double fastest = 1e30;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    run(picture, frames.source(), frames.output());
    benchmark::DoNotOptimize(frames.output());
    benchmark::ClobberMemory();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    fastest = std::min(fastest, spent.count());
    frames.Advance();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(picture.PictureBytes()));
  state.counters["fastest_frame_us"] = fastest;
  SetConversionLevelForTesting(ConversionLevel::Avx2);
}

// The copy and the memcpy of the same bytes in turn, frame by frame, so that both see the same
// load on a shared machine: the mean of each and the ratio of the means (the goal: at most 1.1), and
// the ratio of the fastest frames (the cost when nothing else runs).
void RunCopyAgainstMemcpy(benchmark::State& state, BenchPicture picture) {
  const std::vector<ConversionCase> cases = Nv12CopyCases();
  RotatingFrames frames(picture);
  double spent[2] = {0, 0};
  double fastest[2] = {1e30, 1e30};
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      const auto start = std::chrono::steady_clock::now();
      cases[static_cast<std::size_t>(i)].run(picture, frames.source(), frames.output());
      benchmark::DoNotOptimize(frames.output());
      benchmark::ClobberMemory();
      const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
      spent[i] += us;
      fastest[i] = std::min(fastest[i], us);
      frames.Advance();
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["copy_us"] = spent[0] / n;
  state.counters["memcpy_us"] = spent[1] / n;
  state.counters["ratio"] = spent[1] > 0 ? spent[0] / spent[1] : 0;
  state.counters["fastest_ratio"] = fastest[0] / fastest[1];
}

#if defined(VISTREL_HAVE_LIBYUV)
// libyuv's "ARGB" is our byte order B, G, R, A. Its coefficients differ (BT.601): speed only.
void LibyuvArgbToNv12(const BenchPicture& p, const std::uint8_t* bgra, std::uint8_t* nv12) {
  const int width = static_cast<int>(p.width);
  libyuv::ARGBToNV12(bgra, static_cast<int>(p.stride), nv12, width,
                     nv12 + static_cast<std::size_t>(p.inputHeight) * p.width, width, width,
                     static_cast<int>(p.height));
}
#endif

std::string SizeName(const BenchPicture& p) { return std::to_string(p.width) + "x" + std::to_string(p.height); }

void Register(const std::string& name, const BenchPicture& picture, FrameOperation run) {
  benchmark::RegisterBenchmark(name.c_str(), RunCase, picture, run)->Unit(benchmark::kMicrosecond);
}

void RegisterAll() {
  for (const BenchPicture& picture : BgraPictures()) {
    for (const ConversionCase& c : ConversionCases()) {
      if (c.available) Register("Convert/" + SizeName(picture) + "/" + c.name, picture, c.run);
    }
#if defined(VISTREL_HAVE_LIBYUV)
    Register("Convert/" + SizeName(picture) + "/libyuv ARGBToNV12", picture, LibyuvArgbToNv12);
#endif
  }
  for (const BenchPicture& picture : Nv12Pictures()) {
    const std::string rows = picture.stride == picture.width ? "packed" : "stride " + std::to_string(picture.stride);
    for (const ConversionCase& c : Nv12CopyCases()) {
      Register("Nv12Copy/" + SizeName(picture) + " " + rows + "/" + c.name, picture, c.run);
    }
    benchmark::RegisterBenchmark(("Nv12Copy/" + SizeName(picture) + " " + rows + "/in turn with memcpy").c_str(),
                                 RunCopyAgainstMemcpy, picture)
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

// Each case runs for at least --benchmark_min_time (Google Benchmark's default, 0.5 s, unless
// given on the command line).
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
