// Choosing and configuring the hardware encoder, against scripted candidates.
#include <algorithm>
#include <string>
#include <vector>

#include "encoder_fixture.h"

namespace {

using ::testing::ElementsAre;

using SelectionTest = EncoderTest;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

std::vector<GUID> KeysOf(const std::vector<fake::AttributeItem>& items) {
  std::vector<GUID> keys;
  for (const auto& item : items) keys.push_back(item.key);
  return keys;
}

std::vector<GUID> CommonKeys() {
  return {MF_MT_MAJOR_TYPE,      MF_MT_FRAME_SIZE,   MF_MT_FRAME_RATE,      MF_MT_PIXEL_ASPECT_RATIO,
          MF_MT_INTERLACE_MODE,  MF_MT_YUV_MATRIX,   MF_MT_VIDEO_PRIMARIES, MF_MT_VIDEO_NOMINAL_RANGE};
}

UINT64 Number(const std::vector<fake::AttributeItem>& items, const GUID& key) {
  const fake::AttributeItem* item = fake::FindItem(items, key);
  return item != nullptr ? item->number : ~0ull;
}

GUID Guid(const std::vector<fake::AttributeItem>& items, const GUID& key) {
  const fake::AttributeItem* item = fake::FindItem(items, key);
  return item != nullptr ? item->guid : GUID{};
}

bool SameKeys(const std::vector<GUID>& a, const std::vector<GUID>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), IsEqualGUID);
}

std::size_t IndexOf(const std::vector<std::string>& calls, const std::string& name) {
  return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), name) - calls.begin());
}

TEST_F(SelectionTest, SecondOfThreeCandidatesWorks) {
  fake::Transform* first = AddEncoder(u"First encoder");
  first->setOutputTypeResult = static_cast<HRESULT>(0xC00D36B4);
  fake::Transform* second = AddEncoder(u"Second encoder");
  fake::Transform* third = AddEncoder(u"Third encoder");

  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.transform, static_cast<IMFTransform*>(second));
  EXPECT_THAT(Log(), ElementsAre("encoder 0: First encoder", "SetOutputType failed 0xC00D36B4",
                                 "encoder 1: Second encoder", "  using it: sync, input height 720"));

  const auto& candidates = fake::framework.candidates;
  EXPECT_EQ(candidates[0]->shutdowns, 1);  // dropped: shut down
  EXPECT_EQ(candidates[1]->shutdowns, 0);  // chosen: stays up
  EXPECT_EQ(candidates[2]->activations, 0);
  EXPECT_EQ(candidates[2]->shutdowns, 0);
  EXPECT_TRUE(third->calls.empty());
  // Every activation object of the array was released: only the framework's own references remain.
  for (const fake::Activate* candidate : candidates) EXPECT_EQ(candidate->references(), 1);
  EXPECT_EQ(first->references(), 1);   // only its activation object holds it
  EXPECT_EQ(second->references(), 2);  // and encoder.transform
}

TEST_F(SelectionTest, EnumeratesHardwareH264EncodersForNv12) {
  AddEncoder(u"Only");
  ASSERT_TRUE(SelectEncoder(encoder));
  const fake::Framework& f = fake::framework;
  EXPECT_EQ(f.enumCalls, 1);
  EXPECT_TRUE(IsEqualGUID(f.enumCategory, MFT_CATEGORY_VIDEO_ENCODER));
  EXPECT_EQ(f.enumFlags, 0x44u);
  EXPECT_TRUE(IsEqualGUID(f.enumInput.guidMajorType, MFMediaType_Video));
  EXPECT_TRUE(IsEqualGUID(f.enumInput.guidSubtype, MFVideoFormat_NV12));
  EXPECT_TRUE(IsEqualGUID(f.enumOutput.guidMajorType, MFMediaType_Video));
  EXPECT_TRUE(IsEqualGUID(f.enumOutput.guidSubtype, MFVideoFormat_H264));
}

