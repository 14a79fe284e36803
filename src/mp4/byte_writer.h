// Appending big-endian integers and boxes to a growable byte buffer: the only way the MP4 writers
// put bytes together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using ByteBuffer = std::vector<std::uint8_t>;

inline void AppendU8(ByteBuffer& out, std::uint8_t value) { out.push_back(value); }

inline void AppendU16(ByteBuffer& out, std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  out.insert(out.end(), bytes, bytes + 2);
}

inline void AppendU32(ByteBuffer& out, std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  out.insert(out.end(), bytes, bytes + 4);
}

inline void AppendZeros(ByteBuffer& out, std::size_t count) { out.resize(out.size() + count, 0); }

inline void AppendBytes(ByteBuffer& out, const std::uint8_t* bytes, std::size_t count) {
  out.insert(out.end(), bytes, bytes + count);
}

inline void AppendBytes(ByteBuffer& out, const ByteBuffer& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Four ASCII bytes of a box type or brand ("moov", "url ").
inline void AppendFourCC(ByteBuffer& out, const char (&fourCC)[5]) {
  out.insert(out.end(), fourCC, fourCC + 4);
}

// A whole box: 32-bit size (payload + 8), type, payload. Boxes here never need the 64-bit size.
inline void AppendBox(ByteBuffer& out, const char (&type)[5], const ByteBuffer& payload) {
  AppendU32(out, static_cast<std::uint32_t>(payload.size() + 8));
  AppendFourCC(out, type);
  AppendBytes(out, payload);
}
