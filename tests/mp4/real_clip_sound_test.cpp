// A clip written by the clip writer from real H.264 (libx264) and real AAC (libavcodec's encoder,
// a 440 Hz tone), stamped as the main loop stamps them, read back by ffprobe and decoded in full
// by ffmpeg: two streams, the sound from the clip's first picture on, without its priming.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "clips/annexb.h"
#include "mp4/audio_track.h"
#include "mp4/clip_writer.h"
#include "mp4/mp4_reader.h"
#include "mp4/test_files.h"

#if !defined(VISTREL_H264_FIXTURE) || !defined(VISTREL_AAC_FIXTURE)
#error "the build names the fixtures"
#endif

namespace {

using namespace testing_files;

constexpr std::int64_t kFrame = 333333;
constexpr std::int64_t kFirstPicture = 1234567;

struct Output {
  int status = -1;
  std::string out, err;
};

Output RunShell(const std::string& command, const fs::path& scratch) {
  const fs::path errors = scratch.string() + ".stderr";
  Output o;
  FILE* pipe = ::popen((command + " 2>'" + errors.string() + "'").c_str(), "r");
  if (!pipe) return o;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) o.out.append(buffer, n);
  o.status = ::pclose(pipe);
  const std::vector<std::uint8_t> e = ReadFileBytes(errors);
  o.err.assign(e.begin(), e.end());
  fs::remove(errors);
  return o;
}

// The fixture's access units as the encoder hands them over: 1/30 s apart, keyframes by their IDR.
std::vector<EncodedSample> Pictures() {
  const std::vector<std::uint8_t> stream = ReadFileBytes(VISTREL_H264_FIXTURE);
  std::vector<std::size_t> starts;
  ScanAnnexB(stream.data(), stream.size(), [&](const NalUnit& u) {
    if (u.type != 9) return;
    std::size_t at = u.start - 3;
    if (at > 0 && stream[at - 1] == 0) --at;
    starts.push_back(at);
  });
  std::vector<EncodedSample> samples;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : stream.size();
    EncodedSample s;
    s.data = std::make_shared<const std::vector<std::uint8_t>>(stream.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                                                               stream.begin() + static_cast<std::ptrdiff_t>(end));
    ScanAnnexB(s.data->data(), s.data->size(), [&](const NalUnit& u) { s.keyframe |= u.type == 5; });
    s.time = kFirstPicture + static_cast<std::int64_t>(i) * kFrame;
    s.duration = kFrame;
    samples.push_back(std::move(s));
  }
  return samples;
}

// The fixture's raw AAC frames, stamped as the main loop stamps a run that starts with the first
// picture: frame j begins j * 1024 - 1024 samples after it (the encoder's priming taken out), and
// the configuration its ADTS headers describe.
ClipSound Sound() {
  const std::vector<std::uint8_t> s = ReadFileBytes(VISTREL_AAC_FIXTURE);
  ClipSound out;
  std::size_t at = 0;
  while (at + 7 <= s.size()) {
    const std::uint8_t* h = s.data() + at;
    const std::size_t header = (h[1] & 1) ? 7 : 9;
    const std::size_t length = (std::size_t{h[3] & 3u} << 11) | (std::size_t{h[4]} << 3) | (h[5] >> 5);
    if (length <= header || at + length > s.size()) {
      ADD_FAILURE() << "ADTS frame of " << length << " bytes at " << at;
      break;
    }
    if (out.audioSpecificConfig.empty()) {
      const unsigned objectType = (h[2] >> 6) + 1u, rateIndex = (h[2] >> 2) & 0xFu;
      const unsigned channels = ((h[2] & 1u) << 2) | (h[3] >> 6);
      out.audioSpecificConfig = {static_cast<std::uint8_t>(objectType << 3 | rateIndex >> 1),
                                 static_cast<std::uint8_t>((rateIndex & 1) << 7 | channels << 3)};
    }
    EncodedAudio frame;
    frame.data = std::make_shared<const std::vector<std::uint8_t>>(h + header, h + length);
    const std::int64_t samples = static_cast<std::int64_t>(out.frames.size()) * 1024 - 1024;
    frame.time = kFirstPicture + samples * 10000000 / 48000;
    out.frames.push_back(std::move(frame));
    at += length;
  }
  return out;
}

std::vector<std::uint8_t> ParameterSet(const EncodedSample& au, int type) {
  std::vector<std::uint8_t> out;
  ScanAnnexB(au.data->data(), au.data->size(), [&](const NalUnit& u) {
    if (u.type == type && out.empty()) {
      out.assign(au.data->begin() + static_cast<std::ptrdiff_t>(u.start),
                 au.data->begin() + static_cast<std::ptrdiff_t>(u.start + u.length));
    }
  });
  return out;
}

