// The framework's plain objects, checked through their interfaces only, as any caller sees them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mediafw/objects.h"

namespace {

using Wide = std::basic_string<WCHAR>;

Wide W(const char* ascii) {
  Wide w;
  for (const char* c = ascii; *c != 0; ++c) w.push_back(static_cast<WCHAR>(*c));
  return w;
}

// Owns one reference.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Reset(); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

// The object's current reference count.
ULONG Count(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

IUnknown* Identity(IUnknown* object) {
  IUnknown* identity = nullptr;
  if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)))) return nullptr;
  identity->Release();
  return identity;
}

constexpr GUID kKeyA = {0x11111111, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kKeyB = {0x22222222, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kKeyC = {0x33333333, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

Ref<IMFAttributes> NewAttributes() {
  Ref<IMFAttributes> a;
  EXPECT_EQ(CreateAttributesObject(a.Out()), S_OK);
  return a;
}

Ref<IMFMediaBuffer> BufferWith(const std::string& bytes, DWORD maxLength) {
  Ref<IMFMediaBuffer> buffer;
  EXPECT_EQ(CreateMemoryBufferObject(maxLength, buffer.Out()), S_OK);
  BYTE* data = nullptr;
  EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
  std::memcpy(data, bytes.data(), bytes.size());
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->SetCurrentLength(static_cast<DWORD>(bytes.size())), S_OK);
  return buffer;
}

std::string Contents(IMFMediaBuffer* buffer) {
  BYTE* data = nullptr;
  DWORD length = 0;
  if (FAILED(buffer->Lock(&data, nullptr, &length))) return "<lock failed>";
  std::string s(reinterpret_cast<const char*>(data), length);
  buffer->Unlock();
  return s;
}

// --- attribute store ---

TEST(Attributes, EveryKindRoundTrips) {
  Ref<IMFAttributes> a = NewAttributes();
  Ref<IMFAttributes> other = NewAttributes();
  const UINT8 blob[] = {0, 1, 2, 0xFF};
  ASSERT_EQ(a->SetUINT32(MF_MT_AVG_BITRATE, 8000000), S_OK);
  ASSERT_EQ(a->SetUINT64(MF_MT_FRAME_SIZE, (UINT64{1280} << 32) | 720), S_OK);
  ASSERT_EQ(a->SetDouble(kKeyA, 2.5), S_OK);
  ASSERT_EQ(a->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264), S_OK);
  ASSERT_EQ(a->SetString(MFT_FRIENDLY_NAME_Attribute, W("H.264 Encoder").c_str()), S_OK);
  ASSERT_EQ(a->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, blob, sizeof blob), S_OK);
  ASSERT_EQ(a->SetUnknown(kKeyB, other.get()), S_OK);

  UINT32 u32 = 0;
  UINT64 u64 = 0;
  double d = 0;
  GUID g{};
  EXPECT_EQ(a->GetUINT32(MF_MT_AVG_BITRATE, &u32), S_OK);
  EXPECT_EQ(u32, 8000000u);
  EXPECT_EQ(a->GetUINT64(MF_MT_FRAME_SIZE, &u64), S_OK);
  EXPECT_EQ(u64, (UINT64{1280} << 32) | 720);
  EXPECT_EQ(a->GetDouble(kKeyA, &d), S_OK);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(a->GetGUID(MF_MT_SUBTYPE, &g), S_OK);
  EXPECT_TRUE(g == MFVideoFormat_H264);

  const std::pair<GUID, MF_ATTRIBUTE_TYPE> types[] = {
      {MF_MT_AVG_BITRATE, MF_ATTRIBUTE_UINT32},        {MF_MT_FRAME_SIZE, MF_ATTRIBUTE_UINT64},
      {kKeyA, MF_ATTRIBUTE_DOUBLE},                    {MF_MT_SUBTYPE, MF_ATTRIBUTE_GUID},
      {MFT_FRIENDLY_NAME_Attribute, MF_ATTRIBUTE_STRING}, {MF_MT_MPEG_SEQUENCE_HEADER, MF_ATTRIBUTE_BLOB},
      {kKeyB, MF_ATTRIBUTE_IUNKNOWN}};
  for (const auto& [key, type] : types) {
    MF_ATTRIBUTE_TYPE got = MF_ATTRIBUTE_UINT32;
    EXPECT_EQ(a->GetItemType(key, &got), S_OK);
    EXPECT_EQ(got, type);
  }
  UINT32 count = 0;
  EXPECT_EQ(a->GetCount(&count), S_OK);
  EXPECT_EQ(count, 7u);
}

// A typed read: the kind of value it asks for, and a key holding a value of another kind.
struct Getter {
  const char* name;
  std::function<HRESULT(IMFAttributes*, REFGUID)> read;
};

class AttributeGetters : public testing::TestWithParam<Getter> {};

