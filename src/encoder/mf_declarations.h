// Our declaration of the part of the Windows media framework and COM that vistrel uses, for
// systems without the Windows SDK. Names, method order, GUID values and result codes are the SDK's,
// so the code above this layer is the same on every system.
#pragma once

#if defined(_WIN32)
#error "Windows builds use the SDK's own headers"
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>

#define MF_CALL
#define STDMETHODCALLTYPE

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using UINT32 = std::uint32_t;
using UINT64 = std::uint64_t;
using UINT8 = std::uint8_t;
using BYTE = std::uint8_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using BOOL = int;
using WINBOOL = int;
using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPVOID = void*;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using MediaEventType = DWORD;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

// Result codes.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT MF_E_INVALIDMEDIATYPE = static_cast<HRESULT>(0xC00D36B4);
inline constexpr HRESULT MF_E_NOTACCEPTING = static_cast<HRESULT>(0xC00D36B5);
inline constexpr HRESULT MF_E_INVALIDSTREAMNUMBER = static_cast<HRESULT>(0xC00D36B3);
inline constexpr HRESULT MF_E_NO_MORE_TYPES = static_cast<HRESULT>(0xC00D36B9);
inline constexpr HRESULT MF_E_INVALIDTYPE = static_cast<HRESULT>(0xC00D36BD);
inline constexpr HRESULT MF_E_ATTRIBUTENOTFOUND = static_cast<HRESULT>(0xC00D36E6);
inline constexpr HRESULT MF_E_BUFFERTOOSMALL = static_cast<HRESULT>(0xC00D36B1);
inline constexpr HRESULT MF_E_SHUTDOWN = static_cast<HRESULT>(0xC00D3E85);
inline constexpr HRESULT MF_E_NO_EVENTS_AVAILABLE = static_cast<HRESULT>(0xC00D3E80);
inline constexpr HRESULT MF_E_TRANSFORM_TYPE_NOT_SET = static_cast<HRESULT>(0xC00D6D60);
inline constexpr HRESULT MF_E_TRANSFORM_STREAM_CHANGE = static_cast<HRESULT>(0xC00D6D61);
inline constexpr HRESULT MF_E_TRANSFORM_NEED_MORE_INPUT = static_cast<HRESULT>(0xC00D6D72);
inline constexpr HRESULT MF_E_TRANSFORM_ASYNC_LOCKED = static_cast<HRESULT>(0xC00D6D77);
inline constexpr HRESULT MF_E_UNSUPPORTED_D3D_TYPE = static_cast<HRESULT>(0xC00D6D76);

// Framework start-up.
inline constexpr ULONG MF_VERSION = 0x00020070;
inline constexpr DWORD MFSTARTUP_LITE = 1;

// COM.
inline constexpr DWORD COINIT_MULTITHREADED = 0;
inline HRESULT CoInitializeEx(void* /*reserved*/, DWORD /*model*/) { return S_OK; }
inline void* CoTaskMemAlloc(std::size_t size) { return std::malloc(size); }
inline void CoTaskMemFree(void* p) { std::free(p); }

// Variants, as far as the codec properties need them.
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
struct VARIANT {
  VARTYPE vt;
  std::uint16_t wReserved1, wReserved2, wReserved3;
  union {
    ULONG ulVal;
    LONG lVal;
    VARIANT_BOOL boolVal;
    UINT64 ullVal;
  };
};
// Only named in signatures that vistrel never calls.
struct PROPVARIANT;
using REFPROPVARIANT = const PROPVARIANT&;
struct IStream;

enum MF_ATTRIBUTE_TYPE : int {
  MF_ATTRIBUTE_UINT32 = 19,
  MF_ATTRIBUTE_UINT64 = 21,
  MF_ATTRIBUTE_DOUBLE = 5,
  MF_ATTRIBUTE_GUID = 72,
  MF_ATTRIBUTE_STRING = 31,
  MF_ATTRIBUTE_BLOB = 0x1011,
  MF_ATTRIBUTE_IUNKNOWN = 13,
};
enum MF_ATTRIBUTES_MATCH_TYPE : int {
  MF_ATTRIBUTES_MATCH_OUR_ITEMS = 0,
  MF_ATTRIBUTES_MATCH_THEIR_ITEMS = 1,
  MF_ATTRIBUTES_MATCH_ALL_ITEMS = 2,
  MF_ATTRIBUTES_MATCH_INTERSECTION = 3,
  MF_ATTRIBUTES_MATCH_SMALLER = 4,
};

