#include "support/media_check.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "host/test_picture.h"

namespace testing_support {

CommandResult RunCommand(const std::string& commandLine) {
  CommandResult result;
  const std::string full = commandLine + " 2>&1";
  std::FILE* pipe = ::popen(full.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string Quote(const std::filesystem::path& path) {
  std::string out = "'";
  for (char c : path.string()) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

ProbedVideo ProbeVideo(const std::filesystem::path& file, bool countFrames) {
  ProbedVideo v;
  // Errors alone first: a clean file prints nothing at this level.
  const CommandResult check = RunCommand(std::string("ffprobe -v error ") + (countFrames ? "-count_frames " : "") +
                                         "-select_streams v:0 "
                                         "-show_entries stream=codec_name,profile,width,height,nb_read_frames,duration,"
                                         "r_frame_rate,avg_frame_rate,time_base "
                                         "-of default=noprint_wrappers=1 " + Quote(file));
  std::istringstream lines(check.output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      v.errors += line + "\n";
      continue;
    }
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "codec_name") v.codec = value;
    else if (key == "profile") v.profile = value;
    else if (key == "width") v.width = std::atoi(value.c_str());
    else if (key == "height") v.height = std::atoi(value.c_str());
    else if (key == "nb_read_frames") v.frames = std::atoll(value.c_str());
    else if (key == "duration") v.duration = std::atof(value.c_str());
    else if (key == "r_frame_rate") v.frameRate = value;
    else if (key == "avg_frame_rate") v.averageFrameRate = value;
    else if (key == "time_base") v.timeBase = value;
    else v.errors += line + "\n";
  }
  v.ok = check.exitCode == 0 && v.errors.empty() && !v.codec.empty();
  return v;
}

std::vector<Packet> ProbePackets(const std::filesystem::path& file) {
  const CommandResult probe = RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,duration,flags "
                                         "-of csv=p=0 " + Quote(file));
  std::vector<Packet> packets;
  if (probe.exitCode != 0) return packets;
  std::istringstream lines(probe.output);
  std::string line;
  while (std::getline(lines, line)) {
    Packet p;
    char flags[8] = {};
    if (std::sscanf(line.c_str(), "%" SCNd64 ",%" SCNd64 ",%" SCNd64 ",%7s", &p.pts, &p.dts, &p.duration, flags) != 4) {
      return {};  // anything else (an error, a missing time) makes the list worthless
    }
    p.keyframe = flags[0] == 'K';
    packets.push_back(p);
  }
  return packets;
}

double Rate(const std::string& fraction) {
  long long numerator = 0, denominator = 0;
  if (std::sscanf(fraction.c_str(), "%lld/%lld", &numerator, &denominator) != 2 || denominator == 0) return 0;
  return static_cast<double>(numerator) / static_cast<double>(denominator);
}

std::map<std::uint32_t, std::vector<std::uint8_t>> DecodePictures(const std::filesystem::path& file,
                                                                  std::uint32_t width, std::uint32_t height,
                                                                  const std::set<std::uint32_t>& wanted) {
  std::map<std::uint32_t, std::vector<std::uint8_t>> pictures;
  const std::string command = "ffmpeg -nostdin -v error -i " + Quote(file) +
                              " -fps_mode passthrough -enc_time_base 1/90000 -f rawvideo -pix_fmt yuv420p - 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return pictures;
  std::vector<std::uint8_t> picture(std::size_t{width} * height * 3 / 2);
  while (std::fread(picture.data(), 1, picture.size(), pipe) == picture.size()) {
    const auto number = host::ReadFrameNumber(picture.data(), width, height, width);
    if (number && wanted.count(*number) != 0) pictures[*number] = picture;
  }
  ::pclose(pipe);
  return pictures;
}

DecodedFrames DecodeFrameNumbers(const std::filesystem::path& file, std::uint32_t width, std::uint32_t height) {
  DecodedFrames d;
  // Pictures stream through a pipe (a five-minute file is gigabytes of grey frames); what ffmpeg
  // says goes to a file of its own.
  const std::filesystem::path errors = file.string() + ".errors";
  const std::string command = "ffmpeg -nostdin -v error -i " + Quote(file) + " -fps_mode passthrough -enc_time_base 1/90000 -f rawvideo -pix_fmt gray - 2>" +
                              Quote(errors);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return d;
  std::vector<std::uint8_t> picture(std::size_t{width} * height);
  while (std::fread(picture.data(), 1, picture.size(), pipe) == picture.size()) {
    d.numbers.push_back(host::ReadFrameNumber(picture.data(), width, height, width));
  }
  const int status = ::pclose(pipe);
  std::FILE* in = std::fopen(errors.c_str(), "rb");
  if (in) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) d.errors.append(buffer, n);
    std::fclose(in);
  }
  std::error_code ec;
  std::filesystem::remove(errors, ec);
  d.clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 && d.errors.empty();
  return d;
}

bool Consecutive(const std::vector<std::optional<std::uint32_t>>& numbers) {
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!numbers[i]) return false;
    if (i > 0 && *numbers[i] != *numbers[i - 1] + 1) return false;
  }
  return true;
}

}  // namespace testing_support
