#include "support/sync_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "support/media_check.h"

namespace testing_support {

namespace {

std::string ReadAll(const std::filesystem::path& file) {
  std::string text;
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) return text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
  std::fclose(in);
  return text;
}

// The sound as ffmpeg decodes it (edit lists applied): 48 kHz interleaved stereo.
bool DecodeSound(const std::filesystem::path& file, std::vector<std::int16_t>& pcm, std::string& errors) {
  const std::filesystem::path log = file.string() + ".sound-errors";
  const std::string command = "ffmpeg -nostdin -v error -i " + Quote(file) +
                              " -map 0:a:0 -f s16le -acodec pcm_s16le -ar 48000 -ac 2 - 2>" + Quote(log);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return false;
  std::int16_t buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, sizeof buffer[0], sizeof buffer / sizeof buffer[0], pipe)) > 0) {
    pcm.insert(pcm.end(), buffer, buffer + n);
  }
  const int status = ::pclose(pipe);
  const std::string said = ReadAll(log);
  std::error_code ec;
  std::filesystem::remove(log, ec);
  errors += said;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && said.empty();
}

// Each stream's type and start time, as ffprobe reports them.
struct StreamInfo {
  std::string type;
  double start = 0;
};
std::vector<StreamInfo> ProbeStreams(const std::filesystem::path& file, std::string& errors) {
  const CommandResult probe =
      RunCommand("ffprobe -v error -show_entries stream=codec_type,start_time -of csv=p=0 " + Quote(file));
  std::vector<StreamInfo> streams;
  std::istringstream lines(probe.output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto comma = line.find(',');
    if (comma == std::string::npos) {
      errors += line + "\n";
      continue;
    }
    streams.push_back({line.substr(0, comma), std::atof(line.c_str() + comma + 1)});
  }
  if (probe.exitCode != 0) errors += "ffprobe ended with " + std::to_string(probe.exitCode) + "\n";
  return streams;
}

// The video's presentation times in seconds, in order.
std::vector<double> PictureTimes(const std::filesystem::path& file) {
  const CommandResult probe =
      RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " + Quote(file));
  std::vector<double> times;
  if (probe.exitCode != 0) return times;
  std::istringstream lines(probe.output);
  std::string line;
  while (std::getline(lines, line)) {
    char* end = nullptr;
    const double t = std::strtod(line.c_str(), &end);
    if (end == line.c_str()) return {};  // a packet without a time makes the list worthless
    times.push_back(t);
  }
  std::sort(times.begin(), times.end());
  return times;
}

}  // namespace

std::vector<std::size_t> FindClickOnsets(const std::vector<std::int16_t>& stereo, int threshold,
                                         std::size_t quietFrames) {
  std::vector<std::size_t> onsets;
  bool loudBefore = false;
  std::size_t lastLoud = 0;
  for (std::size_t k = 0; k < stereo.size() / 2; ++k) {
    const int level = std::max(std::abs(int{stereo[2 * k]}), std::abs(int{stereo[2 * k + 1]}));
    if (level < threshold) continue;
    if (!loudBefore || k - lastLoud > quietFrames) onsets.push_back(k);
    loudBefore = true;
    lastLoud = k;
  }
  return onsets;
}

