// Access units that look like an encoder's: compressed-looking bytes (zeros rare, never three in a
// row without emulation prevention), a delimiter, and for keyframes SPS, PPS and an IDR slice.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/media_framework.h"
#include "mediafw/objects.h"

namespace bench_samples {

inline void AppendSliceData(std::vector<std::uint8_t>& out, std::size_t bytes, std::mt19937& random) {
  int zeros = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    auto b = static_cast<std::uint8_t>(random());
    if (zeros == 2 && b <= 3) {
      out.push_back(3);  // emulation prevention, as in a real stream
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  if (out.back() == 0) out.push_back(0x80);  // a slice ends in its stop bit
}

inline std::vector<std::uint8_t> AccessUnit(bool keyframe, std::size_t bytes, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> au = {0, 0, 0, 1, 0x09, 0xF0};
  if (keyframe) {
    const std::uint8_t sets[] = {0, 0, 0, 1, 0x67, 0x4D, 0x40, 0x1F, 0xDA, 0x01, 0x40, 0x16, 0xEC, 0x04,
                                 0, 0, 0, 1, 0x68, 0xEF, 0x0F, 0xC8};
    au.insert(au.end(), std::begin(sets), std::end(sets));
  }
  // Two slices per picture, like the encoders measured.
  for (int slice = 0; slice < 2; ++slice) {
    au.insert(au.end(), {0, 0, 1, static_cast<std::uint8_t>(keyframe ? 0x65 : 0x41)});
    const std::size_t left = bytes > au.size() ? bytes - au.size() : 16;
    AppendSliceData(au, slice == 0 ? left / 2 : left, random);
  }
  return au;
}

// A framework sample holding the bytes, as the encoder hands its output over.
inline IMFSample* FrameworkSample(const std::vector<std::uint8_t>& au, bool keyframe) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  CreateSampleObject(&sample);
  CreateMemoryBufferObject(static_cast<DWORD>(au.size()), &buffer);
  BYTE* p = nullptr;
  buffer->Lock(&p, nullptr, nullptr);
  std::memcpy(p, au.data(), au.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(au.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  if (keyframe) sample->SetUINT32(MFSampleExtension_CleanPoint, 1);
  sample->SetSampleDuration(333333);
  return sample;
}

}  // namespace bench_samples
