#include "mediafw/h264_checks.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "clips/annexb.h"

namespace h264_checks {

std::vector<int> NalTypes(const std::vector<std::uint8_t>& accessUnit) {
  std::vector<int> types;
  ScanAnnexB(accessUnit.data(), accessUnit.size(), [&](const NalUnit& unit) { types.push_back(unit.type); });
  return types;
}

std::vector<std::uint8_t> FirstNal(const std::vector<std::uint8_t>& accessUnit, int type) {
  std::vector<std::uint8_t> nal;
  ScanAnnexB(accessUnit.data(), accessUnit.size(), [&](const NalUnit& unit) {
    if (unit.type == type && nal.empty()) {
      nal.assign(accessUnit.begin() + static_cast<std::ptrdiff_t>(unit.start),
                 accessUnit.begin() + static_cast<std::ptrdiff_t>(unit.start + unit.length));
    }
  });
  return nal;
}

TempFile::TempFile(const std::string& suffix) {
  const char* folder = std::getenv("TMPDIR");
  std::string pattern = std::string(folder != nullptr ? folder : "/tmp") + "/vistrel-mediafw-XXXXXX" + suffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
  if (fd >= 0) {
    close(fd);
    path_ = name.data();
  }
}

TempFile::~TempFile() {
  if (!path_.empty()) std::remove(path_.c_str());
}

bool TempFile::Write(const std::vector<std::uint8_t>& bytes) const {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

CommandResult Run(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CommandResult DecodeWithFfmpeg(const std::string& path) {
  return Run("ffmpeg -nostdin -hide_banner -v error -i '" + path + "' -f null -");
}

std::map<std::string, std::string> ProbeVideoStream(const std::string& path) {
  CommandResult probe = Run("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                            "stream=profile,width,height,pix_fmt,color_range,color_space,color_primaries,"
                            "nb_read_packets -of default=noprint_wrappers=1 '" +
                            path + "'");
  std::map<std::string, std::string> fields;
  std::istringstream lines(probe.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  fields["exit"] = std::to_string(probe.exitCode);
  return fields;
}

std::vector<std::vector<std::uint8_t>> DecodeFrames(const std::string& path, const std::vector<int>& frameNumbers,
                                                    int width, int height) {
  std::string select;
  for (int n : frameNumbers) {
    if (!select.empty()) select += '+';
    select += "eq(n\\,";
    select += std::to_string(n);
    select += ')';
  }
  TempFile raw(".nv12");
  CommandResult decode = Run("ffmpeg -nostdin -hide_banner -v error -y -i '" + path + "' -vf \"select='" + select +
                             "'\" -fps_mode passthrough -f rawvideo -pix_fmt nv12 '" + raw.path() + "'");
  std::vector<std::vector<std::uint8_t>> frames;
  if (decode.exitCode != 0) return frames;
  std::ifstream in(raw.path(), std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t frameBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2;
  for (std::size_t offset = 0; offset + frameBytes <= bytes.size(); offset += frameBytes) {
    frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                        bytes.begin() + static_cast<std::ptrdiff_t>(offset + frameBytes));
  }
  return frames;
}

double Psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
  double sum = 0;
  for (std::size_t i = 0; i < length; ++i) {
    double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(length) / sum);
}

}  // namespace h264_checks