// Events.
inline constexpr MediaEventType MEError = 1;
inline constexpr MediaEventType METransformNeedInput = 601;
inline constexpr MediaEventType METransformHaveOutput = 602;
inline constexpr MediaEventType METransformDrainComplete = 603;
inline constexpr MediaEventType METransformMarker = 604;
inline constexpr DWORD MF_EVENT_FLAG_NO_WAIT = 1;

// Transform messages, flags and stream info.
enum MFT_MESSAGE_TYPE : int {
  MFT_MESSAGE_COMMAND_FLUSH = 0,
  MFT_MESSAGE_COMMAND_DRAIN = 1,
  MFT_MESSAGE_SET_D3D_MANAGER = 2,
  MFT_MESSAGE_NOTIFY_BEGIN_STREAMING = 0x10000000,
  MFT_MESSAGE_NOTIFY_END_STREAMING = 0x10000001,
  MFT_MESSAGE_NOTIFY_END_OF_STREAM = 0x10000002,
  MFT_MESSAGE_NOTIFY_START_OF_STREAM = 0x10000003,
};
inline constexpr UINT32 MFT_ENUM_FLAG_SYNCMFT = 0x01;
inline constexpr UINT32 MFT_ENUM_FLAG_ASYNCMFT = 0x02;
inline constexpr UINT32 MFT_ENUM_FLAG_HARDWARE = 0x04;
inline constexpr UINT32 MFT_ENUM_FLAG_SORTANDFILTER = 0x40;
inline constexpr DWORD MFT_OUTPUT_STREAM_PROVIDES_SAMPLES = 0x100;
inline constexpr DWORD MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES = 0x200;
inline constexpr DWORD MFT_OUTPUT_DATA_BUFFER_INCOMPLETE = 0x01000000;
inline constexpr DWORD MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE = 0x100;

// Media type values.
inline constexpr UINT32 MFVideoInterlace_Progressive = 2;
inline constexpr UINT32 MFVideoTransferMatrix_BT709 = 1;
inline constexpr UINT32 MFVideoPrimaries_BT709 = 2;
inline constexpr UINT32 MFNominalRange_16_235 = 2;
inline constexpr UINT32 eAVEncH264VProfile_Main = 77;
inline constexpr UINT32 eAVEncCommonRateControlMode_CBR = 0;

// GUIDs (values as in the Windows SDK).
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IMFAttributes = {0x2cd2d921, 0xc447, 0x44a7, {0xa1, 0x3c, 0x4a, 0xda, 0xbf, 0xc2, 0x47, 0xe3}};
inline constexpr GUID IID_IMFMediaBuffer = {0x045fa593, 0x8799, 0x42b8, {0xbc, 0x8d, 0x89, 0x68, 0xc6, 0x45, 0x35, 0x07}};
inline constexpr GUID IID_IMFSample = {0xc40a00f2, 0xb93a, 0x4d80, {0xae, 0x8c, 0x5a, 0x1c, 0x63, 0x4f, 0x58, 0xe4}};
inline constexpr GUID IID_IMFMediaType = {0x44ae0fa8, 0xea31, 0x4109, {0x8d, 0x2e, 0x4c, 0xae, 0x49, 0x97, 0xc5, 0x55}};
inline constexpr GUID IID_IMFMediaEvent = {0xdf598932, 0xf10c, 0x4e39, {0xbb, 0xa2, 0xc3, 0x08, 0xf1, 0x01, 0xda, 0xa3}};
inline constexpr GUID IID_IMFMediaEventGenerator = {0x2cd0bd52, 0xbcd5, 0x4b89, {0xb6, 0x2c, 0xea, 0xdc, 0x0c, 0x03, 0x1e, 0x7d}};
inline constexpr GUID IID_IMFActivate = {0x7fee9e9a, 0x4a89, 0x47a6, {0x89, 0x9c, 0xb6, 0xa5, 0x3a, 0x70, 0xfb, 0x67}};
inline constexpr GUID IID_IMFTransform = {0xbf94c121, 0x5b05, 0x4e6f, {0x80, 0x00, 0xba, 0x59, 0x89, 0x61, 0x41, 0x4d}};
inline constexpr GUID IID_ICodecAPI = {0x901db4c7, 0x31ce, 0x41a2, {0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda}};
inline constexpr GUID IID_IMFCollection = {0x5bc8a76b, 0x869a, 0x46a3, {0x9b, 0x03, 0xfa, 0x21, 0x8a, 0x66, 0xae, 0xbe}};