// key=value of each stream ffprobe lists, in stream order.
std::vector<std::map<std::string, std::string>> ProbeStreams(const fs::path& file) {
  const Output o = RunShell("ffprobe -v error -count_frames -show_entries "
                            "stream=codec_type,codec_name,sample_rate,channels,start_time,nb_read_frames "
                            "-of compact=p=0 '" + file.string() + "'",
                            file);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "") << file;
  std::vector<std::map<std::string, std::string>> streams;
  std::istringstream lines(o.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::map<std::string, std::string> fields;
    std::istringstream parts(line);
    std::string part;
    while (std::getline(parts, part, '|')) {
      const std::size_t eq = part.find('=');
      if (eq != std::string::npos) fields[part.substr(0, eq)] = part.substr(eq + 1);
    }
    if (!fields.empty()) streams.push_back(fields);
  }
  return streams;
}

class RealClipSound : public testing::Test {
 protected:
  // Writes the clip of samples with sound, checks both streams with ffprobe and a clean decode with
  // ffmpeg; returns the decoded sound as mono 16-bit samples.
  std::vector<std::int16_t> WriteAndDecode(const std::vector<EncodedSample>& samples, const ClipSound& clipSound,
                                           std::size_t pictures) {
    const fs::path path = folder / "clip.mp4";
    EXPECT_TRUE(WriteClipFile(SystemPath(path), samples, sps, pps, clipSound));
    EXPECT_TRUE(mp4read::ReadFile(ReadFileBytes(path)).movie.sound.present);

    const auto streams = ProbeStreams(path);
    EXPECT_EQ(streams.size(), 2u);
    if (streams.size() != 2) return {};
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("nb_read_frames"), std::to_string(pictures));
    EXPECT_NEAR(std::stod(streams[0].at("start_time")), 0.0, 0.0001);
    EXPECT_EQ(streams[1].at("codec_type"), "audio");
    EXPECT_EQ(streams[1].at("codec_name"), "aac");
    EXPECT_EQ(streams[1].at("sample_rate"), "48000");
    EXPECT_EQ(streams[1].at("channels"), "2");
    // The first audible sample plays with the first picture.
    EXPECT_NEAR(std::stod(streams[1].at("start_time")), 0.0, 0.0001);

    const Output decoded =
        RunShell("ffmpeg -nostdin -v error -i '" + path.string() + "' -map 0:v -map 0:a -f null -", path);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.err, "");
    const Output pcm =
        RunShell("ffmpeg -nostdin -v error -i '" + path.string() + "' -map 0:a -f s16le -ac 1 -", path);
    EXPECT_EQ(pcm.status, 0) << pcm.err;
    std::vector<std::int16_t> out(pcm.out.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(pcm.out[2 * i]) |
                                         static_cast<std::uint8_t>(pcm.out[2 * i + 1]) << 8);
    }
    return out;
  }

  static int Loudest(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t count) {
    int loudest = 0;
    for (std::size_t i = from; i < from + count && i < pcm.size(); ++i) loudest = std::max(loudest, std::abs(int{pcm[i]}));
    return loudest;
  }

  void SetUp() override {
    all = Pictures();
    ASSERT_EQ(all.size(), 90u);
    sps = ParameterSet(all[0], 7);
    pps = ParameterSet(all[0], 8);
    sound = Sound();
    ASSERT_GE(sound.frames.size(), 142u);  // 3 s of 48 kHz and the encoder's priming
    ASSERT_EQ(sound.audioSpecificConfig, (std::vector<std::uint8_t>{0x11, 0x90}));
  }

  TempFolder folder;
  std::vector<EncodedSample> all;
  std::vector<std::uint8_t> sps, pps;
  ClipSound sound;
};

// The whole 3 s: the sound's pre-roll frame and every frame that begins before the last picture
// ends; the decoded sound starts with the tone, no priming silence before it.
TEST_F(RealClipSound, WholeClipHasBothStreamsInSync) {
  const std::vector<std::int16_t> pcm = WriteAndDecode(all, sound, 90);
  std::size_t held = 0;
  for (const EncodedAudio& a : sound.frames) held += a.time < kFirstPicture + 90 * kFrame ? 1 : 0;
  EXPECT_EQ(pcm.size(), (held - 1) * 1024);
  EXPECT_GT(Loudest(pcm, 0, 48), 1000) << "the sound begins with silence: priming left in";
}

// A clip whose history begins at a later keyframe: the sound before it is cut at the picture's
// time, to the sample (the tone goes on, no pre-roll is heard), and the file holds no frame of a
// second run that follows.
TEST_F(RealClipSound, ClipFromALaterKeyframeCutsTheSoundAtItsPicture) {
  const std::vector<EncodedSample> samples(all.begin() + 30, all.end());
  ASSERT_TRUE(samples.front().keyframe);
  ClipSound restarted = sound;
  // The encoder restarted 2.5 s in: its frames from there on are of another run.
  for (EncodedAudio& a : restarted.frames) {
    if (a.time >= kFirstPicture + 25000000) a.run = 1;
  }
  const std::vector<std::int16_t> pcm = WriteAndDecode(samples, restarted, 60);
  // From the picture at 1 s to the restart at 2.5 s: 1.5 s, to within a frame.
  EXPECT_NEAR(static_cast<double>(pcm.size()) / 48000, 1.5, 1024.0 / 48000);
  EXPECT_GT(Loudest(pcm, 0, 48), 1000);
}

}  // namespace
