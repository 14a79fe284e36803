// The native half of the C# binding's test: writes the numbered test pictures the Mono program
// hands over, and reads the clips it left back frame by frame.
//
//   csharp_test_helper frames FILE WIDTH HEIGHT COUNT   COUNT packed BGRA pictures 0, 1, 2, ...
//   csharp_test_helper check FOLDER WIDTH HEIGHT COUNT  every clip_*.mp4: clean, consecutive from a
//                                                       keyframe, none past COUNT
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/test_picture.h"
#include "support/media_check.h"

namespace {

int WriteFrames(const std::string& file, std::uint32_t width, std::uint32_t height, std::uint32_t count) {
  std::ofstream out(file, std::ios::binary);
  std::vector<std::uint8_t> frame(std::size_t{width} * height * 4);
  for (std::uint32_t n = 0; n < count; ++n) {
    host::DrawTestPicture(frame.data(), width, height, std::size_t{width} * 4, n);
    out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
  }
  return out.good() ? 0 : 1;
}

int CheckClips(const std::string& folder, std::uint32_t width, std::uint32_t height, std::uint32_t count) {
  int clips = 0, failed = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("clip_", 0) != 0 || e.path().extension() != ".mp4") continue;
    ++clips;
    const auto probe = testing_support::ProbeVideo(e.path());
    const auto decoded = testing_support::DecodeFrameNumbers(e.path(), width, height);
    const auto& numbers = decoded.numbers;
    const bool ok = probe.ok && probe.width == static_cast<int>(width) && probe.height == static_cast<int>(height) &&
                    decoded.clean && !numbers.empty() && static_cast<std::int64_t>(numbers.size()) == probe.frames &&
                    testing_support::Consecutive(numbers) && *numbers.front() % 30 == 0 && *numbers.back() < count;
    std::printf("%s: %zu frames, %s\n", name.c_str(), numbers.size(), ok ? "frame-exact" : "WRONG");
    if (!ok) {
      std::printf("%s%s", probe.errors.c_str(), decoded.errors.c_str());
      ++failed;
    }
  }
  if (clips == 0) std::printf("no clip in %s\n", folder.c_str());
  return clips > 0 && failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: csharp_test_helper frames|check PATH WIDTH HEIGHT COUNT\n");
    return 2;
  }
  const std::string mode = argv[1];
  const auto width = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  const auto height = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
  const auto count = static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10));
  if (mode == "frames") return WriteFrames(argv[2], width, height, count);
  if (mode == "check") return CheckClips(argv[2], width, height, count);
  return 2;
}