ClickSync MeasureClickSync(const std::filesystem::path& file, std::uint32_t width, std::uint32_t height) {
  ClickSync sync;
  const auto streams = ProbeStreams(file, sync.errors);
  sync.streams = static_cast<int>(streams.size());
  const auto audio = std::find_if(streams.begin(), streams.end(), [](const StreamInfo& s) { return s.type == "audio"; });
  const bool hasVideo =
      std::any_of(streams.begin(), streams.end(), [](const StreamInfo& s) { return s.type == "video"; });
  if (audio == streams.end() || !hasVideo) {
    sync.errors += "the file lacks a picture or a sound stream\n";
    return sync;
  }

  const DecodedFrames decoded = DecodeFrameNumbers(file, width, height);
  sync.errors += decoded.errors;
  sync.pictures = decoded.numbers.size();
  const std::vector<double> times = PictureTimes(file);
  if (times.size() != decoded.numbers.size()) {
    sync.errors += "pictures decoded: " + std::to_string(decoded.numbers.size()) +
                   ", packets with a time: " + std::to_string(times.size()) + "\n";
  }
  std::vector<std::int16_t> pcm;
  const bool soundClean = DecodeSound(file, pcm, sync.errors);
  sync.clean = decoded.clean && soundClean && sync.streams == 2 && times.size() == decoded.numbers.size();

  sync.audioStart = audio->start;
  sync.audioEnd = audio->start + static_cast<double>(pcm.size() / 2) / 48000;

  // The pictures clicks belong to, by time.
  std::vector<std::pair<double, std::uint32_t>> marked;
  for (std::size_t i = 0; i < decoded.numbers.size() && i < times.size(); ++i) {
    if (decoded.numbers[i] && *decoded.numbers[i] % 30 == 0) marked.emplace_back(times[i], *decoded.numbers[i]);
  }
  double reach = 0.25;
  for (std::size_t i = 1; i < marked.size(); ++i) reach = std::min(reach, (marked[i].first - marked[i - 1].first) / 4);

  // A file's sound may run on for less than one AAC frame past its last picture: a click there
  // belongs to the picture that opens the next file.
  double picturesEnd = times.empty() ? 0 : times.back();
  if (times.size() >= 2) picturesEnd += times.back() - times[times.size() - 2];

  std::vector<bool> taken(marked.size(), false);
  for (std::size_t onset : FindClickOnsets(pcm)) {
    const double t = sync.audioStart + static_cast<double>(onset) / 48000;
    if (!times.empty() && t >= picturesEnd - 1e-6 && t < picturesEnd + kAacFrameSeconds) continue;
    std::size_t best = marked.size();
    for (std::size_t i = 0; i < marked.size(); ++i) {
      if (best == marked.size() || std::fabs(marked[i].first - t) < std::fabs(marked[best].first - t)) best = i;
    }
    if (best == marked.size() || taken[best] || std::fabs(marked[best].first - t) >= reach) {
      sync.clicksWithoutPicture.push_back(t);
      continue;
    }
    taken[best] = true;
    ClickOffset c;
    c.clickSeconds = t;
    c.frame = marked[best].second;
    c.pictureSeconds = marked[best].first;
    c.offsetMs = (t - c.pictureSeconds) * 1000;
    sync.worstMs = std::max(sync.worstMs, std::fabs(c.offsetMs));
    sync.clicks.push_back(c);
  }
  for (std::size_t i = 0; i < marked.size(); ++i) {
    const double p = marked[i].first;
    if (!taken[i] && p >= sync.audioStart + kAacFrameSeconds && p <= sync.audioEnd - kAacFrameSeconds) {
      sync.picturesWithoutClick.push_back(marked[i].second);
    }
  }
  return sync;
}

std::string Describe(const ClickSync& sync) {
  std::ostringstream out;
  char line[160];
  std::snprintf(line, sizeof line, "%d streams, %zu pictures, sound %.6f..%.6f s, worst offset %.3f ms\n", sync.streams,
                sync.pictures, sync.audioStart, sync.audioEnd, sync.worstMs);
  out << line;
  for (const ClickOffset& c : sync.clicks) {
    std::snprintf(line, sizeof line, "  click %.6f s, frame %u at %.6f s: %+.3f ms\n", c.clickSeconds, c.frame,
                  c.pictureSeconds, c.offsetMs);
    out << line;
  }
  for (double t : sync.clicksWithoutPicture) out << "  click at " << t << " s without a picture\n";
  for (std::uint32_t n : sync.picturesWithoutClick) out << "  frame " << n << " without a click\n";
  if (!sync.errors.empty()) out << "  errors: " << sync.errors;
  return out.str();
}

}  // namespace testing_support
