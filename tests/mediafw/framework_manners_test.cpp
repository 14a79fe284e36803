// The manners of hardware encoders that libvistrel-mediafw.so takes on through its switches, from
// outside: an encoder listed first that refuses every output type, padded input surfaces, a record
// of the codec properties given, and the replaying encoder that stands in for an encoder's work.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "clips/annexb.h"
#include "mediafw/framework_driver.h"
#include "mediafw/h264_checks.h"
#include "mediafw/replay_codec.h"

namespace {

using namespace mediafw_driver;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The NAL units of an Annex B access unit, without their start codes.
std::vector<std::vector<std::uint8_t>> Nals(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::vector<std::uint8_t>> nals;
  ScanAnnexB(bytes.data(), bytes.size(), [&](const NalUnit& nal) {
    nals.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(nal.start),
                      bytes.begin() + static_cast<std::ptrdiff_t>(nal.start + nal.length));
  });
  return nals;
}

class Manners : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    loaded_ = LoadFramework(VISTREL_MEDIAFW_PATH, &framework_, &error);
    if (!loaded_) loadError_ = error;
  }
  void SetUp() override { ASSERT_TRUE(loaded_) << loadError_; }

  // Feeds `count` test frames from frame 0 on and takes everything that comes out.
  Collected Encode(Encoder& encoder, int count, LONGLONG firstTime = 0) {
    Collected collected;
    std::vector<std::uint8_t> frame(kFrameBytes);
    for (int i = 0; i < count && collected.error.empty(); ++i) {
      DrawTestFrame(i, frame.data());
      EXPECT_TRUE(SubmitFrame(framework_, encoder, frame.data(), firstTime + i * kFrameDuration, &collected))
          << "frame " << i << ": " << collected.error;
    }
    EXPECT_TRUE(CollectRemaining(framework_, encoder, &collected)) << collected.error;
    return collected;
  }

  static Framework framework_;
  static bool loaded_;
  static std::string loadError_;
};

Framework Manners::framework_;
bool Manners::loaded_ = false;
std::string Manners::loadError_;

TEST_F(Manners, RefuserIsListedFirstAndRefusesEveryOutputType) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  std::vector<Candidate> plain;
  ASSERT_EQ(EnumerateEncoders(framework_, &plain), S_OK);
  ASSERT_FALSE(plain.empty());
  EXPECT_NE(plain.front().friendlyName, "Encoder that refuses every output type");

  ScopedEnvironment refuser("VISTREL_MEDIAFW_REFUSER", "1");
  std::vector<Candidate> candidates;
  ASSERT_EQ(EnumerateEncoders(framework_, &candidates), S_OK);
  ASSERT_EQ(candidates.size(), plain.size() + 1);
  EXPECT_EQ(candidates.front().friendlyName, "Encoder that refuses every output type");
  for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(candidates[i + 1].friendlyName, plain[i].friendlyName);

  IMFTransform* transform = nullptr;
  ASSERT_EQ(candidates.front().activate->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(&transform)), S_OK);
  Encoder encoder;
  std::string failedStep;
  EXPECT_EQ(ConfigureEncoder(framework_, transform, Configuration{}, &encoder, &failedStep), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(failedStep, "SetOutputType");
  transform->Release();
  ReleaseCandidates(&candidates);
  ReleaseCandidates(&plain);

  // The encoders after it work as before.
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  ReleaseEncoder(&encoder);
}

TEST_F(Manners, PaddedInputRefusesABufferWithoutThePadding) {
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment rows("VISTREL_MEDIAFW_INPUT_ROWS", "736");
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  MFT_INPUT_STREAM_INFO info{};
  ASSERT_EQ(encoder.transform->GetInputStreamInfo(0, &info), S_OK);
  EXPECT_EQ(info.cbSize, 1280u * 736 * 3 / 2);
  EXPECT_EQ(encoder.inputHeight, 736u);

  // The first input request is outstanding since the start of the stream.
  const std::vector<std::uint8_t> frame = TestFrame(0);
  IMFSample* unpadded = MakeInputSample(framework_, frame.data(), 720, 0);
  ASSERT_NE(unpadded, nullptr);
  EXPECT_EQ(encoder.transform->ProcessInput(0, unpadded, 0), E_INVALIDARG);
  unpadded->Release();
  IMFSample* padded = MakeInputSample(framework_, frame.data(), 736, 0);
  ASSERT_NE(padded, nullptr);
  EXPECT_EQ(encoder.transform->ProcessInput(0, padded, 0), S_OK);
  padded->Release();
  ReleaseEncoder(&encoder);
}