inline constexpr GUID MFT_CATEGORY_VIDEO_ENCODER = {0xf79eac7d, 0xe545, 0x4387, {0xbd, 0xee, 0xd6, 0x47, 0xd7, 0xbd, 0xe4, 0x2a}};
inline constexpr GUID MFMediaType_Video = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID MFVideoFormat_NV12 = {0x3231564e, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID MFVideoFormat_H264 = {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Audio: the encoder category, the two formats (the wave format tags WAVE_FORMAT_PCM and
// WAVE_FORMAT_MPEG_HEAAC in the media type GUID pattern) and the audio and AAC type attributes.
inline constexpr GUID MFT_CATEGORY_AUDIO_ENCODER = {0x91c64bd0, 0xf91e, 0x4d8c, {0x92, 0x76, 0xdb, 0x24, 0x82, 0x79, 0xd9, 0x75}};
inline constexpr GUID MFMediaType_Audio = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID MFAudioFormat_PCM = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID MFAudioFormat_AAC = {0x00001610, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID MF_MT_AUDIO_NUM_CHANNELS = {0x37e48bf5, 0x645e, 0x4c5b, {0x89, 0xde, 0xad, 0xa9, 0xe2, 0x9b, 0x69, 0x6a}};
inline constexpr GUID MF_MT_AUDIO_SAMPLES_PER_SECOND = {0x5faeeae7, 0x0290, 0x4c31, {0x9e, 0x8a, 0xc5, 0x34, 0xf6, 0x8d, 0x9d, 0xba}};
inline constexpr GUID MF_MT_AUDIO_AVG_BYTES_PER_SECOND = {0x1aab75c8, 0xcfef, 0x451c, {0xab, 0x95, 0xac, 0x03, 0x4b, 0x8e, 0x17, 0x31}};
inline constexpr GUID MF_MT_AUDIO_BLOCK_ALIGNMENT = {0x322de230, 0x9eeb, 0x43bd, {0xab, 0x7a, 0xff, 0x41, 0x22, 0x51, 0x54, 0x1d}};
inline constexpr GUID MF_MT_AUDIO_BITS_PER_SAMPLE = {0xf2deb57f, 0x40fa, 0x4764, {0xaa, 0x33, 0xed, 0x4f, 0x2d, 0x1f, 0xf6, 0x69}};
inline constexpr GUID MF_MT_AAC_PAYLOAD_TYPE = {0xbfbabe79, 0x7434, 0x4d1c, {0x94, 0xf0, 0x72, 0xa3, 0xb9, 0xe1, 0x71, 0x88}};
inline constexpr GUID MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION = {0x7632f0e6, 0x9538, 0x4d61, {0xac, 0xda, 0xea, 0x29, 0xc8, 0xc1, 0x44, 0x56}};
inline constexpr GUID MF_MT_USER_DATA = {0xb6bc765f, 0x4c3b, 0x40a4, {0xbd, 0x51, 0x25, 0x35, 0xb6, 0x6f, 0xe0, 0x9d}};

inline constexpr GUID MF_MT_MAJOR_TYPE = {0x48eba18e, 0xf8c9, 0x4687, {0xbf, 0x11, 0x0a, 0x74, 0xc9, 0xf9, 0x6a, 0x8f}};
inline constexpr GUID MF_MT_SUBTYPE = {0xf7e34c9a, 0x42e8, 0x4714, {0xb7, 0x4b, 0xcb, 0x29, 0xd7, 0x2c, 0x35, 0xe5}};
inline constexpr GUID MF_MT_FRAME_SIZE = {0x1652c33d, 0xd6b2, 0x4012, {0xb8, 0x34, 0x72, 0x03, 0x08, 0x49, 0xa3, 0x7d}};
inline constexpr GUID MF_MT_FRAME_RATE = {0xc459a2e8, 0x3d2c, 0x4e44, {0xb1, 0x32, 0xfe, 0xe5, 0x15, 0x6c, 0x7b, 0xb0}};
inline constexpr GUID MF_MT_PIXEL_ASPECT_RATIO = {0xc6376a1e, 0x8d0a, 0x4027, {0xbe, 0x45, 0x6d, 0x9a, 0x0a, 0xd3, 0x9b, 0xb6}};
inline constexpr GUID MF_MT_INTERLACE_MODE = {0xe2724bb8, 0xe676, 0x4806, {0xb4, 0xb2, 0xa8, 0xd6, 0xef, 0xb4, 0x4c, 0xcd}};
inline constexpr GUID MF_MT_YUV_MATRIX = {0x3e23d450, 0x2c75, 0x4d25, {0xa0, 0x0e, 0xb9, 0x16, 0x70, 0xd1, 0x23, 0x27}};
inline constexpr GUID MF_MT_VIDEO_PRIMARIES = {0xdbfbe4d7, 0x0740, 0x4ee0, {0x81, 0x92, 0x85, 0x0a, 0xb0, 0xe2, 0x19, 0x35}};
inline constexpr GUID MF_MT_VIDEO_NOMINAL_RANGE = {0xc21b8ee5, 0xb956, 0x4071, {0x8d, 0xaf, 0x32, 0x5e, 0xdf, 0x5c, 0xab, 0x11}};
inline constexpr GUID MF_MT_AVG_BITRATE = {0x20332624, 0xfb0d, 0x4d9e, {0xbd, 0x0d, 0xcb, 0xf6, 0x78, 0x6c, 0x10, 0x2e}};
inline constexpr GUID MF_MT_MPEG2_PROFILE = {0xad76a80b, 0x2d5c, 0x4e0b, {0xb3, 0x75, 0x64, 0xe5, 0x20, 0x13, 0x70, 0x36}};
inline constexpr GUID MF_MT_DEFAULT_STRIDE = {0x644b4e48, 0x1e02, 0x4516, {0xb0, 0xeb, 0xc0, 0x1c, 0xa9, 0xd4, 0x9a, 0xc6}};
inline constexpr GUID MF_MT_ALL_SAMPLES_INDEPENDENT = {0xc9173739, 0x5e56, 0x461c, {0xb7, 0x13, 0x46, 0xfb, 0x99, 0x5c, 0xb9, 0x5f}};
inline constexpr GUID MF_MT_MPEG_SEQUENCE_HEADER = {0x3c036de7, 0x3ad0, 0x4c9e, {0x92, 0x16, 0xee, 0x6d, 0x6a, 0xc2, 0x1c, 0xb3}};
inline constexpr GUID MF_TRANSFORM_ASYNC = {0xf81a699a, 0x649a, 0x497d, {0x8c, 0x73, 0x29, 0xf8, 0xfe, 0xd6, 0xad, 0x7a}};
inline constexpr GUID MF_TRANSFORM_ASYNC_UNLOCK = {0xe5666d6b, 0x3422, 0x4eb6, {0xa4, 0x21, 0xda, 0x7d, 0xb1, 0xf8, 0xe2, 0x07}};
inline constexpr GUID MFT_FRIENDLY_NAME_Attribute = {0x314ffbae, 0x5b41, 0x4c95, {0x9c, 0x19, 0x4e, 0x7d, 0x58, 0x6f, 0xac, 0xe3}};
inline constexpr GUID MFSampleExtension_CleanPoint = {0x9cdf01d8, 0xa0f0, 0x43ba, {0xb0, 0x77, 0xea, 0xa0, 0x6c, 0xbd, 0x72, 0x8a}};

inline constexpr GUID CODECAPI_AVEncCommonRateControlMode = {0x1c0608e9, 0x370c, 0x4710, {0x8a, 0x58, 0xcb, 0x61, 0x81, 0xc4, 0x24, 0x23}};
inline constexpr GUID CODECAPI_AVEncCommonMeanBitRate = {0xf7222374, 0x2144, 0x4815, {0xb5, 0x50, 0xa3, 0x7f, 0x8e, 0x12, 0xee, 0x52}};
inline constexpr GUID CODECAPI_AVEncMPVGOPSize = {0x95f31b26, 0x95a4, 0x41aa, {0x93, 0x03, 0x24, 0x6a, 0x7f, 0xc6, 0xee, 0xf1}};
inline constexpr GUID CODECAPI_AVEncMPVDefaultBPictureCount = {0x8d390aac, 0xdc5c, 0x4200, {0xb5, 0x7f, 0x81, 0x4d, 0x04, 0xba, 0xba, 0xb2}};
inline constexpr GUID CODECAPI_AVLowLatencyMode = {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};

struct MFT_REGISTER_TYPE_INFO {
  GUID guidMajorType;
  GUID guidSubtype;
};

struct MFT_INPUT_STREAM_INFO {
  LONGLONG hnsMaxLatency;
  DWORD dwFlags;
  DWORD cbSize;
  DWORD cbMaxLookahead;
  DWORD cbAlignment;
};

struct MFT_OUTPUT_STREAM_INFO {
  DWORD dwFlags;
  DWORD cbSize;
  DWORD cbAlignment;
};

// Interfaces, with every method in the SDK's order.

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IMFAttributes : IUnknown {
  virtual HRESULT GetItem(REFGUID key, PROPVARIANT* value) = 0;
  virtual HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) = 0;
  virtual HRESULT CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) = 0;
  virtual HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) = 0;
  virtual HRESULT GetUINT32(REFGUID key, UINT32* value) = 0;
  virtual HRESULT GetUINT64(REFGUID key, UINT64* value) = 0;
  virtual HRESULT GetDouble(REFGUID key, double* value) = 0;
  virtual HRESULT GetGUID(REFGUID key, GUID* value) = 0;
  virtual HRESULT GetStringLength(REFGUID key, UINT32* length) = 0;
  virtual HRESULT GetString(REFGUID key, LPWSTR value, UINT32 bufferSize, UINT32* length) = 0;
  virtual HRESULT GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) = 0;
  virtual HRESULT GetBlobSize(REFGUID key, UINT32* size) = 0;
  virtual HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) = 0;
  virtual HRESULT GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) = 0;
  virtual HRESULT GetUnknown(REFGUID key, REFIID riid, LPVOID* object) = 0;
  virtual HRESULT SetItem(REFGUID key, REFPROPVARIANT value) = 0;
  virtual HRESULT DeleteItem(REFGUID key) = 0;
  virtual HRESULT DeleteAllItems() = 0;
  virtual HRESULT SetUINT32(REFGUID key, UINT32 value) = 0;
  virtual HRESULT SetUINT64(REFGUID key, UINT64 value) = 0;
  virtual HRESULT SetDouble(REFGUID key, double value) = 0;
  virtual HRESULT SetGUID(REFGUID key, REFGUID value) = 0;
  virtual HRESULT SetString(REFGUID key, LPCWSTR value) = 0;
  virtual HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) = 0;
  virtual HRESULT SetUnknown(REFGUID key, IUnknown* unknown) = 0;
  virtual HRESULT LockStore() = 0;
  virtual HRESULT UnlockStore() = 0;
  virtual HRESULT GetCount(UINT32* items) = 0;
  virtual HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) = 0;
  virtual HRESULT CopyAllItems(IMFAttributes* destination) = 0;

 protected:
  ~IMFAttributes() = default;
};

