// vistrel-test-encoders.dll: the H.264 and AAC encoders of the Windows end-to-end tests, a COM
// in-process server that the tests register in their Wine prefix the way hardware encoders are
// registered on Windows (regsvr32 calls DllRegisterServer): each encoder's CLSID as an in-process
// server (InprocServer32 = this library, ThreadingModel Both) and, through MFTRegister, as a
// hardware video encoder transform from NV12 to H.264 (the AAC encoders: below). vistrel.exe then
// finds them with the system's own MFTEnumEx and drives them on the system's own samples, buffers
// and media types. Built only with the tests, never installed: it encodes nothing.
//
// Every video encoder is the stand-in's transform (mediafw/encoder_transform.h) over the
// replaying codec (mediafw/replay_codec.h), with the framework objects it makes taken from the
// system's mfplat.dll (system_objects.cpp). They differ in personality, each like a class of
// hardware encoders, and enumerate in the order of their CLSIDs (the registry lists keys sorted):
//
//   refuses-output-type  refuses every output type: listed first, so that a caller must go on
//   async-requests       asynchronous, three input requests outstanding, samples of its own
//   async-padded         asynchronous, padded input (rows rounded up to a multiple of 32: 736 at
//                        720), output samples of the caller's (cbSize 0), and an output type
//                        change before its first output
//   sync                 synchronous, output samples of the caller's (cbSize 2,000,000)
//   codec-api            asynchronous, writes each ICodecAPI value it is given into the file
//                        that VISTREL_MEDIAFW_CODECAPI_RECORD names
//
// Beside them, AAC encoders (test_audio_encoder.h): synchronous software audio encoder
// transforms from PCM to AAC, registered as the system's own is (no flags, the audio encoder
// category; the framework of Wine 8 has none), in the order of their CLSIDs too:
//
//   aac-refuses-output-type  takes its input type, refuses every output type: listed first, so
//                            that a caller must go on
//   aac                      the encoder, which VISTREL_TEST_AAC_FAIL_AFTER=N makes fail once N
//                            inputs have been taken (test_audio_encoder.h: AudioMode)
//
// Environment, read when an encoder is made:
//   VISTREL_TEST_ENCODERS   the personalities present on this machine, comma-separated, or "none"
//                           (the AAC encoders' too); the others fail to activate, as an
//                           encoder whose device is missing. All when unset.
//   VISTREL_MEDIAFW_REPLAY  the recorded stream to replay; when unset, the streams
//                           "vistrel-replay*.h264" beside this library, one for each picture size
//                           and keyframe spacing the tests use. An encoder replays the stream
//                           recorded with the settings it is given (read from the stream); without
//                           one it is listed and fails when streaming begins.
//   VISTREL_MEDIAFW_TYPE_CHANGE, VISTREL_MEDIAFW_INPUT_REQUESTS, VISTREL_MEDIAFW_REFUSE_EVERY,
//   VISTREL_MEDIAFW_FAIL    as in libvistrel-mediafw.so (mediafw/framework.h), for every video
//                           personality; a personality's own manners take precedence.
//   VISTREL_TEST_AAC_FAIL_AFTER  N: the "aac" encoder fails once it has taken N inputs.
#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <objbase.h>
#include <olectl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "mediafw/encoder_transform.h"
#include "mediafw/framework.h"
#include "mediafw/objects/com_object.h"
#include "mediafw/replay_codec.h"
#include "test_audio_encoder.h"

