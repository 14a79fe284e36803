// vistrel-host: the reference host. Creates the shared block and event, starts vistrel for this
// process, plays a timeline of frames, requests and switches, and reports what happened.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exchange/exchange.h"
#include "host/click_track.h"
#include "host/host_exchange.h"
#include "host/test_picture.h"
#include "platform/atomic.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

// Exit codes of vistrel-host itself; otherwise it ends with vistrel's own code (0, 3 or 4).
constexpr int kUsage = 100;
constexpr int kSetupFailed = 101;
constexpr int kNoExit = 102;

const char* const kHelp = R"(usage: vistrel-host [options] [-- COMMAND [ARGS...]]

Plays the part of a game: creates the shared block and event named after its own process id,
starts "vistrel --run <its pid>" (or COMMAND ARGS... --run <pid>), feeds it frames (1280x720 BGRA
at 30 per second in a version 2 block unless the stream options below ask for a version 3 one),
raises clip requests and flips the record switch on a timeline, then stops it and reports the
status word, the heartbeat rate, the frames taken, vistrel's exit code and the files written.

Timeline (times in seconds from the first frame):
  --duration S          play frames for S seconds (default 10)
  --fast                fast clock: time stamps advance 1/fps per frame while frames are fed as
                        fast as vistrel takes them (long sessions in little time); without it
                        frames follow the real clock
  --request KIND@S      clip request of KIND at S: death, kill, key or a number (repeatable)
  --record              record switch on from the start
  --record-on S         record switch on at S (repeatable)
  --record-off S        record switch off at S (repeatable)
  --stop-at S           set the stop switch at S (default: at the end of the duration)
  --no-stop             never set the stop switch; wait for vistrel to end by itself
  --die-at S            the host ends abruptly at S (as a crashing game would); vistrel must
                        notice, close its recording and exit with 0
  --idle S              after the last frame, wait S seconds with no frames before stopping

Stream (any of these makes the block version 3; without them it is version 2):
  --size WxH            picture size, even, 320x180 to 3840x2160 (default 1280x720)
  --fps N[/D]           frame rate N/D, 1 to 240 per second (default 30); frames are also fed at
                        this rate
  --bitrate B           bit rate in bit/s: 0 (vistrel chooses, the default) or 1000000 to 100000000
  --nv12                slots hold NV12 (BT.709 studio range) instead of BGRA
  --stride S            bytes between rows of a slot: a multiple of 4, at least the row's bytes
                        (4 x width for BGRA, width for NV12); default the row's bytes rounded up to 4

Frames:
  --source test         the numbered test picture (default), drawn at the block's size
  --source FILE         raw frames from FILE ('-' for standard input), rows packed: BGRA (4 bytes a
                        pixel), or with --nv12 NV12 (luma rows, then chroma rows), at the block's size, e.g.
                        ffmpeg -i in.mp4 -f rawvideo -pix_fmt bgra -s 1280x720 - | vistrel-host --source -

Sound (makes the block version 3 with sound: 48 kHz, 2 channels, 16-bit PCM in the ring after
the slots, written in step with the frames and never waiting for vistrel):
  --audio tone          silence, and a click (2 ms of a 4 kHz tone at full level) starting at the
                        time of every frame whose number is a multiple of 30: the sound's sample
                        clock starts at the first frame's time, and each click's first sample is the
                        first one at or after its frame's time stamp, so a file's sync can be
                        measured from the file alone
  --audio FILE          raw PCM from FILE ('-' for standard input): 48 kHz, 2 channels interleaved,
                        16-bit signed little-endian, e.g.
                        ffmpeg -i in.mp4 -f s16le -ar 48000 -ac 2 - | vistrel-host --audio -
                        its first sample goes with the first frame, the rest follows at 48000
                        frames a second of the frames' clock; at its end the sound stops
  --audio-start S       no sound before S seconds after the first frame; from S on the sound goes
                        on at its place on the same clock (sound that starts after the picture)
  --audio-gap S:L       no sound from S seconds after the first frame for L seconds, then it goes
                        on at its place (the reader fills the gap with silence)
  --audio-lead S        S seconds of sound before the first frame, written at the real clock's pace
                        before the first frame goes out, the sound's clock starting S seconds
                        before the first frame's time stamp (sound with no picture yet); not
                        together with --audio-start

