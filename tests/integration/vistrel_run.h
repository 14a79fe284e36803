// A real vistrel process served by this test as its host: the test creates the shared block, feeds
// numbered test pictures from a thread of its own, flips the switches and raises requests while
// the run goes on, and reads the log and the files from outside.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange/layout.h"
#include "host/host_exchange.h"
#include "host/test_picture.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/fault_tools.h"
#include "support/media_check.h"
#include "support/temp_dir.h"

namespace vistrel_run {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr std::int64_t kTicksPerSecond = 10000000;
inline constexpr double kFps = 30;

inline std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The names in folder that match pattern ('*' wildcards), sorted.
inline std::vector<fs::path> FilesIn(const fs::path& folder, const std::string& pattern) {
  std::vector<fs::path> files;
  std::error_code ec;
  const std::u16string wanted = platform::Utf16FromUtf8(pattern);
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (platform::NameMatches(wanted, platform::Utf16FromUtf8(e.path().filename().string()))) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Every byte of every file in folder, by name: what "untouched" is checked against.
inline std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (e.is_regular_file()) files[e.path().filename().string()] = ReadWhole(e.path());
  }
  return files;
}

// The file decodes cleanly as width x height H.264 Main with consecutive frame numbers; returns them.
inline std::vector<std::optional<std::uint32_t>> CheckVideo(const fs::path& file, std::uint32_t width = 1280,
                                                            std::uint32_t height = 720) {
  const auto probe = testing_support::ProbeVideo(file);
  EXPECT_TRUE(probe.ok) << file << ": " << probe.errors;
  EXPECT_EQ(probe.codec, "h264") << file;
  EXPECT_EQ(probe.profile, "Main") << file;
  EXPECT_EQ(probe.width, static_cast<int>(width)) << file;
  EXPECT_EQ(probe.height, static_cast<int>(height)) << file;
  const auto decoded = testing_support::DecodeFrameNumbers(file, width, height);
  EXPECT_TRUE(decoded.clean) << file << ": " << decoded.errors;
  EXPECT_EQ(static_cast<std::int64_t>(decoded.numbers.size()), probe.frames) << file;
  EXPECT_TRUE(testing_support::Consecutive(decoded.numbers)) << file;
  return decoded.numbers;
}

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class VistrelRun : public testing::Test {
 protected:
  testing_support::TempDir dir;
  fs::path bin, out;
  host::HostExchange ex;
  platform::ProcessHandle child;
  bool running = false;
  // The stream of the block Start creates: empty for a version 2 block, given for a version 3 one.
  std::optional<host::HostStream> stream;

  void SetUp() override {
    bin = dir.path() / "bin";
    out = dir.path() / "out";
    fs::create_directories(bin);
    fs::create_directories(out);
    // Each test its own copy of the binaries, so that vistrel.log beside them is its own.
    for (const char* name : {"vistrel", "vistrel-host", "libvistrel-mediafw.so"}) {
      fs::copy_file(fs::path(VISTREL_BIN_DIR) / name, bin / name);
    }
    for (const char* name : {"VISTREL_MEDIAFW_SYNC", "VISTREL_MEDIAFW_TYPE_CHANGE", "VISTREL_MEDIAFW_FAIL",
                             "VISTREL_MEDIAFW_INPUT_REQUESTS", "VISTREL_MEDIAFW_REFUSE_EVERY"}) {
      ::unsetenv(name);
    }
    ::setenv("VISTREL_SOFTWARE_ENCODER", "1", 1);
  }

  void TearDown() override {
    StopFeeding();
    if (running) {
      platform::KillProcess(child);
      std::uint32_t code = 0;
      platform::WaitProcessFor(child, 5000, code);
    }
    ex.Close();
    ::unsetenv("VISTREL_MEDIAFW_FAIL");
  }

  // Creates the block for folder and starts vistrel; true once its encoder is up (status 1).
  bool Start(const fs::path& folder, bool record, bool stopAtOnce = false) {
    host::HostOptions options;
    options.outputFolder = testing_support::TempDir::SystemPath(folder);
    options.clockFrequency = kTicksPerSecond;
    options.log = true;
    options.record = record;
    options.stream = stream;
    ex.Close();
    if (!ex.Create(platform::CurrentProcessId(), options)) return false;
    if (stopAtOnce) ex.SetStopSwitch();
    fed = 0;
    if (!platform::StartProcess(testing_support::TempDir::SystemPath(bin / "vistrel"),
                                {u"--run", platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()))},
                                child)) {
      return false;
    }
    running = true;
    if (stopAtOnce) return true;
    return WaitUntil([&] { return ex.Status() != 0; }, 20000) && ex.Status() == 1;
  }

  // Time stamp of frame n at the block's frame rate (version 2: n/30 s), in kTicksPerSecond ticks.
  std::int64_t StampOf(std::uint64_t n) const {
    const host::HostStream& s = ex.Stream();
    return static_cast<std::int64_t>(n * static_cast<std::uint64_t>(kTicksPerSecond) * s.frameRateDenominator /
                                     s.frameRateNumerator);
  }

  // Frames from a thread of this test: at pace frames per real second, or as fast as vistrel takes
  // them (pace 0), up to frame number last (excluded). Their time stamps are the fast clock's:
  // frame n at n frame durations of the block's rate. Each is the numbered test picture at the
  // block's size, in its pixel format.
  void Feed(double pace = 0, std::uint64_t last = UINT64_MAX) {
    StopFeeding();
    feeding = true;
    feeder = std::thread([this, pace, last] {
      const auto start = Clock::now();
      std::uint64_t n = fed.load();
      const std::uint64_t first = n;
      const host::HostStream s = ex.Stream();
      while (feeding.load() && n < last) {
        if (pace > 0 && Clock::now() < start + std::chrono::duration<double>((n - first) / pace)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        std::uint8_t* slot = ex.NextSlot();
        if (!slot) {
          std::this_thread::sleep_for(std::chrono::microseconds(300));
          continue;
        }
        if (s.pixelFormat == exchange::kPixelFormatNv12) {
          host::DrawTestPictureNv12(slot, s.width, s.height, s.stride, static_cast<std::uint32_t>(n));
        } else {
          host::DrawTestPicture(slot, s.width, s.height, s.stride, static_cast<std::uint32_t>(n));
        }
        ex.SubmitSlot(StampOf(n));
        fed = ++n;
      }
    });
  }
  void StopFeeding() {
    feeding = false;
    if (feeder.joinable()) feeder.join();
  }
  bool WaitFed(std::uint64_t frames, int timeoutMs = 60000) {
    return WaitUntil([&] { return fed.load() >= frames; }, timeoutMs);
  }

  // vistrel's exit code, or -1 when it did not end within ms (it is then killed).
  int WaitExit(std::uint32_t ms = 30000) {
    std::uint32_t code = 0;
    const bool ended = platform::WaitProcessFor(child, ms, code);
    if (!ended) {
      platform::KillProcess(child);
      platform::WaitProcessFor(child, 5000, code);
    }
    running = false;
    return ended ? static_cast<int>(code) : -1;
  }
  int Stop() {
    ex.SetStopSwitch();
    const int code = WaitExit();
    StopFeeding();
    return code;
  }

  std::vector<std::string> LogMessages() {
    std::vector<std::string> lines;
    std::istringstream in(ReadWhole(bin / "vistrel.log"));
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() >= 15 && line.back() == '\r') lines.push_back(line.substr(14, line.size() - 15));
    }
    return lines;
  }
  std::string Log() { return ReadWhole(bin / "vistrel.log"); }
  std::size_t CountLogged(const std::string& prefix) {
    const auto lines = LogMessages();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind(prefix, 0) == 0;
    }));
  }
  // Waits until at least count lines begin with prefix.
  bool WaitLogged(const std::string& prefix, std::size_t count = 1, int timeoutMs = 30000) {
    return WaitUntil([&] { return CountLogged(prefix) >= count; }, timeoutMs);
  }

  std::thread feeder;
  std::atomic<bool> feeding{false};
  std::atomic<std::uint64_t> fed{0};
};

}  // namespace vistrel_run
