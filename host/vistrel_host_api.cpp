// The C library over HostExchange: every argument is checked before anything of the block changes,
// and no exception leaves a call.
#define VISTREL_HOST_BUILDING
#include "host/include/vistrel_host.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <system_error>

#include "exchange/exchange.h"
#include "exchange/layout.h"
#include "host/host_exchange.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/wait.h>

#include <cerrno>
#endif

#ifndef VISTREL_VERSION
#error "VISTREL_VERSION must come from the build"
#endif

// The options' layout is the ABI every binding copies (VistrelHost.cs among them): the same on
// every compiler, 32- and 64-bit.
static_assert(sizeof(vistrel_host_options) == 88, "vistrel_host_options changed size");
static_assert(offsetof(vistrel_host_options, width) == 8 && offsetof(vistrel_host_options, record) == 52 &&
                  offsetof(vistrel_host_options, reserved) == 56,
              "vistrel_host_options changed layout");

struct vistrel_host {
  host::HostExchange exchange;
  platform::ProcessHandle child;
  bool started = false;
  bool stopped = false;  // the stop switch is set: no more frames, sound, requests or switches
  bool exited = false;
  std::uint32_t exitCode = 0;
  bool anyFrame = false;
  std::int64_t lastFrameTime = 0;
  bool sound = false;  // the block was made with sound (the handle's own word, not the block's)
  bool anyAudio = false;
  std::int64_t lastAudioTime = 0;
  // What the last look at the heartbeat saw, and when it last moved.
  std::uint32_t seenBeat = 0;
  std::chrono::steady_clock::time_point beatMoved;
};

namespace {

// The block is named after the process: a second handle would take the first one's name.
std::atomic<bool> handleExists{false};

constexpr std::uint32_t kMaxStride = 65536;
constexpr std::int64_t kDefaultClockFrequency = 10000000;
constexpr std::uint32_t kDefaultPacketFrames = 480;
constexpr std::uint32_t kDefaultPacketCount = 400;

bool Version3(const vistrel_host_options& o) {
  return o.width != 0 || o.height != 0 || o.stride != 0 || o.frame_rate_numerator != 0 ||
         o.frame_rate_denominator != 0 || o.bit_rate != 0 || o.pixel_format != 0 || o.sound != 0 ||
         o.sound_packet_frames != 0 || o.sound_packet_count != 0;
}

// The options as HostOptions, false when vistrel would refuse the block they describe (or the
// library cannot make it).
bool TakeOptions(const vistrel_host_options& o, host::HostOptions& out) {
  for (std::uint32_t r : o.reserved) {
    if (r != 0) return false;
  }
  if (o.clock_frequency < 0 || o.log > 1 || o.record > 1) return false;
  out.clockFrequency = o.clock_frequency == 0 ? kDefaultClockFrequency : o.clock_frequency;
  out.log = o.log != 0;
  out.record = o.record != 0;
  if (!Version3(o)) return true;

  host::HostStream s;
  s.width = o.width == 0 ? exchange::kWidth : o.width;
  s.height = o.height == 0 ? exchange::kHeight : o.height;
  s.pixelFormat = o.pixel_format;
  s.bitRate = o.bit_rate;
  if (o.frame_rate_numerator != 0 || o.frame_rate_denominator != 0) {
    s.frameRateNumerator = o.frame_rate_numerator;
    s.frameRateDenominator = o.frame_rate_denominator;
  }
  s.stride = o.stride;
  if (s.width % 2 != 0 || s.width < exchange::kMinWidth3 || s.width > exchange::kMaxWidth3) return false;
  if (s.height % 2 != 0 || s.height < exchange::kMinHeight3 || s.height > exchange::kMaxHeight3) return false;
  if (s.pixelFormat != exchange::kPixelFormatBgra && s.pixelFormat != exchange::kPixelFormatNv12) return false;
  const std::uint64_t rowBytes = std::uint64_t{s.width} * (s.pixelFormat == exchange::kPixelFormatNv12 ? 1 : 4);
  if (s.stride % 4 != 0 || s.stride > kMaxStride || (s.stride != 0 && s.stride < rowBytes)) return false;
  if (s.frameRateDenominator < 1 || s.frameRateNumerator < s.frameRateDenominator ||
      std::uint64_t{s.frameRateNumerator} > std::uint64_t{exchange::kMaxFrameRate3} * s.frameRateDenominator) {
    return false;
  }
  if (s.bitRate != 0 && (s.bitRate < exchange::kMinBitRate3 || s.bitRate > exchange::kMaxBitRate3)) return false;
  out.stream = s;

  if (o.sound > 1) return false;
  if (o.sound == 0) return o.sound_packet_frames == 0 && o.sound_packet_count == 0;
  // vistrel reads no sound in a clock faster than this.
  if (out.clockFrequency > exchange::kMaxSoundClockFrequency) return false;
  out.sound = true;
  out.soundPacketFrames = o.sound_packet_frames == 0 ? kDefaultPacketFrames : o.sound_packet_frames;
  out.soundPacketCount = o.sound_packet_count == 0 ? kDefaultPacketCount : o.sound_packet_count;
  if (out.soundPacketFrames % 2 != 0 || out.soundPacketFrames < exchange::kMinSoundPacketFrames ||
      out.soundPacketFrames > exchange::kMaxSoundPacketFrames || out.soundPacketCount < exchange::kMinSoundPacketCount) {
    return false;
  }
  const std::uint64_t ring = std::uint64_t{out.soundPacketCount} *
                             (exchange::kSoundPacketHeaderBytes + std::uint64_t{out.soundPacketFrames} * exchange::kSoundFrameBytes);
  return ring <= exchange::kMaxSoundRingBytes;
}

// A UTF-8 path in the system's form: UTF-16, absolute, separators as backslashes. False for bytes
// that are no UTF-8 (they would name another file than the caller meant) and for a path the
// system cannot make absolute.
bool SystemPath(const char* utf8, std::u16string& out) {
  const std::string text(utf8);
  const std::u16string wide = platform::Utf16FromUtf8(text);
  if (platform::Utf8FromUtf16(wide) != text) return false;
  std::error_code ec;
#if defined(_WIN32)
  const std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(std::wstring(wide.begin(), wide.end())), ec);
#else
  const std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(text), ec);
