#include "fake_framework.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "encoder/loader.h"

namespace fake {

namespace {

// Every object until it deletes itself. What a test cuts short by a thrown failure (as the process
// would, ending right after) stays listed here, not leaked; the list itself outlives the program's
// static destructors.
std::map<std::uint64_t, const Counted*>& LiveList() {
  static auto* live = new std::map<std::uint64_t, const Counted*>;
  return *live;
}
std::uint64_t nextId = 1;

template <typename T, typename Interface>
HRESULT Hand(T* self, Interface* as, void** object) {
  *object = static_cast<void*>(as);
  self->AddReference();
  return S_OK;
}

HRESULT NoInterface(void** object) {
  *object = nullptr;
  return E_NOINTERFACE;
}

}  // namespace

Framework framework;

// ---- Lifetime ----

Counted::Counted() : id_(nextId++) { LiveList().emplace(id_, this); }
Counted::~Counted() { LiveList().erase(id_); }

ULONG Counted::AddReference() { return static_cast<ULONG>(++references_); }

ULONG Counted::DropReference() {
  const long left = --references_;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

int LiveObjects() { return static_cast<int>(LiveList().size()); }
bool IsAlive(std::uint64_t id) { return LiveList().count(id) != 0; }

const AttributeItem* FindItem(const std::vector<AttributeItem>& items, REFGUID key) {
  for (const AttributeItem& item : items) {
    if (IsEqualGUID(item.key, key)) return &item;
  }
  return nullptr;
}

// ---- Attributes ----

template <typename I>
const AttributeItem* Attributes<I>::Find(REFGUID key) const {
  return FindItem(items, key);
}

template <typename I>
AttributeItem* Attributes<I>::Put(REFGUID key, MF_ATTRIBUTE_TYPE type, HRESULT& refusal) {
  for (const auto& refused : refusedSets) {
    if (IsEqualGUID(refused.first, key)) {
      refusal = refused.second;
      return nullptr;
    }
  }
  AttributeItem* item = nullptr;
  for (AttributeItem& existing : items) {
    if (IsEqualGUID(existing.key, key)) item = &existing;
  }
  if (item == nullptr) {
    items.emplace_back();
    item = &items.back();
  }
  *item = AttributeItem{};
  item->key = key;
  item->type = type;
  return item;
}

template <typename I>
void Attributes<I>::SetName(const std::u16string& text) {
  std::basic_string<WCHAR> wide;
  for (char16_t c : text) wide += static_cast<WCHAR>(c);
  SetString(MFT_FRIENDLY_NAME_Attribute, wide.c_str());
}

template <typename I>
HRESULT Attributes<I>::GetItem(REFGUID, PROPVARIANT*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  *type = item->type;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::CompareItem(REFGUID, REFPROPVARIANT, BOOL*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::Compare(IMFAttributes*, MF_ATTRIBUTES_MATCH_TYPE, BOOL*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::GetUINT32(REFGUID key, UINT32* value) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_UINT32) return MF_E_INVALIDTYPE;
  *value = static_cast<UINT32>(item->number);
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetUINT64(REFGUID key, UINT64* value) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_UINT64) return MF_E_INVALIDTYPE;
  *value = item->number;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetDouble(REFGUID, double*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::GetGUID(REFGUID key, GUID* value) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_GUID) return MF_E_INVALIDTYPE;
  *value = item->guid;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetStringLength(REFGUID key, UINT32* length) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_STRING) return MF_E_INVALIDTYPE;
  *length = static_cast<UINT32>(item->text.size());
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetString(REFGUID, LPWSTR, UINT32, UINT32*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_STRING) return MF_E_INVALIDTYPE;
  const std::size_t bytes = (item->text.size() + 1) * sizeof(WCHAR);
  auto* copy = static_cast<WCHAR*>(CoTaskMemAlloc(bytes));
  std::memcpy(copy, item->text.c_str(), bytes);
  *value = copy;
  if (length != nullptr) *length = static_cast<UINT32>(item->text.size());
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetBlobSize(REFGUID key, UINT32* size) {
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_BLOB) return MF_E_INVALIDTYPE;
  *size = claimedBlobSize != 0 ? claimedBlobSize : static_cast<UINT32>(item->blob.size());
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) {
  if (blobReads != nullptr) blobReads->push_back(bufferSize);
  const AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if (item->type != MF_ATTRIBUTE_BLOB) return MF_E_INVALIDTYPE;
  if (item->blob.size() > bufferSize) return MF_E_BUFFERTOOSMALL;
  if (!item->blob.empty()) std::memcpy(buffer, item->blob.data(), item->blob.size());
  if (size != nullptr) *size = static_cast<UINT32>(item->blob.size());
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetAllocatedBlob(REFGUID, UINT8**, UINT32*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::GetUnknown(REFGUID, REFIID, LPVOID*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::SetItem(REFGUID, REFPROPVARIANT) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::DeleteItem(REFGUID key) {
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&](const AttributeItem& item) { return IsEqualGUID(item.key, key); }),
              items.end());
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::DeleteAllItems() {
  items.clear();
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::SetUINT32(REFGUID key, UINT32 value) {
  HRESULT refusal = S_OK;
  AttributeItem* item = Put(key, MF_ATTRIBUTE_UINT32, refusal);
  if (item == nullptr) return refusal;
  item->number = value;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::SetUINT64(REFGUID key, UINT64 value) {
  HRESULT refusal = S_OK;
  AttributeItem* item = Put(key, MF_ATTRIBUTE_UINT64, refusal);
  if (item == nullptr) return refusal;
  item->number = value;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::SetDouble(REFGUID, double) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::SetGUID(REFGUID key, REFGUID value) {
  HRESULT refusal = S_OK;
  AttributeItem* item = Put(key, MF_ATTRIBUTE_GUID, refusal);
  if (item == nullptr) return refusal;
  item->guid = value;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::SetString(REFGUID key, LPCWSTR value) {
  HRESULT refusal = S_OK;
  AttributeItem* item = Put(key, MF_ATTRIBUTE_STRING, refusal);
  if (item == nullptr) return refusal;
  item->text = value;
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) {
  HRESULT refusal = S_OK;
  AttributeItem* item = Put(key, MF_ATTRIBUTE_BLOB, refusal);
  if (item == nullptr) return refusal;
  item->blob.assign(buffer, buffer + bufferSize);
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::SetUnknown(REFGUID, IUnknown*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::LockStore() {
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::UnlockStore() {
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetCount(UINT32* count) {
  *count = static_cast<UINT32>(items.size());
  return S_OK;
}

template <typename I>
HRESULT Attributes<I>::GetItemByIndex(UINT32, GUID*, PROPVARIANT*) {
  return E_NOTIMPL;
}

template <typename I>
HRESULT Attributes<I>::CopyAllItems(IMFAttributes*) {
  return E_NOTIMPL;
}

template class Attributes<IMFAttributes>;
template class Attributes<IMFMediaType>;
template class Attributes<IMFSample>;
template class Attributes<IMFMediaEvent>;
template class Attributes<IMFActivate>;

HRESULT AttributeStore::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFAttributes)) {
    return Hand(this, static_cast<IMFAttributes*>(this), object);
  }
  return NoInterface(object);
}

// ---- Media types ----

HRESULT MediaType::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFAttributes) ||
      IsEqualGUID(riid, IID_IMFMediaType)) {
    return Hand(this, static_cast<IMFMediaType*>(this), object);
  }
  return NoInterface(object);
}

HRESULT MediaType::GetMajorType(GUID* majorType) { return GetGUID(MF_MT_MAJOR_TYPE, majorType); }
HRESULT MediaType::IsCompressedFormat(BOOL*) { return E_NOTIMPL; }
HRESULT MediaType::IsEqual(IMFMediaType*, DWORD*) { return E_NOTIMPL; }
HRESULT MediaType::GetRepresentation(GUID, LPVOID*) { return E_NOTIMPL; }
HRESULT MediaType::FreeRepresentation(GUID, LPVOID) { return E_NOTIMPL; }

// ---- Buffers ----

MediaBuffer::MediaBuffer(DWORD maxLength, BYTE fill) : bytes(maxLength, fill) {}

HRESULT MediaBuffer::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFMediaBuffer)) {
    return Hand(this, static_cast<IMFMediaBuffer*>(this), object);
  }
  return NoInterface(object);
}

HRESULT MediaBuffer::Lock(BYTE** buffer, DWORD* maxLength, DWORD* current) {
  if (FAILED(lockResult)) return lockResult;
  ++locks;
  *buffer = bytes.data();
  if (maxLength != nullptr) *maxLength = static_cast<DWORD>(bytes.size());
  if (current != nullptr) *current = currentLength;
  return S_OK;
}

HRESULT MediaBuffer::Unlock() {
  if (locks == 0) return E_UNEXPECTED;
  --locks;
  return S_OK;
}

HRESULT MediaBuffer::GetCurrentLength(DWORD* length) {
  *length = currentLength;
  return S_OK;
}

HRESULT MediaBuffer::SetCurrentLength(DWORD length) {
  if (length > bytes.size()) return E_INVALIDARG;
  currentLength = length;
  return S_OK;
}

HRESULT MediaBuffer::GetMaxLength(DWORD* length) {
  *length = static_cast<DWORD>(bytes.size());
  return S_OK;
}

// ---- Samples ----

Sample::~Sample() {
  for (IMFMediaBuffer* buffer : buffers) buffer->Release();
}

HRESULT Sample::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFAttributes) ||
      IsEqualGUID(riid, IID_IMFSample)) {
    return Hand(this, static_cast<IMFSample*>(this), object);
  }
  return NoInterface(object);
}

