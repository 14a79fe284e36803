// The AAC encoder against scripted transforms: what it asks of them, and what it refuses of them.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encoder/audio_encoder.h"
#include "encoder_fixture.h"

namespace {

using ::testing::ElementsAre;

constexpr HRESULT kInvalidMediaType = static_cast<HRESULT>(0xC00D36B4);
const char kNoEncoder[] = "no audio encoder: the sound is not recorded";

// HEAACWAVEINFO's 12 bytes (raw payload, profile and level 0x29), then the AudioSpecificConfig.
std::vector<UINT8> UserData(const std::vector<UINT8>& config, UINT8 payloadType = 0) {
  std::vector<UINT8> data(12 + config.size(), 0);
  data[0] = payloadType;
  data[2] = 0x29;
  for (std::size_t i = 0; i < config.size(); ++i) data[12 + i] = config[i];
  return data;
}

UINT64 Number(const std::vector<fake::AttributeItem>& items, const GUID& key) {
  const fake::AttributeItem* item = fake::FindItem(items, key);
  return item != nullptr ? item->number : ~0ull;
}

GUID Guid(const std::vector<fake::AttributeItem>& items, const GUID& key) {
  const fake::AttributeItem* item = fake::FindItem(items, key);
  return item != nullptr ? item->guid : GUID{};
}

fake::OutputStep Frame(std::vector<UINT8> bytes) {
  fake::OutputStep step;
  step.bytes = std::move(bytes);
  return step;
}

class AudioEncoderTest : public EncoderTest {
 protected:
  void TearDown() override {
    ReleaseAudioEncoder(audio);
    EncoderTest::TearDown();
  }

  // A candidate that takes its input type first and gives AAC-LC 48 kHz stereo's configuration.
  fake::Transform* AddAudioEncoder(const std::u16string& name) {
    fake::Transform* transform = AddEncoder(name);
    transform->outputTypeFirst = false;
    transform->outputUserData = UserData({0x11, 0x90});
    return transform;
  }

  bool Encode(std::size_t frames) {
    pcm.assign(frames * 2, 0);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(i + 1);
    return EncodeAudio(audio, pcm.data(), frames, out);
  }