struct IMFMediaBuffer : IUnknown {
  virtual HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) = 0;
  virtual HRESULT Unlock() = 0;
  virtual HRESULT GetCurrentLength(DWORD* currentLength) = 0;
  virtual HRESULT SetCurrentLength(DWORD currentLength) = 0;
  virtual HRESULT GetMaxLength(DWORD* maxLength) = 0;

 protected:
  ~IMFMediaBuffer() = default;
};

struct IMFSample : IMFAttributes {
  virtual HRESULT GetSampleFlags(DWORD* flags) = 0;
  virtual HRESULT SetSampleFlags(DWORD flags) = 0;
  virtual HRESULT GetSampleTime(LONGLONG* time) = 0;
  virtual HRESULT SetSampleTime(LONGLONG time) = 0;
  virtual HRESULT GetSampleDuration(LONGLONG* duration) = 0;
  virtual HRESULT SetSampleDuration(LONGLONG duration) = 0;
  virtual HRESULT GetBufferCount(DWORD* count) = 0;
  virtual HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) = 0;
  virtual HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) = 0;
  virtual HRESULT AddBuffer(IMFMediaBuffer* buffer) = 0;
  virtual HRESULT RemoveBufferByIndex(DWORD index) = 0;
  virtual HRESULT RemoveAllBuffers() = 0;
  virtual HRESULT GetTotalLength(DWORD* totalLength) = 0;
  virtual HRESULT CopyToBuffer(IMFMediaBuffer* buffer) = 0;

 protected:
  ~IMFSample() = default;
};