TEST_F(Manners, CodecPropertiesAreRecordedAsGiven) {
  h264_checks::TempFile record(".txt");
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment switchOn("VISTREL_MEDIAFW_CODECAPI_RECORD", record.path().c_str());
  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  ReleaseEncoder(&encoder);
  EXPECT_EQ(ReadText(record.path()),
            "AVEncCommonRateControlMode VT_UI4 0\n"
            "AVEncCommonMeanBitRate VT_UI4 8000000\n"
            "AVEncMPVGOPSize VT_UI4 30\n"
            "AVEncMPVDefaultBPictureCount VT_UI4 0\n"
            "AVLowLatencyMode VT_BOOL true\n");

  // Appended, call by call: what is left out is missing, what is given otherwise shows.
  Configuration other;
  other.gopSize = 0;
  other.lowLatency = false;
  ASSERT_EQ(OpenLastCandidate(framework_, other, &encoder, &failedStep), S_OK) << failedStep;
  ReleaseEncoder(&encoder);
  const std::string text = ReadText(record.path());
  EXPECT_EQ(text.substr(text.find("AVLowLatencyMode VT_BOOL true\n") + 30),
            "AVEncCommonRateControlMode VT_UI4 0\n"
            "AVEncCommonMeanBitRate VT_UI4 8000000\n"
            "AVEncMPVDefaultBPictureCount VT_UI4 0\n"
            "AVLowLatencyMode VT_BOOL false\n");
}

TEST(ReplayStream, SplitsPicturesAndDropsDelimiters) {
  // AUD SPS PPS IDR IDR' | AUD slice | SEI slice | slice slice', with three- and four-byte start
  // codes; a slice whose second byte has its top bit set is a picture's first (first_mb_in_slice 0),
  // a primed one continues the picture.
  const std::vector<std::uint8_t> bytes = {
      0, 0, 0, 1, 9, 0xF0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x65, 0x84, 5, 0, 0, 1, 0x65, 0x24, 6,
      0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41, 0x86, 0, 0, 1, 0x06, 7, 0, 0, 1, 0x41, 0x88,
      0, 0, 1, 0x41, 0x89, 0, 0, 1, 0x41, 0x2A};
  const mediafw::ReplayStream stream = mediafw::ReplayStream::Split(bytes.data(), bytes.size());
  ASSERT_EQ(stream.units.size(), 4u);
  EXPECT_EQ(stream.units[0].bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1,
                                                              0x65, 0x84, 5, 0, 0, 0, 1, 0x65, 0x24, 6}));
  EXPECT_TRUE(stream.units[0].keyframe);
  EXPECT_EQ(stream.units[1].bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x41, 0x86}));
  EXPECT_FALSE(stream.units[1].keyframe);
  EXPECT_EQ(stream.units[2].bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x06, 7, 0, 0, 0, 1, 0x41, 0x88}));
  EXPECT_FALSE(stream.units[2].keyframe);
  EXPECT_EQ(stream.units[3].bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x41, 0x89, 0, 0, 0, 1, 0x41, 0x2A}));

  // Parameter sets alone are no stream; neither is a missing file.
  const std::vector<std::uint8_t> headers = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3};
  EXPECT_TRUE(mediafw::ReplayStream::Split(headers.data(), headers.size()).units.empty());
  h264_checks::TempFile file(".h264");
  ASSERT_TRUE(file.Write(headers));
  EXPECT_EQ(mediafw::ReplayStream::Read(file.path()), nullptr);
  EXPECT_EQ(mediafw::ReplayStream::Read(file.path() + ".missing"), nullptr);
}