TEST_P(AttributeGetters, MissingKeyIsNotFoundAndOtherKindIsInvalidType) {
  Ref<IMFAttributes> a = NewAttributes();
  EXPECT_EQ(GetParam().read(a.get(), kKeyA), MF_E_ATTRIBUTENOTFOUND);
  // Every getter below asks for a kind other than UINT32, except the UINT32 one, which sees a GUID.
  ASSERT_EQ(a->SetUINT32(kKeyB, 1), S_OK);
  ASSERT_EQ(a->SetGUID(kKeyC, MFVideoFormat_NV12), S_OK);
  const GUID& other = std::string(GetParam().name) == "UINT32" ? kKeyC : kKeyB;
  EXPECT_EQ(GetParam().read(a.get(), other), MF_E_INVALIDTYPE);
}

HRESULT ReadString(IMFAttributes* a, REFGUID key) {
  WCHAR text[8];
  UINT32 length = 0;
  return a->GetString(key, text, 8, &length);
}

HRESULT ReadAllocatedString(IMFAttributes* a, REFGUID key) {
  LPWSTR text = nullptr;
  UINT32 length = 0;
  HRESULT hr = a->GetAllocatedString(key, &text, &length);
  EXPECT_EQ(text, nullptr);
  return hr;
}

HRESULT ReadAllocatedBlob(IMFAttributes* a, REFGUID key) {
  UINT8* blob = nullptr;
  UINT32 size = 0;
  HRESULT hr = a->GetAllocatedBlob(key, &blob, &size);
  EXPECT_EQ(blob, nullptr);
  return hr;
}

const Getter kGetters[] = {
    {"UINT32", [](IMFAttributes* a, REFGUID k) { UINT32 v; return a->GetUINT32(k, &v); }},
    {"UINT64", [](IMFAttributes* a, REFGUID k) { UINT64 v; return a->GetUINT64(k, &v); }},
    {"Double", [](IMFAttributes* a, REFGUID k) { double v; return a->GetDouble(k, &v); }},
    {"GUID", [](IMFAttributes* a, REFGUID k) { GUID v; return a->GetGUID(k, &v); }},
    {"StringLength", [](IMFAttributes* a, REFGUID k) { UINT32 v; return a->GetStringLength(k, &v); }},
    {"String", ReadString},
    {"AllocatedString", ReadAllocatedString},
    {"BlobSize", [](IMFAttributes* a, REFGUID k) { UINT32 v; return a->GetBlobSize(k, &v); }},
    {"Blob", [](IMFAttributes* a, REFGUID k) { UINT8 v[4]; UINT32 n; return a->GetBlob(k, v, 4, &n); }},
    {"AllocatedBlob", ReadAllocatedBlob},
    {"Unknown", [](IMFAttributes* a, REFGUID k) { void* v; return a->GetUnknown(k, IID_IUnknown, &v); }},
};

INSTANTIATE_TEST_SUITE_P(AllKinds, AttributeGetters, testing::ValuesIn(kGetters),
                         [](const testing::TestParamInfo<Getter>& p) { return std::string(p.param.name); });

TEST(Attributes, StringsAreCopiedOutWithTheirLength) {
  Ref<IMFAttributes> a = NewAttributes();
  const Wide name = W("h264_nvenc");
  ASSERT_EQ(a->SetString(kKeyA, name.c_str()), S_OK);

  UINT32 length = 0;
  EXPECT_EQ(a->GetStringLength(kKeyA, &length), S_OK);
  EXPECT_EQ(length, name.size());

  LPWSTR copy = nullptr;
  length = 0;
  ASSERT_EQ(a->GetAllocatedString(kKeyA, &copy, &length), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(length, name.size());
  EXPECT_EQ(Wide(copy), name);  // zero-terminated
  CoTaskMemFree(copy);

  // The buffer size counts the terminating zero.
  std::vector<WCHAR> buffer(name.size() + 1, WCHAR(0x7777));
  EXPECT_EQ(a->GetString(kKeyA, buffer.data(), static_cast<UINT32>(name.size()), &length), E_NOT_SUFFICIENT_BUFFER);
  length = 0;
  EXPECT_EQ(a->GetString(kKeyA, buffer.data(), static_cast<UINT32>(buffer.size()), &length), S_OK);
  EXPECT_EQ(length, name.size());
  EXPECT_EQ(Wide(buffer.data()), name);

  ASSERT_EQ(a->SetString(kKeyB, W("").c_str()), S_OK);
  ASSERT_EQ(a->GetAllocatedString(kKeyB, &copy, &length), S_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(copy[0], WCHAR(0));
  CoTaskMemFree(copy);

  EXPECT_EQ(a->SetString(kKeyC, nullptr), E_POINTER);
}

TEST(Attributes, BlobsAreCopiedOutWithTheirSize) {
  Ref<IMFAttributes> a = NewAttributes();
  const UINT8 header[] = {0, 0, 0, 1, 0x67, 0x4D, 0, 0, 0, 1, 0x68};
  ASSERT_EQ(a->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header, sizeof header), S_OK);

  UINT32 size = 0;
  EXPECT_EQ(a->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size), S_OK);
  EXPECT_EQ(size, sizeof header);

  UINT8 small[sizeof header - 1];
  EXPECT_EQ(a->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, small, sizeof small, &size), E_NOT_SUFFICIENT_BUFFER);
  UINT8 exact[sizeof header] = {};
  size = 0;
  EXPECT_EQ(a->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, exact, sizeof exact, &size), S_OK);
  EXPECT_EQ(size, sizeof header);
  EXPECT_EQ(std::memcmp(exact, header, sizeof header), 0);

  UINT8* copy = nullptr;
  ASSERT_EQ(a->GetAllocatedBlob(MF_MT_MPEG_SEQUENCE_HEADER, &copy, &size), S_OK);
  EXPECT_EQ(size, sizeof header);
  EXPECT_EQ(std::memcmp(copy, header, sizeof header), 0);
  CoTaskMemFree(copy);

  // Empty blobs exist, and a later set replaces the earlier value.
  ASSERT_EQ(a->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, nullptr, 0), S_OK);
  EXPECT_EQ(a->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size), S_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(a->SetBlob(kKeyA, nullptr, 4), E_POINTER);
}

