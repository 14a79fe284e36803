// Splitting an H.264 Annex B byte stream into NAL units.
#pragma once

#include <cstddef>
#include <cstdint>

struct NalUnit {
  int type;            // first byte & 0x1F (of the byte at start, also for an empty unit)
  std::size_t start;   // offset of the unit's first byte, just after its start code
  std::size_t length;  // bytes, without the zero bytes that precede the next start code
};

// Calls report(const NalUnit&) for each unit, in order. Start codes are 00 00 01 (a four-byte code
// is a zero byte and a three-byte code); zero bytes before a start code belong to no unit; the last
// unit runs to the end with its trailing zeros; bytes before the first start code are ignored.
// Fewer than 3 bytes hold no unit.
template <typename Report>
void ScanAnnexB(const std::uint8_t* bytes, std::size_t size, Report&& report) {
  if (size < 3) return;
  bool open = false;
  std::size_t s = 0;
  std::size_t i = 0;
  while (i + 3 <= size) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      if (open) {
        std::size_t e = i;
        while (e > s && bytes[e - 1] == 0) --e;
        // An empty unit (two start codes back to back) takes its type from the byte at its
        // position, which is the next start code's first byte.
        report(NalUnit{bytes[s] & 0x1F, s, e - s});
      }
      open = true;
      s = i + 3;
      i += 3;
    } else {
      ++i;
    }
  }
  if (open && s < size) report(NalUnit{bytes[s] & 0x1F, s, size - s});
}
