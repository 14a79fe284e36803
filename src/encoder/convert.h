// BGRA frames to NV12: the one hot loop of the system.
//
// Three layers: ConvertFrameToNv12 walks the frame by row pairs and calls one row-pair kernel,
// chosen once per frame; the kernels exist as plain integer code (_C, the definition) and as SSE2
// and AVX2 versions that produce the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The seed's frames (every version 2 block's; a version 3 block states its own size and stride):
// 1280 x 720 pixels, bytes B, G, R, A, rows 5120 bytes apart, top row first.
inline constexpr int kSourceWidth = 1280;
inline constexpr int kSourceHeight = 720;
inline constexpr int kSourceStride = kSourceWidth * 4;
// Their NV12: luma rows and interleaved Cb, Cr rows, both 1280 bytes apart (in general: width).
inline constexpr int kNv12Stride = 1280;
// Such an NV12 buffer holds 1920 bytes per luma row: 1280 of luma and, per two rows, 1280 of
// chroma (in general: width x 3 / 2).
inline constexpr std::uint32_t kNv12BytesPerLumaRow = 1920;

// Converts a BGRA picture of width x height pixels (both even), rows srcStride bytes apart, into
// an NV12 buffer of inputHeight rows of width bytes (inputHeight >= height) followed by its chroma:
// luma rows 0..height-1 at offset 0 (rows from height on are not written), chroma from
// inputHeight x width, rows 0..height/2-1 from the picture and the rest of its inputHeight / 2 rows
// set to 128. Reads and writes nothing outside those rows.
void ConvertFrameToNv12(const std::uint8_t* bgra, std::uint32_t width, std::uint32_t height, std::size_t srcStride,
                        std::uint8_t* nv12, std::uint32_t inputHeight);

// The same buffer from a picture that is NV12 already (height luma rows, then height / 2 chroma
// rows, all srcStride bytes apart): copies the planes row by row, chroma rows below the picture
// set to 128.
void CopyNv12Frame(const std::uint8_t* source, std::uint32_t width, std::uint32_t height, std::size_t srcStride,
                   std::uint8_t* nv12, std::uint32_t inputHeight);

// The seed's frame: 1280 x 720, rows 5120 bytes apart, into rows of 1280 bytes.
inline void ConvertFrameToNv12(const std::uint8_t* bgra, std::uint8_t* nv12, std::uint32_t inputHeight) {
  ConvertFrameToNv12(bgra, kSourceWidth, kSourceHeight, kSourceStride, nv12, inputHeight);
}

// Row kernels. width is even. Luma: one source row to width Y bytes. Row pair: both rows' luma
// and the width bytes of Cb, Cr pairs, one pair per 2 x 2 block.
void ConvertLumaRow_C(const std::uint8_t* bgra, std::uint8_t* y, int width);
void ConvertChromaRow_C(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* uv,
                        int width);
void ConvertRowPair_C(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0,
                      std::uint8_t* y1, std::uint8_t* uv, int width);
void ConvertRowPair_SSE2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0,
                         std::uint8_t* y1, std::uint8_t* uv, int width);
void ConvertRowPair_AVX2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0,
                         std::uint8_t* y1, std::uint8_t* uv, int width);

// Copies rows of width bytes, srcStride apart, into rows of width bytes that follow each other.
// Reads and writes only within those rows. The SIMD versions move whole vectors (the last one
// overlapping its neighbour) and leave rows narrower than one vector to the plain version: row by
// row memcpy calls cost a noticeable share of a frame's copy at the common widths.
void CopyRows_C(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination, std::size_t width,
                std::uint32_t rows);
void CopyRows_SSE2(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination, std::size_t width,
                   std::uint32_t rows);
void CopyRows_AVX2(const std::uint8_t* source, std::size_t srcStride, std::uint8_t* destination, std::size_t width,
                   std::uint32_t rows);

enum class ConversionLevel { Plain = 0, Sse2 = 1, Avx2 = 2 };

// The strongest level that this processor and the operating system support (AVX2 only when the
// system saves the YMM registers). Found once.
ConversionLevel SupportedConversionLevel();

// The level that ConvertFrameToNv12 and CopyNv12Frame use: the supported one, at most the limit set for testing.
ConversionLevel ActiveConversionLevel();

// Limits the level for tests and benchmarks (Plain forces the plain kernels); Avx2 lifts the limit.
void SetConversionLevelForTesting(ConversionLevel limit);