Block:
  --out DIR             output folder for clips and recordings (default: ./vistrel-out)
  --log                 ask vistrel to write vistrel.log next to its executable
  --clock-frequency N   ticks per second of the time stamps (default 10000000)
  --clock-start T       time stamp of the first frame in ticks (default 0)
  --vistrel PATH        the vistrel executable (default: beside vistrel-host)
  --timeout S           how long to wait for vistrel to end after the stop (default 30)

Stand-in media framework (Linux):
  --software-encoder    offer the libx264 software encoder (VISTREL_SOFTWARE_ENCODER=1)
  --sync-encoder        make its transforms synchronous (VISTREL_MEDIAFW_SYNC=1)
  --type-change         make them announce an output type change (VISTREL_MEDIAFW_TYPE_CHANGE=1)

Exit code: vistrel's own (0 stopped or host ended, 3 no working encoder, 4 failure),
100 for a bad command line, 101 when the block or vistrel cannot be started, 102 when vistrel
did not end in time (it is then killed).
)";

struct TimedEvent {
  double at = 0;
  enum Kind { Request, RecordOn, RecordOff, Stop, Die } kind = Request;
  std::int32_t value = 0;
};

struct Options {
  double duration = 10;
  double fps = 30;
  bool fast = false;
  // Any stream option makes the block version 3.
  bool version3 = false;
  host::HostStream stream;
  std::vector<TimedEvent> events;
  std::optional<double> stopAt;
  bool noStop = false;
  double idle = 0;
  std::string source = "test";
  std::string audio;  // empty: no sound; "tone", a file or "-"
  double audioStart = 0;  // seconds from the first frame without sound
  std::vector<std::pair<double, double>> audioGaps;  // (from, length) in seconds from the first frame
  double audioLead = 0;  // seconds of sound before the first frame
  std::string out = "vistrel-out";
  bool log = false;
  bool record = false;
  std::int64_t clockFrequency = 10000000;
  std::int64_t clockStart = 0;
  std::string vistrel;
  double timeout = 30;
  std::vector<std::string> command;
  // Internal: the inner host of a --die-at run writes vistrel's pid here.
  std::string reportPidTo;
};

bool ParseNumber(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end && *end == 0 && end != text;
}

