// How much resident memory a full history costs beyond the bytes it holds: 60 s of 40 KB access
// units go through the intake (trimming to 15-16 s as they come), then the process's resident size
// is compared with its size before and with the history's byte count.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bench_samples.h"
#include "clips/sample_history.h"

namespace {

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main() {
  // Encoder-like buffers made up front, so that only the history's own memory is new afterwards.
  std::vector<std::vector<std::uint8_t>> units;
  for (int i = 0; i < 60; ++i) units.push_back(bench_samples::AccessUnit(i % 30 == 0, 40000, static_cast<std::uint32_t>(i)));
  IMFSample* samples[60];
  for (int i = 0; i < 60; ++i) samples[i] = bench_samples::FrameworkSample(units[static_cast<std::size_t>(i)], i % 30 == 0);

  const long before = ResidentKiB();
  for (int frame = 0; frame < 60 * 30; ++frame) {
    IMFSample* s = samples[frame % 60];
    s->SetSampleTime(static_cast<LONGLONG>(frame) * 10000000 / 30);
    AddEncodedSample(s);
  }
  const long after = ResidentKiB();
  const double held = static_cast<double>(sampleHistory.heldBytes);
  const double grown = static_cast<double>(after - before) * 1024.0;
  std::printf("history: %zu records, %.2f MB held\n", sampleHistory.samples.size(), held / 1e6);
  std::printf("resident: %.2f MB before, %.2f MB after, grown by %.2f MB\n", before / 1024.0 * 1.048576,
              after / 1024.0 * 1.048576, grown / 1e6);
  std::printf("overhead beyond the held bytes: %.3f MB (goal: within 2 MB)\n", (grown - held) / 1e6);
  for (IMFSample* s : samples) s->Release();
  return (grown - held) <= 2.0 * 1024 * 1024 ? 0 : 1;
}
