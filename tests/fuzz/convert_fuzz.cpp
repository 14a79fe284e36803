// Annex B access units into MP4 form: the size told in advance is the size built, the output is a
// whole sequence of length-prefixed units, none of them empty, and no parameter set or delimiter
// is left in it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "clips/annexb.h"
#include "mp4/boxes.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteBuffer out;
  const std::uint8_t prefix[3] = {0xAB, 0xCD, 0xEF};  // bytes already in the buffer stay
  out.insert(out.end(), prefix, prefix + 3);
  ConvertAccessUnit(out, data, size);
  Require(out.size() - 3 == ConvertedSize(data, size));
  Require(std::memcmp(out.data(), prefix, 3) == 0);

  // Every kept unit of the input, in order, appears behind its length.
  std::size_t at = 3;
  ScanAnnexB(data, size, [&](const NalUnit& unit) {
    if (unit.length == 0 || unit.type == 7 || unit.type == 8 || unit.type == 9) return;
    Require(at + 4 <= out.size());
    const std::uint32_t length = (std::uint32_t{out[at]} << 24) | (std::uint32_t{out[at + 1]} << 16) |
                                 (std::uint32_t{out[at + 2]} << 8) | out[at + 3];
    Require(length == unit.length);
    Require(at + 4 + length <= out.size());
    Require(std::memcmp(out.data() + at + 4, data + unit.start, length) == 0);
    at += 4 + length;
  });
  Require(at == out.size());

  // Walked by its own lengths alone, the output holds no zero length.
  for (std::size_t i = 3; i < out.size();) {
    Require(i + 4 <= out.size());
    const std::uint32_t length = (std::uint32_t{out[i]} << 24) | (std::uint32_t{out[i + 1]} << 16) |
                                 (std::uint32_t{out[i + 2]} << 8) | out[i + 3];
    Require(length != 0);
    i += 4 + length;
  }
  return 0;
}
