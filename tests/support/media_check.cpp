#include "support/media_check.h"

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

ProbedVideo ProbeVideo(const std::filesystem::path& file) {
  ProbedVideo v;
  // Errors alone first: a clean file prints nothing at this level.
  const CommandResult check = RunCommand("ffprobe -v error -count_frames -select_streams v:0 "
                                         "-show_entries stream=codec_name,profile,width,height,nb_read_frames,duration "
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
    else v.errors += line + "\n";
  }
  v.ok = check.exitCode == 0 && v.errors.empty() && !v.codec.empty();
  return v;
}

DecodedFrames DecodeFrameNumbers(const std::filesystem::path& file) {
  DecodedFrames d;
  // Pictures stream through a pipe (a five-minute file is gigabytes of grey frames); what ffmpeg
  // says goes to a file of its own.
  const std::filesystem::path errors = file.string() + ".errors";
  const std::string command = "ffmpeg -nostdin -v error -i " + Quote(file) + " -fps_mode passthrough -f rawvideo -pix_fmt gray - 2>" +
                              Quote(errors);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return d;
  std::vector<std::uint8_t> picture(1280 * 720);
  while (std::fread(picture.data(), 1, picture.size(), pipe) == picture.size()) {
    d.numbers.push_back(host::ReadFrameNumber(picture.data(), 1280));
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