TEST(Attributes, SettingAgainReplacesInPlaceAndDeletingRemoves) {
  Ref<IMFAttributes> a = NewAttributes();
  ASSERT_EQ(a->SetUINT32(kKeyA, 1), S_OK);
  ASSERT_EQ(a->SetUINT32(kKeyB, 2), S_OK);
  ASSERT_EQ(a->SetGUID(kKeyA, MFVideoFormat_NV12), S_OK);  // a new kind replaces the old value

  UINT32 count = 0;
  GUID key{};
  EXPECT_EQ(a->GetCount(&count), S_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(a->GetItemByIndex(0, &key, nullptr), S_OK);
  EXPECT_TRUE(key == kKeyA);
  EXPECT_EQ(a->GetItemByIndex(1, &key, nullptr), S_OK);
  EXPECT_TRUE(key == kKeyB);
  EXPECT_EQ(a->GetItemByIndex(2, &key, nullptr), E_INVALIDARG);
  alignas(16) unsigned char variant[64] = {};
  EXPECT_EQ(a->GetItemByIndex(0, &key, reinterpret_cast<PROPVARIANT*>(variant)), E_NOTIMPL);

  UINT32 value = 0;
  EXPECT_EQ(a->GetUINT32(kKeyA, &value), MF_E_INVALIDTYPE);

  EXPECT_EQ(a->DeleteItem(kKeyA), S_OK);
  EXPECT_EQ(a->DeleteItem(kKeyA), S_OK);  // deleting a missing key is no failure
  EXPECT_EQ(a->GetCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(a->GetUINT32(kKeyB, &value), S_OK);
  EXPECT_EQ(value, 2u);

  EXPECT_EQ(a->DeleteAllItems(), S_OK);
  EXPECT_EQ(a->GetCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST(Attributes, StoredObjectsAreHeldAsReferences) {
  Ref<IMFMediaType> type;
  ASSERT_EQ(CreateMediaTypeObject(type.Out()), S_OK);
  ULONG before = Count(type.get());
  {
    Ref<IMFAttributes> a = NewAttributes();
    ASSERT_EQ(a->SetUnknown(kKeyA, type.get()), S_OK);
    EXPECT_EQ(Count(type.get()), before + 1);

    Ref<IMFMediaType> back;
    EXPECT_EQ(a->GetUnknown(kKeyA, IID_IMFMediaType, back.OutVoid()), S_OK);
    EXPECT_EQ(back.get(), type.get());
    back.Reset();
    Ref<IMFSample> wrong;
    EXPECT_EQ(a->GetUnknown(kKeyA, IID_IMFSample, wrong.OutVoid()), E_NOINTERFACE);
    EXPECT_EQ(wrong.get(), nullptr);

    ASSERT_EQ(a->SetUINT32(kKeyA, 5), S_OK);  // replacing the object releases it
    EXPECT_EQ(Count(type.get()), before);
    ASSERT_EQ(a->SetUnknown(kKeyB, type.get()), S_OK);
    EXPECT_EQ(a->SetUnknown(kKeyC, nullptr), E_POINTER);
  }
  EXPECT_EQ(Count(type.get()), before);  // the store's end released it
}

TEST(Attributes, CopyAllItemsReplacesTheDestination) {
  Ref<IMFAttributes> a = NewAttributes();
  Ref<IMFAttributes> b = NewAttributes();
  Ref<IMFAttributes> held = NewAttributes();
  const UINT8 blob[] = {9, 8, 7};
  ASSERT_EQ(a->SetUINT32(kKeyA, 7), S_OK);
  ASSERT_EQ(a->SetString(kKeyB, W("name").c_str()), S_OK);
  ASSERT_EQ(a->SetBlob(kKeyC, blob, sizeof blob), S_OK);
  ASSERT_EQ(a->SetUnknown(MF_MT_SUBTYPE, held.get()), S_OK);
  ASSERT_EQ(a->SetUINT64(MF_MT_FRAME_RATE, (UINT64{30} << 32) | 1), S_OK);
  ASSERT_EQ(a->SetDouble(MF_MT_AVG_BITRATE, 0.5), S_OK);
  ASSERT_EQ(a->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
  ASSERT_EQ(b->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);

  ASSERT_EQ(a->CopyAllItems(b.get()), S_OK);
  UINT32 count = 0;
  EXPECT_EQ(b->GetCount(&count), S_OK);
  EXPECT_EQ(count, 7u);
  UINT32 value = 0;
  EXPECT_EQ(b->GetUINT32(MF_MT_INTERLACE_MODE, &value), MF_E_ATTRIBUTENOTFOUND);
  BOOL same = 0;
  EXPECT_EQ(a->Compare(b.get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same), S_OK);
  EXPECT_TRUE(same);
  EXPECT_EQ(b->Compare(a.get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same), S_OK);
  EXPECT_TRUE(same);
}

TEST(Attributes, CompareFollowsTheMatchType) {
  Ref<IMFAttributes> small = NewAttributes();
  Ref<IMFAttributes> large = NewAttributes();
  ASSERT_EQ(small->SetUINT32(kKeyA, 1), S_OK);
  ASSERT_EQ(large->SetUINT32(kKeyA, 1), S_OK);
  ASSERT_EQ(large->SetString(kKeyB, W("x").c_str()), S_OK);

  auto compare = [](IMFAttributes* x, IMFAttributes* y, MF_ATTRIBUTES_MATCH_TYPE type) {
    BOOL result = 7;
    EXPECT_EQ(x->Compare(y, type, &result), S_OK);
    return result != 0;
  };
  EXPECT_TRUE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_OUR_ITEMS));
  EXPECT_FALSE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_THEIR_ITEMS));
  EXPECT_FALSE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS));
  EXPECT_TRUE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_INTERSECTION));
  EXPECT_TRUE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_SMALLER));
  EXPECT_TRUE(compare(large.get(), small.get(), MF_ATTRIBUTES_MATCH_SMALLER));
  EXPECT_TRUE(compare(large.get(), large.get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS));

  ASSERT_EQ(small->SetUINT32(kKeyA, 2), S_OK);  // same key, other value
  EXPECT_FALSE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_INTERSECTION));
  ASSERT_EQ(small->SetUINT64(kKeyA, 1), S_OK);  // same number, other kind
  EXPECT_FALSE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_OUR_ITEMS));
  ASSERT_EQ(small->SetUINT32(kKeyA, 1), S_OK);
  ASSERT_EQ(small->SetString(kKeyB, W("y").c_str()), S_OK);
  EXPECT_FALSE(compare(small.get(), large.get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS));
}