#endif
  if (ec) return false;
#if defined(_WIN32)
  const std::wstring native = p.wstring();
  out.assign(native.begin(), native.end());
#else
  out = platform::Utf16FromUtf8(p.string());
#endif
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return true;
}

// The folder of this library, with a separator at its end; empty when it cannot be found.
std::u16string LibraryFolder() {
#if defined(_WIN32)
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&LibraryFolder), &self)) {
    return {};
  }
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
  std::u16string path(name.begin(), name.end());
#else
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || !info.dli_fname) return {};
  std::u16string path;
  if (!SystemPath(info.dli_fname, path)) return {};
#endif
  const auto slash = path.rfind(u'\\');
  if (slash == std::u16string::npos) return {};
  return path.substr(0, slash + 1);
}

// Whether vistrel has ended and its exit code went to someone else: a POSIX game that ignores
// SIGCHLD, or reaps every child itself, leaves nothing to wait for. (Windows keeps the code for the
// handle's holder.)
bool ReapedElsewhere(const platform::ProcessHandle& child) {
#if defined(_WIN32)
  (void)child;
  return false;
#else
  int status = 0;
  return ::waitpid(static_cast<pid_t>(child.pid), &status, WNOHANG) < 0 && errno == ECHILD;
#endif
}

// Notes vistrel's end (and its exit code) when it has come.
void LookForExit(vistrel_host& h) {
  if (!h.started || h.exited) return;
  std::uint32_t code = 0;
  if (platform::WaitProcessFor(h.child, 0, code)) {
    h.exited = true;
    h.exitCode = code;
  } else if (ReapedElsewhere(h.child)) {
    h.exited = true;
    h.exitCode = static_cast<std::uint32_t>(VISTREL_HOST_EXIT_UNKNOWN);
  }
}

std::uint64_t RowBytes(const host::HostStream& s) {
  return std::uint64_t{s.width} * (s.pixelFormat == exchange::kPixelFormatNv12 ? 1 : 4);
}

// The bytes one frame of the stream takes in a caller's buffer with rows stride bytes apart
// (0: packed); 0 when the stride is shorter than a row.
std::uint64_t FrameBytes(const host::HostStream& s, std::uint32_t stride) {
  const std::uint64_t rows = s.pixelFormat == exchange::kPixelFormatNv12 ? std::uint64_t{s.height} * 3 / 2 : s.height;
  const std::uint64_t step = stride == 0 ? RowBytes(s) : stride;
  if (step < RowBytes(s)) return 0;
  return (rows - 1) * step + RowBytes(s);
}

template <typename F>
vistrel_host_result Guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return VISTREL_HOST_E_INTERNAL;
  }
}

}  // namespace

