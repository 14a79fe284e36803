// Input samples and the output drains, against a scripted transform chosen by SelectEncoder.
#include <cstring>
#include <vector>

#include "encoder/convert.h"
#include "encoder_fixture.h"

namespace {

using ::testing::ElementsAre;

constexpr DWORD kOwnBuffer = 2097152;

std::vector<UINT8> Bytes(std::initializer_list<int> values) {
  std::vector<UINT8> bytes;
  for (int v : values) bytes.push_back(static_cast<UINT8>(v));
  return bytes;
}

fake::OutputStep Unit(std::vector<UINT8> bytes, LONGLONG time) {
  fake::OutputStep step;
  step.bytes = std::move(bytes);
  step.time = time;
  return step;
}

fake::OutputStep Result(HRESULT result) {
  fake::OutputStep step;
  step.result = result;
  step.withSample = false;
  return step;
}

class SubmissionTest : public EncoderTest {
 protected:
  // Brings up one transform, scripted by the caller before selection.
  fake::Transform* Choose(void (*script)(fake::Transform&) = nullptr) {
    fake::Transform* t = AddEncoder(u"Encoder");
    if (script != nullptr) script(*t);
    chosen_ = SelectEncoder(encoder);
    return t;
  }
  bool chosen_ = false;
};

std::vector<std::uint8_t> TestFrame() {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(kSourceStride) * kSourceHeight);
  std::uint32_t state = 12345;
  for (auto& b : frame) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return frame;
}

// ---- Input samples ----

TEST_F(SubmissionTest, InputSampleHoldsTheConvertedFrame) {
  Choose();
  ASSERT_TRUE(chosen_);
  const std::vector<std::uint8_t> frame = TestFrame();
  IMFSample* sample = MakeInputSample(encoder, frame.data(), 4444);
  ASSERT_NE(sample, nullptr);

  auto* ours = dynamic_cast<fake::Sample*>(sample);
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(ours->references(), 1);
  EXPECT_TRUE(ours->timeSet);
  EXPECT_EQ(ours->time, 4444);
  EXPECT_TRUE(ours->durationSet);
  EXPECT_EQ(ours->duration, 333333);
  EXPECT_TRUE(ours->items.empty());  // no other attribute
  ASSERT_EQ(ours->buffers.size(), 1u);
  auto* buffer = dynamic_cast<fake::MediaBuffer*>(ours->buffers[0]);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->references(), 1);  // only the sample's
  EXPECT_EQ(buffer->locks, 0);
  EXPECT_EQ(buffer->bytes.size(), 1382400u);
  EXPECT_EQ(buffer->currentLength, 1382400u);

  std::vector<std::uint8_t> expected(1382400);
  ConvertFrameToNv12(frame.data(), expected.data(), 720);
  EXPECT_TRUE(buffer->bytes == expected);
  sample->Release();
}

TEST_F(SubmissionTest, PaddedInputBuffer) {
  Choose([](fake::Transform& s) { s.inputCbSize = 1280 * 736 * 3 / 2; });
  ASSERT_TRUE(chosen_);
  ASSERT_EQ(encoder.inputHeight, 736u);
  const std::vector<std::uint8_t> frame = TestFrame();
  IMFSample* sample = MakeInputSample(encoder, frame.data(), 0);
  ASSERT_NE(sample, nullptr);
  EXPECT_THAT(fake::framework.bufferLengths, ElementsAre(736u * 1920u));
  auto* buffer = dynamic_cast<fake::MediaBuffer*>(dynamic_cast<fake::Sample*>(sample)->buffers[0]);
  EXPECT_EQ(buffer->currentLength, 736u * 1920u);
  sample->Release();
}

// An input size whose double wraps in 32 bits once gave fewer rows than the picture, and the
// conversion wrote a whole frame into the short buffer.
class HostileInputSizeTest : public SubmissionTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(HostileInputSizeTest, GivesAWholeFrameBuffer) {
  fake::Transform* t = AddEncoder(u"Encoder");
  t->inputCbSize = GetParam();
  ASSERT_TRUE(SelectEncoder(encoder));
  const std::vector<std::uint8_t> frame = TestFrame();
  IMFSample* sample = MakeInputSample(encoder, frame.data(), 0);
  ASSERT_NE(sample, nullptr);
  auto* buffer = dynamic_cast<fake::MediaBuffer*>(dynamic_cast<fake::Sample*>(sample)->buffers[0]);
  EXPECT_EQ(buffer->currentLength, 1382400u);
  ASSERT_EQ(buffer->bytes.size(), 1382400u);
  std::vector<std::uint8_t> expected(1382400);
  ConvertFrameToNv12(frame.data(), expected.data(), 720);
  EXPECT_TRUE(buffer->bytes == expected);
  sample->Release();
}

