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

// Recorded streams are a few seconds of video: anything far larger is not one.
constexpr std::uintmax_t kMaxStreamBytes = 256u << 20;

// Reads the bits of a NAL unit's payload, the emulation prevention bytes taken out. Reading past the
// end sets `overrun` and gives zeros.
class BitReader {
 public:
  BitReader(const std::uint8_t* bytes, std::size_t size) {
    int zeros = 0;
    for (std::size_t i = 0; i < size; ++i) {
      if (zeros >= 2 && bytes[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = bytes[i] == 0 ? zeros + 1 : 0;
      rbsp_.push_back(bytes[i]);
    }
  }
  std::uint32_t Bit() {
    if (position_ >= rbsp_.size() * 8) {
      overrun = true;
      return 0;
    }
    const std::uint32_t bit = (rbsp_[position_ / 8] >> (7 - position_ % 8)) & 1;
    ++position_;
    return bit;
  }
  std::uint32_t Bits(int n) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i) value = value << 1 | Bit();
    return value;
  }
  // ue(v); values beyond 32 bits are taken as an overrun.
  std::uint32_t Unsigned() {
    int leading = 0;
    while (Bit() == 0) {
      if (overrun || ++leading > 31) {
        overrun = true;
        return 0;
      }
    }
    return static_cast<std::uint32_t>((std::uint64_t{1} << leading) - 1 + Bits(leading));
  }
  std::int32_t Signed() {
    const std::uint32_t k = Unsigned();
    return (k & 1) != 0 ? static_cast<std::int32_t>((k + 1) / 2) : -static_cast<std::int32_t>(k / 2);
  }
  bool overrun = false;

 private:
  std::vector<std::uint8_t> rbsp_;
  std::size_t position_ = 0;
};

// The keyframes' spacing over the loop: the distance between every two that follow each other, and
// from the last back to the first, when all are the same; 0 otherwise.
int KeyframeSpacing(const std::vector<ReplayStream::Unit>& units) {
  std::vector<std::size_t> keys;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i].keyframe) keys.push_back(i);
  }
  if (keys.empty() || keys.front() != 0) return 0;
  const std::size_t spacing = keys.size() > 1 ? keys[1] - keys[0] : units.size();
  for (std::size_t i = 1; i < keys.size(); ++i) {
    if (keys[i] - keys[i - 1] != spacing) return 0;
  }
  if (units.size() - keys.back() != spacing || spacing > 100000) return 0;
  return static_cast<int>(spacing);
}

}  // namespace

bool ReadSequenceParameters(const std::uint8_t* nal, std::size_t size, RecordedSettings& settings) {
  if (size < 4 || (nal[0] & 0x1F) != 7) return false;
  BitReader r(nal + 1, size - 1);
  const int profile = static_cast<int>(r.Bits(8));
  r.Bits(16);  // constraint flags, level
  r.Unsigned();  // seq_parameter_set_id
  std::uint32_t chromaFormat = 1;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
      profile == 135) {
    chromaFormat = r.Unsigned();
    if (chromaFormat > 3) return false;
    if (chromaFormat == 3) r.Bit();  // separate_colour_plane_flag
    r.Unsigned();                    // bit depths
    r.Unsigned();
    r.Bit();  // qpprime_y_zero_transform_bypass_flag
    if (r.Bit() != 0) {  // seq_scaling_matrix_present_flag
      for (int i = 0; i < (chromaFormat != 3 ? 8 : 12) && !r.overrun; ++i) {
        if (r.Bit() == 0) continue;
        const int count = i < 6 ? 16 : 64;
        int last = 8, next = 8;
        for (int j = 0; j < count && !r.overrun; ++j) {
          if (next != 0) next = (last + r.Signed() + 256) % 256;
          last = next == 0 ? last : next;
        }
      }
    }
  }
  r.Unsigned();  // log2_max_frame_num_minus4
  const std::uint32_t pocType = r.Unsigned();
  if (pocType == 0) {
    r.Unsigned();
  } else if (pocType == 1) {
    r.Bit();
    r.Signed();
    r.Signed();
    const std::uint32_t cycle = r.Unsigned();
    if (cycle > 255) return false;
    for (std::uint32_t i = 0; i < cycle; ++i) r.Signed();
  } else if (pocType != 2) {
    return false;
  }
  r.Unsigned();  // max_num_ref_frames
  r.Bit();       // gaps_in_frame_num_value_allowed_flag
  const std::uint64_t widthMbs = std::uint64_t{r.Unsigned()} + 1;
  const std::uint64_t heightUnits = std::uint64_t{r.Unsigned()} + 1;
  const std::uint32_t frameMbsOnly = r.Bit();
  if (frameMbsOnly == 0) r.Bit();  // mb_adaptive_frame_field_flag
  r.Bit();                         // direct_8x8_inference_flag
  std::uint64_t left = 0, right = 0, top = 0, bottom = 0;
  if (r.Bit() != 0) {
    left = r.Unsigned();
    right = r.Unsigned();
    top = r.Unsigned();
    bottom = r.Unsigned();
  }
  if (r.overrun) return false;
  const std::uint64_t cropX = chromaFormat == 1 || chromaFormat == 2 ? 2 : 1;
  const std::uint64_t cropY = (chromaFormat == 1 ? 2 : 1) * (2 - frameMbsOnly);
  const std::uint64_t fullWidth = widthMbs * 16;
  const std::uint64_t fullHeight = heightUnits * 16 * (2 - frameMbsOnly);
  if (fullWidth > 65536 || fullHeight > 65536 || cropX * (left + right) >= fullWidth ||
      cropY * (top + bottom) >= fullHeight) {
    return false;
  }
  settings.width = static_cast<int>(fullWidth - cropX * (left + right));
  settings.height = static_cast<int>(fullHeight - cropY * (top + bottom));
  settings.profile = profile;
  return true;
}

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
  RecordedSettings recorded;
  bool read = false;
  ScanAnnexB(bytes, size, [&](const NalUnit& nal) {
    if (!read && nal.type == 7) read = ReadSequenceParameters(bytes + nal.start, nal.length, recorded);
  });
  recorded.gopSize = read ? KeyframeSpacing(stream.units) : 0;
  if (read && recorded.gopSize != 0) stream.recorded = recorded;
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
  if (s.bFrames != 0 || s.frameRateNumerator <= 0 || s.frameRateDenominator <= 0) return false;
  if (streams_.empty() && load_) streams_ = load_();
  // The loop begins with a keyframe (the spacing is known only then), or the first frames of the
  // stream would not decode.
  stream_ = nullptr;
  for (const auto& stream : streams_) {
    if (!stream || stream->units.empty() || !stream->units.front().keyframe) continue;
    const RecordedSettings& r = stream->recorded;
    if (r.width == s.width && r.height == s.height && r.profile == s.profile && r.gopSize == s.gopSize) {
      stream_ = stream;
      break;
    }
  }
  if (!stream_) return false;
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
