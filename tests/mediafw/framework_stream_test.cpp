// libvistrel-mediafw.so end to end with its software encoder: loaded and configured the way the
// system does it, fed 300 frames of a moving picture, its output checked by a real decoder. Every
// mode of the framework: asynchronous and synchronous, with and without an output type change, and
// an asynchronous encoder with padded input surfaces and the caller's output samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "mediafw/framework_driver.h"
#include "mediafw/h264_checks.h"

namespace {

using namespace mediafw_driver;

constexpr int kFrames = 300;
constexpr LONGLONG kFirstTime = 1234567;  // not a multiple of the frame duration: times pass through

struct Mode {
  const char* name;
  bool sync;
  bool typeChange;
  const char* inputRows = nullptr;  // VISTREL_MEDIAFW_INPUT_ROWS
  bool callerSamples = false;       // VISTREL_MEDIAFW_CALLER_SAMPLES
};

void PrintTo(const Mode& mode, std::ostream* out) { *out << mode.name; }

class FrameworkStream : public testing::TestWithParam<Mode> {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    loaded_ = LoadFramework(VISTREL_MEDIAFW_PATH, &framework_, &error);
    if (!loaded_) loadError_ = error;
  }

  void SetUp() override { ASSERT_TRUE(loaded_) << loadError_; }

  static Framework framework_;
  static bool loaded_;
  static std::string loadError_;
};

Framework FrameworkStream::framework_;
bool FrameworkStream::loaded_ = false;
std::string FrameworkStream::loadError_;

