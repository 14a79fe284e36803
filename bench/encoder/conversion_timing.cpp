// The conversion benchmark for builds without Google Benchmark (the 32-bit Windows build, run
// under Wine): each case converts 300 frames in each of 5 rounds. Reported: the best round's mean
// and the fastest single frame (on a shared machine, the cost when nothing else runs).
#include <chrono>
#include <cstdio>

#include "conversion_cases.h"
#include "encoder/convert.h"

int main() {
  constexpr int kRounds = 5;
  constexpr int kFrames = 300;
  RotatingFrames frames;
  for (const ConversionCase& c : ConversionCases()) {
    if (!c.available) {
      std::printf("%-20s not supported here\n", c.name);
      continue;
    }
    for (int i = 0; i < 10; ++i) {  // warm-up
      c.run(frames.source(), frames.output());
      frames.Advance();
    }
    double best = 1e30;
    double fastest = 1e30;
    for (int round = 0; round < kRounds; ++round) {
      double total = 0;
      for (int i = 0; i < kFrames; ++i) {
        const auto start = std::chrono::steady_clock::now();
        c.run(frames.source(), frames.output());
        const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
        total += spent.count();
        if (spent.count() < fastest) fastest = spent.count();
        frames.Advance();
      }
      if (total / kFrames < best) best = total / kFrames;
    }
    std::printf("%-20s %8.1f us per frame (fastest frame %.1f us)\n", c.name, best, fastest);
  }
  SetConversionLevelForTesting(ConversionLevel::Avx2);
  return 0;
}