bool ParseUnsigned(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

// "WxH", even and within the limits of a version 3 block.
bool ParseSize(const std::string& text, std::uint32_t& width, std::uint32_t& height) {
  const auto x = text.find('x');
  if (x == std::string::npos || !ParseUnsigned(text.substr(0, x), width) ||
      !ParseUnsigned(text.substr(x + 1), height)) {
    return false;
  }
  return width % 2 == 0 && height % 2 == 0 && width >= exchange::kMinWidth3 && width <= exchange::kMaxWidth3 &&
         height >= exchange::kMinHeight3 && height <= exchange::kMaxHeight3;
}

// "N" or "N/D", 1 to 240 frames a second.
bool ParseRate(const std::string& text, std::uint32_t& numerator, std::uint32_t& denominator) {
  const auto slash = text.find('/');
  denominator = 1;
  if (!ParseUnsigned(text.substr(0, slash), numerator)) return false;
  if (slash != std::string::npos && !ParseUnsigned(text.substr(slash + 1), denominator)) return false;
  return denominator >= 1 && numerator >= denominator &&
         std::uint64_t{numerator} <= std::uint64_t{exchange::kMaxFrameRate3} * denominator;
}

bool ParseKind(const std::string& text, std::int32_t& kind) {
  if (text == "death") kind = 1;
  else if (text == "kill") kind = 2;
  else if (text == "key") kind = 3;
  else {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (!end || *end != 0 || text.empty()) return false;
    kind = static_cast<std::int32_t>(v);
  }
  return true;
}

bool Parse(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char*& v) {
      if (i + 1 >= argc) {
        error = a + " needs a value";
        return false;
      }
      v = argv[++i];
      return true;
    };
    auto seconds = [&](double& s) {
      const char* v = nullptr;
      if (!value(v)) return false;
      if (!ParseNumber(v, s) || s < 0) {
        error = a + ": not a number of seconds: " + v;
        return false;
      }
      return true;
    };
    const char* v = nullptr;
    double s = 0;
    if (a == "--") {
      for (++i; i < argc; ++i) o.command.emplace_back(argv[i]);
      if (o.command.empty()) {
        error = "-- needs a command";
        return false;
      }
    } else if (a == "--duration") {
      if (!seconds(o.duration)) return false;
    } else if (a == "--size") {
      if (!value(v)) return false;
      if (!ParseSize(v, o.stream.width, o.stream.height)) {
        error = std::string("--size wants WxH, both even, 320x180 to 3840x2160: ") + v;
        return false;
      }
      o.version3 = true;
    } else if (a == "--fps") {
      if (!value(v)) return false;
      if (!ParseRate(v, o.stream.frameRateNumerator, o.stream.frameRateDenominator)) {
        error = std::string("--fps wants N or N/D, 1 to 240 frames a second: ") + v;
        return false;
      }
      o.fps = static_cast<double>(o.stream.frameRateNumerator) / o.stream.frameRateDenominator;
      o.version3 = true;
    } else if (a == "--bitrate") {
      if (!value(v)) return false;
      std::uint32_t b = 0;
      if (!ParseUnsigned(v, b) || (b != 0 && (b < exchange::kMinBitRate3 || b > exchange::kMaxBitRate3))) {
        error = std::string("--bitrate wants 0 or 1000000 to 100000000 bit/s: ") + v;
        return false;
      }
      o.stream.bitRate = b;
      o.version3 = true;
    } else if (a == "--nv12") {
      o.stream.pixelFormat = exchange::kPixelFormatNv12;
      o.version3 = true;
    } else if (a == "--stride") {
      if (!value(v)) return false;
      if (!ParseUnsigned(v, o.stream.stride) || o.stream.stride == 0) {
        error = std::string("--stride wants a number of bytes: ") + v;
        return false;
      }
      o.version3 = true;
    } else if (a == "--fast") {
      o.fast = true;
    } else if (a == "--request") {
      if (!value(v)) return false;
      const std::string text = v;
      const auto at = text.find('@');
      TimedEvent e;
      e.kind = TimedEvent::Request;
      if (at == std::string::npos || !ParseKind(text.substr(0, at), e.value) ||
          !ParseNumber(text.substr(at + 1).c_str(), e.at) || e.at < 0) {
        error = "--request wants KIND@SECONDS, e.g. death@17: " + text;
        return false;
      }
      o.events.push_back(e);
    } else if (a == "--record") {
      o.record = true;
    } else if (a == "--record-on" || a == "--record-off") {
      if (!seconds(s)) return false;
      o.events.push_back({s, a == "--record-on" ? TimedEvent::RecordOn : TimedEvent::RecordOff, 0});
    } else if (a == "--stop-at") {
      if (!seconds(s)) return false;
      o.stopAt = s;
    } else if (a == "--no-stop") {
      o.noStop = true;
    } else if (a == "--die-at") {
      if (!seconds(s)) return false;
      o.events.push_back({s, TimedEvent::Die, 0});
    } else if (a == "--idle") {
      if (!seconds(o.idle)) return false;
    } else if (a == "--source") {
      if (!value(v)) return false;
      o.source = v;
    } else if (a == "--audio") {
      if (!value(v)) return false;
      o.audio = v;
      if (o.audio.empty()) {
        error = "--audio wants tone, a file or -";
        return false;
      }
      o.version3 = true;
    } else if (a == "--audio-start") {
      if (!seconds(o.audioStart)) return false;
    } else if (a == "--audio-lead") {
      if (!seconds(o.audioLead)) return false;
    } else if (a == "--audio-gap") {
      if (!value(v)) return false;
      const std::string text = v;
      const auto colon = text.find(':');
      double from = 0, length = 0;
      if (colon == std::string::npos || !ParseNumber(text.substr(0, colon).c_str(), from) ||
          !ParseNumber(text.substr(colon + 1).c_str(), length) || !(from >= 0) || !(length > 0)) {
        error = "--audio-gap wants FROM:LENGTH in seconds, e.g. 3:2: " + text;
        return false;
      }
      o.audioGaps.emplace_back(from, length);
    } else if (a == "--out") {
      if (!value(v)) return false;
      o.out = v;
    } else if (a == "--log") {
      o.log = true;
    } else if (a == "--clock-frequency" || a == "--clock-start") {
      if (!value(v)) return false;
      char* end = nullptr;
      const long long n = std::strtoll(v, &end, 10);
      if (!end || *end != 0) {
        error = a + ": not an integer: " + v;
        return false;
      }
      (a == "--clock-frequency" ? o.clockFrequency : o.clockStart) = n;
    } else if (a == "--vistrel") {
      if (!value(v)) return false;
      o.vistrel = v;
    } else if (a == "--timeout") {
      if (!seconds(o.timeout)) return false;
    } else if (a == "--software-encoder") {
      platform::SetEnvironment("VISTREL_SOFTWARE_ENCODER", "1");
    } else if (a == "--sync-encoder") {
      platform::SetEnvironment("VISTREL_MEDIAFW_SYNC", "1");
    } else if (a == "--type-change") {
      platform::SetEnvironment("VISTREL_MEDIAFW_TYPE_CHANGE", "1");
    } else if (a == "--report-pid-to") {
      if (!value(v)) return false;
      o.reportPidTo = v;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else {
      error = "unknown option " + a + " (see --help)";
      return false;
    }
  }
  if (o.audio == "-" && o.source == "-") {
    error = "--audio - and --source - cannot both read standard input";
    return false;
  }
  if ((o.audioStart > 0 || o.audioLead > 0 || !o.audioGaps.empty()) && o.audio.empty()) {
    error = "--audio-start, --audio-gap and --audio-lead need --audio";
    return false;
  }
  if (o.audioStart > 0 && o.audioLead > 0) {
    error = "--audio-start and --audio-lead cannot go together";
    return false;
  }
  // Far beyond any session, and within the clock's range in ticks.
  constexpr double kLongestSoundSeconds = 1e6;
  bool tooLong = o.audioStart > kLongestSoundSeconds || o.audioLead > kLongestSoundSeconds;
  for (const auto& g : o.audioGaps) {
    tooLong = tooLong || g.first > kLongestSoundSeconds || g.second > kLongestSoundSeconds;
  }
  if (tooLong) {
    error = "--audio-start, --audio-gap and --audio-lead take at most 1000000 seconds";
    return false;
  }
  if (o.stream.stride != 0) {
    const bool nv12 = o.stream.pixelFormat == exchange::kPixelFormatNv12;
    const std::uint64_t rowBytes = std::uint64_t{o.stream.width} * (nv12 ? 1 : 4);
    if (o.stream.stride % 4 != 0 || o.stream.stride < rowBytes) {
      error = "--stride must be a multiple of 4 and at least " + std::to_string(rowBytes) + " (the row's bytes)";
      return false;
    }
  }
  std::stable_sort(o.events.begin(), o.events.end(),
                   [](const TimedEvent& x, const TimedEvent& y) { return x.at < y.at; });
  return true;
}