struct IMFMediaType : IMFAttributes {
  virtual HRESULT GetMajorType(GUID* majorType) = 0;
  virtual HRESULT IsCompressedFormat(BOOL* compressed) = 0;
  virtual HRESULT IsEqual(IMFMediaType* type, DWORD* flags) = 0;
  virtual HRESULT GetRepresentation(GUID representation, LPVOID* result) = 0;
  virtual HRESULT FreeRepresentation(GUID representation, LPVOID value) = 0;

 protected:
  ~IMFMediaType() = default;
};

struct IMFMediaEvent : IMFAttributes {
  virtual HRESULT GetType(MediaEventType* type) = 0;
  virtual HRESULT GetExtendedType(GUID* extendedType) = 0;
  virtual HRESULT GetStatus(HRESULT* status) = 0;
  virtual HRESULT GetValue(PROPVARIANT* value) = 0;

 protected:
  ~IMFMediaEvent() = default;
};

struct IMFAsyncResult;
struct IMFAsyncCallback;

struct IMFMediaEventGenerator : IUnknown {
  virtual HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) = 0;
  virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
  virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  virtual HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                             const PROPVARIANT* value) = 0;

 protected:
  ~IMFMediaEventGenerator() = default;
};

struct IMFActivate : IMFAttributes {
  virtual HRESULT ActivateObject(REFIID riid, void** object) = 0;
  virtual HRESULT ShutdownObject() = 0;
  virtual HRESULT DetachObject() = 0;

