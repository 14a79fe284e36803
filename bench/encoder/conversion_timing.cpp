// The conversion benchmark for builds without Google Benchmark (the 32-bit Windows build, run
// under Wine): each case handles about 300 frames' worth of 1280 x 720 pixels in each of 5 rounds.
// Reported: the best round's mean and the fastest single frame (on a shared machine, the cost when
// nothing else runs).
#include <chrono>
#include <cstdio>

#include "conversion_cases.h"
#include "encoder/convert.h"

namespace {

void Time(const BenchPicture& picture, const ConversionCase& c) {
  constexpr int kRounds = 5;
  const unsigned long long pixels = static_cast<unsigned long long>(picture.width) * picture.height;
  const int frames = static_cast<int>(300ull * 1280 * 720 / pixels);
  std::printf("%5ux%-5u stride %-6u %-26s ", picture.width, picture.height, static_cast<unsigned>(picture.stride),
              c.name);
  if (!c.available) {
    std::printf("not supported here\n");
    return;
  }
  RotatingFrames rotating(picture);
  for (int i = 0; i < 3; ++i) {  // warm-up
    c.run(picture, rotating.source(), rotating.output());
    rotating.Advance();
  }
  double best = 1e30;
  double fastest = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    double total = 0;
    for (int i = 0; i < frames; ++i) {
      const auto start = std::chrono::steady_clock::now();
      c.run(picture, rotating.source(), rotating.output());
      const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
      total += spent.count();
      if (spent.count() < fastest) fastest = spent.count();
      rotating.Advance();
    }
    if (total / frames < best) best = total / frames;
  }
  std::printf("%9.1f us per frame (fastest frame %.1f us)\n", best, fastest);
}

}  // namespace

int main() {
  for (const BenchPicture& picture : BgraPictures()) {
    for (const ConversionCase& c : ConversionCases()) Time(picture, c);
  }
  for (const BenchPicture& picture : Nv12Pictures()) {
    for (const ConversionCase& c : Nv12CopyCases()) Time(picture, c);
  }
  SetConversionLevelForTesting(ConversionLevel::Avx2);
  return 0;
}
