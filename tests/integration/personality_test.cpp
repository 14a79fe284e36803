// The encoder personalities of the Windows end-to-end tests (tests/wine: registered test encoders
// on Wine's own media framework), here on the stand-in framework through its switches: the same
// main job on each, with an encoder that refuses every output type listed before all others, and
// every file read back frame by frame. The stand-in's software encoder (libx264) encodes the
// host's real pictures, so each file must hold exactly the frames taken, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/media_check.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Quote;
using testing_support::RunCommand;

// The switches each personality is made of, and the configuration line it gives.
struct Personality {
  const char* name;
  std::vector<std::pair<const char*, const char*>> switches;
  const char* using_;
  int typeChanges;
};

void PrintTo(const Personality& p, std::ostream* out) { *out << p.name; }

const char* const kAllSwitches[] = {
    "VISTREL_MEDIAFW_SYNC",           "VISTREL_MEDIAFW_TYPE_CHANGE",     "VISTREL_MEDIAFW_INPUT_ROWS",
    "VISTREL_MEDIAFW_CALLER_SAMPLES", "VISTREL_MEDIAFW_CODECAPI_RECORD", "VISTREL_MEDIAFW_FAIL",
    "VISTREL_MEDIAFW_REPLAY",         "VISTREL_MEDIAFW_INPUT_REQUESTS",  "VISTREL_MEDIAFW_REFUSE_EVERY"};

class Personalities : public testing::TestWithParam<Personality> {
 protected:
  testing_support::TempDir dir;
  fs::path bin, out;

  void SetUp() override {
    bin = dir.path() / "bin";
    out = dir.path() / "out";
    fs::create_directories(bin);
    for (const char* name : {"vistrel", "vistrel-host", "libvistrel-mediafw.so"}) {
      fs::copy_file(fs::path(VISTREL_BIN_DIR) / name, bin / name);
    }
    for (const char* name : kAllSwitches) ::unsetenv(name);
    ::setenv("VISTREL_MEDIAFW_REFUSER", "1", 1);
  }
  void TearDown() override {
    for (const char* name : kAllSwitches) ::unsetenv(name);
    ::unsetenv("VISTREL_MEDIAFW_REFUSER");
  }

  std::vector<std::string> LogMessages() {
    std::ifstream in(bin / "vistrel.log", std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() >= 15 && line.back() == '\r') lines.push_back(line.substr(14, line.size() - 15));
    }
    return lines;
  }
  fs::path OnlyFile(const std::string& pattern) {
    std::vector<fs::path> found;
    const std::regex wanted(pattern);
    for (const auto& e : fs::directory_iterator(out)) {
      if (std::regex_match(e.path().filename().string(), wanted)) found.push_back(e.path());
    }
    EXPECT_EQ(found.size(), 1u) << pattern;
    return found.empty() ? fs::path() : found.front();
  }
  // The frame numbers of a file that decodes cleanly as 1280x720 H.264 Main, all of them read.
  std::vector<std::uint32_t> Frames(const fs::path& file) {
    const auto probe = testing_support::ProbeVideo(file);
    EXPECT_TRUE(probe.ok) << file << ": " << probe.errors;
    EXPECT_EQ(probe.profile, "Main") << file;
    EXPECT_EQ(probe.width, 1280) << file;
    EXPECT_EQ(probe.height, 720) << file;
    const auto decoded = testing_support::DecodeFrameNumbers(file);
    EXPECT_TRUE(decoded.clean) << file << ": " << decoded.errors;
    EXPECT_EQ(static_cast<std::int64_t>(decoded.numbers.size()), probe.frames) << file;
    std::vector<std::uint32_t> numbers;
    for (const auto& n : decoded.numbers) {
      EXPECT_TRUE(n.has_value()) << file;
      if (n) numbers.push_back(*n);
    }
    return numbers;
  }
};

int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// The number in a log line that matches `pattern` with one group; -1 when none does.
long Logged(const std::vector<std::string>& lines, const std::string& pattern) {
  const std::regex re(pattern);
  std::smatch m;
  for (const auto& l : lines) {
    if (std::regex_match(l, m, re)) return std::stol(m[1]);
  }
  return -1;
}

