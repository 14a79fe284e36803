// SSE2 and AVX2 row-pair kernels and row copies. The kernels compute exactly what ConvertRowPair_C
// computes, in the same integer steps: every byte they write equals the plain kernel's.
//
// SSE2: each pixel's four bytes B, G, R, A are split into two 16-bit words, (B, R) and (G, A).
// One pmaddwd of each with a coefficient pair gives a 32-bit partial sum per pixel: luma is
// 16 B + 47 R plus 157 G + 0 A. For chroma the split words of two rows are added (sums to 510),
// then the two pixels of each block (sums to 1020, still 16 bits), and pmaddwd gives the signed
// 32-bit Cb and Cr sums, shifted arithmetically by 10 like the plain code.
// AVX2 reaches the same sums with fewer instructions through pmaddubsw (see below).
// The A byte is always multiplied by 0.
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

// ---- AVX2: 8 pixels per register, with pmaddubsw and byte shuffles. Every step works within
// 128-bit lanes, so results come out with their 4-byte groups in the order 0 4 1 5 2 6 3 7 and one
// permutation puts them right ----

// Luma products of 8 pixels: two words per pixel, 16 B' + 157 G' and 47 R', where X' = X - 128.
// pmaddubsw takes unsigned bytes on one side and signed ones on the other: the coefficients are
// the unsigned side (157 needs more than 7 bits), so the pixels are turned signed by flipping
// their top bits. The words stay within -22144..21971 and -6016..5969: no saturation.
VISTREL_TARGET_AVX2 inline __m256i LumaProducts_AVX2(__m256i pixels) {
  const __m256i weights = _mm256_set1_epi32(static_cast<int>(
      (static_cast<unsigned>(kYr) << 16) | (static_cast<unsigned>(kYg) << 8) | static_cast<unsigned>(kYb)));
  const __m256i flipped = _mm256_xor_si256(pixels, _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_maddubs_epi16(weights, flipped);
}

// Luma of 16 pixels (a: 0-7, b: 8-15), less 126, as words. With t = 16 B' + 157 G' + 47 R'
// = s - 220 * 128 (s the plain kernel's sum, t within -28160..27940), (s + 4224) >> 8 equals
// ((t + 128) >> 8) + 126, and pmulhrsw by 128 computes (t + 128) >> 8 exactly. The 126 is added
// to the packed bytes.
VISTREL_TARGET_AVX2 inline __m256i LumaLess126_AVX2(__m256i a, __m256i b) {
  const __m256i t = _mm256_hadd_epi16(LumaProducts_AVX2(a), LumaProducts_AVX2(b));
  return _mm256_mulhrs_epi16(t, _mm256_set1_epi16(128));
}
constexpr int kLumaOffsetSum = (kYr + kYg + kYb) * 128;  // s - t
constexpr int kLumaPackedOffset = (kLumaAddend + kLumaOffsetSum - 128) / 256;
static_assert((kLumaAddend + kLumaOffsetSum - 128) % 256 == 0 && kLumaPackedOffset == 126);

// The two pixels of each block of one row added channel by channel: words (B, G, R, A) per block.
VISTREL_TARGET_AVX2 inline __m256i RowBlockSums_AVX2(__m256i pixels) {
  const __m256i order = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  return _mm256_maddubs_epi16(_mm256_shuffle_epi8(pixels, order), _mm256_set1_epi8(1));
}

// Cb, Cr of 4 blocks from their sums (SB, SG, SR, SA): one pmaddwd pairs (SB, SG) with Cb's
// coefficients and (SR, SA) with Cr's, another does the same with the halves swapped and the
// remaining coefficients, so their sum holds Cb and Cr side by side, as 32-bit values.
VISTREL_TARGET_AVX2 inline __m256i Chroma_AVX2(__m256i sums) {
  const __m256i first = _mm256_setr_epi16(kCbB, kCbG, kCrR, 0, kCbB, kCbG, kCrR, 0,
                                          kCbB, kCbG, kCrR, 0, kCbB, kCbG, kCrR, 0);
  const __m256i second = _mm256_setr_epi16(kCbR, 0, kCrB, kCrG, kCbR, 0, kCrB, kCrG,
                                           kCbR, 0, kCrB, kCrG, kCbR, 0, kCrB, kCrG);
  const __m256i swapped = _mm256_shuffle_epi32(sums, _MM_SHUFFLE(2, 3, 0, 1));
  const __m256i both = _mm256_add_epi32(_mm256_madd_epi16(sums, first), _mm256_madd_epi16(swapped, second));
  return _mm256_srai_epi32(_mm256_add_epi32(both, _mm256_set1_epi32(kChromaAddend)), 10);
}

VISTREL_TARGET_AVX2 inline __m256i Load_AVX2(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VISTREL_TARGET_AVX2 inline __m256i InOrder_AVX2(__m256i packed) {
  return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// 32 luma bytes from 32 pixels.
VISTREL_TARGET_AVX2 inline __m256i Luma32_AVX2(__m256i p0, __m256i p1, __m256i p2, __m256i p3) {
  const __m256i packed = _mm256_packs_epi16(LumaLess126_AVX2(p0, p1), LumaLess126_AVX2(p2, p3));
  return _mm256_add_epi8(InOrder_AVX2(packed), _mm256_set1_epi8(kLumaPackedOffset));
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
    const std::uint8_t* a = row0 + 4 * x;
    const std::uint8_t* b = row1 + 4 * x;
    const __m256i a0 = Load_AVX2(a), a1 = Load_AVX2(a + 32), a2 = Load_AVX2(a + 64), a3 = Load_AVX2(a + 96);
    const __m256i b0 = Load_AVX2(b), b1 = Load_AVX2(b + 32), b2 = Load_AVX2(b + 64), b3 = Load_AVX2(b + 96);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + x), Luma32_AVX2(a0, a1, a2, a3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + x), Luma32_AVX2(b0, b1, b2, b3));
    const __m256i c0 = Chroma_AVX2(_mm256_add_epi16(RowBlockSums_AVX2(a0), RowBlockSums_AVX2(b0)));
    const __m256i c1 = Chroma_AVX2(_mm256_add_epi16(RowBlockSums_AVX2(a1), RowBlockSums_AVX2(b1)));
    const __m256i c2 = Chroma_AVX2(_mm256_add_epi16(RowBlockSums_AVX2(a2), RowBlockSums_AVX2(b2)));
    const __m256i c3 = Chroma_AVX2(_mm256_add_epi16(RowBlockSums_AVX2(a3), RowBlockSums_AVX2(b3)));
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(c0, c1), _mm256_packs_epi32(c2, c3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + x), InOrder_AVX2(packed));
  }
  if (x < width) ConvertRowPair_C(row0 + 4 * x, row1 + 4 * x, y0 + x, y1 + x, uv + x, width - x);
}

