// Synthetic encoded samples for the writers' tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "clips/sample_history.h"

namespace testing_samples {

inline const std::vector<std::uint8_t> kSps = {0x67, 0x4D, 0x40, 0x1F};
inline const std::vector<std::uint8_t> kPps = {0x68, 0xEE, 0x3C, 0x80};

// An access unit as an encoder sends it: delimiter, for a keyframe SPS and PPS and an IDR slice,
// else a non-IDR slice. The slice has payload bytes after its header, none of them zero (so no
// start code can appear inside), and converts to payload + 5 bytes.
inline std::vector<std::uint8_t> AccessUnit(bool keyframe, std::size_t payload, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> au = {0, 0, 0, 1, 0x09, 0xF0};
  if (keyframe) {
    au.insert(au.end(), {0, 0, 0, 1});
    au.insert(au.end(), kSps.begin(), kSps.end());
    au.insert(au.end(), {0, 0, 0, 1});
    au.insert(au.end(), kPps.begin(), kPps.end());
  }
  au.insert(au.end(), {0, 0, 0, 1, static_cast<std::uint8_t>(keyframe ? 0x65 : 0x41)});
  for (std::size_t i = 0; i < payload; ++i) {
    seed = seed * 1103515245u + 12345u;
    au.push_back(static_cast<std::uint8_t>(0x80 | (seed >> 24)));
  }
  return au;
}

inline EncodedSample Sample(std::int64_t time, bool keyframe, std::size_t payload = 100,
                            std::int64_t duration = 333333) {
  EncodedSample s;
  s.data = std::make_shared<const std::vector<std::uint8_t>>(
      AccessUnit(keyframe, payload, static_cast<std::uint32_t>(time)));
  s.time = time;
  s.duration = duration;
  s.keyframe = keyframe;
  return s;
}

// count samples 1/30 s apart from start, a keyframe every keyInterval.
inline std::vector<EncodedSample> Sequence(int count, int keyInterval = 30, std::int64_t start = 0,
                                           std::size_t payload = 100) {
  std::vector<EncodedSample> out;
  for (int i = 0; i < count; ++i) out.push_back(Sample(start + i * 10000000LL / 30, i % keyInterval == 0, payload));
  return out;
}

}  // namespace testing_samples
