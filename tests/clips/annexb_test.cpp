// The Annex B splitting rule that intake, conversion and the encoder's sequence header share.
#include <gtest/gtest.h>

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

}  // namespace
