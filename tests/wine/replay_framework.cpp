// mfplat.dll of the Windows tests: the media framework's five entry points (the stand-in's own,
// src/mediafw) over one "hardware" H.264 encoder that replays access units from the file
// "vistrel-replay.h264" beside this library (recorded by the tests before they run; see
// process_test.sh). A test copies both next to vistrel.exe, which then loads this library instead
// of the system's, by its plain name. Never installed: it encodes nothing.
//
// Its transform is asynchronous unless VISTREL_MEDIAFW_SYNC=1, and VISTREL_MEDIAFW_TYPE_CHANGE=1
// makes it announce an output type change (src/mediafw/framework.h). Without the stream file the
// encoder is still listed, and fails when streaming begins, as a hardware encoder whose device is
// gone does.
#include <windows.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "mediafw/framework.h"
#include "replay_codec.h"

namespace {

// The stream file's path: this library's own path with its file name replaced.
std::wstring StreamPath() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&StreamPath), &self)) {
    return {};
  }
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::wstring p(path, n);
  const auto slash = p.rfind(L'\\');
  if (slash == std::wstring::npos) return {};
  return p.substr(0, slash + 1) + L"vistrel-replay.h264";
}

// Read once for the process; every transform replays the same units.
std::shared_ptr<const replay::Stream> LoadStream() {
  static std::mutex mutex;
  static std::shared_ptr<const replay::Stream> stream;
  std::lock_guard<std::mutex> hold(mutex);
  if (stream) return stream;
  const std::wstring path = StreamPath();
  if (path.empty()) return nullptr;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  CloseHandle(file);
  auto split = std::make_shared<replay::Stream>(replay::Stream::Split(bytes.data(), bytes.size()));
  if (split->units.empty()) return nullptr;
  stream = split;
  return stream;
}

}  // namespace

namespace mediafw {

void ApplySwitches(const Switches&) {}

std::vector<EncoderOffer> OfferedEncoders(const Switches&) {
  return {EncoderOffer{"Replaying H.264 test encoder (vistrel-replay.h264)", [] {
                         return std::unique_ptr<Codec>(new (std::nothrow) replay::ReplayCodec(&LoadStream));
                       }}};
}

}  // namespace mediafw
