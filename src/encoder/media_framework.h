// The media framework as vistrel calls it: on Windows the SDK's own headers, elsewhere our
// declaration of the same interfaces, names, GUID values and result codes (implemented on Linux by
// libvistrel-mediafw.so).
#pragma once

#if defined(_WIN32)

#include <windows.h>

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfobjects.h>
#include <mftransform.h>
#include <objbase.h>
#include <strmif.h>

#define MF_CALL STDMETHODCALLTYPE

#else

#include "encoder/mf_declarations.h"

#endif

// The entry points that vistrel looks up in the framework library at run time.
using MFStartupFunction = HRESULT(MF_CALL*)(ULONG version, DWORD flags);
using MFTEnumExFunction = HRESULT(MF_CALL*)(GUID category, UINT32 flags,
                                            const MFT_REGISTER_TYPE_INFO* inputType,
                                            const MFT_REGISTER_TYPE_INFO* outputType,
                                            IMFActivate*** activates, UINT32* count);
using MFCreateMediaTypeFunction = HRESULT(MF_CALL*)(IMFMediaType** type);
using MFCreateSampleFunction = HRESULT(MF_CALL*)(IMFSample** sample);
using MFCreateMemoryBufferFunction = HRESULT(MF_CALL*)(DWORD maxLength, IMFMediaBuffer** buffer);
