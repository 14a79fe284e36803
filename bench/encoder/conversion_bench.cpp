// Conversion of one 1280 x 720 frame to NV12 at each level, against the pure memory pass and
// (where it is installed) libyuv's ARGBToNV12 as a speed reference.
#include <benchmark/benchmark.h>

#include "conversion_cases.h"
#include "encoder/convert.h"

#if defined(VISTREL_HAVE_LIBYUV)
#include <libyuv/convert_from_argb.h>
#endif

namespace {

constexpr std::int64_t kFrameBytes = 1280 * 720 * 4;

void RunCase(benchmark::State& state, FrameOperation run) {
  RotatingFrames frames;
  for (auto _ : state) {
    run(frames.source(), frames.output());
    benchmark::DoNotOptimize(frames.output());
    benchmark::ClobberMemory();
    frames.Advance();
  }
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
  SetConversionLevelForTesting(ConversionLevel::Avx2);
}

#if defined(VISTREL_HAVE_LIBYUV)
// libyuv's "ARGB" is our byte order B, G, R, A. Its coefficients differ (BT.601): speed only.
void LibyuvArgbToNv12(const std::uint8_t* bgra, std::uint8_t* nv12) {
  libyuv::ARGBToNV12(bgra, kSourceStride, nv12, kNv12Stride, nv12 + 720 * kNv12Stride, kNv12Stride,
                     kSourceWidth, kSourceHeight);
}
#endif

void RegisterAll() {
  for (const ConversionCase& c : ConversionCases()) {
    if (!c.available) continue;
    benchmark::RegisterBenchmark((std::string("Convert/") + c.name).c_str(), RunCase, c.run)
        ->Unit(benchmark::kMicrosecond);
  }
#if defined(VISTREL_HAVE_LIBYUV)
  benchmark::RegisterBenchmark("Convert/libyuv ARGBToNV12", RunCase, LibyuvArgbToNv12)
      ->Unit(benchmark::kMicrosecond);
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
