// What the conversion benchmarks time, shared by the Google Benchmark program and the plain
// timing loop of builds without Google Benchmark (the 32-bit Windows build).
#pragma once

#include <cstdint>
#include <vector>

// Three source frames and three NV12 buffers, taken in turn, so that no frame is still in the
// nearer caches from the previous round (3 x 3.7 MB of sources).
class RotatingFrames {
 public:
  RotatingFrames();
  const std::uint8_t* source() const { return sources_[next_].data(); }
  std::uint8_t* output() { return outputs_[next_].data(); }
  void Advance() { next_ = (next_ + 1) % 3; }

 private:
  std::vector<std::uint8_t> sources_[3];
  std::vector<std::uint8_t> outputs_[3];
  int next_ = 0;
};

using FrameOperation = void (*)(const std::uint8_t* bgra, std::uint8_t* nv12);

struct ConversionCase {
  const char* name;
  FrameOperation run;
  bool available;  // the processor supports it
};

// Plain, SSE2 and AVX2 conversion, and the pure pass: every source byte read once and as many
// output bytes written as the conversion writes, with next to no arithmetic (the memory floor).
std::vector<ConversionCase> ConversionCases();