// The system's path form for a path given on the command line.
std::u16string SystemPath(const std::string& path) {
  std::u16string p = platform::Utf16FromUtf8(path);
  for (char16_t& c : p) {
    if (c == u'/') c = u'\\';
  }
  return p;
}

// vistrel beside this executable, with the same extension (".exe" on Windows).
std::u16string DefaultVistrel() {
  std::u16string self = platform::ExecutablePath();
  const auto slash = self.rfind(u'\\');
  std::u16string folder = slash == std::u16string::npos ? u"" : self.substr(0, slash + 1);
  std::u16string name = slash == std::u16string::npos ? self : self.substr(slash + 1);
  const auto dot = name.rfind(u'.');
  return folder + u"vistrel" + (dot == std::u16string::npos ? u"" : name.substr(dot));
}

std::u16string AbsoluteFolder(const std::string& out) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(out), ec);
  return SystemPath(ec ? out : p.string());
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

class FrameSource {
 public:
  // stream: the block's, or empty for version 2.
  bool Open(const std::string& source, const std::optional<host::HostStream>& stream) {
    stream_ = stream;
    if (source == "test") return true;
    if (source == "-") {
      platform::SetStdinBinary();
      file_ = stdin;
      return true;
    }
    file_ = std::fopen(source.c_str(), "rb");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
  }
  ~FrameSource() {
    if (owned_) std::fclose(file_);
  }
  // Fills the slot with frame n; false at the end of the input.
  bool Fill(std::uint8_t* slot, std::uint32_t n) {
    if (!stream_) {
      if (!file_) {
        host::DrawTestPicture(slot, exchange::kStride, n);
        return true;
      }
      return std::fread(slot, 1, exchange::kSlotBytes, file_) == exchange::kSlotBytes;
    }
    const host::HostStream& s = *stream_;
    const bool nv12 = s.pixelFormat == exchange::kPixelFormatNv12;
    const std::size_t stride = s.RowStride();
    if (!file_) {
      if (nv12) host::DrawTestPictureNv12(slot, s.width, s.height, stride, n);
      else host::DrawTestPicture(slot, s.width, s.height, stride, n);
      return true;
    }
    // Packed rows in the file, stride bytes apart in the slot.
    const std::size_t rowBytes = std::size_t{s.width} * (nv12 ? 1 : 4);
    const std::size_t rows = nv12 ? std::size_t{s.height} * 3 / 2 : s.height;
    frame_.resize(rowBytes * rows);
    if (std::fread(frame_.data(), 1, frame_.size(), file_) != frame_.size()) return false;
    for (std::size_t y = 0; y < rows; ++y) std::memcpy(slot + y * stride, frame_.data() + y * rowBytes, rowBytes);
    return true;
  }

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::optional<host::HostStream> stream_;
  std::vector<std::uint8_t> frame_;
};

