// Conversion of one 1280 x 720 frame to NV12 at each level, against the pure memory pass and
// (where it is installed) libyuv's ARGBToNV12 as a speed reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "conversion_cases.h"
#include "encoder/convert.h"

#if defined(VISTREL_HAVE_LIBYUV)
#include <libyuv/convert_from_argb.h>
#endif

namespace {

constexpr std::int64_t kFrameBytes = 1280 * 720 * 4;

// Besides the mean, the fastest single frame: on a shared machine it shows what the code costs
// when nothing else runs.
void RunCase(benchmark::State& state, FrameOperation run) {
  RotatingFrames frames;
  double fastest = 1e30;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    run(frames.source(), frames.output());
    benchmark::DoNotOptimize(frames.output());
    benchmark::ClobberMemory();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    fastest = std::min(fastest, spent.count());
    frames.Advance();
  }
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
  state.counters["fastest_frame_us"] = fastest;
  SetConversionLevelForTesting(ConversionLevel::Avx2);
}

#if defined(VISTREL_HAVE_LIBYUV)
// libyuv's "ARGB" is our byte order B, G, R, A. Its coefficients differ (BT.601): speed only.
void LibyuvArgbToNv12(const std::uint8_t* bgra, std::uint8_t* nv12) {
  libyuv::ARGBToNV12(bgra, kSourceStride, nv12, kNv12Stride, nv12 + 720 * kNv12Stride, kNv12Stride,
                     kSourceWidth, kSourceHeight);
}
#endif

void Register(const std::string& name, FrameOperation run) {
  benchmark::RegisterBenchmark(("Convert/" + name).c_str(), RunCase, run)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
}

void RegisterAll() {
  for (const ConversionCase& c : ConversionCases()) {
    if (c.available) Register(c.name, c.run);
  }
#if defined(VISTREL_HAVE_LIBYUV)
  Register("libyuv ARGBToNV12", LibyuvArgbToNv12);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