TEST(Attributes, LockStoreHoldsOffOtherThreads) {
  Ref<IMFAttributes> a = NewAttributes();
  EXPECT_EQ(a->UnlockStore(), E_UNEXPECTED);  // nothing to undo
  ASSERT_EQ(a->LockStore(), S_OK);
  ASSERT_EQ(a->LockStore(), S_OK);  // nests on the same thread
  ASSERT_EQ(a->SetUINT32(kKeyA, 1), S_OK);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    a->SetUINT32(kKeyB, 2);
    written = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(written);
  EXPECT_EQ(a->UnlockStore(), S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(written);  // still held once
  EXPECT_EQ(a->UnlockStore(), S_OK);
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(a->UnlockStore(), E_UNEXPECTED);
}

// --- QueryInterface, for every kind of object ---

struct ObjectKind {
  const char* name;
  std::function<IUnknown*()> create;
  std::vector<GUID> interfaces;  // besides IUnknown
};

IUnknown* NewActivate() {
  IMFActivate* activate = nullptr;
  CreateActivateObject([](IUnknown** object) { return CreateAttributesObject(reinterpret_cast<IMFAttributes**>(object)); },
                       &activate);
  return activate;
}

const ObjectKind kKinds[] = {
    {"Attributes", [] { IMFAttributes* p = nullptr; CreateAttributesObject(&p); return static_cast<IUnknown*>(p); },
     {IID_IMFAttributes}},
    {"MediaType", [] { IMFMediaType* p = nullptr; CreateMediaTypeObject(&p); return static_cast<IUnknown*>(p); },
     {IID_IMFMediaType, IID_IMFAttributes}},
    {"MemoryBuffer",
     [] { IMFMediaBuffer* p = nullptr; CreateMemoryBufferObject(16, &p); return static_cast<IUnknown*>(p); },
     {IID_IMFMediaBuffer}},
    {"Sample", [] { IMFSample* p = nullptr; CreateSampleObject(&p); return static_cast<IUnknown*>(p); },
     {IID_IMFSample, IID_IMFAttributes}},
    {"MediaEvent",
     [] { IMFMediaEvent* p = nullptr; CreateMediaEventObject(METransformNeedInput, S_OK, &p); return static_cast<IUnknown*>(p); },
     {IID_IMFMediaEvent, IID_IMFAttributes}},
    {"EventQueue",
     [] { IMFMediaEventGenerator* p = nullptr; CreateEventQueueObject(&p); return static_cast<IUnknown*>(p); },
     {IID_IMFMediaEventGenerator}},
    {"Activate", NewActivate, {IID_IMFActivate, IID_IMFAttributes}},
};

class EveryObject : public testing::TestWithParam<ObjectKind> {};

TEST_P(EveryObject, AnswersForItsInterfacesWithOneIdentity) {
  Ref<IUnknown> object(GetParam().create());
  ASSERT_NE(object.get(), nullptr);
  EXPECT_EQ(Count(object.get()), 1u);
  IUnknown* identity = Identity(object.get());
  ASSERT_NE(identity, nullptr);
  for (const GUID& iid : GetParam().interfaces) {
    Ref<IUnknown> view;
    ASSERT_EQ(object->QueryInterface(iid, view.OutVoid()), S_OK);
    ASSERT_NE(view.get(), nullptr);
    EXPECT_EQ(Identity(view.get()), identity);
    EXPECT_EQ(Count(object.get()), 2u);  // the view holds a reference of its own
  }
  EXPECT_EQ(Count(object.get()), 1u);

  const GUID notImplemented[] = {IID_IMFTransform, IID_ICodecAPI, IID_IMFCollection};
  for (const GUID& iid : notImplemented) {
    void* view = &view;
    EXPECT_EQ(object->QueryInterface(iid, &view), E_NOINTERFACE);
    EXPECT_EQ(view, nullptr);
  }
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_P(EveryObject, ReferenceCountIsSafeAcrossThreads) {
  Ref<IUnknown> object(GetParam().create());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        object->AddRef();
        object->Release();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(Count(object.get()), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllObjects, EveryObject, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<ObjectKind>& p) { return std::string(p.param.name); });

TEST(Creators, RejectNullOutPointers) {
  EXPECT_EQ(CreateAttributesObject(nullptr), E_POINTER);
  EXPECT_EQ(CreateMediaTypeObject(nullptr), E_POINTER);
  EXPECT_EQ(CreateMemoryBufferObject(4, nullptr), E_POINTER);
  EXPECT_EQ(CreateSampleObject(nullptr), E_POINTER);
  EXPECT_EQ(CreateMediaEventObject(MEError, E_FAIL, nullptr), E_POINTER);
  EXPECT_EQ(CreateEventQueueObject(nullptr), E_POINTER);
  EXPECT_EQ(CreateActivateObject([](IUnknown**) { return E_FAIL; }, nullptr), E_POINTER);
}

// --- media type ---

TEST(MediaType, MajorTypeAndCompressionComeFromTheAttributes) {
  Ref<IMFMediaType> type;
  ASSERT_EQ(CreateMediaTypeObject(type.Out()), S_OK);
  GUID major{};
  EXPECT_EQ(type->GetMajorType(&major), MF_E_ATTRIBUTENOTFOUND);
  ASSERT_EQ(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
  EXPECT_EQ(type->GetMajorType(&major), S_OK);
  EXPECT_TRUE(major == MFMediaType_Video);

  BOOL compressed = 0;
  EXPECT_EQ(type->IsCompressedFormat(&compressed), S_OK);
  EXPECT_TRUE(compressed);
  ASSERT_EQ(type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1), S_OK);
  EXPECT_EQ(type->IsCompressedFormat(&compressed), S_OK);
  EXPECT_FALSE(compressed);

  DWORD flags = 0;
  EXPECT_EQ(type->IsEqual(type.get(), &flags), E_NOTIMPL);
}

// --- memory buffer ---

TEST(MemoryBuffer, LockGivesTheSameMemoryAndTheLengths) {
  Ref<IMFMediaBuffer> buffer;
  ASSERT_EQ(CreateMemoryBufferObject(1382400, buffer.Out()), S_OK);
  BYTE* data = nullptr;
  DWORD maxLength = 0;
  DWORD currentLength = 99;
  ASSERT_EQ(buffer->Lock(&data, &maxLength, &currentLength), S_OK);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(maxLength, 1382400u);
  EXPECT_EQ(currentLength, 0u);
  data[0] = 0x10;
  data[1382399] = 0x80;

  BYTE* again = nullptr;
  ASSERT_EQ(buffer->Lock(&again, nullptr, nullptr), S_OK);  // locks nest
  EXPECT_EQ(again, data);
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->Unlock(), E_UNEXPECTED);

  EXPECT_EQ(buffer->SetCurrentLength(1382401), E_INVALIDARG);
  EXPECT_EQ(buffer->SetCurrentLength(1382400), S_OK);
  ASSERT_EQ(buffer->Lock(&again, nullptr, &currentLength), S_OK);
  EXPECT_EQ(currentLength, 1382400u);
  EXPECT_EQ(again[0], 0x10);
  EXPECT_EQ(again[1382399], 0x80);
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->GetCurrentLength(&currentLength), S_OK);
  EXPECT_EQ(currentLength, 1382400u);
  EXPECT_EQ(buffer->GetMaxLength(&maxLength), S_OK);
  EXPECT_EQ(maxLength, 1382400u);
}

