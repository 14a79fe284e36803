// A tiny framework library for the loader tests, built several times: complete, without
// MFCreateMemoryBuffer (FAKE_WITHOUT_MEMORY_BUFFER), or with an MFStartup that fails
// (FAKE_STARTUP_RESULT). It records its MFStartup calls, which the tests read through
// FakeStartupRecord. Every entry point but MFStartup answers E_NOTIMPL.
#include "encoder/media_framework.h"

#ifndef FAKE_STARTUP_RESULT
#define FAKE_STARTUP_RESULT 0
#endif

namespace {
int startupCalls = 0;
unsigned long startupVersion = 0;
unsigned long startupFlags = 0;
}  // namespace

extern "C" {

void FakeStartupRecord(int* calls, unsigned long* version, unsigned long* flags);

void FakeStartupRecord(int* calls, unsigned long* version, unsigned long* flags) {
  *calls = startupCalls;
  *version = startupVersion;
  *flags = startupFlags;
}

HRESULT MF_CALL MFStartup(ULONG version, DWORD flags);
HRESULT MF_CALL MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                          const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates,
                          UINT32* count);
HRESULT MF_CALL MFCreateMediaType(IMFMediaType** type);
HRESULT MF_CALL MFCreateSample(IMFSample** sample);

HRESULT MF_CALL MFStartup(ULONG version, DWORD flags) {
  ++startupCalls;
  startupVersion = version;
  startupFlags = flags;
  return static_cast<HRESULT>(FAKE_STARTUP_RESULT);
}

HRESULT MF_CALL MFTEnumEx(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*, const MFT_REGISTER_TYPE_INFO*,
                          IMFActivate*** activates, UINT32* count) {
  *activates = nullptr;
  *count = 0;
  return E_NOTIMPL;
}

HRESULT MF_CALL MFCreateMediaType(IMFMediaType** type) {
  *type = nullptr;
  return E_NOTIMPL;
}

HRESULT MF_CALL MFCreateSample(IMFSample** sample) {
  *sample = nullptr;
  return E_NOTIMPL;
}

#ifndef FAKE_WITHOUT_MEMORY_BUFFER
HRESULT MF_CALL MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);
HRESULT MF_CALL MFCreateMemoryBuffer(DWORD, IMFMediaBuffer** buffer) {
  *buffer = nullptr;
  return E_NOTIMPL;
}
#endif

}  // extern "C"