TEST_F(SelectionTest, FixedConfiguration) {
  fake::Transform* t = AddEncoder(u"Only");
  ASSERT_TRUE(SelectEncoder(encoder));

  // Output type before input type, then the buffer questions, then the two start messages.
  EXPECT_LT(IndexOf(t->calls, "SetOutputType"), IndexOf(t->calls, "SetInputType"));
  EXPECT_LT(IndexOf(t->calls, "SetInputType"), IndexOf(t->calls, "GetInputStreamInfo"));
  EXPECT_LT(IndexOf(t->calls, "GetOutputStreamInfo"), IndexOf(t->calls, "ProcessMessage"));
  EXPECT_THAT(t->messages, ElementsAre(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM));

  ASSERT_EQ(t->outputTypesSet.size(), 1u);
  const auto& out = t->outputTypesSet[0].items;
  std::vector<GUID> outKeys = CommonKeys();
  outKeys.insert(outKeys.end(), {MF_MT_SUBTYPE, MF_MT_AVG_BITRATE, MF_MT_MPEG2_PROFILE});
  EXPECT_TRUE(SameKeys(KeysOf(out), outKeys));
  EXPECT_TRUE(IsEqualGUID(Guid(out, MF_MT_MAJOR_TYPE), MFMediaType_Video));
  EXPECT_EQ(Number(out, MF_MT_FRAME_SIZE), (1280ull << 32) | 720);
  EXPECT_EQ(Number(out, MF_MT_FRAME_RATE), (30ull << 32) | 1);
  EXPECT_EQ(Number(out, MF_MT_PIXEL_ASPECT_RATIO), (1ull << 32) | 1);
  EXPECT_EQ(Number(out, MF_MT_INTERLACE_MODE), 2u);
  EXPECT_EQ(Number(out, MF_MT_YUV_MATRIX), 1u);
  EXPECT_EQ(Number(out, MF_MT_VIDEO_PRIMARIES), 2u);
  EXPECT_EQ(Number(out, MF_MT_VIDEO_NOMINAL_RANGE), 2u);
  EXPECT_TRUE(IsEqualGUID(Guid(out, MF_MT_SUBTYPE), MFVideoFormat_H264));
  EXPECT_EQ(Number(out, MF_MT_AVG_BITRATE), 8000000u);
  EXPECT_EQ(Number(out, MF_MT_MPEG2_PROFILE), 77u);
  EXPECT_EQ(fake::FindItem(out, MF_MT_FRAME_SIZE)->type, MF_ATTRIBUTE_UINT64);

  ASSERT_EQ(t->inputTypesSet.size(), 1u);
  const auto& in = t->inputTypesSet[0].items;
  std::vector<GUID> inKeys = CommonKeys();
  inKeys.insert(inKeys.end(), {MF_MT_SUBTYPE, MF_MT_DEFAULT_STRIDE, MF_MT_ALL_SAMPLES_INDEPENDENT});
  EXPECT_TRUE(SameKeys(KeysOf(in), inKeys));
  EXPECT_EQ(Number(in, MF_MT_FRAME_SIZE), (1280ull << 32) | 720);
  EXPECT_TRUE(IsEqualGUID(Guid(in, MF_MT_SUBTYPE), MFVideoFormat_NV12));
  EXPECT_EQ(Number(in, MF_MT_DEFAULT_STRIDE), 1280u);
  EXPECT_EQ(Number(in, MF_MT_ALL_SAMPLES_INDEPENDENT), 1u);

  // The codec properties, in order, though the transform refuses each of them.
  ASSERT_EQ(t->codecValues.size(), 5u);
  const GUID apis[] = {CODECAPI_AVEncCommonRateControlMode, CODECAPI_AVEncCommonMeanBitRate,
                       CODECAPI_AVEncMPVGOPSize, CODECAPI_AVEncMPVDefaultBPictureCount,
                       CODECAPI_AVLowLatencyMode};
  const ULONG numbers[] = {0, 8000000, 30, 0};
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(IsEqualGUID(t->codecValues[i].api, apis[i]));
    if (i < 4) {
      EXPECT_EQ(t->codecValues[i].type, VT_UI4);
      EXPECT_EQ(t->codecValues[i].number, numbers[i]);
    }
  }
  EXPECT_EQ(t->codecValues[4].type, VT_BOOL);
  EXPECT_EQ(t->codecValues[4].flag, VARIANT_TRUE);

  EXPECT_FALSE(encoder.isAsync);
  EXPECT_EQ(encoder.eventGenerator, nullptr);
  EXPECT_EQ(encoder.inputHeight, 720u);
  EXPECT_EQ(encoder.pendingInputRequests, 0);
}

TEST_F(SelectionTest, AsynchronousTransformIsUnlocked) {
  fake::Transform* t = AddEncoder(u"Async");
  t->asyncAttribute = true;
  t->async = 1;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_TRUE(encoder.isAsync);
  EXPECT_EQ(encoder.eventGenerator, static_cast<IMFMediaEventGenerator*>(t));
  const fake::AttributeItem* unlock = t->store->Find(MF_TRANSFORM_ASYNC_UNLOCK);
  ASSERT_NE(unlock, nullptr);
  EXPECT_EQ(unlock->number, 1u);
  EXPECT_EQ(Log().back(), "  using it: async, input height 720");
}

