// A real vistrel run driven only through the C host library, as a game would: a version 3 block,
// vistrel started from beside the library, three seconds of numbered test pictures, a clip, the
// stop; the clip decodes to exactly the frames handed over, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vistrel_host.h"
#include "host/test_picture.h"
#include "support/media_check.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWidth = 640;
constexpr std::uint32_t kHeight = 360;
constexpr std::uint32_t kFrames = 90;  // 3 s at 30 a second
constexpr std::int64_t kTicks = 10000000;

std::vector<fs::path> Clips(const fs::path& folder) {
  std::vector<fs::path> clips;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("clip_", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".mp4") {
      clips.push_back(e.path());
    }
  }
  std::sort(clips.begin(), clips.end());
  return clips;
}

TEST(HostApiRun, AClipOfTheFramesHandedOverThroughTheLibrary) {
  ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  testing_support::TempDir dir;
  vistrel_host_options o{};
  o.width = kWidth;
  o.height = kHeight;
  o.frame_rate_numerator = 30;
  o.frame_rate_denominator = 1;
  o.clock_frequency = kTicks;
  vistrel_host* h = nullptr;
  ASSERT_EQ(vistrel_host_create(dir.path().string().c_str(), &o, &h), VISTREL_HOST_OK);
  ASSERT_EQ(vistrel_host_start(h, nullptr), VISTREL_HOST_OK);

  // No time limits of their own: a slow machine takes longer, a stuck run ends at the harness's.
  std::int32_t status = 0;
  std::uint32_t beat = 0;
  while (status == 0) {
    ASSERT_EQ(vistrel_host_read_status(h, &status, &beat), VISTREL_HOST_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(status, VISTREL_HOST_STATUS_RUNNING);
  std::int32_t alive = 0;
  for (int i = 0; i < 1000 && !alive; ++i) {
    ASSERT_EQ(vistrel_host_alive(h, 60000, &alive), VISTREL_HOST_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(alive, 1);

  std::vector<std::uint8_t> frame(std::size_t{kWidth} * kHeight * 4);
  for (std::uint32_t n = 0; n < kFrames; ++n) {
    host::DrawTestPicture(frame.data(), kWidth, kHeight, std::size_t{kWidth} * 4, n);
    const std::int64_t time = std::int64_t{n} * kTicks / 30;
    vistrel_host_result r;
    while ((r = vistrel_host_submit_frame(h, frame.data(), frame.size(), 0, time)) == VISTREL_HOST_BUSY) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_EQ(r, VISTREL_HOST_OK) << "frame " << n;
  }
  std::uint64_t taken = 0;
  while (taken < kFrames) {
    ASSERT_EQ(vistrel_host_frames_taken(h, &taken), VISTREL_HOST_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // A key clip is saved at once; asked again while the encoder has given no keyframe yet.
  for (int attempt = 0; attempt < 60 && Clips(dir.path()).empty(); ++attempt) {
    ASSERT_EQ(vistrel_host_request_clip(h, VISTREL_HOST_CLIP_KEY), VISTREL_HOST_OK);
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < until && Clips(dir.path()).empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  std::int32_t code = -1;
  vistrel_host_result r = VISTREL_HOST_TIMEOUT;
  while (r == VISTREL_HOST_TIMEOUT) r = vistrel_host_stop(h, 1000, &code);
  ASSERT_EQ(r, VISTREL_HOST_OK);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(vistrel_host_alive(h, 60000, &alive), VISTREL_HOST_OK);
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(vistrel_host_destroy(h), VISTREL_HOST_OK);

  const auto clips = Clips(dir.path());
  ASSERT_FALSE(clips.empty());
  for (const fs::path& clip : clips) {
    SCOPED_TRACE(clip.string());
    EXPECT_NE(clip.filename().string().find("_key"), std::string::npos);
    const auto probe = testing_support::ProbeVideo(clip);
    EXPECT_TRUE(probe.ok) << probe.errors;
    EXPECT_EQ(probe.width, static_cast<int>(kWidth));
    EXPECT_EQ(probe.height, static_cast<int>(kHeight));
    EXPECT_EQ(probe.frameRate, "30/1");
    const auto decoded = testing_support::DecodeFrameNumbers(clip, kWidth, kHeight);
    EXPECT_TRUE(decoded.clean) << decoded.errors;
    ASSERT_FALSE(decoded.numbers.empty());
    EXPECT_EQ(static_cast<std::int64_t>(decoded.numbers.size()), probe.frames);
    EXPECT_TRUE(testing_support::Consecutive(decoded.numbers));
    ASSERT_TRUE(decoded.numbers.front().has_value());
    ASSERT_TRUE(decoded.numbers.back().has_value());
    EXPECT_EQ(*decoded.numbers.front() % 30, 0u) << "a clip starts at a keyframe";
    EXPECT_LT(*decoded.numbers.back(), kFrames);
  }
}

}  // namespace
