#include "conversion_cases.h"

#include <immintrin.h>

#include <cstring>

#include "encoder/convert.h"

std::size_t BenchPicture::SourceBytes() const { return stride * (nv12 ? height + height / 2 : height); }

std::size_t BenchPicture::OutputBytes() const {
  return static_cast<std::size_t>(width) * (inputHeight + inputHeight / 2);
}

std::size_t BenchPicture::PictureBytes() const {
  return nv12 ? static_cast<std::size_t>(width) * (height + height / 2) : static_cast<std::size_t>(width) * height * 4;
}

std::vector<BenchPicture> BgraPictures() {
  return {{1280, 720, 1280 * 4, 720, false}, {1920, 1080, 1920 * 4, 1080, false}, {3840, 2160, 3840 * 4, 2160, false}};
}

std::vector<BenchPicture> Nv12Pictures() {
  std::vector<BenchPicture> pictures;
  for (const BenchPicture& size : BgraPictures()) {
    pictures.push_back({size.width, size.height, size.width, size.height, true});
    pictures.push_back({size.width, size.height, size.width + 64u, size.height, true});
  }
  return pictures;
}

namespace {

void Convert(const BenchPicture& p, const std::uint8_t* bgra, std::uint8_t* nv12) {
  ConvertFrameToNv12(bgra, p.width, p.height, p.stride, nv12, p.inputHeight);
}

void Plain(const BenchPicture& p, const std::uint8_t* bgra, std::uint8_t* nv12) {
  SetConversionLevelForTesting(ConversionLevel::Plain);
  Convert(p, bgra, nv12);
}

void Sse2(const BenchPicture& p, const std::uint8_t* bgra, std::uint8_t* nv12) {
  SetConversionLevelForTesting(ConversionLevel::Sse2);
  Convert(p, bgra, nv12);
}

void Avx2(const BenchPicture& p, const std::uint8_t* bgra, std::uint8_t* nv12) {
  SetConversionLevelForTesting(ConversionLevel::Avx2);
  Convert(p, bgra, nv12);
}

// The pure pass: the top byte of each pixel as its "luma", the two rows' bytes or-ed as "chroma".
// Widths are whole multiples of 32 pixels here.
__attribute__((target("avx2"))) inline __m256i TopBytes(const std::uint8_t* p) {
  const __m256i a = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 24);
  const __m256i b = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), 24);
  const __m256i c = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64)), 24);
  const __m256i d = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 96)), 24);
  return _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
}

__attribute__((target("avx2"))) void PurePass(const BenchPicture& p, const std::uint8_t* bgra,
                                              std::uint8_t* nv12) {
  std::uint8_t* chroma = nv12 + static_cast<std::size_t>(p.inputHeight) * p.width;
  for (std::uint32_t y = 0; y < p.height; y += 2) {
    const std::uint8_t* row0 = bgra + y * p.stride;
    const std::uint8_t* row1 = row0 + p.stride;
    std::uint8_t* y0 = nv12 + static_cast<std::size_t>(y) * p.width;
    std::uint8_t* y1 = y0 + p.width;
    std::uint8_t* uv = chroma + static_cast<std::size_t>(y / 2) * p.width;
    for (std::uint32_t x = 0; x < p.width; x += 32) {
      const __m256i top0 = TopBytes(row0 + 4 * x);
      const __m256i top1 = TopBytes(row1 + 4 * x);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + x), top0);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + x), top1);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), _mm256_or_si256(top0, top1));
    }
  }
}

void CopyNv12(const BenchPicture& p, const std::uint8_t* source, std::uint8_t* nv12) {
  CopyNv12Frame(source, p.width, p.height, p.stride, nv12, p.inputHeight);
}

void PlainMemcpy(const BenchPicture& p, const std::uint8_t* source, std::uint8_t* nv12) {
  std::memcpy(nv12, source, p.PictureBytes());
}

}  // namespace

RotatingFrames::RotatingFrames(const BenchPicture& picture) {
  std::uint32_t state = 2024;
  for (auto& source : sources_) {
    source.resize(picture.SourceBytes());
    for (auto& byte : source) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<std::uint8_t>(state >> 24);
    }
  }
  for (auto& output : outputs_) output.assign(picture.OutputBytes(), 0);
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

std::vector<ConversionCase> Nv12CopyCases() {
  return {
      {"CopyNv12Frame", CopyNv12, true},
      {"memcpy of the same bytes", PlainMemcpy, true},
  };
}
