// Every size and buffer an encoder hands back, chosen by the fuzzer: the buffer sizes of its input
// and output streams, the size its sequence header claims, the results of its output calls,
// access units whose buffers claim more bytes than they hold, and format changes that bring new
// sizes. They go through the scripted framework into the real selection, frame conversion, output
// drains and intake. Whatever they are: the input buffer holds a whole frame and no more than the
// bound, output buffers stay within theirs, no sequence header buffer passes its bound, no drain
// runs past its bound, the intake never stores more bytes than a buffer held, and every object of
// the framework is released.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "clips/sample_history.h"
#include "encoder/convert.h"
#include "encoder/encoder.h"
#include "encoder/fake_framework.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// Sizes anywhere, and often near the edges that matter.
DWORD Size(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return in.ConsumeIntegral<DWORD>();
    case 1: return 0x80000000u + in.ConsumeIntegralInRange<DWORD>(0, 0x151800);  // the double wraps
    case 2: return kUnpaddedInputSize + in.ConsumeIntegralInRange<DWORD>(0, (kMaxInputHeight + 2) * 1920);
    case 3: return kMaxOutputBufferSize - 2 + in.ConsumeIntegralInRange<DWORD>(0, 4);
    default: return in.ConsumeIntegralInRange<DWORD>(0, 2 * kMaxSequenceHeaderSize);
  }
}

std::vector<UINT8> Bytes(FuzzedDataProvider& in, std::size_t most) {
  return in.ConsumeBytes<UINT8>(in.ConsumeIntegralInRange<std::size_t>(0, most));
}

HRESULT OutputResult(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return MF_E_TRANSFORM_NEED_MORE_INPUT;
    case 1: return MF_E_TRANSFORM_STREAM_CHANGE;
    case 2: return E_FAIL;
    default: return S_OK;
  }
}

const std::vector<std::uint8_t>& Frame() {
  static const std::vector<std::uint8_t> frame = [] {
    std::vector<std::uint8_t> f(static_cast<std::size_t>(kSourceStride) * kSourceHeight);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i * 131);
    return f;
  }();
  return frame;
}

// The buffer sizes the encoder works with now lie within their bounds.
void CheckSizes(const HardwareEncoder& encoder, const fake::Transform& t) {
  Require(encoder.inputHeight >= kFrameHeight && encoder.inputHeight <= kMaxInputHeight);
  Require(encoder.outputBufferSize != 0 && encoder.outputBufferSize <= kMaxOutputBufferSize);
  for (UINT32 size : t.blobReads) Require(size <= kMaxSequenceHeaderSize);
  // Every buffer made so far, input or output.
  for (DWORD length : fake::framework.bufferLengths) {
    Require(length <= kMaxInputHeight * kNv12BytesPerLumaRow || length <= kMaxOutputBufferSize);
  }
}

void Run(FuzzedDataProvider& in) {
  auto* t = new fake::Transform;
  t->inputCbSize = Size(in);
  t->inputInfoResult = in.ConsumeBool() ? S_OK : E_FAIL;
  t->outputCbSize = Size(in);
  t->outputFlags = in.ConsumeBool() ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
  t->initialSequenceHeader = Bytes(in, 48);
  t->claimedSequenceHeaderSize = in.ConsumeBool() ? Size(in) : 0;
  fake::AddCandidate(u"Fuzzed", t);

  HardwareEncoder encoder;
  if (!SelectEncoder(encoder)) return;
  CheckSizes(encoder, *t);

  if (in.ConsumeBool()) {
    IMFSample* sample = MakeInputSample(encoder, Frame().data(), 0);
    Require(sample != nullptr);
    Require(fake::framework.bufferLengths.back() == encoder.inputHeight * kNv12BytesPerLumaRow);
    sample->Release();
  }

  std::size_t largestUnit = 0;  // the most bytes any buffer really held
  bool longRun = false;         // at most one long run of one answer per input: each costs a buffer per call
  for (int round = 0; round < 6 && in.remaining_bytes() > 0; ++round) {
    const int steps = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < steps; ++i) {
      fake::OutputStep step;
      step.result = OutputResult(in);
      step.withSample = in.ConsumeBool();
      step.bytes = Bytes(in, 96);
      step.time = in.ConsumeIntegral<LONGLONG>();
      step.claimedLength = in.ConsumeBool() ? Size(in) : 0;
      if (step.result == MF_E_TRANSFORM_STREAM_CHANGE) {
        const DWORD cbSize = Size(in);
        const DWORD flags = in.ConsumeBool() ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
        const std::vector<UINT8> header = Bytes(in, 48);
        const UINT32 claimed = in.ConsumeBool() ? Size(in) : 0;
        step.before = [t, cbSize, flags, header, claimed] {
          t->outputCbSize = cbSize;
          t->outputFlags = flags;
          t->sequenceHeader = header;
          t->claimedSequenceHeaderSize = claimed;
        };
      }
      if (step.bytes.size() > largestUnit) largestUnit = step.bytes.size();
      // Now and then the same answer over and over: the drain must still end.
      int repeats = 1;
      if (!longRun && in.ConsumeIntegralInRange<int>(0, 15) == 0) {
        repeats = in.ConsumeIntegralInRange<int>(1, 1100);
        longRun = true;
      }
      for (int r = 0; r < repeats; ++r) t->outputSteps.push_back(step);
    }

    const std::size_t callsBefore = t->outputCalls.size();
    if (in.ConsumeBool()) {
      DrainOutput(encoder);
      Require(t->outputCalls.size() - callsBefore <= kMaxOutputCallsPerDrain);
    } else {
      ProcessOneOutput(encoder);
      Require(t->outputCalls.size() - callsBefore <= 1);
    }
    CheckSizes(encoder, *t);

    // A provided sample holds at most what the encoder put into it, an own one at most its
    // buffer of outputBufferSize bytes: never more than the buffer really has.
    std::uint64_t held = 0;
    for (const EncodedSample& s : sampleHistory.samples) {
      Require(SampleSize(s) <= largestUnit || SampleSize(s) <= kMaxOutputBufferSize);
      held += SampleSize(s);
    }
    Require(held == sampleHistory.heldBytes);
  }
  encoder.transform->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fake::Install();
  sampleHistory = SampleHistory{};
  parameterSets = ParameterSets{};
  const int baseline = fake::LiveObjects();
  FuzzedDataProvider in(data, size);
  Run(in);
  fake::Clear();
  Require(fake::LiveObjects() == baseline);  // nothing the framework handed out is kept
  return 0;
}