// The host's sound: the click track or raw PCM from a file, handed to the block in step with the
// frames. Sample k of the sound lies at the first frame's time + k / 48000 s; Pump writes the
// samples before a time no frame still to come can precede, so a click is never late for its frame.
class SoundSource {
 public:
  bool Open(const std::string& audio, std::int64_t clockFrequency) {
    clockFrequency_ = clockFrequency;
    if (audio.empty()) return true;
    on_ = true;
    if (audio == "tone") {
      tone_ = std::make_unique<host::ClickTrack>(clockFrequency);
      return true;
    }
    if (audio == "-") {
      platform::SetStdinBinary();
      file_ = stdin;
      return true;
    }
    file_ = std::fopen(audio.c_str(), "rb");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
  }
  ~SoundSource() {
    if (owned_) std::fclose(file_);
  }
  bool On() const { return on_; }

  // The stretches of the timeline (seconds from the first frame) the host keeps quiet: the sound
  // there is made and thrown away, so that what follows stays at its place.
  void HoldBack(double startSeconds, const std::vector<std::pair<double, double>>& gaps) {
    if (startSeconds > 0) heldSeconds_.emplace_back(0.0, startSeconds);
    heldSeconds_.insert(heldSeconds_.end(), gaps.begin(), gaps.end());
  }

  // The sound starts at time, before the first frame (its lead).
  void StartAt(std::int64_t time) {
    if (!on_) return;
    if (tone_) {
      tone_->StartAt(time);
    } else if (!started_) {
      started_ = true;
      start_ = time;
    }
  }

  // Frame n went out at time.
  void Picture(std::uint32_t n, std::int64_t time) {
    if (!on_) return;
    if (tone_) {
      tone_->AddPicture(n, time);
    } else if (!started_) {
      started_ = true;
      start_ = time;
    }
    if (!firstPicture_) {
      firstPicture_ = true;
      const std::int64_t start = tone_ ? tone_->Start() : start_;
      const auto at = [&](double seconds) {
        const auto ticks = static_cast<std::int64_t>(seconds * static_cast<double>(clockFrequency_));
        return host::SampleAtOrAfter(start, time + ticks, clockFrequency_);
      };
      for (const auto& h : heldSeconds_) held_.push_back({at(h.first), at(h.first + h.second)});
    }
  }

  // Writes the sound before until.
  void Pump(host::HostExchange& ex, std::int64_t until) {
    if (!on_) return;
    pcm_.clear();
    if (tone_) {
      const std::uint64_t first = tone_->Rendered();
      const std::size_t frames = tone_->Render(until, pcm_);
      Offer(ex, first, frames);
      return;
    }
    if (!started_ || ended_) return;
    const std::uint64_t end = host::SampleAtOrAfter(start_, until, clockFrequency_);
    if (end <= read_) return;
    // At most a second at a time: a file far behind catches up over a few calls.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - read_, exchange::kSoundRate));
    pcm_.resize(want * exchange::kSoundChannels);
    const std::size_t got = std::fread(pcm_.data(), exchange::kSoundFrameBytes, want, file_);
    if (got < want) ended_ = true;  // its end (or a read error): the sound stops here
    if (got > 0) {
      ToHostOrder(got);
      Offer(ex, read_, got);
    }
    read_ += got;
  }

 private:
  // Hands pcm_, the sound's samples from first on, to the block, but for the held stretches.
  void Offer(host::HostExchange& ex, std::uint64_t first, std::size_t frames) {
    if (frames == 0) return;
    const std::int64_t start = tone_ ? tone_->Start() : start_;
    for (const host::SampleSpan& span : host::SpansToWrite(first, frames, held_)) {
      const std::int16_t* pcm = pcm_.data() + (span.from - first) * exchange::kSoundChannels;
      ex.OfferAudio(pcm, static_cast<std::size_t>(span.to - span.from),
                    host::TimeOfSample(start, span.from, clockFrequency_));
    }
  }