namespace {

using mediafw::TransformMode;

HMODULE self = nullptr;
std::atomic<long> serverLocks{0};  // live class factories and LockServer locks
// Whether an encoder was made: its threads run this library's code, and it does not say when they
// end, so from then on the library stays loaded for the life of the process.
std::atomic<bool> encoderMade{false};

// "The device is not ready": what activating an encoder whose device is missing gives.
constexpr HRESULT kDeviceNotReady = static_cast<HRESULT>(0x80070015);

struct Personality {
  const char* name;             // in VISTREL_TEST_ENCODERS
  const wchar_t* friendlyName;  // registered with the transform
  CLSID clsid;
  void (*shape)(TransformMode& mode);             // for a video encoder
  void (*audioShape)(test_audio::AudioMode& mode);  // for an AAC encoder
};

const Personality kPersonalities[] = {
    {"refuses-output-type", L"vistrel test encoder: refuses its output type",
     {0x1b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x01}},
     [](TransformMode& m) { m.refuseOutputType = true; }, nullptr},
    {"async-requests", L"vistrel test encoder: asynchronous, three input requests",
     {0x2b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x02}},
     [](TransformMode& m) { m.inputRequests = 3; }, nullptr},
    {"async-padded", L"vistrel test encoder: asynchronous, padded input, caller's samples",
     {0x3b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x03}},
     [](TransformMode& m) {
       m.inputRowMultiple = 32;
       m.callerSamples = true;
       m.typeChange = true;
     },
     nullptr},
    {"sync", L"vistrel test encoder: synchronous",
     {0x4b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x04}},
     [](TransformMode& m) { m.async = false; }, nullptr},
    {"codec-api", L"vistrel test encoder: records its codec properties",
     {0x5b4e6f20, 0x7c3a, 0x4d52, {0x9a, 0x61, 0x3e, 0x0f, 0x5c, 0x2d, 0x81, 0x05}},
     [](TransformMode& m) {
       wchar_t path[MAX_PATH];
       const DWORD n = GetEnvironmentVariableW(L"VISTREL_MEDIAFW_CODECAPI_RECORD", path, MAX_PATH);
       if (n > 0 && n < MAX_PATH) m.codecApiRecord = std::filesystem::path(path);
     },
     nullptr},
    {"aac-refuses-output-type", L"vistrel test encoder: AAC, refuses its output type",
     {0x7c1d5e40, 0x3a6b, 0x4f27, {0xb1, 0x94, 0x6e, 0x2a, 0x0c, 0x7d, 0x51, 0x00}}, nullptr,
     [](test_audio::AudioMode& m) { m.refuseOutputType = true; }},
    {"aac", L"vistrel test encoder: AAC", {0x8c1d5e40, 0x3a6b, 0x4f27, {0xb1, 0x94, 0x6e, 0x2a, 0x0c, 0x7d, 0x51, 0x01}},
     nullptr, [](test_audio::AudioMode& m) {
       char text[32];
       const DWORD n = GetEnvironmentVariableA("VISTREL_TEST_AAC_FAIL_AFTER", text, sizeof text);
       if (n > 0 && n < sizeof text) m.failAfterInputs = std::strtoull(text, nullptr, 10);
     }},
};

std::filesystem::path LibraryFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::filesystem::path(std::wstring(path, n)).parent_path();
}

// The streams to replay: the one VISTREL_MEDIAFW_REPLAY names, or those beside this library.
std::vector<std::filesystem::path> StreamPaths() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"VISTREL_MEDIAFW_REPLAY", path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return {std::filesystem::path(path)};
  const std::filesystem::path folder = LibraryFolder();
  std::vector<std::filesystem::path> paths;
  std::error_code error;
  if (folder.empty()) return paths;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::wstring name = it->path().filename().wstring();
    if (name.rfind(L"vistrel-replay", 0) == 0 && it->path().extension() == L".h264") paths.push_back(it->path());
  }
  return paths;
}

// Read once for the process, when an encoder first opens; every encoder picks from the same ones.
mediafw::ReplayCodec::Streams LoadStreams() {
  static std::mutex mutex;
  static mediafw::ReplayCodec::Streams streams;
  std::lock_guard<std::mutex> hold(mutex);
  if (streams.empty()) {
    for (const std::filesystem::path& path : StreamPaths()) {
      if (auto stream = mediafw::ReplayStream::Read(path)) streams.push_back(std::move(stream));
    }
  }
  return streams;
}

bool Present(const char* name) {
  char list[1024];
  const DWORD n = GetEnvironmentVariableA("VISTREL_TEST_ENCODERS", list, sizeof list);
  if (n == 0 || n >= sizeof list) return n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  const std::size_t length = std::strlen(name);
  for (const char* item = list; *item != 0;) {
    const char* comma = std::strchr(item, ',');
    const std::size_t itemLength = comma != nullptr ? static_cast<std::size_t>(comma - item) : std::strlen(item);
    if (itemLength == length && std::strncmp(item, name, length) == 0) return true;
    if (comma == nullptr) break;
    item = comma + 1;
  }
  return false;
}

const Personality* Find(REFCLSID clsid) {
  for (const Personality& p : kPersonalities) {
    if (IsEqualCLSID(p.clsid, clsid)) return &p;
  }
  return nullptr;
}