extern "C" {

VISTREL_HOST_API const char* VISTREL_HOST_CALL vistrel_host_version(void) { return VISTREL_VERSION; }

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_create(const char* output_folder,
                                                                         const vistrel_host_options* options,
                                                                         vistrel_host** out) {
  return Guarded([&]() -> vistrel_host_result {
    if (!out) return VISTREL_HOST_E_NULL_HANDLE;
    *out = nullptr;
    if (!output_folder) return VISTREL_HOST_E_NULL_ARGUMENT;
    vistrel_host_options zero;
    std::memset(&zero, 0, sizeof zero);
    host::HostOptions ho;
    if (!TakeOptions(options ? *options : zero, ho)) return VISTREL_HOST_E_BAD_OPTIONS;
    if (output_folder[0] == 0 || !SystemPath(output_folder, ho.outputFolder) ||
        ho.outputFolder.size() > exchange::kOutputFolderUnits - 1) {
      return VISTREL_HOST_E_BAD_OPTIONS;
    }
#if defined(_WIN32)
    // A block of this name still open (the vistrel of an earlier handle of this process has not
    // ended yet) would come back from the system at its own size, with its reader still serving
    // it: never take it over. (On POSIX the old block keeps only its holder once its name is
    // taken for the new one.)
    platform::SharedBlock held;
    if (platform::OpenSharedBlock(exchange::BlockName(platform::CurrentProcessId()), held)) {
      platform::CloseSharedBlock(exchange::BlockName(platform::CurrentProcessId()), held);
      return VISTREL_HOST_E_CREATE_FAILED;
    }
#endif
    if (handleExists.exchange(true)) return VISTREL_HOST_E_CREATE_FAILED;
    vistrel_host* h = new (std::nothrow) vistrel_host;
    if (!h) {
      handleExists = false;
      return VISTREL_HOST_E_INTERNAL;
    }
    bool made = false;
    try {
      made = h->exchange.Create(platform::CurrentProcessId(), ho);
    } catch (...) {
      made = false;
    }
    if (!made) {
      delete h;
      handleExists = false;
      return VISTREL_HOST_E_CREATE_FAILED;
    }
    // The same check vistrel makes when it opens the block: what it would refuse is refused here.
    if (!exchange::CheckBlock(h->exchange.Block(), h->exchange.BlockBytes())) {
      delete h;
      handleExists = false;
      return VISTREL_HOST_E_BAD_OPTIONS;
    }
    h->sound = ho.sound;
    *out = h;
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_start(vistrel_host* host,
                                                                        const char* vistrel_path) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (host->stopped) return VISTREL_HOST_E_STOPPED;
    if (host->started) return VISTREL_HOST_E_ALREADY_STARTED;
    std::u16string exe;
    if (vistrel_path) {
      if (vistrel_path[0] == 0 || !SystemPath(vistrel_path, exe)) return VISTREL_HOST_E_START_FAILED;
    } else {
      const std::u16string folder = LibraryFolder();
      if (folder.empty()) return VISTREL_HOST_E_START_FAILED;
#if defined(_WIN32)
      exe = folder + u"vistrel.exe";
#else
      exe = folder + u"vistrel";
#endif
    }
    const std::u16string pid = platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId()));
    platform::ProcessHandle child;
    if (!platform::StartProcess(exe, {u"--run", pid}, child)) return VISTREL_HOST_E_START_FAILED;
    host->child = child;
    host->started = true;
    host->seenBeat = host->exchange.Heartbeat();
    host->beatMoved = std::chrono::steady_clock::now();
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_submit_frame(vistrel_host* host,
                                                                               const void* pixels,
                                                                               uint64_t bytes,
                                                                               uint32_t stride,
                                                                               int64_t time) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (host->stopped) return VISTREL_HOST_E_STOPPED;
    if (!pixels) return VISTREL_HOST_E_NULL_ARGUMENT;
    const host::HostStream& s = host->exchange.Stream();
    const std::uint64_t needed = FrameBytes(s, stride);
    // A frame larger than the address space (a huge stride on a 32-bit system) fits in no buffer:
    // whatever bytes says, the buffer is short, and the row offsets must not wrap.
    if (needed == 0 || bytes < needed || needed > SIZE_MAX) return VISTREL_HOST_E_SHORT_BUFFER;
    if (host->anyFrame && time <= host->lastFrameTime) return VISTREL_HOST_E_TIME_BACKWARDS;
    const std::size_t rowStep = static_cast<std::size_t>(stride == 0 ? RowBytes(s) : stride);
    if (!host->exchange.OfferFrame(static_cast<const std::uint8_t*>(pixels), rowStep, time)) return VISTREL_HOST_BUSY;
    host->anyFrame = true;
    host->lastFrameTime = time;
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_request_clip(vistrel_host* host,
                                                                               int32_t kind) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (host->stopped) return VISTREL_HOST_E_STOPPED;
    if (kind < VISTREL_HOST_CLIP_DEATH || kind > VISTREL_HOST_CLIP_KEY) return VISTREL_HOST_E_OUT_OF_RANGE;
    host->exchange.RaiseRequest(kind);
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_set_record(vistrel_host* host, int32_t on) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (host->stopped) return VISTREL_HOST_E_STOPPED;
    if (on != 0 && on != 1) return VISTREL_HOST_E_OUT_OF_RANGE;
    host->exchange.SetRecordSwitch(on == 1);
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_submit_audio(vistrel_host* host,
                                                                               const int16_t* pcm,
                                                                               uint64_t frames,
                                                                               int64_t time) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (host->stopped) return VISTREL_HOST_E_STOPPED;
    if (!host->sound) return VISTREL_HOST_E_NO_SOUND;
    if (!pcm && frames != 0) return VISTREL_HOST_E_NULL_ARGUMENT;
    if (frames > VISTREL_HOST_MAX_AUDIO_FRAMES) return VISTREL_HOST_E_OUT_OF_RANGE;
    if (host->anyAudio && time < host->lastAudioTime) return VISTREL_HOST_E_TIME_BACKWARDS;
    // The sound's end must have a time too (the clock is at most kMaxSoundClockFrequency, so the
    // ticks of the most frames one call takes fit easily).
    if (time > std::numeric_limits<std::int64_t>::max() - host->exchange.AudioTicks(frames)) {
      return VISTREL_HOST_E_OUT_OF_RANGE;
    }
    if (frames == 0) return VISTREL_HOST_OK;
    if (!host->exchange.OfferAudio(pcm, static_cast<std::size_t>(frames), time)) return VISTREL_HOST_E_NO_SOUND;
    host->anyAudio = true;
    host->lastAudioTime = time;
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_stop(vistrel_host* host, uint32_t timeout_ms,
                                                                       int32_t* exit_code) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (!host->started) return VISTREL_HOST_E_NOT_STARTED;
    if (!host->stopped) {
      host->exchange.SetStopSwitch();
      host->stopped = true;
    }
    if (!host->exited) {
      std::uint32_t code = 0;
      if (platform::WaitProcessFor(host->child, timeout_ms, code)) {
        host->exited = true;
        host->exitCode = code;
      } else {
        LookForExit(*host);
        if (!host->exited) return VISTREL_HOST_TIMEOUT;
      }
    }
    if (exit_code) *exit_code = static_cast<std::int32_t>(host->exitCode);
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_read_status(vistrel_host* host,
                                                                              int32_t* status,
                                                                              uint32_t* heartbeat) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (!status && !heartbeat) return VISTREL_HOST_E_NULL_ARGUMENT;
    if (status) *status = host->exchange.Status();
    if (heartbeat) *heartbeat = host->exchange.Heartbeat();
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_alive(vistrel_host* host, uint32_t max_age_ms,
                                                                        int32_t* alive) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (!alive) return VISTREL_HOST_E_NULL_ARGUMENT;
    *alive = 0;
    LookForExit(*host);
    if (!host->started || host->exited) return VISTREL_HOST_OK;
    const auto now = std::chrono::steady_clock::now();
    const std::uint32_t beat = host->exchange.Heartbeat();
    if (beat != host->seenBeat) {
      host->seenBeat = beat;
      host->beatMoved = now;
    }
    const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - host->beatMoved).count();
    *alive = host->exchange.Status() == VISTREL_HOST_STATUS_RUNNING && age <= std::int64_t{max_age_ms} ? 1 : 0;
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_frames_taken(vistrel_host* host,
                                                                               uint64_t* frames) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (!frames) return VISTREL_HOST_E_NULL_ARGUMENT;
    *frames = host->exchange.FramesTaken();
    return VISTREL_HOST_OK;
  });
}

VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_destroy(vistrel_host* host) {
  return Guarded([&]() -> vistrel_host_result {
    if (!host) return VISTREL_HOST_E_NULL_HANDLE;
    if (host->started) {
      LookForExit(*host);
      if (!host->exited) host->exchange.SetStopSwitch();
#if defined(_WIN32)
      ::CloseHandle(reinterpret_cast<HANDLE>(host->child.handle));
#endif
    }
    host->exchange.Close();
    delete host;
    handleExists = false;
    return VISTREL_HOST_OK;
  });
}

}  // extern "C"
