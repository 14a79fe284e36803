// Appending big-endian integers and boxes to a growable byte buffer: the only way the MP4 writers
// put bytes together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using ByteBuffer = std::vector<std::uint8_t>;

// Every append below goes through this one copy. (A vector insert of a few bytes from a small
// array here makes gcc 12 at -O3 report overflows and overlaps that cannot happen.)
inline void AppendBytes(ByteBuffer& out, const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;
  const std::size_t at = out.size();
  out.resize(at + count);
  std::memcpy(out.data() + at, bytes, count);
}

inline void AppendBytes(ByteBuffer& out, const ByteBuffer& bytes) { AppendBytes(out, bytes.data(), bytes.size()); }

inline void AppendU8(ByteBuffer& out, std::uint8_t value) { out.push_back(value); }

inline void AppendU16(ByteBuffer& out, std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  AppendBytes(out, bytes, 2);
}

inline void AppendU32(ByteBuffer& out, std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  AppendBytes(out, bytes, 4);
}

inline void AppendZeros(ByteBuffer& out, std::size_t count) { out.resize(out.size() + count, 0); }

// Four ASCII bytes of a box type or brand ("moov", "url ").
inline void AppendFourCC(ByteBuffer& out, const char (&fourCC)[5]) {
  AppendBytes(out, reinterpret_cast<const std::uint8_t*>(fourCC), 4);
}

// A whole box: 32-bit size (payload + 8), type, payload. Boxes here never need the 64-bit size.
inline void AppendBox(ByteBuffer& out, const char (&type)[5], const ByteBuffer& payload) {
  AppendU32(out, static_cast<std::uint32_t>(payload.size() + 8));
  AppendFourCC(out, type);
  AppendBytes(out, payload);
}