  // The input is little-endian; so are the systems vistrel runs on, but say so where it matters.
  void ToHostOrder(std::size_t frames) {
    for (std::size_t i = 0; i < frames * exchange::kSoundChannels; ++i) {
      const auto* b = reinterpret_cast<const std::uint8_t*>(&pcm_[i]);
      pcm_[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | b[1] << 8));
    }
  }

  bool on_ = false;
  std::int64_t clockFrequency_ = 0;
  std::unique_ptr<host::ClickTrack> tone_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  bool started_ = false;
  bool ended_ = false;
  std::int64_t start_ = 0;
  std::uint64_t read_ = 0;
  std::vector<std::int16_t> pcm_;
  std::vector<std::pair<double, double>> heldSeconds_;
  bool firstPicture_ = false;
  std::vector<host::SampleSpan> held_;  // samples from the sound's start
};

struct Report {
  std::int32_t status = 0;
  double heartbeatRate = 0;
  std::uint64_t framesOffered = 0;
  std::uint64_t framesTaken = 0;
  std::optional<std::uint32_t> exitCode;
  std::optional<std::uint64_t> soundPackets;  // with --audio: packets written to the ring
};

void PrintFiles(const std::u16string& folder) {
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(folder + u"\\*", entries);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  std::string shown = platform::Utf8FromUtf16(folder);
  // Show a POSIX folder ("\tmp\out") in its own form.
  if (!shown.empty() && shown[0] == '\\') std::replace(shown.begin(), shown.end(), '\\', '/');
  std::printf("files in %s:\n", shown.c_str());
  for (const auto& e : entries) {
    if (e.kind != platform::EntryKind::File) continue;
    std::printf("  %s  %" PRIu64 " bytes\n", platform::Utf8FromUtf16(e.name).c_str(), e.size);
  }
}

void PrintReport(const Report& r, const std::u16string& folder) {
  std::printf("status: %d\n", r.status);
  std::printf("heartbeat: %.0f per second\n", r.heartbeatRate);
  std::printf("frames: %" PRIu64 " offered, %" PRIu64 " taken\n", r.framesOffered, r.framesTaken);
  if (r.soundPackets) std::printf("sound: %" PRIu64 " packets written\n", *r.soundPackets);
  if (r.exitCode) std::printf("vistrel exit code: %u\n", *r.exitCode);
  else std::printf("vistrel exit code: none (did not end in time)\n");
  PrintFiles(folder);
  std::fflush(stdout);
}