VISTREL_TARGET_SSE2 void CopyRows_SSE2(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination,
                                        std::size_t width, std::uint32_t rows) {
  if (width < 16) {
    CopyRows_C(source, srcStride, destination, width, rows);
    return;
  }
  for (std::uint32_t y = 0; y < rows; ++y) {
    const std::uint8_t* from = source + y * srcStride;
    std::uint8_t* to = destination + y * width;
    std::size_t x = 0;
    for (; x + 64 <= width; x += 64) {
      const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x));
      const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x + 16));
      const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x + 32));
      const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x + 48));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), v0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x + 16), v1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x + 32), v2);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x + 48), v3);
    }
    for (; x + 16 <= width; x += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x)));
    }
    // The last bytes: one vector ending at the row's end, overlapping bytes already copied.
    if (x < width) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + width - 16),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + width - 16)));
    }
  }
}

VISTREL_TARGET_AVX2 void CopyRows_AVX2(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination,
                                        std::size_t width, std::uint32_t rows) {
  if (width < 32) {
    CopyRows_C(source, srcStride, destination, width, rows);
    return;
  }
  for (std::uint32_t y = 0; y < rows; ++y) {
    const std::uint8_t* from = source + y * srcStride;
    std::uint8_t* to = destination + y * width;
    std::size_t x = 0;
    for (; x + 128 <= width; x += 128) {
      const __m256i v0 = Load_AVX2(from + x);
      const __m256i v1 = Load_AVX2(from + x + 32);
      const __m256i v2 = Load_AVX2(from + x + 64);
      const __m256i v3 = Load_AVX2(from + x + 96);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x), v0);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x + 32), v1);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x + 64), v2);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x + 96), v3);
    }
    for (; x + 32 <= width; x += 32) _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x), Load_AVX2(from + x));
    // The last bytes: one vector ending at the row's end, overlapping bytes already copied.
    if (x < width) _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + width - 32), Load_AVX2(from + width - 32));
  }
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
void CopyRows_SSE2(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination, std::size_t width,
                   std::uint32_t rows) {
  CopyRows_C(source, srcStride, destination, width, rows);
}
void CopyRows_AVX2(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination, std::size_t width,
                   std::uint32_t rows) {
  CopyRows_C(source, srcStride, destination, width, rows);
}

#endif
