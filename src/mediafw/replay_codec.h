// A codec that stands in for a hardware H.264 encoder without encoding: it replays access units
// recorded beforehand (libx264 from the host's numbered test picture), one for each input frame, in
// order and in a loop, with the input frame's time and duration. The pictures handed in are not
// looked at, so what it costs is the transform's and its caller's work alone. Used by the Windows
// tests' encoders and, through VISTREL_MEDIAFW_REPLAY, by libvistrel-mediafw.so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "mediafw/codec.h"

namespace mediafw {

// The size, profile and keyframe spacing a stream was recorded with, read from the stream itself: a
// codec opened with other settings fails to open, as an encoder would that cannot give what it is
// asked for. All 0 when the stream does not say (no sequence parameter set that can be read, or
// keyframes at uneven distances).
struct RecordedSettings {
  int width = 0;
  int height = 0;
  int profile = 0;  // profile_idc
  int gopSize = 0;  // pictures from one keyframe to the next, the loop back to the first included
};

// The recorded access units of an Annex B stream, each as start-code-prefixed NAL units.
struct ReplayStream {
  struct Unit {
    std::vector<std::uint8_t> bytes;
    bool keyframe = false;  // holds an IDR slice
  };
  std::vector<Unit> units;
  RecordedSettings recorded;

  // Splits an Annex B stream into its pictures: a unit begins with the first NAL unit after a slice
  // that is an access unit delimiter, an SEI, an SPS, a PPS or the first slice of the next picture
  // (first_mb_in_slice 0); the further slices of a picture stay with it. Access unit delimiters are
  // left out. Empty when the bytes hold no slice. The recorded settings come from the first
  // sequence parameter set (its cropped picture size and profile) and the keyframes' spacing.
  static ReplayStream Split(const std::uint8_t* bytes, std::size_t size);

  // The stream in a file; null when the file cannot be read or holds no slice.
  static std::shared_ptr<const ReplayStream> Read(const std::filesystem::path& file);
};

// The size (picture, cropped) of a sequence parameter set NAL unit (header byte included) and its
// profile; false when it cannot be read.
bool ReadSequenceParameters(const std::uint8_t* nal, std::size_t size, RecordedSettings& settings);

class ReplayCodec final : public Codec {
 public:
  // `load` gives the streams there are to replay when the codec first opens (none, or nulls, when
  // there are none to be had); the codec replays the one recorded with the settings it is opened
  // with, and fails to open when none was.
  using Streams = std::vector<std::shared_ptr<const ReplayStream>>;
  using Loader = std::function<Streams()>;
  explicit ReplayCodec(Loader load) : load_(std::move(load)) {}

  bool PrepareDevice() override { return true; }
  bool Open(const EncoderSettings& settings) override;
  bool IsOpen() const override { return open_; }
  void Close() override;
  bool Encode(const std::uint8_t* luma, const std::uint8_t* chroma, int stride, std::int64_t time,
              std::int64_t duration, std::deque<EncodedPacket>& out) override;
  bool Drain(std::deque<EncodedPacket>& out) override;

 private:
  Loader load_;
  Streams streams_;
  std::shared_ptr<const ReplayStream> stream_;
  bool open_ = false;
  std::size_t next_ = 0;  // the unit the next frame gets; each stream starts with the first
  std::int64_t frameDuration_ = 333333;
};

}  // namespace mediafw