TEST(MemoryBuffer, ZeroLengthBufferStillLocks) {
  Ref<IMFMediaBuffer> buffer;
  ASSERT_EQ(CreateMemoryBufferObject(0, buffer.Out()), S_OK);
  BYTE* data = nullptr;
  DWORD maxLength = 5;
  EXPECT_EQ(buffer->Lock(&data, &maxLength, nullptr), S_OK);
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(maxLength, 0u);
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->SetCurrentLength(1), E_INVALIDARG);
}

// --- sample ---

TEST(Sample, TimeAndDurationMustBeSetBeforeTheyAreRead) {
  Ref<IMFSample> sample;
  ASSERT_EQ(CreateSampleObject(sample.Out()), S_OK);
  LONGLONG value = 0;
  EXPECT_EQ(sample->GetSampleTime(&value), MF_E_NO_SAMPLE_TIMESTAMP);
  EXPECT_EQ(sample->GetSampleDuration(&value), MF_E_NO_SAMPLE_DURATION);
  ASSERT_EQ(sample->SetSampleTime(-5), S_OK);
  ASSERT_EQ(sample->SetSampleDuration(333333), S_OK);
  EXPECT_EQ(sample->GetSampleTime(&value), S_OK);
  EXPECT_EQ(value, -5);
  EXPECT_EQ(sample->GetSampleDuration(&value), S_OK);
  EXPECT_EQ(value, 333333);

  DWORD flags = 1;
  EXPECT_EQ(sample->GetSampleFlags(&flags), S_OK);
  EXPECT_EQ(flags, 0u);
  ASSERT_EQ(sample->SetUINT32(MFSampleExtension_CleanPoint, 1), S_OK);
  UINT32 cleanPoint = 0;
  EXPECT_EQ(sample->GetUINT32(MFSampleExtension_CleanPoint, &cleanPoint), S_OK);
  EXPECT_EQ(cleanPoint, 1u);
}

