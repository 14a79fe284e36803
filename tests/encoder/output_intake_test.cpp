// The output drain with the real intake behind it: where the parameter sets come from when the
// encoder publishes them only in its output type, and that nothing changes when its samples carry
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clips/sample_history.h"
#include "encoder/encoder.h"
#include "fake_framework.h"
#include "mp4/hex.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"

namespace {

const std::vector<std::uint8_t> kHeaderSps = Hex("67 4D 40 1F EC 05");
const std::vector<std::uint8_t> kHeaderPps = Hex("68 EE 3C 80");

std::vector<std::uint8_t> SequenceHeader() {
  std::vector<std::uint8_t> header = Hex("00 00 00 01");
  header.insert(header.end(), kHeaderSps.begin(), kHeaderSps.end());
  header.insert(header.end(), {0, 0, 0, 1});
  header.insert(header.end(), kHeaderPps.begin(), kHeaderPps.end());
  return header;
}

fake::OutputStep Unit(const std::string& hex, LONGLONG time) {
  fake::OutputStep step;
  step.bytes = Hex(hex);
  step.time = time;
  return step;
}

class OutputIntake : public RecordingTest {
 protected:
  OutputIntake() {
    fake::Install();
    sampleHistory = SampleHistory{};
    parameterSets = ParameterSets{};  // none until the encoder gives them
    baseline_ = fake::LiveObjects();
  }

  ~OutputIntake() override {
    if (encoder.transform != nullptr) encoder.transform->Release();
    fake::Clear();
    EXPECT_EQ(fake::LiveObjects(), baseline_) << "fake objects left unreleased";
    sampleHistory = SampleHistory{};
  }

  // A synchronous encoder whose current output type has the given sequence header from the start.
  fake::Transform* Choose(const std::vector<std::uint8_t>& header) {
    auto* t = new fake::Transform;
    t->initialSequenceHeader = header;
    fake::AddCandidate(u"Encoder", t);
    EXPECT_TRUE(SelectEncoder(encoder));
    return t;
  }

  static long Reads(const fake::Transform* t) {
    return std::count(t->calls.begin(), t->calls.end(), "GetOutputCurrentType");
  }

  HardwareEncoder encoder;

 private:
  int baseline_ = 0;
};

TEST_F(OutputIntake, ParameterSetsOnlyInTheOutputTypeStillGiveRecordingsAndClips) {
  fake::Transform* t = Choose(SequenceHeader());
  EXPECT_EQ(Reads(t), 0);
  RunRecordingControl(1);
  t->outputSteps = {Unit("00 00 01 41 9A", 0), Unit("00 00 00 01 09 F0 00 00 01 65 88 84", 333333),
                    Unit("00 00 01 41 9B", 666666)};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(Reads(t), 1);  // at the keyframe, not before
  EXPECT_EQ(parameterSets.sps, kHeaderSps);
  EXPECT_EQ(parameterSets.pps, kHeaderPps);
  EXPECT_TRUE(ParameterSetsUsable(parameterSets));  // what a clip request asks for
  ASSERT_EQ(sampleHistory.samples.size(), 3u);
  EXPECT_TRUE(sampleHistory.samples[1].keyframe);

  t->outputSteps = {Unit("00 00 01 65 88 85", 1000000)};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(Reads(t), 1);  // once only

  // The recording opened on the first keyframe, with the output type's parameter sets.
  RunRecordingControl(0);
  const mp4read::File f = mp4read::ReadFile(testing_files::ReadFileBytes(folder / "rec_20250314_211502.mp4"));
  EXPECT_EQ(f.movie.stsz, std::vector<std::uint32_t>({7, 6, 7}));
  EXPECT_EQ(f.movie.sps, kHeaderSps);
  EXPECT_EQ(f.movie.pps, kHeaderPps);
}

TEST_F(OutputIntake, ParameterSetsInTheSamplesLeaveTheOutputTypeUnread) {
  fake::Transform* t = Choose(SequenceHeader());
  t->outputSteps = {Unit("00 00 00 01 67 4D 40 1F AA 00 00 00 01 68 EE 00 00 01 65 88 84", 0),
                    Unit("00 00 01 41 9A", 333333), Unit("00 00 01 65 88 85", 666666)};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(Reads(t), 0);
  EXPECT_EQ(parameterSets.sps, Hex("67 4D 40 1F AA"));
  EXPECT_EQ(parameterSets.pps, Hex("68 EE"));
}

TEST_F(OutputIntake, OutputTypeWithoutHeaderIsAskedOnce) {
  fake::Transform* t = Choose({});
  t->outputSteps = {Unit("00 00 01 65 88 84", 0), Unit("00 00 01 65 88 85", 333333)};
  EXPECT_TRUE(DrainOutput(encoder));
  t->outputSteps = {Unit("00 00 01 65 88 86", 666666)};
  EXPECT_TRUE(DrainOutput(encoder));
  EXPECT_EQ(Reads(t), 1);
  EXPECT_FALSE(ParameterSetsUsable(parameterSets));
  EXPECT_EQ(sampleHistory.samples.size(), 3u);
}

}  // namespace