TEST_F(SelectionTest, AsyncAttributeZeroOrMissingStoreIsSynchronous) {
  fake::Transform* zero = AddEncoder(u"Zero");
  zero->asyncAttribute = true;
  zero->async = 0;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_FALSE(encoder.isAsync);
  EXPECT_EQ(zero->store->Find(MF_TRANSFORM_ASYNC_UNLOCK), nullptr);
}

TEST_F(SelectionTest, TransformWithoutAttributeStoreIsSynchronous) {
  fake::Transform* t = AddEncoder(u"No store");
  t->hasAttributes = false;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_FALSE(encoder.isAsync);
  EXPECT_EQ(Log().back(), "  using it: sync, input height 720");
}

TEST_F(SelectionTest, RefusedUnlockSkipsTheCandidate) {
  fake::Transform* locked = AddEncoder(u"Locked");
  locked->asyncAttribute = true;
  locked->async = 1;
  locked->unlockResult = kAccessDenied;
  fake::Transform* next = AddEncoder(u"Next");
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.transform, static_cast<IMFTransform*>(next));
  EXPECT_TRUE(locked->outputTypesSet.empty());
  EXPECT_EQ(fake::framework.candidates[0]->shutdowns, 1);
  EXPECT_FALSE(encoder.isAsync);
  EXPECT_THAT(Log(), ElementsAre("encoder 0: Locked", "encoder 1: Next", "  using it: sync, input height 720"));
}

TEST_F(SelectionTest, AsyncWithoutEventGeneratorIsDropped) {
  fake::Transform* t = AddEncoder(u"No events");
  t->asyncAttribute = true;
  t->async = 1;
  t->hasEventGenerator = false;
  EXPECT_FALSE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.transform, nullptr);
  EXPECT_EQ(encoder.eventGenerator, nullptr);
  EXPECT_TRUE(t->outputTypesSet.empty());
}

// A dropped asynchronous candidate leaves nothing behind for a synchronous one.
TEST_F(SelectionTest, StateIsResetForEachCandidate) {
  fake::Transform* first = AddEncoder(u"Async, padded, then failing");
  first->asyncAttribute = true;
  first->async = 1;
  first->inputCbSize = 1280 * 736 * 3 / 2;
  first->outputInfoResult = E_FAIL;
  fake::Transform* second = AddEncoder(u"Plain");
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.transform, static_cast<IMFTransform*>(second));
  EXPECT_FALSE(encoder.isAsync);
  EXPECT_EQ(encoder.eventGenerator, nullptr);
  EXPECT_EQ(encoder.inputHeight, 720u);
  EXPECT_EQ(first->references(), 1);  // its event generator reference was given back
}

TEST_F(SelectionTest, NotImplementedStreamIdsMeanZeroAndZero) {
  fake::Transform* t = AddEncoder(u"Fixed streams");
  t->streamIdsResult = E_NOTIMPL;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.inputStreamId, 0u);
  EXPECT_EQ(encoder.outputStreamId, 0u);
  EXPECT_EQ(t->inputTypesSet.back().streamId, 0u);
  EXPECT_EQ(t->outputTypesSet.back().streamId, 0u);
}

TEST_F(SelectionTest, ReportedStreamIdsAreUsedEverywhere) {
  fake::Transform* t = AddEncoder(u"Own streams");
  t->inputStreamId = 3;
  t->outputStreamId = 7;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.inputStreamId, 3u);
  EXPECT_EQ(encoder.outputStreamId, 7u);
  EXPECT_EQ(t->inputTypesSet.back().streamId, 3u);
  EXPECT_EQ(t->outputTypesSet.back().streamId, 7u);
  EXPECT_THAT(t->infoStreamIds, ElementsAre(3u, 7u));
}

TEST_F(SelectionTest, TransformWithoutCodecApiIsAccepted) {
  fake::Transform* t = AddEncoder(u"No codec properties");
  t->hasCodecApi = false;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_TRUE(t->codecValues.empty());
  EXPECT_EQ(encoder.transform, static_cast<IMFTransform*>(t));
}