// A stream libx264 records through ffmpeg: frames of its test source at a size, profile and keyframe
// spacing, each access unit with its parameter sets. Empty when ffmpeg fails.
std::shared_ptr<const mediafw::ReplayStream> RecordWithFfmpeg(const std::string& size, const std::string& profile,
                                                              int gop, int frames) {
  h264_checks::TempFile file(".h264");
  const h264_checks::CommandResult result = h264_checks::Run(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=" + size + ":rate=30 -frames:v " + std::to_string(frames) +
      " -pix_fmt yuv420p -c:v libx264 -preset veryfast -profile:v " + profile + " -g " + std::to_string(gop) +
      " -bf 0 -x264-params repeat-headers=1:keyint=" + std::to_string(gop) + ":min-keyint=" + std::to_string(gop) +
      ":scenecut=0 -f h264 -y " + file.path());
  EXPECT_EQ(result.exitCode, 0) << result.output;
  return mediafw::ReplayStream::Read(file.path());
}

// What a stream was recorded with comes from the stream itself: the cropped picture size and the
// profile from its sequence parameter set, the keyframe spacing from its pictures, the loop back to
// the first included. A codec replays only the stream recorded with the settings it is opened with.
TEST(ReplayStream, RecordedSettingsComeFromTheStream) {
  const auto main360 = RecordWithFfmpeg("640x360", "main", 60, 120);
  const auto high180 = RecordWithFfmpeg("320x180", "high", 15, 30);
  ASSERT_NE(main360, nullptr);
  ASSERT_NE(high180, nullptr);
  EXPECT_EQ(main360->recorded.width, 640);
  EXPECT_EQ(main360->recorded.height, 360);
  EXPECT_EQ(main360->recorded.profile, 77);
  EXPECT_EQ(main360->recorded.gopSize, 60);
  EXPECT_EQ(high180->recorded.width, 320);
  EXPECT_EQ(high180->recorded.height, 180);
  EXPECT_EQ(high180->recorded.profile, 100);
  EXPECT_EQ(high180->recorded.gopSize, 15);

  // Cut after a group and a half: the loop would come back to the first keyframe 30 pictures after
  // the last, so the spacing is not one, and the stream matches no settings.
  std::vector<std::uint8_t> cut;
  for (std::size_t i = 0; i < 90; ++i) {
    cut.insert(cut.end(), main360->units[i].bytes.begin(), main360->units[i].bytes.end());
  }
  auto uneven = std::make_shared<mediafw::ReplayStream>(mediafw::ReplayStream::Split(cut.data(), cut.size()));
  ASSERT_EQ(uneven->units.size(), 90u);
  EXPECT_EQ(uneven->recorded.gopSize, 0);

  // A sequence parameter set cut short is not read.
  const std::vector<std::uint8_t>& first = main360->units[0].bytes;
  mediafw::RecordedSettings settings;
  EXPECT_FALSE(mediafw::ReadSequenceParameters(first.data() + 4, 8, settings));

  mediafw::ReplayCodec codec([&] { return mediafw::ReplayCodec::Streams{nullptr, uneven, high180, main360}; });
  mediafw::EncoderSettings asked;
  asked.width = 640;
  asked.height = 360;
  asked.gopSize = 60;
  ASSERT_TRUE(codec.Open(asked));
  std::deque<mediafw::EncodedPacket> out;
  ASSERT_TRUE(codec.Encode(nullptr, nullptr, 640, 0, 0, out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, main360->units[0].bytes.data());
  asked.profile = 100;
  EXPECT_FALSE(codec.Open(asked));
  asked.width = 320;
  asked.height = 180;
  EXPECT_FALSE(codec.Open(asked));  // the 320x180 stream has a group of 15
  asked.gopSize = 15;
  EXPECT_TRUE(codec.Open(asked));
  EXPECT_FALSE(codec.Open(mediafw::EncoderSettings{}));  // 1280x720: not recorded
}

// The replaying encoder gives the recorded access units in order and in a loop, one for each frame
// taken, with that frame's time; it is the only encoder listed.
TEST_F(Manners, ReplayEncoderReplaysTheRecordedUnitsInALoop) {
  constexpr int kRecorded = 60;
  h264_checks::TempFile file(".h264");
  std::vector<std::vector<std::uint8_t>> recorded;
  {
    ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
    Encoder encoder;
    std::string failedStep;
    ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
    Collected collected = Encode(encoder, kRecorded);
    ReleaseEncoder(&encoder);
    ASSERT_EQ(collected.units.size(), static_cast<std::size_t>(kRecorded));
    std::vector<std::uint8_t> stream;
    for (const AccessUnit& unit : collected.units) {
      recorded.push_back(unit.bytes);
      stream.insert(stream.end(), unit.bytes.begin(), unit.bytes.end());
    }
    ASSERT_TRUE(file.Write(stream));
  }

  ScopedEnvironment replay("VISTREL_MEDIAFW_REPLAY", file.path().c_str());
  std::vector<Candidate> candidates;
  ASSERT_EQ(EnumerateEncoders(framework_, &candidates), S_OK);
  ASSERT_EQ(candidates.size(), 1u);
  const std::string name = file.path().substr(file.path().rfind('/') + 1);
  EXPECT_EQ(candidates[0].friendlyName, "Replaying H.264 encoder (" + name + ")");
  ReleaseCandidates(&candidates);

  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  constexpr LONGLONG kFirstTime = 7654321;
  Collected collected = Encode(encoder, 2 * kRecorded + 10, kFirstTime);
  ReleaseEncoder(&encoder);
  ASSERT_EQ(collected.units.size(), static_cast<std::size_t>(2 * kRecorded + 10));
  std::vector<std::uint8_t> replayed;
  for (std::size_t i = 0; i < collected.units.size(); ++i) {
    SCOPED_TRACE("access unit " + std::to_string(i));
    const AccessUnit& unit = collected.units[i];
    EXPECT_EQ(Nals(unit.bytes), Nals(recorded[i % kRecorded]));
    EXPECT_EQ(unit.time, kFirstTime + static_cast<LONGLONG>(i) * kFrameDuration);
    EXPECT_EQ(unit.duration, kFrameDuration);
    EXPECT_EQ(unit.cleanPoint, i % 30 == 0);
    replayed.insert(replayed.end(), unit.bytes.begin(), unit.bytes.end());
  }
  // The loop starts again at a keyframe: the whole decodes.
  h264_checks::TempFile out(".h264");
  ASSERT_TRUE(out.Write(replayed));
  const h264_checks::CommandResult decode = h264_checks::DecodeWithFfmpeg(out.path());
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.output, "");
}