INSTANTIATE_TEST_SUITE_P(Sizes, HostileInputSizeTest,
                         ::testing::Values(0x80000000u, 0x80000000u + 1280u * 500u * 3u / 2u, 0x801517FFu,
                                           0xFFFFFFFFu));

TEST_F(SubmissionTest, InputSampleFailures) {
  Choose();
  ASSERT_TRUE(chosen_);
  const std::vector<std::uint8_t> frame = TestFrame();
  const int before = fake::LiveObjects();

  fake::framework.createBufferResult = E_OUTOFMEMORY;
  EXPECT_EQ(MakeInputSample(encoder, frame.data(), 0), nullptr);
  fake::framework.createBufferResult = S_OK;

  fake::framework.bufferLockResult = E_FAIL;
  EXPECT_EQ(MakeInputSample(encoder, frame.data(), 0), nullptr);
  fake::framework.bufferLockResult = S_OK;

  fake::framework.createSampleResult = E_OUTOFMEMORY;
  EXPECT_EQ(MakeInputSample(encoder, frame.data(), 0), nullptr);

  EXPECT_EQ(fake::framework.buffersMade.size(), 2u);
  EXPECT_EQ(fake::LiveObjects(), before);  // both buffers released
  EXPECT_TRUE(Log().size() == 2u);          // nothing logged beyond the selection
}

// ---- Synchronous drain ----

TEST_F(SubmissionTest, DrainWithOwnSamples) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputStreamId = 5; });
  ASSERT_TRUE(chosen_);
  t->outputSteps = {Unit(Bytes({0, 0, 0, 1, 0x65, 1, 2}), 100), Unit(Bytes({0, 0, 1, 0x41, 9}), 200)};
  EXPECT_TRUE(DrainOutput(encoder));
  ASSERT_EQ(intakeRecords.size(), 2u);
  EXPECT_EQ(intakeRecords[0].bytes, Bytes({0, 0, 0, 1, 0x65, 1, 2}));
  EXPECT_EQ(intakeRecords[0].time, 100);
  EXPECT_EQ(intakeRecords[1].bytes, Bytes({0, 0, 1, 0x41, 9}));
  EXPECT_EQ(intakeRecords[1].time, 200);
  EXPECT_EQ(intakeRecords[0].referencesDuringCall, 1u);
  // Two units and the call that asked for more input, each with a fresh 2 MiB sample.
  ASSERT_EQ(t->outputCalls.size(), 3u);
  for (const fake::OutputCall& call : t->outputCalls) {
    EXPECT_EQ(call.streamId, 5u);
    EXPECT_TRUE(call.sampleGiven);
    EXPECT_EQ(call.givenBufferLength, kOwnBuffer);
    EXPECT_EQ(call.bufferCount, 1u);
    EXPECT_EQ(call.flags, 0u);
  }
  EXPECT_EQ(fake::framework.samplesMade.size(), 3u);
  for (std::uint64_t id : fake::framework.samplesMade) EXPECT_FALSE(fake::IsAlive(id));
}

TEST_F(SubmissionTest, TransformNamedBufferSizeIsUsed) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputCbSize = 300000; });
  ASSERT_TRUE(chosen_);
  EXPECT_TRUE(DrainOutput(encoder));
  ASSERT_EQ(t->outputCalls.size(), 1u);
  EXPECT_EQ(t->outputCalls[0].givenBufferLength, 300000u);
}

TEST_F(SubmissionTest, TransformProvidedSamples) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputFlags = 0x100; });
  ASSERT_TRUE(chosen_);
  t->outputSteps = {Unit(Bytes({0, 0, 1, 0x65}), 1), Unit(Bytes({0, 0, 1, 0x41}), 2)};
  EXPECT_TRUE(DrainOutput(encoder));
  ASSERT_EQ(t->outputCalls.size(), 3u);
  for (const fake::OutputCall& call : t->outputCalls) EXPECT_FALSE(call.sampleGiven);
  EXPECT_TRUE(fake::framework.samplesMade.empty());
  EXPECT_TRUE(fake::framework.buffersMade.empty());
  ASSERT_EQ(intakeRecords.size(), 2u);
  EXPECT_EQ(intakeRecords[1].bytes, Bytes({0, 0, 1, 0x41}));
  EXPECT_EQ(intakeRecords[0].referencesDuringCall, 1u);
  // Released right after the intake saw them.
  ASSERT_EQ(t->providedSamples.size(), 2u);
  for (std::uint64_t id : t->providedSamples) EXPECT_FALSE(fake::IsAlive(id));
}