 protected:
  ~IMFActivate() = default;
};

struct IMFCollection : IUnknown {
  virtual HRESULT GetElementCount(DWORD* count) = 0;
  virtual HRESULT GetElement(DWORD index, IUnknown** element) = 0;
  virtual HRESULT AddElement(IUnknown* element) = 0;
  virtual HRESULT RemoveElement(DWORD index, IUnknown** element) = 0;
  virtual HRESULT InsertElementAt(DWORD index, IUnknown* element) = 0;
  virtual HRESULT RemoveAllElements() = 0;

 protected:
  ~IMFCollection() = default;
};

struct MFT_OUTPUT_DATA_BUFFER {
  DWORD dwStreamID;
  IMFSample* pSample;
  DWORD dwStatus;
  IMFCollection* pEvents;
};

struct IMFTransform : IUnknown {
  virtual HRESULT GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum,
                                  DWORD* outputMaximum) = 0;
  virtual HRESULT GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) = 0;
  virtual HRESULT GetStreamIDs(DWORD inputIdArraySize, DWORD* inputIds, DWORD outputIdArraySize,
                               DWORD* outputIds) = 0;
  virtual HRESULT GetInputStreamInfo(DWORD inputStreamId, MFT_INPUT_STREAM_INFO* info) = 0;
  virtual HRESULT GetOutputStreamInfo(DWORD outputStreamId, MFT_OUTPUT_STREAM_INFO* info) = 0;
  virtual HRESULT GetAttributes(IMFAttributes** attributes) = 0;
  virtual HRESULT GetInputStreamAttributes(DWORD inputStreamId, IMFAttributes** attributes) = 0;
  virtual HRESULT GetOutputStreamAttributes(DWORD outputStreamId, IMFAttributes** attributes) = 0;
  virtual HRESULT DeleteInputStream(DWORD streamId) = 0;
  virtual HRESULT AddInputStreams(DWORD streams, DWORD* streamIds) = 0;
  virtual HRESULT GetInputAvailableType(DWORD inputStreamId, DWORD typeIndex, IMFMediaType** type) = 0;
  virtual HRESULT GetOutputAvailableType(DWORD outputStreamId, DWORD typeIndex, IMFMediaType** type) = 0;
  virtual HRESULT SetInputType(DWORD inputStreamId, IMFMediaType* type, DWORD flags) = 0;
  virtual HRESULT SetOutputType(DWORD outputStreamId, IMFMediaType* type, DWORD flags) = 0;
  virtual HRESULT GetInputCurrentType(DWORD inputStreamId, IMFMediaType** type) = 0;
  virtual HRESULT GetOutputCurrentType(DWORD outputStreamId, IMFMediaType** type) = 0;
  virtual HRESULT GetInputStatus(DWORD inputStreamId, DWORD* flags) = 0;
  virtual HRESULT GetOutputStatus(DWORD* flags) = 0;
  virtual HRESULT SetOutputBounds(LONGLONG lowerBound, LONGLONG upperBound) = 0;
  virtual HRESULT ProcessEvent(DWORD inputStreamId, IMFMediaEvent* event) = 0;
  virtual HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) = 0;
  virtual HRESULT ProcessInput(DWORD inputStreamId, IMFSample* sample, DWORD flags) = 0;
  virtual HRESULT ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples,
                                DWORD* status) = 0;

 protected:
  ~IMFTransform() = default;
};

