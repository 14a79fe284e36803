// The Annex B splitting rule that intake, conversion and the encoder's sequence header share.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "clips/annexb.h"
#include "mp4/hex.h"

namespace {

struct Unit {
  int type;
  std::size_t start;
  std::size_t length;
  friend bool operator==(const Unit&, const Unit&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Unit& u) {
    return out << "{type " << u.type << ", at " << u.start << ", " << u.length << " bytes}";
  }
};

struct ScanCase {
  const char* name;
  std::string bytes;
  std::vector<Unit> units;
};

class Scan : public testing::TestWithParam<ScanCase> {};

TEST_P(Scan, ReportsTheUnits) {
  const std::vector<std::uint8_t> bytes = Hex(GetParam().bytes);
  std::vector<Unit> units;
  ScanAnnexB(bytes.data(), bytes.size(),
             [&](const NalUnit& u) { units.push_back(Unit{u.type, u.start, u.length}); });
  EXPECT_EQ(units, GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Scan,
    testing::Values(
        ScanCase{"Empty", "", {}}, ScanCase{"OneByte", "00", {}}, ScanCase{"TwoBytes", "00 00", {}},
        ScanCase{"BareStartCode", "00 00 01", {}},
        ScanCase{"NoStartCode", "65 88 00 00 02 01", {}},
        // The zero before each four-byte start code belongs to no unit.
        ScanCase{"SpsPpsIdr",
                 "00 00 00 01 67 4D 40 1F 00 00 00 01 68 EE 00 00 01 65 88",
                 {{7, 4, 4}, {8, 12, 2}, {5, 17, 2}}},
        ScanCase{"ThreeByteStartCodes", "00 00 01 09 F0 00 00 01 41 9A", {{9, 3, 2}, {1, 8, 2}}},
        // Trailing zeros of the last unit stay; those before a start code go.
        ScanCase{"TrailingZerosOfLastUnitKept", "00 00 01 67 4D 40 1F 00 00", {{7, 3, 6}}},
        ScanCase{"ZerosBeforeStartCodeDropped", "00 00 01 41 9A 00 00 00 00 00 01 65", {{1, 3, 2}, {5, 11, 1}}},
        // An empty unit is reported with the type of the byte at its position.
        ScanCase{"BackToBack", "00 00 01 00 00 01 65", {{0, 3, 0}, {5, 6, 1}}},
        ScanCase{"StartCodeAtTheEnd", "00 00 01 41 9A 00 00 01", {{1, 3, 2}}},
        ScanCase{"LeadingGarbageIgnored", "12 34 00 00 01 65 01", {{5, 5, 2}}},
        ScanCase{"HeaderBitsMasked", "00 00 01 E5 00 00 01 FC", {{5, 3, 1}, {28, 7, 1}}}),
    [](const testing::TestParamInfo<ScanCase>& p) { return std::string(p.param.name); });

// The rule as a plain byte-by-byte walk, to hold the fast scan against.
std::vector<Unit> Walk(const std::vector<std::uint8_t>& b) {
  std::vector<Unit> units;
  const std::size_t n = b.size();
  if (n < 3) return units;
  bool open = false;
  std::size_t s = 0;
  for (std::size_t i = 0; i + 3 <= n;) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      if (open) {
        std::size_t e = i;
        while (e > s && b[e - 1] == 0) --e;
        units.push_back({b[s] & 0x1F, s, e - s});
      }
      open = true;
      s = i + 3;
      i += 3;
    } else {
      ++i;
    }
  }
  if (open && s < n) units.push_back({b[s] & 0x1F, s, n - s});
  return units;
}

TEST(ScanAgainstAByteWalk, RandomStreamsOfZerosAndOnes) {
  std::mt19937 random(2024);
  for (int round = 0; round < 3000; ++round) {
    // Mostly 0 and 1, so that start codes, runs of zeros and near misses are everywhere.
    std::vector<std::uint8_t> b(random() % 200);
    for (auto& v : b) {
      const unsigned r = random() % 8;
      v = r < 4 ? 0 : r < 6 ? 1 : static_cast<std::uint8_t>(random());
    }
    std::vector<Unit> units;
    ScanAnnexB(b.data(), b.size(), [&](const NalUnit& u) { units.push_back(Unit{u.type, u.start, u.length}); });
    ASSERT_EQ(units, Walk(b)) << HexText(b);
  }
}

}  // namespace