// Settings other than the recording's, or no stream to replay, and the encoder does not start
// streaming, as a hardware encoder that cannot give what it is asked for.
TEST_F(Manners, ReplayEncoderStartsOnlyWithTheRecordedSettingsAndAStream) {
  h264_checks::TempFile file(".h264");
  {
    ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
    Encoder encoder;
    std::string failedStep;
    ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
    Collected collected = Encode(encoder, 30);
    ReleaseEncoder(&encoder);
    std::vector<std::uint8_t> stream;
    for (const AccessUnit& unit : collected.units) stream.insert(stream.end(), unit.bytes.begin(), unit.bytes.end());
    ASSERT_TRUE(file.Write(stream));
  }
  Encoder encoder;
  std::string failedStep;
  {
    ScopedEnvironment replay("VISTREL_MEDIAFW_REPLAY", file.path().c_str());
    Configuration longerGroups;
    longerGroups.gopSize = 60;
    EXPECT_TRUE(FAILED(OpenLastCandidate(framework_, longerGroups, &encoder, &failedStep)));
    EXPECT_EQ(failedStep, "BEGIN_STREAMING");
    ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
    ReleaseEncoder(&encoder);
  }
  const std::string missing = file.path() + ".missing";
  ScopedEnvironment replay("VISTREL_MEDIAFW_REPLAY", missing.c_str());
  EXPECT_TRUE(FAILED(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep)));
  EXPECT_EQ(failedStep, "BEGIN_STREAMING");
}

// Rates a host may state in 32-bit terms reach the codec's int fraction as the same rate: a term
// above 2^31 once reached libx264 as a negative rate.
TEST(CodecFrameRateTest, SameRateInIntTerms) {
  struct Case {
    std::uint32_t num, den;
    int wantNum, wantDen;
  };
  const Case cases[] = {{30, 1, 30, 1},
                        {30000, 1001, 30000, 1001},
                        {60, 2, 30, 1},
                        {4294967280u, 17895697u, 240, 1},
                        {4294967295u, 4294967295u, 1, 1},
                        {4294967291u, 17895697u, 2147483646, 8947849}};  // no common divisor: halved
  for (const Case& c : cases) {
    int num = 0, den = 0;
    mediafw::CodecFrameRate(c.num, c.den, &num, &den);
    EXPECT_EQ(num, c.wantNum) << c.num << "/" << c.den;
    EXPECT_EQ(den, c.wantDen) << c.num << "/" << c.den;
  }
}

}  // namespace