  AudioEncoder audio;
  std::vector<std::int16_t> pcm;
  std::vector<AudioEncoderOutput> out;
};

TEST_F(AudioEncoderTest, TypesTheEncoderInputFirstAndTakesItsConfiguration) {
  fake::Transform* transform = AddAudioEncoder(u"Fake AAC");
  transform->outputCbSize = 1536;
  ASSERT_TRUE(SelectAudioEncoder(audio));
  EXPECT_THAT(Log(), ElementsAre("audio encoder: Fake AAC"));
  EXPECT_EQ(audio.transform, static_cast<IMFTransform*>(transform));
  EXPECT_THAT(audio.audioSpecificConfig, ElementsAre(0x11, 0x90));
  EXPECT_EQ(audio.outputBufferSize, 1536u);
  EXPECT_EQ(audio.primingSamples, 1024u);

  const fake::Framework& f = fake::framework;
  EXPECT_TRUE(IsEqualGUID(f.enumCategory, MFT_CATEGORY_AUDIO_ENCODER));
  EXPECT_EQ(f.enumFlags, 0x41u);  // synchronous, sorted and filtered
  EXPECT_TRUE(IsEqualGUID(f.enumInput.guidMajorType, MFMediaType_Audio));
  EXPECT_TRUE(IsEqualGUID(f.enumInput.guidSubtype, MFAudioFormat_PCM));
  EXPECT_TRUE(IsEqualGUID(f.enumOutput.guidMajorType, MFMediaType_Audio));
  EXPECT_TRUE(IsEqualGUID(f.enumOutput.guidSubtype, MFAudioFormat_AAC));

  const auto& calls = transform->calls;
  const auto input = std::find(calls.begin(), calls.end(), "SetInputType");
  const auto output = std::find(calls.begin(), calls.end(), "SetOutputType");
  ASSERT_NE(input, calls.end());
  EXPECT_LT(input - calls.begin(), output - calls.begin());

  ASSERT_EQ(transform->inputTypesSet.size(), 1u);
  const auto& in = transform->inputTypesSet[0].items;
  EXPECT_TRUE(IsEqualGUID(Guid(in, MF_MT_MAJOR_TYPE), MFMediaType_Audio));
  EXPECT_TRUE(IsEqualGUID(Guid(in, MF_MT_SUBTYPE), MFAudioFormat_PCM));
  EXPECT_EQ(Number(in, MF_MT_AUDIO_SAMPLES_PER_SECOND), 48000u);
  EXPECT_EQ(Number(in, MF_MT_AUDIO_NUM_CHANNELS), 2u);
  EXPECT_EQ(Number(in, MF_MT_AUDIO_BITS_PER_SAMPLE), 16u);
  EXPECT_EQ(Number(in, MF_MT_AUDIO_BLOCK_ALIGNMENT), 4u);
  EXPECT_EQ(Number(in, MF_MT_AUDIO_AVG_BYTES_PER_SECOND), 192000u);

  ASSERT_EQ(transform->outputTypesSet.size(), 1u);
  const auto& o = transform->outputTypesSet[0].items;
  EXPECT_TRUE(IsEqualGUID(Guid(o, MF_MT_MAJOR_TYPE), MFMediaType_Audio));
  EXPECT_TRUE(IsEqualGUID(Guid(o, MF_MT_SUBTYPE), MFAudioFormat_AAC));
  EXPECT_EQ(Number(o, MF_MT_AUDIO_SAMPLES_PER_SECOND), 48000u);
  EXPECT_EQ(Number(o, MF_MT_AUDIO_NUM_CHANNELS), 2u);
  EXPECT_EQ(Number(o, MF_MT_AUDIO_BITS_PER_SAMPLE), 16u);
  EXPECT_EQ(Number(o, MF_MT_AUDIO_AVG_BYTES_PER_SECOND), 20000u);
  EXPECT_EQ(Number(o, MF_MT_AAC_PAYLOAD_TYPE), 0u);
  EXPECT_EQ(Number(o, MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION), 0x29u);
  EXPECT_THAT(transform->messages,
              ElementsAre(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM));
}

TEST_F(AudioEncoderTest, ACandidateThatRefusesATypeIsReleasedForTheNext) {
  fake::Transform* refusesInput = AddAudioEncoder(u"Refuses PCM");
  refusesInput->setInputTypeResult = kInvalidMediaType;
  fake::Transform* refusesOutput = AddAudioEncoder(u"Refuses AAC");
  refusesOutput->setOutputTypeResult = kInvalidMediaType;
  fake::Transform* works = AddAudioEncoder(u"Works");
  ASSERT_TRUE(SelectAudioEncoder(audio));
  EXPECT_EQ(audio.transform, static_cast<IMFTransform*>(works));
  EXPECT_THAT(Log(), ElementsAre("audio encoder: Works"));
  const auto& candidates = fake::framework.candidates;
  EXPECT_EQ(candidates[0]->shutdowns, 1);
  EXPECT_EQ(candidates[1]->shutdowns, 1);
  EXPECT_EQ(candidates[2]->shutdowns, 0);
  EXPECT_EQ(refusesInput->references(), 1);  // only its activation object holds it
  EXPECT_EQ(refusesOutput->references(), 1);
  for (const fake::Activate* candidate : candidates) EXPECT_EQ(candidate->references(), 1);
}

TEST_F(AudioEncoderTest, NoUsableCandidateIsOneLine) {
  AddAudioEncoder(u"Refuses PCM")->setInputTypeResult = kInvalidMediaType;
  EXPECT_FALSE(SelectAudioEncoder(audio));
  EXPECT_EQ(audio.transform, nullptr);
  EXPECT_THAT(Log(), ElementsAre(kNoEncoder));
}

TEST_F(AudioEncoderTest, NoCandidateAtAllIsOneLine) {
  EXPECT_FALSE(SelectAudioEncoder(audio));
  EXPECT_THAT(Log(), ElementsAre(kNoEncoder));
}

// User data that gives no AudioSpecificConfig of 1 to 64 bytes for AAC-LC 48 kHz stereo, or says
// the frames carry ADTS headers, makes the encoder unusable; a size the encoder claims is never allocated beyond 76.
TEST_F(AudioEncoderTest, UserDataWithoutAUsableConfigurationIsRefused) {
  fake::Transform* tailOnly = AddAudioEncoder(u"Tail only");
  tailOnly->outputUserData = UserData({});
  fake::Transform* tooLong = AddAudioEncoder(u"Configuration of 65 bytes");
  tooLong->outputUserData = UserData(std::vector<UINT8>(65, 0x11));
  fake::Transform* claims = AddAudioEncoder(u"Claims 1 GiB");
  claims->claimedSequenceHeaderSize = 1u << 30;
  fake::Transform* adts = AddAudioEncoder(u"ADTS");
  adts->outputUserData = UserData({0x11, 0x90}, 1);
  // Configurations of other sound than every file states: 44.1 kHz stereo, 48 kHz mono, AAC Main.
  AddAudioEncoder(u"44.1 kHz")->outputUserData = UserData({0x12, 0x10});
  AddAudioEncoder(u"Mono")->outputUserData = UserData({0x11, 0x88});
  AddAudioEncoder(u"AAC Main")->outputUserData = UserData({0x09, 0x90});
  fake::Transform* longest = AddAudioEncoder(u"Configuration of 64 bytes");
  std::vector<UINT8> config(64, 0x12);
  config[0] = 0x11;
  config[1] = 0x90;
  longest->outputUserData = UserData(config);

  ASSERT_TRUE(SelectAudioEncoder(audio));
  EXPECT_EQ(audio.transform, static_cast<IMFTransform*>(longest));
  EXPECT_EQ(audio.audioSpecificConfig, std::vector<std::uint8_t>(config.begin(), config.end()));
  EXPECT_THAT(Log(), ElementsAre("audio encoder: Configuration of 64 bytes"));
  EXPECT_TRUE(claims->blobReads.empty());
  for (const fake::Activate* candidate : fake::framework.candidates) EXPECT_EQ(candidate->references(), 1);
}

TEST_F(AudioEncoderTest, HandsOverFramesInOrderAndFeedsWholeChunks) {
  fake::Transform* transform = AddAudioEncoder(u"Fake AAC");
  ASSERT_TRUE(SelectAudioEncoder(audio));
  // 5000 PCM frames: two inputs (4096 and 904); the first gives two frames, the second one.
  transform->outputSteps.push_back(Frame({1, 2, 3}));
  transform->outputSteps.push_back(Frame(std::vector<UINT8>(8191, 7)));  // the largest frame there is
  transform->onInput = [transform] {
    if (transform->inputs.size() == 1) transform->outputSteps.push_back(Frame({9}));
  };
  ASSERT_TRUE(Encode(5000));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_THAT(out[0].bytes, ElementsAre(1, 2, 3));
  EXPECT_EQ(out[1].bytes.size(), 8191u);
  EXPECT_THAT(out[2].bytes, ElementsAre(9));
  ASSERT_EQ(transform->inputs.size(), 2u);
  EXPECT_EQ(transform->inputs[0].time, 0);
  EXPECT_EQ(transform->inputs[1].time, 4096LL * 10000000 / 48000);
  EXPECT_EQ(transform->inputs[0].firstByte, 1);  // the PCM's first sample, low byte
  EXPECT_EQ(audio.framesIn, 5000u);
  EXPECT_EQ(audio.framesOut, 3u);
  for (const fake::OutputCall& call : transform->outputCalls) EXPECT_EQ(call.givenBufferLength, 8191u);
  EXPECT_EQ(Log().size(), 1u);
}

// Every way an encoder's output can be no AAC frame: the sound stops with one line, and the
// encoder is released at once so that a further call adds nothing.
TEST_F(AudioEncoderTest, OutputThatIsNoFrameStopsTheSound) {
  struct Case {
    const char* what;
    std::function<void(fake::Transform*)> script;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"oversized", [](fake::Transform* t) {
         t->outputFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
         t->outputSteps.push_back(Frame(std::vector<UINT8>(8192, 1)));
       }, "audio encoder failed 0x8000FFFF: the sound stops"},
      {"empty", [](fake::Transform* t) { t->outputSteps.push_back(Frame({})); },
       "audio encoder failed 0x8000FFFF: the sound stops"},
      {"longer than its buffer", [](fake::Transform* t) {
         t->outputCbSize = 100;
         fake::OutputStep step = Frame({1, 2});
         step.claimedLength = 500;
         t->outputSteps.push_back(step);
       }, "audio encoder failed 0x8000FFFF: the sound stops"},
      {"without end", [](fake::Transform* t) {
         for (int i = 0; i < 1000; ++i) t->outputSteps.push_back(Frame({1}));
       }, "audio encoder failed 0x8000FFFF: the sound stops"},
      // 4096 samples and 1024 of priming make five frames; one more may wait from before, a
      // seventh is more sound than was given.
      {"more frames than samples", [](fake::Transform* t) {
         for (int i = 0; i < 7; ++i) t->outputSteps.push_back(Frame({1}));
       }, "audio encoder failed 0x8000FFFF: the sound stops"},
      {"output fails", [](fake::Transform* t) {
         fake::OutputStep step;
         step.result = static_cast<HRESULT>(0x887A0005);
         step.withSample = false;
         t->outputSteps.push_back(step);
       }, "audio encoder failed 0x887A0005: the sound stops"},
      {"input fails", [](fake::Transform* t) { t->inputResults.push_back(E_FAIL); },
       "audio encoder failed 0x80004005: the sound stops"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Clear();
    fake::Install();
    const std::size_t before = Log().size();
    fake::Transform* transform = AddAudioEncoder(u"Fake AAC");
    c.script(transform);
    ASSERT_TRUE(SelectAudioEncoder(audio));
    EXPECT_FALSE(Encode(4096));
    EXPECT_EQ(audio.transform, nullptr);
    EXPECT_FALSE(Encode(4096));
    EXPECT_LE(transform->outputCalls.size(), 64u);
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log.back(), c.line);
    EXPECT_EQ(transform->references(), 1);  // released: only its activation object holds it
  }
}

}  // namespace
