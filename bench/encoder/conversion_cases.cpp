#include "conversion_cases.h"

#include <immintrin.h>

#include <cstddef>

#include "encoder/convert.h"

namespace {

constexpr std::size_t kSourceBytes = static_cast<std::size_t>(kSourceStride) * kSourceHeight;
constexpr std::size_t kNv12Bytes = 720u * 1920u;

void Plain(const std::uint8_t* bgra, std::uint8_t* nv12) {
  SetConversionLevelForTesting(ConversionLevel::Plain);
  ConvertFrameToNv12(bgra, nv12, 720);
}

void Sse2(const std::uint8_t* bgra, std::uint8_t* nv12) {
  SetConversionLevelForTesting(ConversionLevel::Sse2);
  ConvertFrameToNv12(bgra, nv12, 720);
}

void Avx2(const std::uint8_t* bgra, std::uint8_t* nv12) {
  SetConversionLevelForTesting(ConversionLevel::Avx2);
  ConvertFrameToNv12(bgra, nv12, 720);
}

// The pure pass: the top byte of each pixel as its "luma", the two rows' bytes or-ed as "chroma".
__attribute__((target("avx2"))) inline __m256i TopBytes(const std::uint8_t* p) {
  const __m256i a = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 24);
  const __m256i b = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), 24);
  const __m256i c = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64)), 24);
  const __m256i d = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 96)), 24);
  return _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
}

__attribute__((target("avx2"))) void PurePass(const std::uint8_t* bgra, std::uint8_t* nv12) {
  std::uint8_t* chroma = nv12 + 720u * 1280u;
  for (int y = 0; y < kSourceHeight; y += 2) {
    const std::uint8_t* row0 = bgra + static_cast<std::size_t>(y) * kSourceStride;
    const std::uint8_t* row1 = row0 + kSourceStride;
    std::uint8_t* y0 = nv12 + static_cast<std::size_t>(y) * kNv12Stride;
    std::uint8_t* y1 = y0 + kNv12Stride;
    std::uint8_t* uv = chroma + static_cast<std::size_t>(y / 2) * kNv12Stride;
    for (int x = 0; x < kSourceWidth; x += 32) {
      const __m256i top0 = TopBytes(row0 + 4 * x);
      const __m256i top1 = TopBytes(row1 + 4 * x);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + x), top0);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + x), top1);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), _mm256_or_si256(top0, top1));
    }
  }
}

}  // namespace

RotatingFrames::RotatingFrames() {
  std::uint32_t state = 2024;
  for (auto& source : sources_) {
    source.resize(kSourceBytes);
    for (auto& byte : source) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<std::uint8_t>(state >> 24);
    }
  }
  for (auto& output : outputs_) output.assign(kNv12Bytes, 0);
}

std::vector<ConversionCase> ConversionCases() {
  const ConversionLevel supported = SupportedConversionLevel();
  return {
      {"plain", Plain, true},
      {"SSE2", Sse2, supported >= ConversionLevel::Sse2},
      {"AVX2", Avx2, supported >= ConversionLevel::Avx2},
      {"pure pass (AVX2)", PurePass, supported >= ConversionLevel::Avx2},
  };
}