TEST_F(SubmissionTest, SuccessWithoutSampleDeliversNothingAndDrainGoesOn) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputFlags = 0x200; });
  ASSERT_TRUE(chosen_);
  t->outputSteps = {Result(S_OK), Unit(Bytes({0, 0, 1, 0x65, 7}), 9)};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(t->outputCalls.size(), 3u);
  ASSERT_EQ(intakeRecords.size(), 1u);
  EXPECT_EQ(intakeRecords[0].bytes, Bytes({0, 0, 1, 0x65, 7}));
}

// An encoder that keeps answering with success and never asks for more input once held the main
// thread in the drain for good.
TEST_F(SubmissionTest, DrainThatNeverEndsIsCutOffAsAFailure) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  const std::size_t lines = Log().size();
  t->outputSteps.assign(2 * kMaxOutputCallsPerDrain, Result(S_OK));
  EXPECT_FALSE(DrainOutput(encoder));
  EXPECT_EQ(t->outputCalls.size(), kMaxOutputCallsPerDrain);
  EXPECT_THAT(Log(), ::testing::SizeIs(lines + 1));
  EXPECT_EQ(Log().back(), "ProcessOutput did not finish after 1024 calls");
  for (std::uint64_t id : fake::framework.samplesMade) EXPECT_FALSE(fake::IsAlive(id));

  // The same for one that never stops handing out access units.
  t->outputCalls.clear();
  intakeRecords.clear();
  t->outputSteps.assign(2 * kMaxOutputCallsPerDrain, Unit(Bytes({0, 0, 1, 0x41, 1}), 0));
  EXPECT_FALSE(DrainOutput(encoder));
  EXPECT_EQ(t->outputCalls.size(), kMaxOutputCallsPerDrain);
  EXPECT_EQ(intakeRecords.size(), kMaxOutputCallsPerDrain);
}

// Up to the bound, everything the encoder holds is collected: the last allowed call may be the
// one that asks for more input.
TEST_F(SubmissionTest, DrainCollectsEverythingUpToTheBound) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputFlags = 0x100; });
  ASSERT_TRUE(chosen_);
  for (std::uint32_t i = 0; i + 1 < kMaxOutputCallsPerDrain; ++i) {
    t->outputSteps.push_back(i % 2 == 0 ? Unit(Bytes({0, 0, 1, 0x41, 2}), i) : Result(S_OK));
  }
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(t->outputCalls.size(), kMaxOutputCallsPerDrain);
  EXPECT_EQ(intakeRecords.size(), kMaxOutputCallsPerDrain / 2);
  // A drain counts its own calls: the next one starts again from none.
  t->outputSteps.assign(kMaxOutputCallsPerDrain - 1, Result(S_OK));
  EXPECT_TRUE(DrainOutput(encoder));
}

TEST_F(SubmissionTest, EventCollectionsAreReleased) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  fake::OutputStep step = Unit(Bytes({0, 0, 1, 0x65}), 0);
  step.withEvents = true;
  t->outputSteps = {step};
  EXPECT_TRUE(DrainOutput(encoder));
  ASSERT_EQ(t->eventCollections.size(), 1u);
  EXPECT_FALSE(fake::IsAlive(t->eventCollections[0]));
}

TEST_F(SubmissionTest, FailedOutputCallEndsTheDrain) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  t->outputSteps = {Unit(Bytes({0, 0, 1, 0x65}), 0), Result(static_cast<HRESULT>(0x8000FFFF)),
                    Unit(Bytes({0, 0, 1, 0x41}), 1)};
  EXPECT_FALSE(DrainOutput(encoder));
  EXPECT_EQ(intakeRecords.size(), 1u);
  EXPECT_EQ(t->outputSteps.size(), 1u);
  EXPECT_EQ(Log().back(), "ProcessOutput failed 0x8000FFFF");
}

TEST_F(SubmissionTest, OwnOutputSampleCannotBeMade) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  const std::size_t lines = Log().size();
  fake::framework.createBufferResult = E_OUTOFMEMORY;
  EXPECT_FALSE(DrainOutput(encoder));
  fake::framework.createBufferResult = S_OK;
  fake::framework.createSampleResult = E_OUTOFMEMORY;
  EXPECT_FALSE(ProcessOneOutput(encoder));
  EXPECT_TRUE(t->outputCalls.empty());
  EXPECT_EQ(Log().size(), lines);  // nothing logged
  for (std::uint64_t id : fake::framework.buffersMade) EXPECT_FALSE(fake::IsAlive(id));
}