TEST_F(SelectionTest, RefusedInputTypeFallsBackToOfferedNv12) {
  fake::Transform* t = AddEncoder(u"Picky");
  t->setInputTypeResult = static_cast<HRESULT>(0xC00D36B4);
  const GUID yuy2 = {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  t->offeredInputTypes = {{yuy2, S_OK}, {MFVideoFormat_NV12, static_cast<HRESULT>(0xC00D36B4)},
                          {MFVideoFormat_NV12, S_OK}, {MFVideoFormat_NV12, S_OK}};
  ASSERT_TRUE(SelectEncoder(encoder));
  // The constructed type, then only the offered NV12 types up to the first one accepted.
  ASSERT_EQ(t->inputTypesSet.size(), 3u);
  EXPECT_EQ(t->inputTypesSet[0].offeredIndex, -1);
  EXPECT_EQ(t->inputTypesSet[1].offeredIndex, 1);
  EXPECT_EQ(t->inputTypesSet[2].offeredIndex, 2);
  EXPECT_EQ(Log().back(), "  using it: sync, input height 720");
}

TEST_F(SelectionTest, NoOfferedNv12TypeLogsEFail) {
  fake::Transform* t = AddEncoder(u"No NV12");
  t->setInputTypeResult = static_cast<HRESULT>(0xC00D36B4);
  const GUID yuy2 = {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  t->offeredInputTypes = {{yuy2, S_OK}};
  EXPECT_FALSE(SelectEncoder(encoder));
  EXPECT_THAT(Log(), ElementsAre("encoder 0: No NV12", "SetInputType failed 0x80004005"));
  EXPECT_EQ(fake::framework.candidates[0]->shutdowns, 1);
}

TEST_F(SelectionTest, RefusedOfferedNv12LogsItsResult) {
  fake::Transform* t = AddEncoder(u"Refuses all");
  t->setInputTypeResult = static_cast<HRESULT>(0xC00D36B4);
  t->offeredInputTypes = {{MFVideoFormat_NV12, static_cast<HRESULT>(0xC00D6D60)}};
  EXPECT_FALSE(SelectEncoder(encoder));
  EXPECT_EQ(Log().back(), "SetInputType failed 0xC00D6D60");
}

struct HeightCase {
  DWORD cbSize;
  HRESULT result;
  std::uint32_t height;
};

class InputHeightTest : public EncoderTest, public ::testing::WithParamInterface<HeightCase> {};

TEST_P(InputHeightTest, FromInputBufferSize) {
  fake::Transform* t = AddEncoder(u"Padded");
  t->inputCbSize = GetParam().cbSize;
  t->inputInfoResult = GetParam().result;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.inputHeight, GetParam().height);
  EXPECT_EQ(Log().back(), "  using it: sync, input height " + std::to_string(GetParam().height));
}

INSTANTIATE_TEST_SUITE_P(Sizes, InputHeightTest,
                         ::testing::Values(HeightCase{0, S_OK, 720}, HeightCase{1382400, S_OK, 720},
                                           HeightCase{1382401, S_OK, 720},
                                           HeightCase{1280 * 736 * 3 / 2, S_OK, 736},
                                           HeightCase{1280 * 1088 * 3 / 2, S_OK, 1088},
                                           HeightCase{1280 * 736 * 3 / 2 + 1919, S_OK, 736},
                                           HeightCase{1280 * 1088 * 3 / 2, E_FAIL, 720},
                                           // The largest padding taken, and one row more.
                                           HeightCase{kMaxInputHeight * 1920 + 1919, S_OK, kMaxInputHeight},
                                           HeightCase{(kMaxInputHeight + 1) * 1920, S_OK, 720},
                                           // Sizes whose double passes 32 bits: never fewer rows
                                           // than the picture, nor a buffer of gigabytes.
                                           HeightCase{0x80000000u, S_OK, 720},
                                           HeightCase{0x80000000u + 1280 * 500 * 3 / 2, S_OK, 720},
                                           HeightCase{0x801517FFu, S_OK, 720},
                                           HeightCase{0xFFFFFFFFu, S_OK, 720}));

struct OutputInfoCase {
  DWORD cbSize;
  DWORD flags;
  DWORD bufferSize;
  bool providesSamples;
};

class OutputInfoTest : public EncoderTest, public ::testing::WithParamInterface<OutputInfoCase> {};

TEST_P(OutputInfoTest, BufferSizeAndSampleProvision) {
  fake::Transform* t = AddEncoder(u"Output");
  t->outputCbSize = GetParam().cbSize;
  t->outputFlags = GetParam().flags;
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.outputBufferSize, GetParam().bufferSize);
  EXPECT_EQ(encoder.providesSamples, GetParam().providesSamples);
}

