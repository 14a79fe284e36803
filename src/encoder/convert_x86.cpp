// SSE2 and AVX2 row-pair kernels. They compute exactly what ConvertRowPair_C computes, in the
// same integer steps: every byte they write equals the plain kernel's.
//
// Each pixel's four bytes B, G, R, A are split into two 16-bit words, (B, R) and (G, A). One
// pmaddwd of each with a coefficient pair gives a 32-bit partial sum per pixel: luma is
// 16 B + 47 R plus 157 G + 0 A. For chroma the split words of two rows are added (sums to 510),
// then the two pixels of each block (sums to 1020, still 16 bits), and pmaddwd gives the signed
// 32-bit Cb and Cr sums, shifted arithmetically by 10 like the plain code. The A byte is always
// multiplied by 0.
#include "encoder/convert.h"
#include "encoder/convert_coefficients.h"

#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

#define VISTREL_TARGET_SSE2 __attribute__((target("sse2")))
#define VISTREL_TARGET_AVX2 __attribute__((target("avx2")))

namespace {

// Two 16-bit coefficients in one 32-bit lane, as pmaddwd pairs them with (low, high) words.
constexpr int WordPair(int low, int high) {
  return static_cast<int>((static_cast<unsigned>(high) << 16) | (static_cast<unsigned>(low) & 0xFFFFu));
}

constexpr int kLumaBR = WordPair(kYb, kYr);
constexpr int kLumaGA = WordPair(kYg, 0);
constexpr int kCbBR = WordPair(kCbB, kCbR);
constexpr int kCbGA = WordPair(kCbG, 0);
constexpr int kCrBR = WordPair(kCrB, kCrR);
constexpr int kCrGA = WordPair(kCrG, 0);

// ---- SSE2: 4 pixels per register ----

VISTREL_TARGET_SSE2 inline void Split_SSE2(__m128i pixels, __m128i& br, __m128i& ga) {
  br = _mm_and_si128(pixels, _mm_set1_epi32(0x00FF00FF));
  ga = _mm_srli_epi16(pixels, 8);
}

// Luma of 4 pixels as 32-bit values.
VISTREL_TARGET_SSE2 inline __m128i Luma_SSE2(__m128i br, __m128i ga) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(br, _mm_set1_epi32(kLumaBR)),
                                    _mm_madd_epi16(ga, _mm_set1_epi32(kLumaGA)));
  return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kLumaAddend)), 8);
}

// Adds the two pixels of each block: from pixels 0-3 in a and 4-7 in b, blocks 0-3 in order.
VISTREL_TARGET_SSE2 inline __m128i BlockSums_SSE2(__m128i a, __m128i b) {
  const __m128 fa = _mm_castsi128_ps(a);
  const __m128 fb = _mm_castsi128_ps(b);
  const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_add_epi16(even, odd);
}

// Cb, Cr of 4 blocks from their (SB, SR) and (SG, SA) words: words Cb0 Cr0 Cb1 Cr1 ... Cr3.
VISTREL_TARGET_SSE2 inline __m128i Chroma_SSE2(__m128i br, __m128i ga) {
  const __m128i addend = _mm_set1_epi32(kChromaAddend);
  __m128i cb = _mm_add_epi32(_mm_madd_epi16(br, _mm_set1_epi32(kCbBR)),
                             _mm_madd_epi16(ga, _mm_set1_epi32(kCbGA)));
  __m128i cr = _mm_add_epi32(_mm_madd_epi16(br, _mm_set1_epi32(kCrBR)),
                             _mm_madd_epi16(ga, _mm_set1_epi32(kCrGA)));
  cb = _mm_srai_epi32(_mm_add_epi32(cb, addend), 10);
  cr = _mm_srai_epi32(_mm_add_epi32(cr, addend), 10);
  return _mm_packs_epi32(_mm_unpacklo_epi32(cb, cr), _mm_unpackhi_epi32(cb, cr));
}

// 8 pixels of two rows: their luma as words (y0, y1) and the Cb, Cr words of their 4 blocks.
VISTREL_TARGET_SSE2 inline void Convert8_SSE2(const std::uint8_t* row0, const std::uint8_t* row1,
                                              __m128i& y0, __m128i& y1, __m128i& uv) {
  __m128i br0a, ga0a, br0b, ga0b, br1a, ga1a, br1b, ga1b;
  Split_SSE2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row0)), br0a, ga0a);
  Split_SSE2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + 16)), br0b, ga0b);
  Split_SSE2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row1)), br1a, ga1a);
  Split_SSE2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + 16)), br1b, ga1b);
  y0 = _mm_packs_epi32(Luma_SSE2(br0a, ga0a), Luma_SSE2(br0b, ga0b));
  y1 = _mm_packs_epi32(Luma_SSE2(br1a, ga1a), Luma_SSE2(br1b, ga1b));
  const __m128i br = BlockSums_SSE2(_mm_add_epi16(br0a, br1a), _mm_add_epi16(br0b, br1b));
  const __m128i ga = BlockSums_SSE2(_mm_add_epi16(ga0a, ga1a), _mm_add_epi16(ga0b, ga1b));
  uv = Chroma_SSE2(br, ga);
}

// ---- AVX2: 8 pixels per register; every step works within 128-bit lanes, so results come out
// with their 4-byte groups in the order 0 4 1 5 2 6 3 7 and one permutation puts them right ----