HRESULT Sample::GetSampleFlags(DWORD* flags) {
  *flags = 0;
  return S_OK;
}
HRESULT Sample::SetSampleFlags(DWORD) { return S_OK; }

HRESULT Sample::GetSampleTime(LONGLONG* value) {
  if (!timeSet) return MF_E_ATTRIBUTENOTFOUND;
  *value = time;
  return S_OK;
}

HRESULT Sample::SetSampleTime(LONGLONG value) {
  time = value;
  timeSet = true;
  return S_OK;
}

HRESULT Sample::GetSampleDuration(LONGLONG* value) {
  if (!durationSet) return MF_E_ATTRIBUTENOTFOUND;
  *value = duration;
  return S_OK;
}

HRESULT Sample::SetSampleDuration(LONGLONG value) {
  duration = value;
  durationSet = true;
  return S_OK;
}

HRESULT Sample::GetBufferCount(DWORD* count) {
  *count = static_cast<DWORD>(buffers.size());
  return S_OK;
}

HRESULT Sample::GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) {
  if (index >= buffers.size()) return E_INVALIDARG;
  *buffer = buffers[index];
  (*buffer)->AddRef();
  return S_OK;
}

HRESULT Sample::ConvertToContiguousBuffer(IMFMediaBuffer** buffer) {
  if (buffers.empty()) return E_FAIL;
  if (buffers.size() == 1) return GetBufferByIndex(0, buffer);
  std::vector<BYTE> joined;
  for (IMFMediaBuffer* part : buffers) {
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (FAILED(part->Lock(&bytes, nullptr, &length))) return E_FAIL;
    joined.insert(joined.end(), bytes, bytes + length);
    part->Unlock();
  }
  auto* whole = new MediaBuffer(static_cast<DWORD>(joined.size()), 0);
  std::copy(joined.begin(), joined.end(), whole->bytes.begin());
  whole->currentLength = static_cast<DWORD>(joined.size());
  *buffer = whole;
  return S_OK;
}