// ---- Format changes ----

const std::vector<UINT8> kSps = Bytes({0x67, 0x4D, 0x40, 0x1F, 0xEC});
const std::vector<UINT8> kPps = Bytes({0x68, 0xEE, 0x3C, 0x80});

std::vector<UINT8> SequenceHeader() {
  std::vector<UINT8> header = Bytes({0, 0, 0, 1});
  header.insert(header.end(), kSps.begin(), kSps.end());
  header.insert(header.end(), {0, 0, 0, 1});
  header.insert(header.end(), kPps.begin(), kPps.end());
  return header;
}

TEST_F(SubmissionTest, FormatChangeEndsTheSynchronousDrain) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  fake::OutputStep change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  change.withSample = true;  // whatever it wrote is not passed on
  change.bytes = Bytes({0xDE, 0xAD});
  change.before = [t] {
    t->sequenceHeader = SequenceHeader();
    t->outputCbSize = 4096;
  };
  t->outputSteps = {Unit(Bytes({0, 0, 1, 0x65}), 0), change, Unit(Bytes({0, 0, 1, 0x41}), 1)};

  EXPECT_TRUE(DrainOutput(encoder));
  ASSERT_EQ(intakeRecords.size(), 1u);
  EXPECT_EQ(Log().back(), "encoder changed its output type");
  EXPECT_EQ(encoder.outputBufferSize, 4096u);
  EXPECT_EQ(parameterSets.sps, kSps);
  EXPECT_EQ(parameterSets.pps, kPps);
  // The new type is the offered one, set on the output stream.
  ASSERT_EQ(t->outputTypesSet.size(), 2u);
  EXPECT_TRUE(fake::FindItem(t->outputTypesSet[1].items, MF_MT_MPEG_SEQUENCE_HEADER) != nullptr);

  // The next drain collects what came after, in buffers of the new size.
  EXPECT_TRUE(DrainOutput(encoder));
  ASSERT_EQ(intakeRecords.size(), 2u);
  EXPECT_EQ(intakeRecords[1].bytes, Bytes({0, 0, 1, 0x41}));
  EXPECT_EQ(t->outputCalls.back().givenBufferLength, 4096u);
}

TEST_F(SubmissionTest, FormatChangeKeepsBufferSizeWhenNoneNamedAndAdoptsSampleProvision) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputCbSize = 5000; });
  ASSERT_TRUE(chosen_);
  fake::OutputStep change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  change.before = [t] {
    t->outputCbSize = 0;
    t->outputFlags = 0x100;
  };
  t->outputSteps = {change};
  EXPECT_TRUE(ProcessOneOutput(encoder));
  EXPECT_EQ(encoder.outputBufferSize, 5000u);  // not the 2 MiB default
  EXPECT_TRUE(encoder.providesSamples);
}

TEST_F(SubmissionTest, FormatChangeKeepsBufferSizeWhenTheNamedOneIsAboveTheBound) {
  fake::Transform* t = Choose([](fake::Transform& s) { s.outputCbSize = 5000; });
  ASSERT_TRUE(chosen_);
  fake::OutputStep change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  change.before = [t] { t->outputCbSize = kMaxOutputBufferSize + 1; };
  t->outputSteps = {change};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(encoder.outputBufferSize, 5000u);
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(t->outputCalls.back().givenBufferLength, 5000u);
}

TEST_F(SubmissionTest, FormatChangeWithRefusedType) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  fake::OutputStep change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  change.before = [t] {
    t->setOutputTypeResult = E_FAIL;
    t->outputInfoResult = E_FAIL;
  };
  t->outputSteps = {change};
  EXPECT_FALSE(DrainOutput(encoder));
  EXPECT_EQ(Log().back(), "encoder changed its output type");
  EXPECT_EQ(encoder.outputBufferSize, kOwnBuffer);  // unchanged when the info call fails
  EXPECT_FALSE(encoder.providesSamples);
}

TEST_F(SubmissionTest, FormatChangeWithoutOfferedType) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  const std::size_t lines = Log().size();
  fake::OutputStep change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  change.before = [t] { t->offersOutputType = false; };
  t->outputSteps = {change};
  EXPECT_FALSE(DrainOutput(encoder));
  EXPECT_EQ(Log().size(), lines);
}

// ---- Sequence headers ----

struct HeaderCase {
  const char* what;
  std::vector<UINT8> header;
  std::vector<UINT8> sps;
  std::vector<UINT8> pps;
  UINT32 claimedSize = 0;  // non-zero: the size GetBlobSize reports instead of the true one
};