TEST_P(FrameworkStream, EncodesThreeHundredFramesADecoderAccepts) {
  const Mode mode = GetParam();
  ScopedEnvironment software("VISTREL_SOFTWARE_ENCODER", "1");
  ScopedEnvironment sync("VISTREL_MEDIAFW_SYNC", mode.sync ? "1" : nullptr);
  ScopedEnvironment typeChange("VISTREL_MEDIAFW_TYPE_CHANGE", mode.typeChange ? "1" : nullptr);
  ScopedEnvironment inputRows("VISTREL_MEDIAFW_INPUT_ROWS", mode.inputRows);
  ScopedEnvironment callerSamples("VISTREL_MEDIAFW_CALLER_SAMPLES", mode.callerSamples ? "1" : nullptr);

  Encoder encoder;
  std::string failedStep;
  ASSERT_EQ(OpenLastCandidate(framework_, Configuration{}, &encoder, &failedStep), S_OK) << failedStep;
  EXPECT_EQ(encoder.isAsync, !mode.sync);
  EXPECT_EQ(encoder.providesSamples, !mode.sync && !mode.callerSamples);
  EXPECT_EQ(encoder.outputBufferSize, mode.sync ? 2000000u : 2097152u);  // async: cbSize 0, the default
  // The rows the encoder asked for; the driver's buffers then hold them, the chroma plane after.
  EXPECT_EQ(encoder.inputHeight, mode.inputRows != nullptr ? 736u : 720u);
  EXPECT_EQ(encoder.events != nullptr, !mode.sync);

  Collected collected;
  std::vector<std::uint8_t> frame(kFrameBytes);
  for (int i = 0; i < kFrames; ++i) {
    DrawTestFrame(i, frame.data());
    ASSERT_TRUE(SubmitFrame(framework_, encoder, frame.data(), kFirstTime + i * kFrameDuration, &collected))
        << "frame " << i << ": " << collected.error;
  }
  ASSERT_TRUE(CollectRemaining(framework_, encoder, &collected)) << collected.error;
  ReleaseEncoder(&encoder);

  // One access unit per frame, in order, with the frame's time and duration.
  ASSERT_EQ(collected.units.size(), static_cast<std::size_t>(kFrames));
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < kFrames; ++i) {
    const AccessUnit& unit = collected.units[static_cast<std::size_t>(i)];
    SCOPED_TRACE("access unit " + std::to_string(i));
    EXPECT_EQ(unit.time, kFirstTime + i * kFrameDuration);
    EXPECT_EQ(unit.duration, kFrameDuration);
    // Groups of exactly 30 frames: clean points there and nowhere else.
    EXPECT_EQ(unit.cleanPoint, i % 30 == 0);
    std::vector<int> types = h264_checks::NalTypes(unit.bytes);
    std::size_t idr = 0;
    while (idr < types.size() && types[idr] != 5) ++idr;
    if (unit.cleanPoint) {
      // SPS and PPS come before the IDR picture's first slice.
      ASSERT_LT(idr, types.size());
      bool sps = false;
      bool pps = false;
      for (std::size_t k = 0; k < idr; ++k) {
        sps = sps || types[k] == 7;
        pps = pps || types[k] == 8;
      }
      EXPECT_TRUE(sps && pps);
    } else {
      EXPECT_EQ(idr, types.size());
      EXPECT_NE(std::find(types.begin(), types.end(), 1), types.end());
    }
    stream.insert(stream.end(), unit.bytes.begin(), unit.bytes.end());
  }

  // Synchronously, the frame after the change finds the first access unit still waiting.
  EXPECT_EQ(collected.notAccepting, mode.sync && mode.typeChange ? 1 : 0);
  if (mode.typeChange) {
    EXPECT_EQ(collected.typeChanges, 1);
    std::vector<std::uint8_t> expected = {0, 0, 0, 1};
    std::vector<std::uint8_t> sps = h264_checks::FirstNal(collected.units[0].bytes, 7);
    std::vector<std::uint8_t> pps = h264_checks::FirstNal(collected.units[0].bytes, 8);
    ASSERT_FALSE(sps.empty());
    ASSERT_FALSE(pps.empty());
    expected.insert(expected.end(), sps.begin(), sps.end());
    expected.insert(expected.end(), {0, 0, 0, 1});
    expected.insert(expected.end(), pps.begin(), pps.end());
    EXPECT_EQ(collected.sequenceHeader, expected);
  } else {
    EXPECT_EQ(collected.typeChanges, 0);
    EXPECT_TRUE(collected.sequenceHeader.empty());
  }

  h264_checks::TempFile file(".h264");
  ASSERT_TRUE(file.Write(stream));
  h264_checks::CommandResult decode = h264_checks::DecodeWithFfmpeg(file.path());
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.output, "");

  std::map<std::string, std::string> probe = h264_checks::ProbeVideoStream(file.path());
  EXPECT_EQ(probe["exit"], "0");
  EXPECT_EQ(probe["profile"], "Main");
  EXPECT_EQ(probe["width"], "1280");
  EXPECT_EQ(probe["height"], "720");
  EXPECT_EQ(probe["pix_fmt"], "yuv420p");
  EXPECT_EQ(probe["color_range"], "tv");
  EXPECT_EQ(probe["color_space"], "bt709");
  EXPECT_EQ(probe["color_primaries"], "bt709");
  EXPECT_EQ(probe["nb_read_packets"], std::to_string(kFrames));

  // The decoded pictures are the pictures fed in, luma and chroma in their places, to the last.
  const std::vector<int> checked = {0, 1, 149, 299};
  std::vector<std::vector<std::uint8_t>> decoded = h264_checks::DecodeFrames(file.path(), checked, kWidth, kHeight);
  ASSERT_EQ(decoded.size(), checked.size());
  for (std::size_t k = 0; k < checked.size(); ++k) {
    std::vector<std::uint8_t> source = TestFrame(checked[k]);
    const std::size_t luma = static_cast<std::size_t>(kWidth) * kHeight;
    EXPECT_GT(h264_checks::Psnr(source.data(), decoded[k].data(), luma), 35.0) << "luma of frame " << checked[k];
    EXPECT_GT(h264_checks::Psnr(source.data() + luma, decoded[k].data() + luma, luma / 2), 35.0)
        << "chroma of frame " << checked[k];
  }
}

const Mode kModes[] = {
    {"Async", false, false},
    {"AsyncTypeChange", false, true},
    {"Sync", true, false},
    {"SyncTypeChange", true, true},
    {"AsyncPaddedCallerSamplesTypeChange", false, true, "736", true},
};

INSTANTIATE_TEST_SUITE_P(EveryMode, FrameworkStream, testing::ValuesIn(kModes),
                         [](const testing::TestParamInfo<Mode>& p) { return std::string(p.param.name); });

}  // namespace
