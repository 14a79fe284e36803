// The plain conversion kernels (the definition the SIMD kernels must match byte for byte), the
// frame walk and the choice of kernel.
#include "encoder/convert.h"

#include <atomic>
#include <cstring>

#include "encoder/convert_coefficients.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

void ConvertLumaRow_C(const std::uint8_t* bgra, std::uint8_t* y, int width) {
  for (int x = 0; x < width; ++x) {
    const int b = bgra[4 * x];
    const int g = bgra[4 * x + 1];
    const int r = bgra[4 * x + 2];
    y[x] = static_cast<std::uint8_t>(((kYr * r + kYg * g + kYb * b + 128) >> 8) + 16);
  }
}

void ConvertChromaRow_C(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* uv,
                        int width) {
  for (int x = 0; x < width; x += 2) {
    const std::uint8_t* a = row0 + 4 * x;
    const std::uint8_t* c = row1 + 4 * x;
    // Sums over the 2 x 2 block, 0-1020 each.
    const int b = a[0] + a[4] + c[0] + c[4];
    const int g = a[1] + a[5] + c[1] + c[5];
    const int r = a[2] + a[6] + c[2] + c[6];
    // Arithmetic shifts of signed values: rounding towards minus infinity.
    uv[x] = static_cast<std::uint8_t>(((kCbB * b + kCbG * g + kCbR * r + 512) >> 10) + 128);
    uv[x + 1] = static_cast<std::uint8_t>(((kCrR * r + kCrG * g + kCrB * b + 512) >> 10) + 128);
  }
}

void ConvertRowPair_C(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0,
                      std::uint8_t* y1, std::uint8_t* uv, int width) {
  ConvertLumaRow_C(row0, y0, width);
  ConvertLumaRow_C(row1, y1, width);
  ConvertChromaRow_C(row0, row1, uv, width);
}

void CopyRows_C(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination, std::size_t width,
                std::uint32_t rows) {
  for (std::uint32_t y = 0; y < rows; ++y) std::memcpy(destination + y * width, source + y * srcStride, width);
}

namespace {

#if defined(__i386__) || defined(__x86_64__)
unsigned long long ExtendedControlRegister0() {
  unsigned int low = 0;
  unsigned int high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<unsigned long long>(high) << 32) | low;
}

ConversionLevel DetectConversionLevel() {
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (d & bit_SSE2) == 0) return ConversionLevel::Plain;
  // AVX2 needs the processor's support and the system's: XCR0 bits 1 and 2 say that the system
  // saves the XMM and YMM registers on a context switch.
  const bool osSavesYmm = (c & bit_OSXSAVE) != 0 && (c & bit_AVX) != 0 &&
                          (ExtendedControlRegister0() & 0x6) == 0x6;
  if (!osSavesYmm) return ConversionLevel::Sse2;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0 || (b & bit_AVX2) == 0) {
    return ConversionLevel::Sse2;
  }
  return ConversionLevel::Avx2;
}
#else
ConversionLevel DetectConversionLevel() { return ConversionLevel::Plain; }
#endif

std::atomic<int> levelLimit{static_cast<int>(ConversionLevel::Avx2)};

using RowPairKernel = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                               std::uint8_t*, std::uint8_t*, int);

RowPairKernel KernelFor(ConversionLevel level) {
  switch (level) {
    case ConversionLevel::Avx2:
      return ConvertRowPair_AVX2;
    case ConversionLevel::Sse2:
      return ConvertRowPair_SSE2;
    case ConversionLevel::Plain:
      break;
  }
  return ConvertRowPair_C;
}

using RowCopy = void (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::uint32_t);

RowCopy RowCopyFor(ConversionLevel level) {
  switch (level) {
    case ConversionLevel::Avx2:
      return CopyRows_AVX2;
    case ConversionLevel::Sse2:
      return CopyRows_SSE2;
    case ConversionLevel::Plain:
      break;
  }
  return CopyRows_C;
}

}  // namespace

ConversionLevel SupportedConversionLevel() {
  static const ConversionLevel supported = DetectConversionLevel();
  return supported;
}

ConversionLevel ActiveConversionLevel() {
  const int supported = static_cast<int>(SupportedConversionLevel());
  const int limit = levelLimit.load(std::memory_order_relaxed);
  return static_cast<ConversionLevel>(limit < supported ? limit : supported);
}

void SetConversionLevelForTesting(ConversionLevel limit) {
  levelLimit.store(static_cast<int>(limit), std::memory_order_relaxed);
}

namespace {

// Chroma rows below the picture are neutral; the picture's own rows are all written already.
void FillChromaBelowPicture(std::uint8_t* chroma, std::uint32_t width, std::uint32_t height,
                            std::uint32_t inputHeight) {
  const std::uint32_t chromaRows = inputHeight / 2;
  const std::uint32_t pictureRows = height / 2;
  if (chromaRows > pictureRows) {
    std::memset(chroma + static_cast<std::size_t>(pictureRows) * width, 128,
                static_cast<std::size_t>(chromaRows - pictureRows) * width);
  }
}

}  // namespace

void ConvertFrameToNv12(const std::uint8_t* bgra, std::uint32_t width, std::uint32_t height, std::size_t srcStride,
                        std::uint8_t* nv12, std::uint32_t inputHeight) {
  const RowPairKernel kernel = KernelFor(ActiveConversionLevel());
  std::uint8_t* chroma = nv12 + static_cast<std::size_t>(inputHeight) * width;
  for (std::uint32_t y = 0; y + 1 < height; y += 2) {
    kernel(bgra + static_cast<std::size_t>(y) * srcStride, bgra + static_cast<std::size_t>(y + 1) * srcStride,
           nv12 + static_cast<std::size_t>(y) * width, nv12 + static_cast<std::size_t>(y + 1) * width,
           chroma + static_cast<std::size_t>(y / 2) * width, static_cast<int>(width));
  }
  FillChromaBelowPicture(chroma, width, height, inputHeight);
}

void CopyNv12Frame(const std::uint8_t* source, std::uint32_t width, std::uint32_t height, std::size_t srcStride,
                   std::uint8_t* nv12, std::uint32_t inputHeight) {
  std::uint8_t* chroma = nv12 + static_cast<std::size_t>(inputHeight) * width;
  const std::uint8_t* sourceChroma = source + static_cast<std::size_t>(height) * srcStride;
  if (srcStride == width) {
    // Rows already packed: one copy per plane.
    std::memcpy(nv12, source, static_cast<std::size_t>(height) * width);
    std::memcpy(chroma, sourceChroma, static_cast<std::size_t>(height / 2) * width);
  } else {
    const RowCopy copy = RowCopyFor(ActiveConversionLevel());
    copy(source, srcStride, nv12, width, height);
    copy(sourceChroma, srcStride, chroma, width, height / 2);
  }
  FillChromaBelowPicture(chroma, width, height, inputHeight);
}