HRESULT Sample::AddBuffer(IMFMediaBuffer* buffer) {
  buffer->AddRef();
  buffers.push_back(buffer);
  return S_OK;
}

HRESULT Sample::RemoveBufferByIndex(DWORD index) {
  if (index >= buffers.size()) return E_INVALIDARG;
  buffers[index]->Release();
  buffers.erase(buffers.begin() + index);
  return S_OK;
}

HRESULT Sample::RemoveAllBuffers() {
  for (IMFMediaBuffer* buffer : buffers) buffer->Release();
  buffers.clear();
  return S_OK;
}

HRESULT Sample::GetTotalLength(DWORD* length) {
  DWORD total = 0;
  for (IMFMediaBuffer* buffer : buffers) {
    DWORD part = 0;
    buffer->GetCurrentLength(&part);
    total += part;
  }
  *length = total;
  return S_OK;
}

HRESULT Sample::CopyToBuffer(IMFMediaBuffer*) { return E_NOTIMPL; }

// ---- Events ----

HRESULT MediaEvent::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFAttributes) ||
      IsEqualGUID(riid, IID_IMFMediaEvent)) {
    return Hand(this, static_cast<IMFMediaEvent*>(this), object);
  }
  return NoInterface(object);
}

HRESULT MediaEvent::GetType(MediaEventType* type) {
  *type = type_;
  return S_OK;
}
HRESULT MediaEvent::GetExtendedType(GUID* type) {
  *type = GUID{};
  return S_OK;
}
HRESULT MediaEvent::GetStatus(HRESULT* status) {
  *status = status_;
  return S_OK;
}
HRESULT MediaEvent::GetValue(PROPVARIANT*) { return E_NOTIMPL; }