// Plays the timeline as the host. Returns vistrel-host's exit code; a --die-at ends the process.
int RunHost(const Options& o) {
  const std::uint32_t pid = platform::CurrentProcessId();
  host::HostOptions ho;
  ho.outputFolder = AbsoluteFolder(o.out);
  ho.clockFrequency = o.clockFrequency;
  ho.log = o.log;
  ho.record = o.record;
  if (o.version3) ho.stream = o.stream;
  ho.sound = !o.audio.empty();
  host::HostExchange ex;
  if (!ex.Create(pid, ho)) {
    std::fprintf(stderr, "vistrel-host: cannot create the shared block and event\n");
    return kSetupFailed;
  }
  FrameSource frames;
  if (!frames.Open(o.source, ho.stream)) {
    std::fprintf(stderr, "vistrel-host: cannot open %s\n", o.source.c_str());
    return kSetupFailed;
  }
  SoundSource sound;
  if (!sound.Open(o.audio, o.clockFrequency)) {
    std::fprintf(stderr, "vistrel-host: cannot open %s\n", o.audio.c_str());
    return kSetupFailed;
  }
  sound.HoldBack(o.audioStart, o.audioGaps);

  std::u16string exe;
  std::vector<std::u16string> args;
  if (!o.command.empty()) {
    exe = SystemPath(o.command[0]);
    for (std::size_t i = 1; i < o.command.size(); ++i) args.push_back(platform::Utf16FromUtf8(o.command[i]));
  } else {
    exe = o.vistrel.empty() ? DefaultVistrel() : SystemPath(o.vistrel);
  }
  args.push_back(u"--run");
  args.push_back(platform::Utf16FromUtf8(std::to_string(pid)));
  platform::ProcessHandle child;
  if (!platform::StartProcess(exe, args, child)) {
    std::fprintf(stderr, "vistrel-host: cannot start %s\n", platform::Utf8FromUtf16(exe).c_str());
    return kSetupFailed;
  }
  if (!o.reportPidTo.empty()) {
    std::ofstream(o.reportPidTo) << child.pid << "\n";
  }

  Report report;
  std::uint32_t code = 0;
  bool ended = false;
  if (o.audioLead > 0 && sound.On()) {
    // Sound before any picture, as a game's that plays before it shows a frame: in real time, up to
    // the first frame's time stamp. The timeline (frames, requests, switches) starts after it.
    const auto leadTicks = static_cast<std::int64_t>(o.audioLead * static_cast<double>(o.clockFrequency));
    const std::int64_t leadStart = o.clockStart - leadTicks;
    sound.StartAt(leadStart);
    const auto leadBegin = std::chrono::steady_clock::now();
    while (!ended) {
      const double elapsed = Seconds(std::chrono::steady_clock::now() - leadBegin);
      if (elapsed >= o.audioLead) break;
      sound.Pump(ex, leadStart + static_cast<std::int64_t>(elapsed * static_cast<double>(o.clockFrequency)));
      ended = platform::WaitProcessFor(child, 0, code);
      platform::SleepMilliseconds(5);
    }
    sound.Pump(ex, o.clockStart);
  }
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t beatsAtStart = ex.Heartbeat();
  const double stopAt = o.stopAt.value_or(o.duration + o.idle);
  const auto frameCount = static_cast<std::uint64_t>(o.duration * o.fps + 0.5);
  std::size_t nextEvent = 0;
  std::uint64_t n = 0;
  bool inputEnded = false;

  auto runEventsUpTo = [&](double t) {
    while (nextEvent < o.events.size() && o.events[nextEvent].at <= t) {
      const TimedEvent& e = o.events[nextEvent++];
      switch (e.kind) {
        case TimedEvent::Request: ex.RaiseRequest(e.value); break;
        case TimedEvent::RecordOn: ex.SetRecordSwitch(true); break;
        case TimedEvent::RecordOff: ex.SetRecordSwitch(false); break;
        case TimedEvent::Stop: break;
        case TimedEvent::Die:
          std::fflush(stdout);
          platform::TerminateSelf(9);
      }
    }
  };

  // Frames, then idle time, until the stop. Timeline time is the frames' own clock in fast mode
  // (and the real clock once they are all out), the real clock otherwise.
  double framesEndWall = -1;
  // A time on the timeline in the host's clock, as the frames are stamped.
  auto stampAt = [&](double seconds) {
    return o.clockStart + static_cast<std::int64_t>(seconds * static_cast<double>(o.clockFrequency));
  };
  std::int64_t lastStamp = 0;
  bool soundEnded = false;
  // The end of the frames (all out, the input ended, or the stop came first): the sound runs to
  // the end of the last frame and no further.
  auto endSound = [&] {
    if (soundEnded) return;
    soundEnded = true;
    if (n > 0) sound.Pump(ex, lastStamp + static_cast<std::int64_t>(static_cast<double>(o.clockFrequency) / o.fps));
  };
  while (!ended) {
    if (platform::WaitProcessFor(child, 0, code)) {
      ended = true;
      break;
    }
    const double wall = Seconds(std::chrono::steady_clock::now() - start);
    const bool framesLeft = n < frameCount && !inputEnded;
    if (!framesLeft && framesEndWall < 0) framesEndWall = wall;
    // The sound runs while the frames do, whether or not vistrel takes them: up to the time the
    // next frame would be stamped with now, and at their end up to the end of the last frame.
    if (framesLeft) sound.Pump(ex, stampAt(o.fast ? static_cast<double>(n) / o.fps : wall));
    else endSound();
    double t = wall;
    if (o.fast) t = framesLeft ? static_cast<double>(n) / o.fps : static_cast<double>(n) / o.fps + (wall - framesEndWall);
    runEventsUpTo(t);
    if (!o.noStop && t >= stopAt) {
      endSound();
      ex.SetStopSwitch();
      break;
    }
    if (!framesLeft) {
      platform::SleepMilliseconds(5);
      continue;
    }
    const double due = static_cast<double>(n) / o.fps;
    if (!o.fast && wall < due) {
      platform::SleepMilliseconds(1);
      continue;
    }
    std::uint8_t* slot = ex.NextSlot();
    if (!slot) {
      platform::SleepMilliseconds(1);
      continue;
    }
    if (!frames.Fill(slot, static_cast<std::uint32_t>(n))) {
      inputEnded = true;
      continue;
    }
    // Time stamps in the host's clock: the frame's place on the timeline.
    const double at = o.fast ? due : wall;
    lastStamp = stampAt(at);
    ex.SubmitSlot(lastStamp);
    sound.Picture(static_cast<std::uint32_t>(n), lastStamp);
    ++n;
  }
  const double played = Seconds(std::chrono::steady_clock::now() - start);
  report.heartbeatRate = played > 0 ? (ex.Heartbeat() - beatsAtStart) / played : 0;

  if (!ended) {
    const auto limit = static_cast<std::uint32_t>(o.timeout * 1000);
    if (platform::WaitProcessFor(child, limit, code)) {
      ended = true;
    } else {
      platform::KillProcess(child);
      platform::WaitProcessFor(child, 5000, code);
    }
  }
  report.status = ex.Status();
  report.framesOffered = n;
  report.framesTaken = ex.FramesTaken();
  if (sound.On()) report.soundPackets = ex.AudioPacketsWritten();
  if (ended) report.exitCode = code;
  PrintReport(report, ho.outputFolder);
  return ended ? static_cast<int>(code) : kNoExit;
}