class SequenceHeaderTest : public SubmissionTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(SequenceHeaderTest, ParameterSets) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  parameterSets.sps = Bytes({0x67, 1, 2, 3, 4});
  parameterSets.pps = Bytes({0x68, 5});
  t->sequenceHeader = GetParam().header;
  t->claimedSequenceHeaderSize = GetParam().claimedSize;
  fake::OutputStep change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  t->outputSteps = {change};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(Log().back(), "encoder changed its output type");
  EXPECT_EQ(parameterSets.sps, GetParam().sps);
  EXPECT_EQ(parameterSets.pps, GetParam().pps);
  // No buffer is ever made for a size beyond the bound.
  for (UINT32 size : t->blobReads) EXPECT_LE(size, kMaxSequenceHeaderSize);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, SequenceHeaderTest,
    ::testing::Values(
        HeaderCase{"four_byte_start_codes", SequenceHeader(), kSps, kPps},
        // The last unit keeps its trailing zeros; a later unit of a type replaces an earlier one.
        HeaderCase{"three_byte_codes_trailing_zeros",
                   Bytes({9, 0, 0, 1, 0x67, 1, 2, 3, 0, 0, 1, 0x67, 4, 5, 6, 7, 0, 0, 1, 0x68, 8, 0, 0}),
                   Bytes({0x67, 4, 5, 6, 7}), Bytes({0x68, 8, 0, 0})},
        // Missing: the sets stay as they were.
        HeaderCase{"none", {}, Bytes({0x67, 1, 2, 3, 4}), Bytes({0x68, 5})},
        HeaderCase{"too_short", Bytes({0, 0}), Bytes({0x67, 1, 2, 3, 4}), Bytes({0x68, 5})},
        HeaderCase{"only_other_units", Bytes({0, 0, 1, 0x06, 5, 0, 0, 1, 0x09, 0x10}),
                   Bytes({0x67, 1, 2, 3, 4}), Bytes({0x68, 5})},
        // A size beyond the bound is no header: nothing is read, the sets stay.
        HeaderCase{"size_above_bound", SequenceHeader(), Bytes({0x67, 1, 2, 3, 4}), Bytes({0x68, 5}),
                   kMaxSequenceHeaderSize + 1},
        HeaderCase{"size_4_gib", SequenceHeader(), Bytes({0x67, 1, 2, 3, 4}), Bytes({0x68, 5}), 0xFFFFFFFFu},
        // A size too small for the blob: the copy fails, the sets stay.
        HeaderCase{"size_too_small", SequenceHeader(), Bytes({0x67, 1, 2, 3, 4}), Bytes({0x68, 5}), 6},
        // A size above what the copy gives: only the copied bytes are the header, no zero
        // filler joins the last unit.
        HeaderCase{"size_above_copied", SequenceHeader(), kSps, kPps, 64}),
    [](const ::testing::TestParamInfo<HeaderCase>& p) { return std::string(p.param.what); });

TEST_F(SubmissionTest, NoCurrentOutputTypeLeavesParameterSets) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  parameterSets.sps = Bytes({0x67, 1, 2, 3});
  t->sequenceHeader = SequenceHeader();
  t->hasCurrentOutputType = false;
  t->outputSteps = {Result(MF_E_TRANSFORM_STREAM_CHANGE)};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(parameterSets.sps, Bytes({0x67, 1, 2, 3}));
  EXPECT_TRUE(parameterSets.pps.empty());
}

// ---- One output per event ----

TEST_F(SubmissionTest, ProcessOneOutputMakesExactlyOneCall) {
  fake::Transform* t = Choose();
  ASSERT_TRUE(chosen_);
  t->outputSteps = {Unit(Bytes({0, 0, 1, 0x65}), 3), Unit(Bytes({0, 0, 1, 0x41}), 4)};
  EXPECT_TRUE(ProcessOneOutput(encoder));
  EXPECT_EQ(t->outputCalls.size(), 1u);
  ASSERT_EQ(intakeRecords.size(), 1u);
  EXPECT_EQ(intakeRecords[0].time, 3);
  EXPECT_TRUE(ProcessOneOutput(encoder));
  EXPECT_TRUE(ProcessOneOutput(encoder));  // more input wanted: fine
  EXPECT_EQ(t->outputCalls.size(), 3u);
  EXPECT_EQ(intakeRecords.size(), 2u);
  t->outputSteps = {Result(E_FAIL)};
  EXPECT_FALSE(ProcessOneOutput(encoder));
  EXPECT_EQ(Log().back(), "ProcessOutput failed 0x80004005");
}

}  // namespace