struct ICodecAPI : IUnknown {
  virtual HRESULT IsSupported(const GUID* api) = 0;
  virtual HRESULT IsModifiable(const GUID* api) = 0;
  virtual HRESULT GetParameterRange(const GUID* api, VARIANT* valueMin, VARIANT* valueMax,
                                    VARIANT* steppingDelta) = 0;
  virtual HRESULT GetParameterValues(const GUID* api, VARIANT** values, ULONG* valuesCount) = 0;
  virtual HRESULT GetDefaultValue(const GUID* api, VARIANT* value) = 0;
  virtual HRESULT GetValue(const GUID* api, VARIANT* value) = 0;
  virtual HRESULT SetValue(const GUID* api, VARIANT* value) = 0;
  virtual HRESULT RegisterForEvent(const GUID* api, LONG_PTR userData) = 0;
  virtual HRESULT UnregisterForEvent(const GUID* api) = 0;
  virtual HRESULT SetAllDefaults() = 0;
  virtual HRESULT SetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam,
                                     ULONG* changedParamCount) = 0;
  virtual HRESULT SetAllDefaultsWithNotify(GUID** changedParam, ULONG* changedParamCount) = 0;
  virtual HRESULT GetAllSettings(IStream* stream) = 0;
  virtual HRESULT SetAllSettings(IStream* stream) = 0;
  virtual HRESULT SetAllSettingsWithNotify(IStream* stream, GUID** changedParam, ULONG* changedParamCount) = 0;

 protected:
  ~ICodecAPI() = default;
};

// Used by the stand-in framework (src/mediafw): results, stream flags, profiles and the null GUID.
inline constexpr HRESULT E_NOT_SUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);
inline constexpr HRESULT MF_E_INVALIDREQUEST = static_cast<HRESULT>(0xC00D36B2);
inline constexpr HRESULT MF_E_NOT_INITIALIZED = static_cast<HRESULT>(0xC00D36B6);
inline constexpr HRESULT MF_E_NO_SAMPLE_TIMESTAMP = static_cast<HRESULT>(0xC00D36C8);
inline constexpr HRESULT MF_E_NO_SAMPLE_DURATION = static_cast<HRESULT>(0xC00D36C9);
inline constexpr HRESULT MF_E_BAD_STARTUP_VERSION = static_cast<HRESULT>(0xC00D36E3);
inline constexpr HRESULT MF_E_HW_MFT_FAILED_START_STREAMING = static_cast<HRESULT>(0xC00D3704);
inline constexpr HRESULT MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING = static_cast<HRESULT>(0xC00D6D74);
inline constexpr DWORD MFT_INPUT_STREAM_WHOLE_SAMPLES = 0x1;
inline constexpr DWORD MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER = 0x2;
inline constexpr DWORD MFT_INPUT_STREAM_FIXED_SAMPLE_SIZE = 0x4;
inline constexpr DWORD MFT_OUTPUT_STREAM_WHOLE_SAMPLES = 0x1;
inline constexpr DWORD MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER = 0x2;
inline constexpr DWORD MFT_SET_TYPE_TEST_ONLY = 0x1;
inline constexpr DWORD MFT_INPUT_STATUS_ACCEPT_DATA = 0x1;
inline constexpr DWORD MFT_OUTPUT_STATUS_SAMPLE_READY = 0x1;
inline constexpr UINT32 eAVEncH264VProfile_Base = 66;
inline constexpr UINT32 eAVEncH264VProfile_High = 100;
inline constexpr GUID GUID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
