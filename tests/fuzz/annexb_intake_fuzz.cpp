// Encoder output as the intake sees it: arbitrary bytes, times, durations and clean-point flags.
// Every unit the scan reports lies inside the input, in order and without overlap; the history
// keeps its byte count exact, its samples in arrival order, and trims as it promises; each
// sample's MP4 form is as long as counted and holds no empty unit.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "clips/annexb.h"
#include "clips/sample_history.h"
#include "mediafw/objects.h"
#include "mp4/boxes.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckScan(const std::uint8_t* bytes, std::size_t size) {
  std::size_t end = 0;
  ScanAnnexB(bytes, size, [&](const NalUnit& unit) {
    Require(unit.start >= 3 && unit.start >= end);
    Require(unit.start + unit.length <= size);
    Require(bytes[unit.start - 1] == 1 && bytes[unit.start - 2] == 0 && bytes[unit.start - 3] == 0);
    if (unit.start < size) Require(unit.type == (bytes[unit.start] & 0x1F));
    end = unit.start + unit.length;
  });
}

IMFSample* MakeSample(const std::vector<std::uint8_t>& bytes, FuzzedDataProvider& in) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  Require(CreateSampleObject(&sample) == S_OK);
  Require(CreateMemoryBufferObject(static_cast<DWORD>(bytes.size()), &buffer) == S_OK);
  BYTE* p = nullptr;
  Require(buffer->Lock(&p, nullptr, nullptr) == S_OK);
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  if (in.ConsumeBool()) sample->SetUINT32(MFSampleExtension_CleanPoint, in.ConsumeIntegral<UINT32>());
  if (in.ConsumeBool()) sample->SetSampleTime(in.ConsumeIntegral<LONGLONG>());
  if (in.ConsumeBool()) sample->SetSampleDuration(in.ConsumeIntegral<LONGLONG>());
  return sample;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckScan(data, size);

  sampleHistory = SampleHistory{};
  parameterSets = ParameterSets{};
  FuzzedDataProvider in(data, size);
  std::size_t added = 0;
  while (in.remaining_bytes() > 0 && added < 64) {
    const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 4096);
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(length);
    IMFSample* sample = MakeSample(bytes, in);
    AddEncodedSample(sample);
    Require(sample->Release() == 0);  // the intake keeps no reference to the sample
    ++added;

    // The newest sample is the one just given, byte for byte.
    Require(!sampleHistory.samples.empty());
    const EncodedSample& newest = sampleHistory.samples.back();
    Require(SampleSize(newest) == bytes.size());
    Require(bytes.empty() || std::memcmp(SampleBytes(newest), bytes.data(), bytes.size()) == 0);

    // Its MP4 form: exactly the size the tables count, and no empty unit behind a zero length.
    ByteBuffer converted;
    ConvertAccessUnit(converted, SampleBytes(newest), SampleSize(newest));
    Require(converted.size() == ConvertedSize(SampleBytes(newest), SampleSize(newest)));
    for (std::size_t i = 0; i < converted.size();) {
      Require(i + 4 <= converted.size());
      const std::uint32_t unitLength = (std::uint32_t{converted[i]} << 24) |
                                       (std::uint32_t{converted[i + 1]} << 16) |
                                       (std::uint32_t{converted[i + 2]} << 8) | converted[i + 3];
      Require(unitLength != 0 && i + 4 + unitLength <= converted.size());
      i += 4 + unitLength;
    }

    std::uint64_t held = 0;
    for (const EncodedSample& s : sampleHistory.samples) held += SampleSize(s);
    Require(held == sampleHistory.heldBytes);
    Require(sampleHistory.samples.size() <= added);
  }
  return 0;
}