HRESULT Collection::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFCollection)) {
    return Hand(this, static_cast<IMFCollection*>(this), object);
  }
  return NoInterface(object);
}
HRESULT Collection::GetElementCount(DWORD* count) {
  *count = 0;
  return S_OK;
}
HRESULT Collection::GetElement(DWORD, IUnknown**) { return E_INVALIDARG; }
HRESULT Collection::AddElement(IUnknown*) { return E_NOTIMPL; }
HRESULT Collection::RemoveElement(DWORD, IUnknown**) { return E_NOTIMPL; }
HRESULT Collection::InsertElementAt(DWORD, IUnknown*) { return E_NOTIMPL; }
HRESULT Collection::RemoveAllElements() { return S_OK; }

// ---- Transforms ----

Transform::Transform() : store(new AttributeStore) {}

Transform::~Transform() {
  store->Release();
  for (MediaType* type : offeredObjects_) type->Release();
  if (currentOutputType_ != nullptr) currentOutputType_->Release();
}

HRESULT Transform::QueryInterface(REFIID riid, void** object) {
  calls.push_back("QueryInterface");
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFTransform)) {
    return Hand(this, static_cast<IMFTransform*>(this), object);
  }
  if (IsEqualGUID(riid, IID_ICodecAPI) && hasCodecApi) {
    return Hand(this, static_cast<ICodecAPI*>(this), object);
  }
  if (IsEqualGUID(riid, IID_IMFMediaEventGenerator) && hasEventGenerator) {
    return Hand(this, static_cast<IMFMediaEventGenerator*>(this), object);
  }
  return NoInterface(object);
}

HRESULT Transform::GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) { return E_NOTIMPL; }
HRESULT Transform::GetStreamCount(DWORD*, DWORD*) { return E_NOTIMPL; }

HRESULT Transform::GetStreamIDs(DWORD inputIdArraySize, DWORD* inputIds, DWORD outputIdArraySize,
                                DWORD* outputIds) {
  calls.push_back("GetStreamIDs");
  if (inputIdArraySize < 1 || outputIdArraySize < 1) return E_INVALIDARG;
  if (streamIdsResult == E_NOTIMPL) {
    // What a careless transform might leave behind: the caller must not use it.
    *inputIds = 0xBAD1;
    *outputIds = 0xBAD2;
    return E_NOTIMPL;
  }
  *inputIds = inputStreamId;
  *outputIds = outputStreamId;
  return streamIdsResult;
}

HRESULT Transform::GetInputStreamInfo(DWORD streamId, MFT_INPUT_STREAM_INFO* info) {
  calls.push_back("GetInputStreamInfo");
  infoStreamIds.push_back(streamId);
  if (FAILED(inputInfoResult)) return inputInfoResult;
  info->cbSize = inputCbSize;
  return S_OK;
}

