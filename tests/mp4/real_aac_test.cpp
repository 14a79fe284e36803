// A file with the picture and the sound together, made from real H.264 (libx264) and real AAC
// (libavcodec's encoder, 3 s of a 440 Hz tone, both made at build time), read back by ffprobe and
// decoded in full by ffmpeg: both streams, with their codec, rate, channels and durations, the
// sound starting with the first picture once the encoder's priming is cut.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "clips/annexb.h"
#include "clips/housekeeping.h"
#include "mp4/audio_track.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "mp4/recovery.h"
#include "mp4/test_files.h"

#if !defined(VISTREL_H264_FIXTURE) || !defined(VISTREL_AAC_FIXTURE)
#error "the build names the fixtures"
#endif

namespace {

using namespace testing_files;

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

// The access units of the H.264 fixture, each from its delimiter on.
std::vector<std::vector<std::uint8_t>> AccessUnits() {
  const std::vector<std::uint8_t> stream = ReadFileBytes(VISTREL_H264_FIXTURE);
  std::vector<std::size_t> starts;
  ScanAnnexB(stream.data(), stream.size(), [&](const NalUnit& u) {
    if (u.type != 9) return;
    std::size_t at = u.start - 3;
    if (at > 0 && stream[at - 1] == 0) --at;
    starts.push_back(at);
  });
  std::vector<std::vector<std::uint8_t>> units;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : stream.size();
    units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                       stream.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return units;
}

// The raw AAC frames of the ADTS fixture and the AudioSpecificConfig its headers describe.
struct AacStream {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> config;
};

AacStream ReadAdts() {
  const std::vector<std::uint8_t> s = ReadFileBytes(VISTREL_AAC_FIXTURE);
  AacStream out;
  std::size_t at = 0;
  while (at + 7 <= s.size()) {
    const std::uint8_t* h = s.data() + at;
    EXPECT_TRUE(h[0] == 0xFF && (h[1] & 0xF6) == 0xF0) << "no ADTS sync word at " << at;
    const std::size_t header = (h[1] & 1) ? 7 : 9;
    const std::size_t length = (std::size_t{h[3] & 3u} << 11) | (std::size_t{h[4]} << 3) | (h[5] >> 5);
    EXPECT_EQ(h[6] & 3, 0) << "one raw block per frame";
    if (length <= header || at + length > s.size()) {
      ADD_FAILURE() << "ADTS frame of " << length << " bytes at " << at;
      break;
    }
    if (out.config.empty()) {
      const unsigned objectType = (h[2] >> 6) + 1u, rateIndex = (h[2] >> 2) & 0xFu;
      const unsigned channels = ((h[2] & 1u) << 2) | (h[3] >> 6);
      out.config = {static_cast<std::uint8_t>(objectType << 3 | rateIndex >> 1),
                    static_cast<std::uint8_t>((rateIndex & 1) << 7 | channels << 3)};
    }
    out.frames.emplace_back(h + header, h + length);
    at += length;
  }
  return out;
}

std::vector<std::uint8_t> ParameterSet(const std::vector<std::uint8_t>& au, int type) {
  std::vector<std::uint8_t> out;
  ScanAnnexB(au.data(), au.size(), [&](const NalUnit& u) {
    if (u.type == type && out.empty()) out.assign(au.begin() + static_cast<std::ptrdiff_t>(u.start),
                                                  au.begin() + static_cast<std::ptrdiff_t>(u.start + u.length));
  });
  return out;
}

// key=value of each stream ffprobe lists, in stream order.
std::vector<std::map<std::string, std::string>> ProbeStreams(const fs::path& file) {
  const Output o = RunShell("ffprobe -v error -count_frames -show_entries "
                       "stream=index,codec_type,codec_name,profile,sample_rate,channels,width,height,"
                       "start_time,duration,nb_read_frames -of compact=p=0 '" + file.string() + "'",
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

// Writes the clip layout with the sound starting `firstAudible` (100-ns units) after the first
// picture and checks it with ffprobe and ffmpeg.
void CheckFile(std::int64_t firstAudible) {
  const std::vector<std::vector<std::uint8_t>> units = AccessUnits();
  ASSERT_EQ(units.size(), 90u);
  const AacStream aac = ReadAdts();
  ASSERT_GE(aac.frames.size(), 141u);  // 3 s of 48 kHz and the encoder's priming
  ASSERT_EQ(aac.config, (std::vector<std::uint8_t>{0x11, 0x90}));  // AAC-LC, 48 kHz, stereo

  constexpr std::int64_t kFrame = 333333;
  SampleTable video;
  for (std::size_t i = 0; i < units.size(); ++i) {
    video.times.push_back(1234567 + static_cast<std::int64_t>(i) * kFrame);
    bool idr = false;
    ScanAnnexB(units[i].data(), units[i].size(), [&](const NalUnit& u) { idr |= u.type == 5; });
    video.keyframes.push_back(idr ? 1 : 0);
    video.sizes.push_back(static_cast<std::uint32_t>(ConvertedSize(units[i])));
  }
  AudioTable audio;
  for (const auto& frame : aac.frames) audio.sizes.push_back(static_cast<std::uint32_t>(frame.size()));
  audio.audioSpecificConfig = aac.config;
  audio.primingSamples = 1024;  // libavcodec's AAC encoder delay
  audio.firstAudibleTime = firstAudible;
  const std::vector<std::uint8_t> sps = ParameterSet(units[0], 7), pps = ParameterSet(units[0], 8);
  ASSERT_GE(sps.size(), 4u);
  ASSERT_FALSE(pps.empty());

  // The clip layout: file type, movie, media data; the movie's size is known before the offsets.
  const std::vector<PlannedChunk> plan = PlanChunks(video, audio);
  ASSERT_GE(plan.size(), 6u);
  const ByteBuffer sized = BuildAudioVideoMoovPayload(video, kFrame, sps, pps, PictureSize{}, audio, plan, 0);
  ASSERT_FALSE(sized.empty());
  const std::uint64_t start = kFileTypeBoxSize + 8 + sized.size() + 8;
  const ByteBuffer moov = BuildAudioVideoMoovPayload(video, kFrame, sps, pps, PictureSize{}, audio, plan, start);
  ASSERT_EQ(moov.size(), sized.size());

  ByteBuffer mdat;
  std::size_t v = 0, a = 0;
  for (const PlannedChunk& chunk : plan) {
    for (std::uint32_t k = 0; k < chunk.samples; ++k) {
      if (chunk.track == ChunkTrack::kVideo) {
        ConvertAccessUnit(mdat, units[v++]);
      } else {
        AppendBytes(mdat, aac.frames[a++]);
      }
    }
  }
  ByteBuffer file = BuildFileTypeBox();
  AppendBox(file, "moov", moov);
  AppendBox(file, "mdat", mdat);
  ASSERT_EQ(mp4read::ReadFile(file).mdatOffset + 8, start);

  char folder[] = "/tmp/vistrel_real_aac_XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const fs::path path = fs::path(folder) / "both.mp4";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  }

  const auto streams = ProbeStreams(path);
  ASSERT_EQ(streams.size(), 2u);
  const auto& pic = streams[0];
  EXPECT_EQ(pic.at("codec_type"), "video");
  EXPECT_EQ(pic.at("codec_name"), "h264");
  EXPECT_EQ(pic.at("width"), "1280");
  EXPECT_EQ(pic.at("nb_read_frames"), "90");
  EXPECT_NEAR(std::stod(pic.at("duration")), 3.0, 0.001);
  EXPECT_NEAR(std::stod(pic.at("start_time")), 0.0, 0.0001);
  const auto& snd = streams[1];
  EXPECT_EQ(snd.at("codec_type"), "audio");
  EXPECT_EQ(snd.at("codec_name"), "aac");
  EXPECT_EQ(snd.at("profile"), "LC");
  EXPECT_EQ(snd.at("sample_rate"), "48000");
  EXPECT_EQ(snd.at("channels"), "2");
  // Every frame after the priming plays: the 3 s of tone and the encoder's padding of the last
  // frame, under one frame.
  const double frameSeconds = 1024.0 / 48000;
  const double audible = static_cast<double>(aac.frames.size() * 1024 - 1024) / 48000;
  // (Behind an empty edit ffprobe states the stream's duration with the priming frame counted; the
  // decoded samples below are exact in both cases.)
  EXPECT_NEAR(std::stod(snd.at("duration")), audible, firstAudible == 0 ? 0.0001 : frameSeconds + 0.0001);
  EXPECT_GE(audible, 3.0);
  EXPECT_LT(audible, 3.0 + frameSeconds);
  // The first audible sample plays with its picture's time.
  const double lead = static_cast<double>(firstAudible) / 1e7;
  EXPECT_NEAR(std::stod(snd.at("start_time")), lead, 0.0001);

  // Both streams decode in full without a word from the decoders.
  const Output decoded =
      RunShell("ffmpeg -nostdin -v warning -i '" + path.string() + "' -map 0:v -map 0:a -f null -", path);
  EXPECT_EQ(decoded.status, 0) << decoded.err;
  EXPECT_EQ(decoded.err, "");
  // The decoded sound holds exactly the audible samples, and the tone from its first sample on:
  // no priming silence before it.
  const Output pcm = RunShell("ffmpeg -nostdin -v error -i '" + path.string() + "' -map 0:a -f s16le -ac 1 -", path);
  ASSERT_EQ(pcm.status, 0) << pcm.err;
  EXPECT_EQ(pcm.out.size() / 2, aac.frames.size() * 1024 - 1024);
  ASSERT_GE(pcm.out.size(), 2u * 48);
  int loudest = 0;
  for (std::size_t i = 0; i < 48; ++i) {  // the first millisecond: half a period of 440 Hz
    const auto sample = static_cast<std::int16_t>(static_cast<std::uint8_t>(pcm.out[2 * i]) |
                                                  static_cast<std::uint8_t>(pcm.out[2 * i + 1]) << 8);
    loudest = std::max(loudest, std::abs(int{sample}));
  }
  EXPECT_GT(loudest, 1000) << "the sound begins with silence: priming left in";

  fs::remove_all(folder);
}

TEST(RealAac, PictureAndSoundBothDecodeInSync) { CheckFile(0); }

// The sound's first sample came half a second after the first picture: an empty edit waits.
TEST(RealAac, SoundThatStartsLaterWaitsForItsTime) { CheckFile(5000000); }

// The recorder's own files with the real streams: a recording of the 3 s of picture and tone, and
// the leftover of the same recording killed after its last picture, rebuilt with the sound it had
// written. Both decode in full,
// both streams without a word from the decoders, the sound from its first sample with the tone
// (the pre-roll frame taken before the first picture, its priming cut).
class RealAacRecording : public RecordingTest {};

TEST_F(RealAacRecording, RecordingAndItsRecoveryDecode) {
  const std::vector<std::vector<std::uint8_t>> units = AccessUnits();
  const AacStream aac = ReadAdts();
  ASSERT_EQ(units.size(), 90u);
  parameterSets.sps = ParameterSet(units[0], 7);
  parameterSets.pps = ParameterSet(units[0], 8);
  audioStream.audioSpecificConfig = aac.config;
  std::vector<EncodedSample> samples;
  for (std::size_t i = 0; i < units.size(); ++i) {
    EncodedSample s;
    s.data = std::make_shared<const std::vector<std::uint8_t>>(units[i]);
    s.time = static_cast<std::int64_t>(i) * 10000000 / 30;
    s.duration = 333333;
    ScanAnnexB(units[i].data(), units[i].size(), [&](const NalUnit& u) { s.keyframe |= u.type == 5; });
    samples.push_back(s);
  }
  // The tone's first sample with the first picture: frame j begins (j * 1024 - 1024) samples in.
  std::vector<EncodedAudio> frames;
  for (std::size_t j = 0; j < aac.frames.size(); ++j) {
    EncodedAudio frame;
    frame.data = std::make_shared<const std::vector<std::uint8_t>>(aac.frames[j]);
    frame.time = (static_cast<std::int64_t>(j) * 1024 - 1024) * 10000000 / 48000;
    frame.run = 1;
    frames.push_back(frame);
  }

  auto check = [&](const fs::path& path, std::size_t seconds) {
    const auto streams = ProbeStreams(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("nb_read_frames"), "90");
    EXPECT_EQ(streams[1].at("codec_name"), "aac");
    EXPECT_NEAR(std::stod(streams[1].at("start_time")), 0.0, 0.0001);
    const Output decoded =
        RunShell("ffmpeg -nostdin -v warning -i '" + path.string() + "' -map 0:v -map 0:a -f null -", path);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.err, "");
    const Output pcm = RunShell("ffmpeg -nostdin -v error -i '" + path.string() + "' -map 0:a -f s16le -ac 1 -", path);
    ASSERT_EQ(pcm.status, 0) << pcm.err;
    // The sound up to the given second, to within the frame that straddles it.
    EXPECT_GE(pcm.out.size() / 2, seconds * 48000);
    EXPECT_LT(pcm.out.size() / 2, seconds * 48000 + 1024);
    ASSERT_GE(pcm.out.size(), 2u * 48);
    int loudest = 0;
    for (std::size_t i = 0; i < 48; ++i) {
      const auto sample = static_cast<std::int16_t>(static_cast<std::uint8_t>(pcm.out[2 * i]) |
                                                    static_cast<std::uint8_t>(pcm.out[2 * i + 1]) << 8);
      loudest = std::max(loudest, std::abs(int{sample}));
    }
    EXPECT_GT(loudest, 1000) << "the sound begins with silence: priming left in";
  };

  RunRecordingControl(1);
  Interleave(samples, frames);
  RunRecordingControl(0);
  check(folder / "rec_20250314_211502.mp4", 3);  // up to the last picture's end

  clock.SetSecond(9);
  sampleHistory.audio.clear();
  RunRecordingControl(1);
  Interleave(samples, frames);
  {
    platform::LockHolder hold(processState.recordingLock);
    platform::CloseFile(recordingFile.handle);
    platform::CloseFile(recordingFile.journal.handle);
    recordingFile = RecordingFile{};
  }
  RunRecordingControl(0);
  LeftoverRecordings leftovers = TakeLeftoverRecordings(RemoveLeftoverTempFiles);
  ASSERT_EQ(leftovers.files.size(), 1u);
  RecoverLeftoverRecordings(leftovers);
  ASSERT_TRUE(fs::exists(folder / "rec_20250314_211509.mp4"));
  // The sound written before the picture at 2 s; what came after it was still in memory.
  check(folder / "rec_20250314_211509.mp4", 2);
}

}  // namespace