// A --die-at run: this outer process starts the host as a child of its own, lets it end abruptly,
// and reports on vistrel, which outlives its host.
int RunOuter(int argc, char** argv, const Options& o) {
  platform::BecomeChildReaper();
  const std::string pidFile = o.out + "/.vistrel-host-child.pid";
  platform::MakeDirectory(SystemPath(o.out));
  platform::RemoveFile(SystemPath(pidFile));
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(platform::Utf16FromUtf8(argv[i]));
  args.push_back(u"--report-pid-to");
  args.push_back(platform::Utf16FromUtf8(pidFile));
  platform::ProcessHandle inner;
  if (!platform::StartProcess(platform::ExecutablePath(), args, inner)) return kSetupFailed;

  std::uint32_t vistrelPid = 0;
  std::uint32_t innerCode = 0;
  bool innerEnded = false;
  for (int i = 0; i < 3000 && vistrelPid == 0; ++i) {
    std::ifstream in(pidFile);
    if (!(in >> vistrelPid)) vistrelPid = 0;
    if (vistrelPid == 0 && platform::WaitProcessFor(inner, 0, innerCode)) {
      innerEnded = true;
      break;
    }
    if (vistrelPid == 0) platform::SleepMilliseconds(10);
  }
  if (vistrelPid == 0) return innerEnded ? static_cast<int>(innerCode) : kSetupFailed;
  platform::RemoveFile(SystemPath(pidFile));
  platform::ProcessHandle vistrel;
  const bool adopted = platform::AdoptProcess(vistrelPid, vistrel);
  platform::SharedBlock block;
  const std::u16string blockName = exchange::BlockName(inner.pid);
  const std::u16string eventName = exchange::EventName(inner.pid);
  for (int i = 0; i < 500 && !platform::OpenSharedBlock(blockName, block); ++i) platform::SleepMilliseconds(10);

  if (!innerEnded) platform::WaitProcessFor(inner, 0xFFFFFFFFu, innerCode);
  std::printf("host ended abruptly (code %u)\n", innerCode);
  Report report;
  std::uint32_t code = 0;
  const bool ended = adopted && platform::WaitProcessFor(vistrel, static_cast<std::uint32_t>(o.timeout * 1000), code);
  if (!ended && adopted) platform::KillProcess(vistrel);
  // Any block that holds the header (a version 3 one may be smaller than a version 2 one).
  if (block.view && block.size >= sizeof(exchange::ExchangeHeader)) {
    auto* h = reinterpret_cast<exchange::ExchangeHeader*>(block.view);
    report.status = platform::AtomicLoad(h->status);
  }
  if (ended) report.exitCode = code;
  PrintReport(report, AbsoluteFolder(o.out));
  // The dead host left its named objects behind.
  platform::CloseSharedBlock(blockName, block);
  platform::NamedEvent none;
  platform::CloseNamedEvent(eventName, none);
  return ended ? static_cast<int>(code) : kNoExit;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!Parse(argc, argv, o, error)) {
    std::fprintf(stderr, "vistrel-host: %s\n", error.c_str());
    return kUsage;
  }
  platform::MakeDirectory(SystemPath(o.out));
  const bool dies = std::any_of(o.events.begin(), o.events.end(),
                                [](const TimedEvent& e) { return e.kind == TimedEvent::Die; });
  if (dies && o.reportPidTo.empty()) return RunOuter(argc, argv, o);
  return RunHost(o);
}