HRESULT Transform::GetOutputStreamInfo(DWORD streamId, MFT_OUTPUT_STREAM_INFO* info) {
  calls.push_back("GetOutputStreamInfo");
  infoStreamIds.push_back(streamId);
  if (FAILED(outputInfoResult)) return outputInfoResult;
  info->cbSize = outputCbSize;
  info->dwFlags = outputFlags;
  info->cbAlignment = 16;
  return S_OK;
}

HRESULT Transform::GetAttributes(IMFAttributes** attributes) {
  calls.push_back("GetAttributes");
  if (!hasAttributes) return E_NOTIMPL;
  store->items.clear();
  store->refusedSets.clear();
  if (asyncAttribute) store->SetUINT32(MF_TRANSFORM_ASYNC, async);
  if (FAILED(unlockResult)) store->refusedSets.emplace_back(MF_TRANSFORM_ASYNC_UNLOCK, unlockResult);
  store->AddRef();
  *attributes = store;
  return S_OK;
}

HRESULT Transform::GetInputStreamAttributes(DWORD, IMFAttributes**) { return E_NOTIMPL; }
HRESULT Transform::GetOutputStreamAttributes(DWORD, IMFAttributes**) { return E_NOTIMPL; }
HRESULT Transform::DeleteInputStream(DWORD) { return E_NOTIMPL; }
HRESULT Transform::AddInputStreams(DWORD, DWORD*) { return E_NOTIMPL; }

HRESULT Transform::GetInputAvailableType(DWORD streamId, DWORD typeIndex, IMFMediaType** type) {
  calls.push_back("GetInputAvailableType");
  if (streamId != inputStreamId) return MF_E_INVALIDSTREAMNUMBER;
  if (offeredObjects_.empty()) {
    for (const OfferedInputType& offer : offeredInputTypes) {
      auto* offered = new MediaType;
      offered->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
      offered->SetGUID(MF_MT_SUBTYPE, offer.subtype);
      offeredObjects_.push_back(offered);
    }
  }
  if (typeIndex >= offeredObjects_.size()) return MF_E_NO_MORE_TYPES;
  offeredObjects_[typeIndex]->AddRef();
  *type = offeredObjects_[typeIndex];
  return S_OK;
}

HRESULT Transform::GetOutputAvailableType(DWORD streamId, DWORD typeIndex, IMFMediaType** type) {
  calls.push_back("GetOutputAvailableType");
  if (streamId != outputStreamId) return MF_E_INVALIDSTREAMNUMBER;
  if (!offersOutputType || typeIndex > 0) return MF_E_NO_MORE_TYPES;
  auto* offered = new MediaType;
  offered->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  offered->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  if (!sequenceHeader.empty()) {
    offered->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, sequenceHeader.data(),
                     static_cast<UINT32>(sequenceHeader.size()));
  }
  offered->claimedBlobSize = claimedSequenceHeaderSize;
  offered->blobReads = &blobReads;
  *type = offered;
  return S_OK;
}

namespace {

std::vector<AttributeItem> ItemsOf(IMFMediaType* type) {
  auto* ours = dynamic_cast<MediaType*>(type);
  return ours != nullptr ? ours->items : std::vector<AttributeItem>{};
}

}  // namespace

HRESULT Transform::SetInputType(DWORD streamId, IMFMediaType* type, DWORD flags) {
  calls.push_back("SetInputType");
  if (flags != 0) return E_INVALIDARG;
  int offeredIndex = -1;
  for (std::size_t i = 0; i < offeredObjects_.size(); ++i) {
    if (type == offeredObjects_[i]) offeredIndex = static_cast<int>(i);
  }
  inputTypesSet.push_back(TypeSet{streamId, ItemsOf(type), offeredIndex});
  if (streamId != inputStreamId) return MF_E_INVALIDSTREAMNUMBER;
  if (outputTypeFirst && outputTypesSet.empty()) return MF_E_TRANSFORM_TYPE_NOT_SET;  // the output type comes first
  return offeredIndex >= 0 ? offeredInputTypes[static_cast<std::size_t>(offeredIndex)].setResult
                           : setInputTypeResult;
}