TEST(Sample, OneBufferIsHandedOutAsItIs) {
  Ref<IMFSample> sample;
  ASSERT_EQ(CreateSampleObject(sample.Out()), S_OK);
  Ref<IMFMediaBuffer> contiguous;
  EXPECT_EQ(sample->ConvertToContiguousBuffer(contiguous.Out()), E_UNEXPECTED);

  Ref<IMFMediaBuffer> buffer = BufferWith("abc", 10);
  ULONG before = Count(buffer.get());
  ASSERT_EQ(sample->AddBuffer(buffer.get()), S_OK);
  EXPECT_EQ(Count(buffer.get()), before + 1);
  ASSERT_EQ(sample->ConvertToContiguousBuffer(contiguous.Out()), S_OK);
  EXPECT_EQ(contiguous.get(), buffer.get());
  contiguous.Reset();

  DWORD total = 0;
  EXPECT_EQ(sample->GetTotalLength(&total), S_OK);
  EXPECT_EQ(total, 3u);
  ASSERT_EQ(sample->RemoveAllBuffers(), S_OK);
  EXPECT_EQ(Count(buffer.get()), before);
}

TEST(Sample, SeveralBuffersAreJoinedIntoANewOne) {
  Ref<IMFSample> sample;
  ASSERT_EQ(CreateSampleObject(sample.Out()), S_OK);
  Ref<IMFMediaBuffer> first = BufferWith(std::string("\x00\x00\x00\x01\x65", 5), 64);
  Ref<IMFMediaBuffer> empty = BufferWith("", 8);
  Ref<IMFMediaBuffer> second = BufferWith("tail", 4);
  ASSERT_EQ(sample->AddBuffer(first.get()), S_OK);
  ASSERT_EQ(sample->AddBuffer(empty.get()), S_OK);
  ASSERT_EQ(sample->AddBuffer(second.get()), S_OK);

  DWORD total = 0;
  EXPECT_EQ(sample->GetTotalLength(&total), S_OK);
  EXPECT_EQ(total, 9u);
  ULONG firstBefore = Count(first.get());

  Ref<IMFMediaBuffer> contiguous;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(contiguous.Out()), S_OK);
  EXPECT_NE(contiguous.get(), first.get());
  EXPECT_EQ(Contents(contiguous.get()), std::string("\x00\x00\x00\x01\x65tail", 9));

  // The joined buffer now stands in the sample for the three.
  DWORD count = 0;
  EXPECT_EQ(sample->GetBufferCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Count(first.get()), firstBefore - 1);
  Ref<IMFMediaBuffer> again;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(again.Out()), S_OK);
  EXPECT_EQ(again.get(), contiguous.get());
}

