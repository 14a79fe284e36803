#include "mediafw/replay_codec.h"

#include <fstream>
#include <iterator>

#include "clips/annexb.h"

namespace mediafw {
namespace {

bool IsSlice(int type) { return type == 1 || type == 5; }

// A slice that begins a picture: its header opens with first_mb_in_slice, an Exp-Golomb number that
// is 0 exactly when the first bit after the NAL unit's header byte is 1.
bool StartsPicture(const std::uint8_t* bytes, const NalUnit& nal) {
  return IsSlice(nal.type) && nal.length >= 2 && (bytes[nal.start + 1] & 0x80) != 0;
}

// Recorded streams are a few seconds of 720p: anything far larger is not one.
constexpr std::uintmax_t kMaxStreamBytes = 256u << 20;

}  // namespace

ReplayStream ReplayStream::Split(const std::uint8_t* bytes, std::size_t size) {
  ReplayStream stream;
  Unit unit;
  bool hasSlice = false;
  const std::uint8_t startCode[] = {0, 0, 0, 1};
  ScanAnnexB(bytes, size, [&](const NalUnit& nal) {
    if (hasSlice && (nal.type == 9 || nal.type == 6 || nal.type == 7 || nal.type == 8 || StartsPicture(bytes, nal))) {
      stream.units.push_back(std::move(unit));
      unit = Unit{};
      hasSlice = false;
    }
    if (nal.type == 9 || nal.length == 0) return;
    unit.bytes.insert(unit.bytes.end(), startCode, startCode + 4);
    unit.bytes.insert(unit.bytes.end(), bytes + nal.start, bytes + nal.start + nal.length);
    if (IsSlice(nal.type)) hasSlice = true;
    if (nal.type == 5) unit.keyframe = true;
  });
  if (hasSlice) stream.units.push_back(std::move(unit));
  return stream;
}

std::shared_ptr<const ReplayStream> ReplayStream::Read(const std::filesystem::path& file) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error || size == 0 || size > kMaxStreamBytes) return nullptr;
  std::ifstream in(file, std::ios::binary);
  if (!in) return nullptr;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto stream = std::make_shared<ReplayStream>(Split(bytes.data(), bytes.size()));
  if (stream->units.empty()) return nullptr;
  return stream;
}

bool ReplayCodec::Open(const EncoderSettings& s) {
  Close();
  const RecordedSettings recorded;
  if (s.width != recorded.width || s.height != recorded.height || s.profile != recorded.profile ||
      s.gopSize != recorded.gopSize || s.bFrames != 0 || s.frameRateNumerator <= 0 || s.frameRateDenominator <= 0) {
    return false;
  }
  if (!stream_ && load_) stream_ = load_();
  // The loop must begin with a keyframe, or the first frames of the stream would not decode.
  if (!stream_ || stream_->units.empty() || !stream_->units.front().keyframe) return false;
  frameDuration_ = 10000000LL * s.frameRateDenominator / s.frameRateNumerator;
  next_ = 0;
  open_ = true;
  return true;
}

void ReplayCodec::Close() { open_ = false; }

bool ReplayCodec::Encode(const std::uint8_t*, const std::uint8_t*, int, std::int64_t time, std::int64_t duration,
                         std::deque<EncodedPacket>& out) {
  if (!open_) return false;
  const ReplayStream::Unit& unit = stream_->units[next_];
  next_ = (next_ + 1) % stream_->units.size();
  EncodedPacket packet;
  packet.owner = stream_;
  packet.data = unit.bytes.data();
  packet.size = unit.bytes.size();
  packet.time = time;
  packet.duration = duration > 0 ? duration : frameDuration_;
  packet.keyframe = unit.keyframe;
  out.push_back(std::move(packet));
  return true;
}

// Each unit leaves with its frame: nothing is held back.
bool ReplayCodec::Drain(std::deque<EncodedPacket>&) {
  Close();
  return true;
}

}  // namespace mediafw