HRESULT Transform::SetOutputType(DWORD streamId, IMFMediaType* type, DWORD flags) {
  calls.push_back("SetOutputType");
  if (flags != 0) return E_INVALIDARG;
  outputTypesSet.push_back(TypeSet{streamId, ItemsOf(type), -1});
  if (streamId != outputStreamId) return MF_E_INVALIDSTREAMNUMBER;
  if (FAILED(setOutputTypeResult)) return setOutputTypeResult;
  if (auto* ours = dynamic_cast<MediaType*>(type)) {
    ours->AddRef();
    if (currentOutputType_ != nullptr) currentOutputType_->Release();
    currentOutputType_ = ours;
  }
  return setOutputTypeResult;
}

HRESULT Transform::GetInputCurrentType(DWORD, IMFMediaType**) { return E_NOTIMPL; }

HRESULT Transform::GetOutputCurrentType(DWORD streamId, IMFMediaType** type) {
  calls.push_back("GetOutputCurrentType");
  if (streamId != outputStreamId) return MF_E_INVALIDSTREAMNUMBER;
  if (!hasCurrentOutputType || currentOutputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (!initialSequenceHeader.empty() && currentOutputType_->Find(MF_MT_MPEG_SEQUENCE_HEADER) == nullptr) {
    currentOutputType_->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, initialSequenceHeader.data(),
                                static_cast<UINT32>(initialSequenceHeader.size()));
  }
  if (!outputUserData.empty() && currentOutputType_->Find(MF_MT_USER_DATA) == nullptr) {
    currentOutputType_->SetBlob(MF_MT_USER_DATA, outputUserData.data(), static_cast<UINT32>(outputUserData.size()));
  }
  currentOutputType_->claimedBlobSize = claimedSequenceHeaderSize;
  currentOutputType_->blobReads = &blobReads;
  currentOutputType_->AddRef();
  *type = currentOutputType_;
  return S_OK;
}

HRESULT Transform::GetInputStatus(DWORD, DWORD*) { return E_NOTIMPL; }
HRESULT Transform::GetOutputStatus(DWORD*) { return E_NOTIMPL; }
HRESULT Transform::SetOutputBounds(LONGLONG, LONGLONG) { return E_NOTIMPL; }
HRESULT Transform::ProcessEvent(DWORD, IMFMediaEvent*) { return E_NOTIMPL; }

HRESULT Transform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) {
  calls.push_back("ProcessMessage");
  messages.push_back(message);
  if (param != 0) return E_INVALIDARG;
  if (message == MFT_MESSAGE_NOTIFY_BEGIN_STREAMING) return beginStreamingResult;
  if (message == MFT_MESSAGE_NOTIFY_START_OF_STREAM) return startOfStreamResult;
  return S_OK;
}

HRESULT Transform::ProcessInput(DWORD, IMFSample* sample, DWORD) {
  calls.push_back("ProcessInput");
  InputCall call;
  if (sample != nullptr) {
    sample->GetSampleTime(&call.time);
    IMFMediaBuffer* buffer = nullptr;
    if (SUCCEEDED(sample->GetBufferByIndex(0, &buffer))) {
      BYTE* bytes = nullptr;
      DWORD length = 0;
      if (SUCCEEDED(buffer->Lock(&bytes, nullptr, &length))) {
        if (length > 0) call.firstByte = bytes[0];
        buffer->Unlock();
      }
      buffer->Release();
    }
  }
  if (onInput) onInput();
  if (!inputResults.empty()) {
    call.result = inputResults.front();
    inputResults.pop_front();
  }
  inputs.push_back(call);
  return call.result;
}

