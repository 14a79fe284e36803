// Stands in for the sample intake and the parameter sets of vistrel_clips: records every sample
// that the output drain hands over, while the call lasts.
#pragma once

#include <cstdint>
#include <vector>

#include "encoder/media_framework.h"

struct IntakeRecord {
  std::vector<std::uint8_t> bytes;  // the contiguous buffer's current bytes
  LONGLONG time = 0;
  bool timeKnown = false;
  ULONG referencesDuringCall = 0;  // references held on the sample while the intake ran
};

extern std::vector<IntakeRecord> intakeRecords;