TEST(Sample, BuffersByIndexAndCopyToBuffer) {
  Ref<IMFSample> sample;
  ASSERT_EQ(CreateSampleObject(sample.Out()), S_OK);
  Ref<IMFMediaBuffer> a = BufferWith("one", 3);
  Ref<IMFMediaBuffer> b = BufferWith("two", 3);
  ASSERT_EQ(sample->AddBuffer(a.get()), S_OK);
  ASSERT_EQ(sample->AddBuffer(b.get()), S_OK);
  EXPECT_EQ(sample->AddBuffer(nullptr), E_POINTER);

  Ref<IMFMediaBuffer> got;
  ASSERT_EQ(sample->GetBufferByIndex(1, got.Out()), S_OK);
  EXPECT_EQ(got.get(), b.get());
  EXPECT_EQ(sample->GetBufferByIndex(2, got.Out()), E_INVALIDARG);
  EXPECT_EQ(got.get(), nullptr);

  Ref<IMFMediaBuffer> small = BufferWith("", 5);
  EXPECT_EQ(sample->CopyToBuffer(small.get()), MF_E_BUFFERTOOSMALL);
  Ref<IMFMediaBuffer> room = BufferWith("", 6);
  ASSERT_EQ(sample->CopyToBuffer(room.get()), S_OK);
  EXPECT_EQ(Contents(room.get()), "onetwo");

  ULONG before = Count(a.get());
  ASSERT_EQ(sample->RemoveBufferByIndex(0), S_OK);
  EXPECT_EQ(Count(a.get()), before - 1);
  EXPECT_EQ(sample->RemoveBufferByIndex(1), E_INVALIDARG);
  ASSERT_EQ(sample->GetBufferByIndex(0, got.Out()), S_OK);
  EXPECT_EQ(got.get(), b.get());
}

// --- events and the event queue ---

TEST(MediaEvent, CarriesTypeStatusAndAttributes) {
  Ref<IMFMediaEvent> event;
  ASSERT_EQ(CreateMediaEventObject(MEError, MF_E_INVALIDMEDIATYPE, event.Out()), S_OK);
  MediaEventType type = 0;
  HRESULT status = S_OK;
  GUID extended = MFVideoFormat_H264;
  EXPECT_EQ(event->GetType(&type), S_OK);
  EXPECT_EQ(type, MEError);
  EXPECT_EQ(event->GetStatus(&status), S_OK);
  EXPECT_EQ(status, MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(event->GetExtendedType(&extended), S_OK);
  EXPECT_TRUE(extended == GUID_NULL);
  ASSERT_EQ(event->SetUINT32(kKeyA, 3), S_OK);
  UINT32 value = 0;
  EXPECT_EQ(event->GetUINT32(kKeyA, &value), S_OK);
  EXPECT_EQ(value, 3u);
}

TEST(EventQueue, GivesEventsInOrderAndReportsAnEmptyQueue) {
  Ref<IMFMediaEventGenerator> queue;
  ASSERT_EQ(CreateEventQueueObject(queue.Out()), S_OK);
  Ref<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.Out()), MF_E_NO_EVENTS_AVAILABLE);
  EXPECT_EQ(event.get(), nullptr);

  ASSERT_EQ(queue->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr), S_OK);
  ASSERT_EQ(queue->QueueEvent(METransformHaveOutput, MFVideoFormat_H264, S_OK, nullptr), S_OK);
  ASSERT_EQ(queue->QueueEvent(MEError, GUID_NULL, E_FAIL, nullptr), S_OK);

  const struct {
    MediaEventType type;
    HRESULT status;
    GUID extended;
  } expected[] = {{METransformNeedInput, S_OK, GUID_NULL},
                  {METransformHaveOutput, S_OK, MFVideoFormat_H264},
                  {MEError, E_FAIL, GUID_NULL}};
  for (const auto& e : expected) {
    ASSERT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.Out()), S_OK);
    MediaEventType type = 0;
    HRESULT status = S_OK;
    GUID extended{};
    EXPECT_EQ(event->GetType(&type), S_OK);
    EXPECT_EQ(event->GetStatus(&status), S_OK);
    EXPECT_EQ(event->GetExtendedType(&extended), S_OK);
    EXPECT_EQ(type, e.type);
    EXPECT_EQ(status, e.status);
    EXPECT_TRUE(extended == e.extended);
    EXPECT_EQ(Count(event.get()), 1u);  // the caller's reference is the only one
  }
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.Out()), MF_E_NO_EVENTS_AVAILABLE);

  alignas(16) unsigned char variant[64] = {};
  EXPECT_EQ(queue->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, reinterpret_cast<const PROPVARIANT*>(variant)),
            E_NOTIMPL);
  EXPECT_EQ(queue->BeginGetEvent(nullptr, nullptr), E_NOTIMPL);

  // Events still queued when the queue goes are released with it (the leak check sees them).
  ASSERT_EQ(queue->QueueEvent(METransformNeedInput, GUID_NULL, S_OK, nullptr), S_OK);
}