HRESULT Transform::ProcessOutput(DWORD flags, DWORD bufferCount, MFT_OUTPUT_DATA_BUFFER* buffers,
                                 DWORD* status) {
  calls.push_back("ProcessOutput");
  MFT_OUTPUT_DATA_BUFFER& out = buffers[0];
  OutputCall call{out.dwStreamID, out.pSample != nullptr, 0, bufferCount, flags};
  if (out.pSample != nullptr) {
    IMFMediaBuffer* given = nullptr;
    if (SUCCEEDED(out.pSample->GetBufferByIndex(0, &given))) {
      given->GetMaxLength(&call.givenBufferLength);
      given->Release();
    }
  }
  outputCalls.push_back(call);
  if (status == nullptr || out.dwStatus != 0 || out.pEvents != nullptr) return E_INVALIDARG;
  if (outputSteps.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;

  OutputStep step = std::move(outputSteps.front());
  outputSteps.pop_front();
  if (step.before) step.before();
  if (step.withEvents) {
    auto* collection = new Collection;
    eventCollections.push_back(collection->id());
    out.pEvents = collection;
  }
  if (step.withSample) {
    if (out.pSample == nullptr) {
      auto* sample = new Sample;
      auto* buffer = new MediaBuffer(static_cast<DWORD>(step.bytes.size()), 0);
      std::copy(step.bytes.begin(), step.bytes.end(), buffer->bytes.begin());
      buffer->currentLength = step.claimedLength != 0 ? step.claimedLength : static_cast<DWORD>(step.bytes.size());
      sample->AddBuffer(buffer);
      buffer->Release();
      sample->SetSampleTime(step.time);
      providedSamples.push_back(sample->id());
      out.pSample = sample;
    } else {
      IMFMediaBuffer* buffer = nullptr;
      BYTE* bytes = nullptr;
      DWORD maxLength = 0;
      if (FAILED(out.pSample->GetBufferByIndex(0, &buffer))) return E_FAIL;
      if (FAILED(buffer->Lock(&bytes, &maxLength, nullptr)) || maxLength < step.bytes.size()) {
        buffer->Release();
        return MF_E_BUFFERTOOSMALL;
      }
      std::copy(step.bytes.begin(), step.bytes.end(), bytes);
      buffer->Unlock();
      buffer->SetCurrentLength(static_cast<DWORD>(step.bytes.size()));
      if (step.claimedLength != 0) {
        if (auto* ours = dynamic_cast<MediaBuffer*>(buffer)) ours->currentLength = step.claimedLength;
      }
      buffer->Release();
      out.pSample->SetSampleTime(step.time);
    }
  }
  *status = 0;
  return step.result;
}

HRESULT Transform::IsSupported(const GUID*) { return S_OK; }
HRESULT Transform::IsModifiable(const GUID*) { return S_OK; }
HRESULT Transform::GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT Transform::GetParameterValues(const GUID*, VARIANT**, ULONG*) { return E_NOTIMPL; }
HRESULT Transform::GetDefaultValue(const GUID*, VARIANT*) { return E_NOTIMPL; }
HRESULT Transform::GetValue(const GUID*, VARIANT*) { return E_NOTIMPL; }

HRESULT Transform::SetValue(const GUID* api, VARIANT* value) {
  calls.push_back("SetValue");
  CodecValue recorded{*api, value->vt, 0, 0};
  if (value->vt == VT_UI4) recorded.number = value->ulVal;
  if (value->vt == VT_BOOL) recorded.flag = value->boolVal;
  codecValues.push_back(recorded);
  // A transform may refuse a property: the caller goes on regardless.
  return E_INVALIDARG;
}

HRESULT Transform::RegisterForEvent(const GUID*, LONG_PTR) { return E_NOTIMPL; }
HRESULT Transform::UnregisterForEvent(const GUID*) { return E_NOTIMPL; }
HRESULT Transform::SetAllDefaults() { return E_NOTIMPL; }
HRESULT Transform::SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) { return E_NOTIMPL; }
HRESULT Transform::SetAllDefaultsWithNotify(GUID**, ULONG*) { return E_NOTIMPL; }
HRESULT Transform::GetAllSettings(IStream*) { return E_NOTIMPL; }
HRESULT Transform::SetAllSettings(IStream*) { return E_NOTIMPL; }
HRESULT Transform::SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) { return E_NOTIMPL; }