VISTREL_TARGET_AVX2 inline void Split_AVX2(__m256i pixels, __m256i& br, __m256i& ga) {
  br = _mm256_and_si256(pixels, _mm256_set1_epi32(0x00FF00FF));
  ga = _mm256_srli_epi16(pixels, 8);
}

VISTREL_TARGET_AVX2 inline __m256i Luma_AVX2(__m256i br, __m256i ga) {
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32(kLumaBR)),
                                       _mm256_madd_epi16(ga, _mm256_set1_epi32(kLumaGA)));
  return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kLumaAddend)), 8);
}

VISTREL_TARGET_AVX2 inline __m256i BlockSums_AVX2(__m256i a, __m256i b) {
  const __m256 fa = _mm256_castsi256_ps(a);
  const __m256 fb = _mm256_castsi256_ps(b);
  const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm256_add_epi16(even, odd);
}

VISTREL_TARGET_AVX2 inline __m256i Chroma_AVX2(__m256i br, __m256i ga) {
  const __m256i addend = _mm256_set1_epi32(kChromaAddend);
  __m256i cb = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32(kCbBR)),
                                _mm256_madd_epi16(ga, _mm256_set1_epi32(kCbGA)));
  __m256i cr = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32(kCrBR)),
                                _mm256_madd_epi16(ga, _mm256_set1_epi32(kCrGA)));
  cb = _mm256_srai_epi32(_mm256_add_epi32(cb, addend), 10);
  cr = _mm256_srai_epi32(_mm256_add_epi32(cr, addend), 10);
  return _mm256_packs_epi32(_mm256_unpacklo_epi32(cb, cr), _mm256_unpackhi_epi32(cb, cr));
}

VISTREL_TARGET_AVX2 inline void Convert16_AVX2(const std::uint8_t* row0, const std::uint8_t* row1,
                                               __m256i& y0, __m256i& y1, __m256i& uv) {
  __m256i br0a, ga0a, br0b, ga0b, br1a, ga1a, br1b, ga1b;
  Split_AVX2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0)), br0a, ga0a);
  Split_AVX2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + 32)), br0b, ga0b);
  Split_AVX2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1)), br1a, ga1a);
  Split_AVX2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + 32)), br1b, ga1b);
  y0 = _mm256_packs_epi32(Luma_AVX2(br0a, ga0a), Luma_AVX2(br0b, ga0b));
  y1 = _mm256_packs_epi32(Luma_AVX2(br1a, ga1a), Luma_AVX2(br1b, ga1b));
  const __m256i br = BlockSums_AVX2(_mm256_add_epi16(br0a, br1a), _mm256_add_epi16(br0b, br1b));
  const __m256i ga = BlockSums_AVX2(_mm256_add_epi16(ga0a, ga1a), _mm256_add_epi16(ga0b, ga1b));
  uv = Chroma_AVX2(br, ga);
}

// Packs two word vectors to bytes and puts the 4-byte groups back in order.
VISTREL_TARGET_AVX2 inline __m256i PackInOrder_AVX2(__m256i a, __m256i b) {
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b),
                                     _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

}  // namespace

VISTREL_TARGET_SSE2 void ConvertRowPair_SSE2(const std::uint8_t* row0, const std::uint8_t* row1,
                                             std::uint8_t* y0, std::uint8_t* y1, std::uint8_t* uv,
                                             int width) {
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    __m128i ya0, ya1, uva, yb0, yb1, uvb;
    Convert8_SSE2(row0 + 4 * x, row1 + 4 * x, ya0, ya1, uva);
    Convert8_SSE2(row0 + 4 * x + 32, row1 + 4 * x + 32, yb0, yb1, uvb);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + x), _mm_packus_epi16(ya0, yb0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + x), _mm_packus_epi16(ya1, yb1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + x), _mm_packus_epi16(uva, uvb));
  }
  if (x < width) ConvertRowPair_C(row0 + 4 * x, row1 + 4 * x, y0 + x, y1 + x, uv + x, width - x);
}

VISTREL_TARGET_AVX2 void ConvertRowPair_AVX2(const std::uint8_t* row0, const std::uint8_t* row1,
                                             std::uint8_t* y0, std::uint8_t* y1, std::uint8_t* uv,
                                             int width) {
  int x = 0;
  for (; x + 32 <= width; x += 32) {
    __m256i ya0, ya1, uva, yb0, yb1, uvb;
    Convert16_AVX2(row0 + 4 * x, row1 + 4 * x, ya0, ya1, uva);
    Convert16_AVX2(row0 + 4 * x + 64, row1 + 4 * x + 64, yb0, yb1, uvb);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + x), PackInOrder_AVX2(ya0, yb0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + x), PackInOrder_AVX2(ya1, yb1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), PackInOrder_AVX2(uva, uvb));
  }
  if (x < width) ConvertRowPair_C(row0 + 4 * x, row1 + 4 * x, y0 + x, y1 + x, uv + x, width - x);
}

#else

// Elsewhere the plain kernels stand in; SupportedConversionLevel never picks these.
void ConvertRowPair_SSE2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0,
                         std::uint8_t* y1, std::uint8_t* uv, int width) {
  ConvertRowPair_C(row0, row1, y0, y1, uv, width);
}
void ConvertRowPair_AVX2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0,
                         std::uint8_t* y1, std::uint8_t* uv, int width) {
  ConvertRowPair_C(row0, row1, y0, y1, uv, width);
}

#endif