TEST_P(Personalities, MainJobFrameExact) {
  const Personality& p = GetParam();
  const fs::path record = dir.path() / "codec-api.txt";
  for (const auto& [name, value] : p.switches) {
    ::setenv(name, std::string(value) == "RECORD" ? record.c_str() : value, 1);
  }
  // A host whose vistrel stops taking frames would feed the fast clock for ever: 124 after two
  // minutes.
  const auto run = RunCommand("timeout -k 10 120 " + Quote(bin / "vistrel-host") + " --out " + Quote(out) +
                              " --software-encoder --log --fast --record --duration 4 --request death@1 --idle 3");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("status: 1"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("frames: 120 offered, 120 taken"), std::string::npos) << run.output;

  // The refusing encoder is tried first and says why it is dropped; one after it is taken: the
  // software encoder, listed last, on a machine without an encoding GPU, else the first hardware
  // encoder that works here.
  const auto lines = LogMessages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "encoder 0: Encoder that refuses every output type");
  EXPECT_EQ(lines[1], "SetOutputType failed 0xC00D36B4");
  const auto using_ = std::find(lines.begin(), lines.end(), std::string(p.using_));
  ASSERT_NE(using_, lines.end());
  ASSERT_GE(using_ - lines.begin(), 3);
  EXPECT_TRUE(std::regex_match(*(using_ - 1), std::regex("encoder [1-9][0-9]*: .*"))) << *(using_ - 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(p.using_)), 1);
  EXPECT_EQ(Count(lines, "encoder changed its output type"), p.typeChanges);

  // Every frame taken is in the recording, in order from the first; the clip holds what its line
  // says, from a keyframe, in order.
  const auto rec = Frames(OnlyFile("rec_[0-9]{8}_[0-9]{6}\\.mp4"));
  ASSERT_EQ(rec.size(), 120u);
  for (std::uint32_t n = 0; n < rec.size(); ++n) EXPECT_EQ(rec[n], n);
  EXPECT_EQ(Logged(lines, "recording file closed: ok, ([0-9]+) frames"), 120);
  const auto clip = Frames(OnlyFile("clip_[0-9]{8}_[0-9]{6}_death\\.mp4"));
  ASSERT_FALSE(clip.empty());
  EXPECT_EQ(clip.front() % 30, 0u);
  for (std::size_t k = 1; k < clip.size(); ++k) EXPECT_EQ(clip[k], clip[0] + k);
  EXPECT_EQ(Logged(lines, "saved clip_[0-9]{8}_[0-9]{6}_death\\.mp4: ok, ([0-9]+) frames, [0-9.]+ s"),
            static_cast<long>(clip.size()));

  // The codec properties reached every encoder tried (the stand-in records for all of them):
  // constant bit rate, 8,000,000 bit/s, a group of 30, no B-frames, low latency, in that order and
  // nothing else.
  if (fs::exists(record) || std::string(p.name) == "CodecApi") {
    std::ifstream in(record, std::ios::binary);
    const std::string given((std::istreambuf_iterator<char>(in)), {});
    const auto tried = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return std::regex_match(l, std::regex("encoder [0-9]+: .*"));
    });
    std::string expected;
    for (long i = 0; i < tried; ++i) {
      expected +=
          "AVEncCommonRateControlMode VT_UI4 0\n"
          "AVEncCommonMeanBitRate VT_UI4 8000000\n"
          "AVEncMPVGOPSize VT_UI4 30\n"
          "AVEncMPVDefaultBPictureCount VT_UI4 0\n"
          "AVLowLatencyMode VT_BOOL true\n";
    }
    EXPECT_GE(tried, 2);
    EXPECT_EQ(given, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, Personalities,
    testing::Values(
        Personality{"AsyncRequests", {{"VISTREL_MEDIAFW_INPUT_REQUESTS", "3"}}, "  using it: async, input height 720", 0},
        Personality{"AsyncPadded",
                    {{"VISTREL_MEDIAFW_INPUT_ROWS", "736"},
                     {"VISTREL_MEDIAFW_CALLER_SAMPLES", "1"},
                     {"VISTREL_MEDIAFW_TYPE_CHANGE", "1"}},
                    "  using it: async, input height 736",
                    1},
        Personality{"Sync", {{"VISTREL_MEDIAFW_SYNC", "1"}}, "  using it: sync, input height 720", 0},
        Personality{"SyncTypeChange",
                    {{"VISTREL_MEDIAFW_SYNC", "1"}, {"VISTREL_MEDIAFW_TYPE_CHANGE", "1"}},
                    "  using it: sync, input height 720",
                    1},
        Personality{"CodecApi", {{"VISTREL_MEDIAFW_CODECAPI_RECORD", "RECORD"}}, "  using it: async, input height 720",
                    0}),
    [](const testing::TestParamInfo<Personality>& p) { return std::string(p.param.name); });

}  // namespace