TEST(EventQueue, WaitingGetEventWakesForAnEventFromAnotherThread) {
  Ref<IMFMediaEventGenerator> queue;
  ASSERT_EQ(CreateEventQueueObject(queue.Out()), S_OK);
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    queue->QueueEvent(METransformHaveOutput, GUID_NULL, S_OK, nullptr);
  });
  Ref<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(0, event.Out()), S_OK);
  producer.join();
  MediaEventType type = 0;
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(event->GetType(&type), S_OK);
  EXPECT_EQ(type, METransformHaveOutput);
}

// --- activation object ---

struct FactoryLog {
  int calls = 0;
  HRESULT result = S_OK;
  bool giveNothing = false;
};

Ref<IMFActivate> ActivateFor(FactoryLog& log) {
  Ref<IMFActivate> activate;
  EXPECT_EQ(CreateActivateObject(
                [&log](IUnknown** object) {
                  ++log.calls;
                  if (log.giveNothing) return S_OK;
                  if (FAILED(log.result)) return log.result;
                  return CreateMediaTypeObject(reinterpret_cast<IMFMediaType**>(object));
                },
                activate.Out()),
            S_OK);
  return activate;
}

TEST(Activate, MakesTheObjectOnceAndKeepsIt) {
  FactoryLog log;
  Ref<IMFActivate> activate = ActivateFor(log);
  ASSERT_EQ(activate->SetString(MFT_FRIENDLY_NAME_Attribute, W("h264_vaapi").c_str()), S_OK);
  LPWSTR name = nullptr;
  UINT32 length = 0;
  ASSERT_EQ(activate->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length), S_OK);
  EXPECT_EQ(Wide(name), W("h264_vaapi"));
  CoTaskMemFree(name);
  EXPECT_EQ(log.calls, 0);

  Ref<IMFMediaType> first;
  ASSERT_EQ(activate->ActivateObject(IID_IMFMediaType, first.OutVoid()), S_OK);
  Ref<IMFAttributes> second;
  ASSERT_EQ(activate->ActivateObject(IID_IMFAttributes, second.OutVoid()), S_OK);
  EXPECT_EQ(Identity(first.get()), Identity(second.get()));
  Ref<IMFTransform> wrong;
  EXPECT_EQ(activate->ActivateObject(IID_IMFTransform, wrong.OutVoid()), E_NOINTERFACE);
  EXPECT_EQ(wrong.get(), nullptr);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(Count(first.get()), 3u);  // first, second and the activation object's own
}

TEST(Activate, ShutdownDropsTheObjectAndTheNextActivationMakesANewOne) {
  FactoryLog log;
  Ref<IMFActivate> activate = ActivateFor(log);
  Ref<IMFMediaType> first;
  ASSERT_EQ(activate->ActivateObject(IID_IMFMediaType, first.OutVoid()), S_OK);
  EXPECT_EQ(Count(first.get()), 2u);
  EXPECT_EQ(activate->ShutdownObject(), S_OK);
  EXPECT_EQ(Count(first.get()), 1u);
  Ref<IMFMediaType> second;
  ASSERT_EQ(activate->ActivateObject(IID_IMFMediaType, second.OutVoid()), S_OK);
  EXPECT_NE(Identity(first.get()), Identity(second.get()));
  EXPECT_EQ(log.calls, 2);
  EXPECT_EQ(activate->DetachObject(), S_OK);
  EXPECT_EQ(Count(second.get()), 1u);
  EXPECT_EQ(activate->ShutdownObject(), S_OK);  // nothing left to drop
}

TEST(Activate, FactoryFailuresArePassedOn) {
  FactoryLog log;
  log.result = MF_E_UNSUPPORTED_D3D_TYPE;
  Ref<IMFActivate> activate = ActivateFor(log);
  Ref<IMFTransform> transform;
  EXPECT_EQ(activate->ActivateObject(IID_IMFTransform, transform.OutVoid()), MF_E_UNSUPPORTED_D3D_TYPE);
  EXPECT_EQ(transform.get(), nullptr);
  log.result = S_OK;
  log.giveNothing = true;
  EXPECT_EQ(activate->ActivateObject(IID_IMFTransform, transform.OutVoid()), E_UNEXPECTED);
  EXPECT_EQ(log.calls, 2);  // a failed activation is tried afresh

  IMFActivate* none = reinterpret_cast<IMFActivate*>(&log);
  EXPECT_EQ(CreateActivateObject(ActivationFactory(), &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
