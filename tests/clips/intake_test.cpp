// Intake of real framework samples: what is stored, what is learnt from the bytes, and that the
// framework's objects are left as they were found.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>

#include "app/process_state.h"
#include "clips/sample_history.h"
#include "mediafw/objects.h"
#include "mp4/hex.h"
#include "mp4/audio_track.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"

namespace {

ULONG Count(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

struct SampleSpec {
  std::vector<std::uint8_t> bytes;
  std::optional<UINT32> cleanPoint;
  std::optional<LONGLONG> time;
  std::optional<LONGLONG> duration;
};

// A framework sample with one memory buffer holding bytes; the caller releases it.
IMFSample* MakeSample(const SampleSpec& input) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  EXPECT_EQ(CreateSampleObject(&sample), S_OK);
  EXPECT_EQ(CreateMemoryBufferObject(static_cast<DWORD>(input.bytes.size()), &buffer), S_OK);
  BYTE* p = nullptr;
  EXPECT_EQ(buffer->Lock(&p, nullptr, nullptr), S_OK);
  if (!input.bytes.empty()) std::memcpy(p, input.bytes.data(), input.bytes.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(input.bytes.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  if (input.cleanPoint) sample->SetUINT32(MFSampleExtension_CleanPoint, *input.cleanPoint);
  if (input.time) sample->SetSampleTime(*input.time);
  if (input.duration) sample->SetSampleDuration(*input.duration);
  return sample;
}

// A buffer whose Lock always fails; it counts its references and lives on the test's stack (never
// deleted through the interface, so the SDK's non-virtual destructor does not matter).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class RefusingBuffer final : public IMFMediaBuffer {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IMFMediaBuffer) {
      AddRef();
      *object = static_cast<IMFMediaBuffer*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Lock(BYTE**, DWORD*, DWORD*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE Unlock() override {
    ++unlocks;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* length) override {
    *length = 16;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* length) override {
    *length = 16;
    return S_OK;
  }

  std::atomic<ULONG> references{1};  // the test's own
  int unlocks = 0;
};

// A buffer that claims more current bytes than it holds.
class OverclaimingBuffer final : public IMFMediaBuffer {
 public:
  explicit OverclaimingBuffer(DWORD claimed) : claimed_(claimed) {
    static const BYTE kHeld[8] = {0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0x11};
    bytes.assign(kHeld, kHeld + 8);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override {
    ++locks;
    *buffer = bytes.data();
    if (maxLength != nullptr) *maxLength = static_cast<DWORD>(bytes.size());
    if (currentLength != nullptr) *currentLength = claimed_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unlock() override {
    --locks;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* length) override {
    *length = claimed_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* length) override {
    *length = static_cast<DWORD>(bytes.size());
    return S_OK;
  }

  std::vector<BYTE> bytes;
  std::atomic<ULONG> references{1};
  int locks = 0;

 private:
  DWORD claimed_;
};
#pragma GCC diagnostic pop

class Intake : public RecordingTest {
 protected:
  Intake() {
    sampleHistory = SampleHistory{};
    parameterSets = ParameterSets{};
  }
  ~Intake() override { sampleHistory = SampleHistory{}; }

  // Feeds one sample and checks that the sample and its buffer keep exactly their references.
  void Feed(const SampleSpec& input) {
    IMFSample* sample = MakeSample(input);
    IMFMediaBuffer* buffer = nullptr;
    ASSERT_EQ(sample->GetBufferByIndex(0, &buffer), S_OK);
    const ULONG sampleRefs = Count(sample);
    const ULONG bufferRefs = Count(buffer);
    AddEncodedSample(sample);
    EXPECT_EQ(Count(sample), sampleRefs);
    EXPECT_EQ(Count(buffer), bufferRefs);
    BYTE* p = nullptr;
    // The buffer was unlocked again: a fresh lock and unlock balance.
    EXPECT_EQ(buffer->Lock(&p, nullptr, nullptr), S_OK);
    EXPECT_EQ(buffer->Unlock(), S_OK);
    EXPECT_NE(buffer->Unlock(), S_OK);
    buffer->Release();
    sample->Release();
  }

  const EncodedSample& Newest() const { return sampleHistory.samples.back(); }
};

struct TinyCase {
  std::vector<std::uint8_t> bytes;
  std::optional<UINT32> cleanPoint;
  bool keyframe;
};

class TinyBuffers : public Intake, public testing::WithParamInterface<TinyCase> {};

// Below 3 bytes there is nothing to scan: the clean-point flag decides.
TEST_P(TinyBuffers, StoredWithTheCleanPointFlag) {
  Feed({GetParam().bytes, GetParam().cleanPoint, 1000, 333333});
  ASSERT_EQ(sampleHistory.samples.size(), 1u);
  EXPECT_EQ(*Newest().data, GetParam().bytes);
  EXPECT_EQ(Newest().keyframe, GetParam().keyframe);
  EXPECT_EQ(sampleHistory.heldBytes, GetParam().bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Lengths, TinyBuffers,
                         testing::Values(TinyCase{{}, 1u, true}, TinyCase{{}, std::nullopt, false},
                                         TinyCase{{0x65}, 0u, false}, TinyCase{{0x65}, 7u, true},
                                         TinyCase{{0x00, 0x01}, 1u, true}, TinyCase{{0x00, 0x01}, std::nullopt, false}));

TEST_F(Intake, ParameterSetsAndIdrFromOneAccessUnit) {
  const std::vector<std::uint8_t> au = Hex("00 00 00 01 67 4D 40 1F AA 00 00 00 01 68 EE 3C 00 00 01 65 88 84 21");
  Feed({au, std::nullopt, 5000000, 333333});
  EXPECT_EQ(parameterSets.sps, Hex("67 4D 40 1F AA"));  // without the zero before the next start code
  EXPECT_EQ(parameterSets.pps, Hex("68 EE 3C"));
  EXPECT_TRUE(Newest().keyframe);
  EXPECT_EQ(Newest().time, 5000000);
  EXPECT_EQ(*Newest().data, au);  // the bytes exactly as the buffer held them
}

TEST_F(Intake, SpsLastRunsToTheEndWithItsZeros) {
  Feed({Hex("00 00 01 41 9A 00 00 01 67 4D 40 1F 00 00"), std::nullopt, 0, 1});
  EXPECT_EQ(parameterSets.sps, Hex("67 4D 40 1F 00 00"));
  EXPECT_FALSE(Newest().keyframe);
}

TEST_F(Intake, LastParameterSetOfEachTypeWins) {
  Feed({Hex("00 00 01 67 01 02 03 04 00 00 01 68 0A 00 00 01 67 4D 40 1F 00 00 01 68 0B 00 00 01 65 00"),
        std::nullopt, 0, 1});
  EXPECT_EQ(parameterSets.sps, Hex("67 4D 40 1F"));
  EXPECT_EQ(parameterSets.pps, Hex("68 0B"));
}

TEST_F(Intake, NalUnitsOverruleTheCleanPointFlag) {
  Feed({Hex("00 00 00 01 09 F0 00 00 01 41 9A"), 1u, 0, 1});
  EXPECT_FALSE(Newest().keyframe);
  Feed({Hex("00 00 01 65 88"), 0u, 1, 1});
  EXPECT_TRUE(Newest().keyframe);
}

TEST_F(Intake, WithoutAnyStartCodeTheCleanPointDecides) {
  Feed({Hex("65 88 84 21 00 00 02"), 1u, 0, 1});
  EXPECT_TRUE(Newest().keyframe);
  Feed({Hex("65 88 84 21 00 00 02"), std::nullopt, 0, 1});
  EXPECT_FALSE(Newest().keyframe);
  EXPECT_TRUE(parameterSets.sps.empty());
}

TEST_F(Intake, OnlyParameterSetsAreNoKeyframe) {
  Feed({Hex("00 00 00 01 09 F0 00 00 00 01 67 4D 40 1F 00 00 00 01 68 EE"), 1u, 0, 1});
  EXPECT_FALSE(Newest().keyframe);
  EXPECT_TRUE(ParameterSetsUsable(parameterSets));
}

TEST_F(Intake, MissingTimeAndDuration) {
  Feed({Hex("00 00 01 41 9A"), std::nullopt, std::nullopt, std::nullopt});
  EXPECT_EQ(Newest().time, 0);
  EXPECT_EQ(Newest().duration, kDefaultSampleDuration);
  Feed({Hex("00 00 01 41 9A"), std::nullopt, -70, 0});
  EXPECT_EQ(Newest().time, -70);
  EXPECT_EQ(Newest().duration, kDefaultSampleDuration);
  Feed({Hex("00 00 01 41 9A"), std::nullopt, 10, -5});
  EXPECT_EQ(Newest().duration, kDefaultSampleDuration);
  Feed({Hex("00 00 01 41 9A"), std::nullopt, 10, 400000});
  EXPECT_EQ(Newest().duration, 400000);
}

// A sample without a duration lasts one frame of the host's own rate.
TEST_F(Intake, MissingDurationIsOneFrameOfTheStream) {
  const stream::StreamFormat saved = processState.stream;
  processState.stream.frameRateNumerator = 60;
  Feed({Hex("00 00 01 41 9A"), std::nullopt, 10, std::nullopt});
  EXPECT_EQ(Newest().duration, 166667);
  processState.stream.frameRateNumerator = 30000;
  processState.stream.frameRateDenominator = 1001;
  Feed({Hex("00 00 01 41 9A"), std::nullopt, 20, 0});
  EXPECT_EQ(Newest().duration, 333667);
  processState.stream = saved;
}

TEST_F(Intake, BytesAreCopiedOnce) {
  IMFSample* sample = MakeSample({Hex("00 00 01 65 01 02 03"), std::nullopt, 0, 1});
  AddEncodedSample(sample);
  IMFMediaBuffer* buffer = nullptr;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(&buffer), S_OK);
  BYTE* p = nullptr;
  buffer->Lock(&p, nullptr, nullptr);
  p[4] = 0xFF;  // the encoder reuses its buffer: the record must not see it
  buffer->Unlock();
  buffer->Release();
  sample->Release();
  EXPECT_EQ(*Newest().data, Hex("00 00 01 65 01 02 03"));
  EXPECT_NE(Newest().data->data(), p);
}

TEST_F(Intake, NoContiguousBufferStoresNothing) {
  IMFSample* sample = nullptr;
  ASSERT_EQ(CreateSampleObject(&sample), S_OK);  // no buffer at all
  sample->SetUINT32(MFSampleExtension_CleanPoint, 1);
  AddEncodedSample(sample);
  sample->Release();
  EXPECT_TRUE(sampleHistory.samples.empty());
  EXPECT_EQ(sampleHistory.heldBytes, 0u);
}

TEST_F(Intake, BufferThatCannotBeLockedIsReleasedAndDropped) {
  RefusingBuffer buffer;
  IMFSample* sample = nullptr;
  ASSERT_EQ(CreateSampleObject(&sample), S_OK);
  sample->AddBuffer(&buffer);
  const ULONG before = buffer.references;
  AddEncodedSample(sample);
  EXPECT_EQ(buffer.references, before);
  EXPECT_EQ(buffer.unlocks, 0);
  EXPECT_TRUE(sampleHistory.samples.empty());
  sample->Release();
  EXPECT_EQ(buffer.references, 1u);
}

// A current length beyond the buffer's own maximum would have the intake read past the encoder's
// memory: the sample is dropped like one that cannot be locked.
TEST_F(Intake, BufferClaimingMoreThanItHoldsIsDropped) {
  for (const DWORD claimed : {9u, 0x10000u, 0xFFFFFFFFu}) {
    OverclaimingBuffer buffer(claimed);
    IMFSample* sample = nullptr;
    ASSERT_EQ(CreateSampleObject(&sample), S_OK);
    sample->AddBuffer(&buffer);
    AddEncodedSample(sample);
    EXPECT_EQ(buffer.locks, 0);  // unlocked again
    sample->Release();
    EXPECT_EQ(buffer.references, 1u);
  }
  EXPECT_TRUE(sampleHistory.samples.empty());
  EXPECT_EQ(sampleHistory.heldBytes, 0u);

  // All it holds is fine.
  OverclaimingBuffer whole(8);
  IMFSample* sample = nullptr;
  ASSERT_EQ(CreateSampleObject(&sample), S_OK);
  sample->AddBuffer(&whole);
  AddEncodedSample(sample);
  sample->Release();
  ASSERT_EQ(sampleHistory.samples.size(), 1u);
  EXPECT_EQ(*Newest().data, whole.bytes);
}

TEST_F(Intake, RecordingOpensOnTheFirstIdrThatCarriesItsParameterSets) {
  RunRecordingControl(1);
  Feed({Hex("00 00 01 41 9A"), std::nullopt, 0, 333333});  // not a keyframe: nothing yet
  EXPECT_FALSE(FileOpen());
  Feed({Hex("00 00 00 01 09 F0 00 00 00 01 67 4D 40 1F 00 00 00 01 68 EE 00 00 01 65 88 84"), std::nullopt, 333333,
        333333});
  EXPECT_TRUE(FileOpen());
  Feed({Hex("00 00 01 41 9B"), std::nullopt, 666666, 333333});
  RunRecordingControl(0);
  const mp4read::File f = mp4read::ReadFile(testing_files::ReadFileBytes(folder / "rec_20250314_211502.mp4"));
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>({7, 6}));
  EXPECT_EQ(f.movie.sps, Hex("67 4D 40 1F"));
  EXPECT_EQ(f.movie.pps, Hex("68 EE"));
  EXPECT_EQ(sampleHistory.samples.size(), 3u);
}

// The sound's frames join the history beside the picture, sharing their bytes, counted in the
// history's bytes and trimmed with the picture's groups.
TEST_F(Intake, SoundFramesJoinTheHistoryAndAreTrimmedWithThePicture) {
  constexpr std::int64_t kSecond = 10000000;
  const std::vector<std::uint8_t> idr = Hex("00 00 01 65 88 84");
  std::uint64_t pictureBytes = 0;
  // Before the first picture: the last 15 s of sound wait for it, no more.
  std::int64_t nextAudio = -20 * kSecond;
  while (nextAudio < 0) {
    EncodedAudio frame;
    frame.data = std::make_shared<const std::vector<std::uint8_t>>(std::size_t{300}, 0x21);
    frame.time = nextAudio;
    AddEncodedAudio(frame);
    nextAudio += kAacFrameUnits;
  }
  ASSERT_FALSE(sampleHistory.audio.empty());
  EXPECT_GT(sampleHistory.audio.front().time, sampleHistory.audio.back().time - kHistorySpan);
  EXPECT_EQ(sampleHistory.heldBytes, 300u * sampleHistory.audio.size());
  std::shared_ptr<const std::vector<std::uint8_t>> last;
  for (int i = 0; i < 20 * 30; ++i) {
    const std::int64_t time = i * kSecond / 30;
    Feed({i % 60 == 0 ? idr : Hex("00 00 01 41 9A"), std::nullopt, time, 333333});
    while (nextAudio < time) {
      EncodedAudio frame;
      last = std::make_shared<const std::vector<std::uint8_t>>(static_cast<std::size_t>(300 + i % 5), 0x21);
      frame.data = last;
      frame.time = nextAudio;
      AddEncodedAudio(frame);
      nextAudio += kAacFrameUnits;
    }
  }
  ASSERT_FALSE(sampleHistory.audio.empty());
  EXPECT_EQ(sampleHistory.audio.back().data.get(), last.get());  // shared, not copied
  for (const EncodedSample& s : sampleHistory.samples) pictureBytes += s.data->size();
  std::uint64_t soundBytes = 0;
  for (const EncodedAudio& a : sampleHistory.audio) soundBytes += a.data->size();
  EXPECT_EQ(sampleHistory.heldBytes, pictureBytes + soundBytes);
  // The picture's history starts at 4 s now; its sound one frame before it.
  ASSERT_EQ(sampleHistory.samples.front().time, 4 * kSecond);
  EXPECT_GT(sampleHistory.audio.front().time, 4 * kSecond - 2 * kAacFrameUnits);
  EXPECT_LE(sampleHistory.audio.front().time, 4 * kSecond - kAacFrameUnits);
}

// An encoder that publishes its parameter sets only in its output type: the intake asks for them
// when a keyframe arrives without them, before the keyframe goes on to the recording.
struct HeaderSource {
  int reads = 0;
  std::vector<std::uint8_t> sps;
  std::vector<std::uint8_t> pps;
  bool recordingOpenWhenAsked = false;

  static void Read(void* context) {
    auto* self = static_cast<HeaderSource*>(context);
    ++self->reads;
    platform::LockHolder hold(processState.recordingLock);
    self->recordingOpenWhenAsked = recordingFile.handle != platform::kInvalidFile;
    if (!self->sps.empty()) parameterSets.sps = self->sps;
    if (!self->pps.empty()) parameterSets.pps = self->pps;
  }
  ParameterSetSource Source() { return ParameterSetSource{&HeaderSource::Read, this}; }
};

class IntakeWithSource : public Intake {
 protected:
  IntakeWithSource() { parameterSets = ParameterSets{}; }  // the fixture's usable sets are not wanted here

  void FeedWith(const std::vector<std::uint8_t>& bytes, LONGLONG time) {
    IMFSample* sample = MakeSample({bytes, std::nullopt, time, 333333});
    AddEncodedSample(sample, source.Source());
    sample->Release();
  }

  HeaderSource source{0, Hex("67 4D 40 1F EC"), Hex("68 EE 3C 80"), false};
};

TEST_F(IntakeWithSource, KeyframeWithoutParameterSetsAsksAndTheRecordingOpensOnIt) {
  RunRecordingControl(1);
  FeedWith(Hex("00 00 01 41 9A"), 0);  // not a keyframe: not asked
  EXPECT_EQ(source.reads, 0);
  FeedWith(Hex("00 00 00 01 09 F0 00 00 01 65 88 84"), 333333);
  EXPECT_EQ(source.reads, 1);
  EXPECT_FALSE(source.recordingOpenWhenAsked);  // asked before the recording saw the keyframe
  EXPECT_TRUE(FileOpen());
  FeedWith(Hex("00 00 01 65 88 85"), 666666);  // usable now: not asked again
  EXPECT_EQ(source.reads, 1);
  RunRecordingControl(0);
  const mp4read::File f = mp4read::ReadFile(testing_files::ReadFileBytes(folder / "rec_20250314_211502.mp4"));
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>({7, 7}));
  EXPECT_EQ(f.movie.sps, Hex("67 4D 40 1F EC"));
  EXPECT_EQ(f.movie.pps, Hex("68 EE 3C 80"));
}

TEST_F(IntakeWithSource, NotAskedWhenTheSamplesCarryTheParameterSets) {
  FeedWith(Hex("00 00 00 01 67 4D 40 1F AA 00 00 00 01 68 EE 00 00 01 65 88 84"), 0);
  FeedWith(Hex("00 00 01 65 88 85"), 333333);
  EXPECT_EQ(source.reads, 0);
  EXPECT_EQ(parameterSets.sps, Hex("67 4D 40 1F AA"));
}

TEST_F(IntakeWithSource, AskedAgainWhileTheSourceHasNothingEither) {
  source.sps.clear();
  source.pps.clear();
  FeedWith(Hex("00 00 01 65 88 84"), 0);
  FeedWith(Hex("00 00 01 41 9A"), 333333);
  FeedWith(Hex("00 00 01 65 88 85"), 666666);
  // The intake asks at each keyframe without usable sets; the source decides how often it reads.
  EXPECT_EQ(source.reads, 2);
  EXPECT_FALSE(ParameterSetsUsable(parameterSets));
}

}  // namespace