class ClassFactory final : public mediafw::ComObject<IClassFactory> {
 public:
  explicit ClassFactory(const Personality& personality) : personality_(personality) { ++serverLocks; }
  ~ClassFactory() override { --serverLocks; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      return mediafw::HandOut(static_cast<IClassFactory*>(this), object);
    }
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!Present(personality_.name)) return kDeviceNotReady;
    if (personality_.audioShape != nullptr) {
      // Runs no thread of its own: counted while it lives, as the class factories are.
      test_audio::AudioMode mode;
      personality_.audioShape(mode);
      return test_audio::CreateAudioEncoder(serverLocks, mode, riid, object);
    }
    // The transforms run threads of this library's code and do not say when they end: once one
    // is made, the library stays for the life of the process (DllCanUnloadNow says so too).
    encoderMade = true;
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&LoadStreams), &pinned);

    TransformMode mode;
    const mediafw::Switches switches = mediafw::ReadSwitches();
    mode.typeChange = switches.typeChange;
    mode.inputRequests = switches.inputRequests;
    mode.refuseEvery = switches.refuseEvery;
    mode.fault = switches.fault;
    mode.faultAfterFrames = switches.faultAfterFrames;
    personality_.shape(mode);

    IUnknown* transform = nullptr;
    HRESULT hr = mediafw::CreateEncoderTransform(
        std::unique_ptr<mediafw::Codec>(new (std::nothrow) mediafw::ReplayCodec(&LoadStreams)), mode, &transform);
    if (FAILED(hr)) return hr;
    hr = transform->QueryInterface(riid, object);
    transform->Release();
    return hr;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++serverLocks;
    } else {
      --serverLocks;
    }
    return S_OK;
  }

 private:
  const Personality& personality_;
};

std::wstring ClsidText(const CLSID& clsid) {
  wchar_t text[64];
  if (StringFromGUID2(clsid, text, 64) == 0) return {};
  return text;
}

HRESULT FromWin32(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

HRESULT SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return FromWin32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

// HKCR\CLSID\{clsid} (the name) and its InprocServer32 (this library, ThreadingModel Both).
HRESULT RegisterServer(const Personality& p, const std::wstring& library) {
  const std::wstring key = L"CLSID\\" + ClsidText(p.clsid);
  HKEY server = nullptr;
  HRESULT hr = FromWin32(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &server,
                                         nullptr));
  if (FAILED(hr)) return hr;
  hr = SetString(server, nullptr, p.friendlyName);
  HKEY inproc = nullptr;
  if (SUCCEEDED(hr)) {
    hr = FromWin32(
        RegCreateKeyExW(server, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &inproc, nullptr));
  }
  if (SUCCEEDED(hr)) hr = SetString(inproc, nullptr, library);
  if (SUCCEEDED(hr)) hr = SetString(inproc, L"ThreadingModel", L"Both");
  if (inproc != nullptr) RegCloseKey(inproc);
  RegCloseKey(server);
  return hr;
}

HRESULT UnregisterAll() {
  HRESULT result = S_OK;
  for (const Personality& p : kPersonalities) {
    MFTUnregister(p.clsid);
    const std::wstring key = L"CLSID\\" + ClsidText(p.clsid);
    const LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) result = HRESULT_FROM_WIN32(error);
  }
  return result;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    self = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  const Personality* personality = Find(clsid);
  if (personality == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  IClassFactory* factory = nullptr;
  HRESULT hr = mediafw::CreateObject<ClassFactory>(&factory, *personality);
  if (FAILED(hr)) return hr;
  hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return serverLocks.load() == 0 && !encoderMade.load() ? S_OK : S_FALSE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  const std::wstring library(path, n);
  // Over an earlier registration: the framework's registration leaves values it does not write
  // (the flags of a transform that now has none), so the old one goes first.
  UnregisterAll();
  MFT_REGISTER_TYPE_INFO video[] = {{MFMediaType_Video, MFVideoFormat_NV12}, {MFMediaType_Video, MFVideoFormat_H264}};
  MFT_REGISTER_TYPE_INFO audio[] = {{MFMediaType_Audio, MFAudioFormat_PCM}, {MFMediaType_Audio, MFAudioFormat_AAC}};
  for (const Personality& p : kPersonalities) {
    HRESULT hr = RegisterServer(p, library);
    std::wstring name = p.friendlyName;
    if (SUCCEEDED(hr) && p.audioShape == nullptr) {
      hr = MFTRegister(p.clsid, MFT_CATEGORY_VIDEO_ENCODER, name.data(), MFT_ENUM_FLAG_HARDWARE, 1, &video[0], 1,
                       &video[1], nullptr);
    } else if (SUCCEEDED(hr)) {
      // A software transform, synchronous: no flags.
      hr = MFTRegister(p.clsid, MFT_CATEGORY_AUDIO_ENCODER, name.data(), 0, 1, &audio[0], 1, &audio[1], nullptr);
    }
    if (FAILED(hr)) {
      UnregisterAll();
      return hr;
    }
  }
  return S_OK;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return SUCCEEDED(UnregisterAll()) ? S_OK : SELFREG_E_CLASS;
}
