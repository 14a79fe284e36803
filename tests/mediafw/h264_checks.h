// Checks of encoded H.264 from outside: NAL unit types, and ffmpeg/ffprobe run on a written file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace h264_checks {

// The NAL unit types of an Annex B access unit, in order.
std::vector<int> NalTypes(const std::vector<std::uint8_t>& accessUnit);

// The bytes of the first NAL unit of `type` (without start code); empty when there is none.
std::vector<std::uint8_t> FirstNal(const std::vector<std::uint8_t>& accessUnit, int type);

// A file in the temporary folder, deleted when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::string& suffix);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  bool Write(const std::vector<std::uint8_t>& bytes) const;

 private:
  std::string path_;
};

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};
CommandResult Run(const std::string& command);

// ffmpeg decodes the whole file: its messages at level "error" and its exit code.
CommandResult DecodeWithFfmpeg(const std::string& path);

// ffprobe's description of the first video stream (profile, width, height, pix_fmt, color_range,
// color_space, color_primaries, nb_read_packets), as key and value.
std::map<std::string, std::string> ProbeVideoStream(const std::string& path);

// The decoded NV12 pictures of the given frame numbers, in order.
std::vector<std::vector<std::uint8_t>> DecodeFrames(const std::string& path, const std::vector<int>& frameNumbers,
                                                    int width, int height);

// Peak signal-to-noise ratio of two byte ranges of the same length, in dB (99 when identical).
double Psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

}  // namespace h264_checks
