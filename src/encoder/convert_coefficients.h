// BT.709 studio-range coefficients, scaled by 256, shared by every conversion kernel.
//
// Luma: Y = ((47 R + 157 G + 16 B + 128) >> 8) + 16 lies in 16-235 (the three sum to 220 ~ 219).
// Chroma from the sums of a 2 x 2 block (hence >> 10 = / (256 x 4)):
// Cb = ((112 SB - 87 SG - 26 SR + 512) >> 10) + 128 in 15-240 (its coefficients sum to -1),
// Cr = ((112 SR - 102 SG - 10 SB + 512) >> 10) + 128 in 16-240. No clamping is needed.
#pragma once

inline constexpr int kYr = 47;    // round(0.2126 * 219/255 * 256)
inline constexpr int kYg = 157;   // round(0.7152 * 219/255 * 256)
inline constexpr int kYb = 16;    // round(0.0722 * 219/255 * 256)
inline constexpr int kCbB = 112;  // round(0.5 * 224/255 * 256)
inline constexpr int kCbG = -87;  // round(-0.7152 / 1.8556 * 224/255 * 256)
inline constexpr int kCbR = -26;  // round(-0.2126 / 1.8556 * 224/255 * 256)
inline constexpr int kCrR = 112;  // round(0.5 * 224/255 * 256)
inline constexpr int kCrG = -102; // round(-0.7152 / 1.5748 * 224/255 * 256)
inline constexpr int kCrB = -10;  // round(-0.0722 / 1.5748 * 224/255 * 256)

// The rounding and the offsets folded into one addend each: (s + 128) >> 8 + 16 equals
// (s + 128 + 16 * 256) >> 8, and ((s + 512) >> 10) + 128 equals (s + 512 + 128 * 1024) >> 10.
inline constexpr int kLumaAddend = 128 + 16 * 256;
inline constexpr int kChromaAddend = 512 + 128 * 1024;
