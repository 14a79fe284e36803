// What the conversion benchmarks time, shared by the Google Benchmark program and the plain
// timing loop of builds without Google Benchmark (the 32-bit Windows build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A picture as the host hands it over and the encoder's buffer for it (rows of width bytes,
// inputHeight luma rows).
struct BenchPicture {
  std::uint32_t width;
  std::uint32_t height;
  std::size_t stride;  // of the source rows
  std::uint32_t inputHeight;
  bool nv12;  // the source is NV12 (height * 3 / 2 rows) rather than BGRA
  std::size_t SourceBytes() const;
  std::size_t OutputBytes() const;
  // The bytes that the operation reads from the source: its rows without the gaps between them.
  std::size_t PictureBytes() const;
};

// The sizes benchmarked: the seed's 1280 x 720 and the common game sizes.
std::vector<BenchPicture> BgraPictures();

// Three source frames and three output buffers, taken in turn, so that no frame is still in the
// nearer caches from the previous round.
class RotatingFrames {
 public:
  explicit RotatingFrames(const BenchPicture& picture);
  const std::uint8_t* source() const { return sources_[next_].data(); }
  std::uint8_t* output() { return outputs_[next_].data(); }
  void Advance() { next_ = (next_ + 1) % 3; }

 private:
  std::vector<std::uint8_t> sources_[3];
  std::vector<std::uint8_t> outputs_[3];
  int next_ = 0;
};

using FrameOperation = void (*)(const BenchPicture& picture, const std::uint8_t* source, std::uint8_t* output);

struct ConversionCase {
  const char* name;
  FrameOperation run;
  bool available;  // the processor supports it
};

// Plain, SSE2 and AVX2 conversion, and the pure pass: every source byte read once and as many
// output bytes written as the conversion writes, with next to no arithmetic (the memory floor).
std::vector<ConversionCase> ConversionCases();

// The copy of an NV12 picture into the encoder's buffer, and one memcpy of the same number of
// bytes from a packed source (the floor that the copy is measured against).
std::vector<ConversionCase> Nv12CopyCases();

// NV12 pictures for the copy: packed, and with rows 64 bytes wider than the picture.
std::vector<BenchPicture> Nv12Pictures();