HRESULT Transform::GetEvent(DWORD flags, IMFMediaEvent** event) {
  calls.push_back("GetEvent");
  if (flags != MF_EVENT_FLAG_NO_WAIT) return E_INVALIDARG;
  if (events.empty()) return MF_E_NO_EVENTS_AVAILABLE;
  *event = new MediaEvent(events.front().first, events.front().second);
  events.pop_front();
  return S_OK;
}

HRESULT Transform::BeginGetEvent(IMFAsyncCallback*, IUnknown*) { return E_NOTIMPL; }
HRESULT Transform::EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) { return E_NOTIMPL; }
HRESULT Transform::QueueEvent(MediaEventType type, REFGUID, HRESULT status, const PROPVARIANT*) {
  events.emplace_back(type, status);
  return S_OK;
}

// ---- Activation objects ----

Activate::Activate(Transform* transform) : transform_(transform) {}

Activate::~Activate() {
  if (transform_ != nullptr) transform_->Release();
}

HRESULT Activate::QueryInterface(REFIID riid, void** object) {
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMFAttributes) ||
      IsEqualGUID(riid, IID_IMFActivate)) {
    return Hand(this, static_cast<IMFActivate*>(this), object);
  }
  return NoInterface(object);
}

HRESULT Activate::ActivateObject(REFIID riid, void** object) {
  ++activations;
  *object = nullptr;
  if (FAILED(activateResult)) return activateResult;
  if (transform_ == nullptr) return S_OK;  // a broken activation object: success, nothing
  return transform_->QueryInterface(riid, object);
}

HRESULT Activate::ShutdownObject() {
  ++shutdowns;
  return S_OK;
}

HRESULT Activate::DetachObject() { return E_NOTIMPL; }

// ---- Entry points ----

namespace {

HRESULT MF_CALL EnumTransforms(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                               const MFT_REGISTER_TYPE_INFO* output, IMFActivate*** activates,
                               UINT32* count) {
  ++framework.enumCalls;
  framework.enumCategory = category;
  framework.enumFlags = flags;
  if (input != nullptr) framework.enumInput = *input;
  if (output != nullptr) framework.enumOutput = *output;
  if (FAILED(framework.enumResult)) return framework.enumResult;
  const std::size_t n = framework.candidates.size();
  auto** array = static_cast<IMFActivate**>(CoTaskMemAlloc(sizeof(IMFActivate*) * (n + 1)));
  for (std::size_t i = 0; i < n; ++i) {
    framework.candidates[i]->AddRef();
    array[i] = framework.candidates[i];
  }
  *activates = array;
  *count = static_cast<UINT32>(n);
  return S_OK;
}

HRESULT MF_CALL CreateMediaType(IMFMediaType** type) {
  if (FAILED(framework.createMediaTypeResult)) return framework.createMediaTypeResult;
  *type = new MediaType;
  return S_OK;
}

HRESULT MF_CALL CreateSample(IMFSample** sample) {
  if (FAILED(framework.createSampleResult)) return framework.createSampleResult;
  auto* made = new Sample;
  framework.samplesMade.push_back(made->id());
  *sample = made;
  return S_OK;
}

HRESULT MF_CALL CreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  framework.bufferLengths.push_back(maxLength);
  if (FAILED(framework.createBufferResult)) return framework.createBufferResult;
  auto* made = new MediaBuffer(maxLength, framework.bufferFill);
  made->lockResult = framework.bufferLockResult;
  framework.buffersMade.push_back(made->id());
  *buffer = made;
  return S_OK;
}

}  // namespace

void Clear() {
  for (Activate* candidate : framework.candidates) candidate->Release();
  framework.candidates.clear();
}

void Install() {
  Clear();
  framework = Framework{};
  mediaFramework.enumTransforms = EnumTransforms;
  mediaFramework.createMediaType = CreateMediaType;
  mediaFramework.createSample = CreateSample;
  mediaFramework.createMemoryBuffer = CreateMemoryBuffer;
}

Activate* AddCandidate(const std::u16string& name, Transform* transform) {
  auto* candidate = new Activate(transform);
  if (!name.empty()) candidate->SetName(name);
  framework.candidates.push_back(candidate);
  return candidate;
}

}  // namespace fake