INSTANTIATE_TEST_SUITE_P(Infos, OutputInfoTest,
                         ::testing::Values(OutputInfoCase{0, 0, 2097152, false},
                                           OutputInfoCase{65536, 0, 65536, false},
                                           OutputInfoCase{0, 0x100, 2097152, true},
                                           OutputInfoCase{4096, 0x200, 4096, true},
                                           OutputInfoCase{0, 0x400 | 0x7, 2097152, false},
                                           // Above the bound: as if the transform named none.
                                           OutputInfoCase{kMaxOutputBufferSize, 0, kMaxOutputBufferSize, false},
                                           OutputInfoCase{kMaxOutputBufferSize + 1, 0, 2097152, false},
                                           OutputInfoCase{0xFFFFFFFFu, 0x100, 2097152, true}));

struct FailureCase {
  const char* what;
  void (*script)(fake::Transform&);
};

class CandidateFailureTest : public EncoderTest, public ::testing::WithParamInterface<FailureCase> {};

// Each failure drops the candidate, silently, and shuts it down; the next one is tried.
TEST_P(CandidateFailureTest, DropsTheCandidate) {
  fake::Transform* failing = AddEncoder(u"Failing");
  GetParam().script(*failing);
  fake::Transform* next = AddEncoder(u"Next");
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.transform, static_cast<IMFTransform*>(next));
  EXPECT_EQ(fake::framework.candidates[0]->shutdowns, 1);
  EXPECT_THAT(Log(), ElementsAre("encoder 0: Failing", "encoder 1: Next", "  using it: sync, input height 720"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CandidateFailureTest,
    ::testing::Values(
        FailureCase{"output info", [](fake::Transform& s) { s.outputInfoResult = E_FAIL; }},
        FailureCase{"begin streaming", [](fake::Transform& s) { s.beginStreamingResult = E_FAIL; }},
        FailureCase{"start of stream", [](fake::Transform& s) { s.startOfStreamResult = E_FAIL; }}),
    [](const ::testing::TestParamInfo<FailureCase>& p) {
      std::string name = p.param.what;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

TEST_F(SelectionTest, FailedMediaTypeCreationDropsSilently) {
  AddEncoder(u"One");
  AddEncoder(u"Two");
  fake::framework.createMediaTypeResult = E_OUTOFMEMORY;
  EXPECT_FALSE(SelectEncoder(encoder));
  EXPECT_THAT(Log(), ElementsAre("encoder 0: One", "encoder 1: Two"));
  EXPECT_EQ(fake::framework.candidates[1]->shutdowns, 1);
}

TEST_F(SelectionTest, FailedActivationIsSkippedWithoutShutdown) {
  AddEncoder(u"Broken");
  fake::framework.candidates[0]->activateResult = E_FAIL;
  fake::AddCandidate(u"Empty", nullptr);  // activation succeeds but yields nothing
  fake::Transform* third = AddEncoder(u"Works");
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_EQ(encoder.transform, static_cast<IMFTransform*>(third));
  EXPECT_EQ(fake::framework.candidates[0]->shutdowns, 0);
  EXPECT_EQ(fake::framework.candidates[1]->shutdowns, 0);
  EXPECT_THAT(Log(), ElementsAre("encoder 0: Broken", "encoder 1: Empty", "encoder 2: Works",
                                 "  using it: sync, input height 720"));
}

TEST_F(SelectionTest, UnnamedCandidateIsTriedWithoutLogLine) {
  AddEncoder(u"");
  ASSERT_TRUE(SelectEncoder(encoder));
  EXPECT_THAT(Log(), ElementsAre("  using it: sync, input height 720"));
}

TEST_F(SelectionTest, NoCandidatesOrFailedEnumeration) {
  EXPECT_FALSE(SelectEncoder(encoder));
  AddEncoder(u"Never listed");
  fake::framework.enumResult = E_FAIL;
  EXPECT_FALSE(SelectEncoder(encoder));
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(encoder.transform, nullptr);
}

TEST_F(SelectionTest, NamesAreLoggedAsUtf8CutOnACharacterBoundary) {
  // 126 ASCII bytes and a two-byte character: 128 bytes, so the character goes.
  AddEncoder(std::u16string(126, u'a') + u"\u00e9")->setOutputTypeResult = E_FAIL;
  // 127 bytes exactly stay whole.
  AddEncoder(std::u16string(125, u'b') + u"\u00e9")->setOutputTypeResult = E_FAIL;
  // A character outside the basic plane (4 bytes) that would straddle the limit.
  AddEncoder(std::u16string(125, u'c') + u"\U0001F600");
  ASSERT_TRUE(SelectEncoder(encoder));
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0], "encoder 0: " + std::string(126, 'a'));
  EXPECT_EQ(log[2], "encoder 1: " + std::string(125, 'b') + "\xC3\xA9");
  EXPECT_EQ(log[4], "encoder 2: " + std::string(125, 'c'));
}

}  // namespace
