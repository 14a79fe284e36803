#include "mediafw/objects/attribute_store.h"

#include <cstring>
#include <iterator>

#include "mediafw/objects.h"

namespace mediafw {

MF_ATTRIBUTE_TYPE ValueType(const AttributeValue& value) {
  static constexpr MF_ATTRIBUTE_TYPE kTypes[] = {MF_ATTRIBUTE_UINT32, MF_ATTRIBUTE_UINT64, MF_ATTRIBUTE_DOUBLE,
                                                 MF_ATTRIBUTE_GUID,   MF_ATTRIBUTE_STRING, MF_ATTRIBUTE_BLOB,
                                                 MF_ATTRIBUTE_IUNKNOWN};
  static_assert(std::size(kTypes) == std::variant_size_v<AttributeValue>);
  return kTypes[value.index()];
}

namespace {

// Whether `theirs` holds `key` with the same kind and value as `ours`. Strings and blobs compare
// byte for byte, objects by identity.
bool SameValue(const AttributeValue& ours, REFGUID key, IMFAttributes* theirs) {
  MF_ATTRIBUTE_TYPE type;
  if (FAILED(theirs->GetItemType(key, &type)) || type != ValueType(ours)) return false;
  if (const UINT32* v = std::get_if<UINT32>(&ours)) {
    UINT32 t = 0;
    return SUCCEEDED(theirs->GetUINT32(key, &t)) && t == *v;
  }
  if (const UINT64* v = std::get_if<UINT64>(&ours)) {
    UINT64 t = 0;
    return SUCCEEDED(theirs->GetUINT64(key, &t)) && t == *v;
  }
  if (const double* v = std::get_if<double>(&ours)) {
    double t = 0;
    return SUCCEEDED(theirs->GetDouble(key, &t)) && t == *v;
  }
  if (const GUID* v = std::get_if<GUID>(&ours)) {
    GUID t{};
    return SUCCEEDED(theirs->GetGUID(key, &t)) && t == *v;
  }
  if (const WideString* v = std::get_if<WideString>(&ours)) {
    LPWSTR t = nullptr;
    UINT32 length = 0;
    if (FAILED(theirs->GetAllocatedString(key, &t, &length))) return false;
    bool same = WideString(t, length) == *v;
    CoTaskMemFree(t);
    return same;
  }
  if (const std::vector<UINT8>* v = std::get_if<std::vector<UINT8>>(&ours)) {
    UINT8* t = nullptr;
    UINT32 size = 0;
    if (FAILED(theirs->GetAllocatedBlob(key, &t, &size))) return false;
    bool same = size == v->size() && (size == 0 || std::memcmp(t, v->data(), size) == 0);
    CoTaskMemFree(t);
    return same;
  }
  IUnknown* mine = nullptr;
  IUnknown* other = nullptr;
  bool same = SUCCEEDED(std::get<UnknownReference>(ours).get()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&mine))) &&
              SUCCEEDED(theirs->GetUnknown(key, IID_IUnknown, reinterpret_cast<void**>(&other))) && mine == other;
  if (mine != nullptr) mine->Release();
  if (other != nullptr) other->Release();
  return same;
}

const AttributeItem* FindIn(const std::vector<AttributeItem>& items, REFGUID key) {
  for (const AttributeItem& item : items) {
    if (item.key == key) return &item;
  }
  return nullptr;
}

}  // namespace

AttributeItem* AttributeStore::Find(REFGUID key) {
  for (AttributeItem& item : items_) {
    if (item.key == key) return &item;
  }
  return nullptr;
}

template <class T>
HRESULT AttributeStore::Read(REFGUID key, T* value) {
  if (value == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const T* stored = std::get_if<T>(&item->value);
  if (stored == nullptr) return MF_E_INVALIDTYPE;
  *value = *stored;
  return S_OK;
}

HRESULT AttributeStore::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) {
  if (type == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  *type = ValueType(item->value);
  return S_OK;
}

HRESULT AttributeStore::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) {
  if (theirs == nullptr || result == nullptr) return E_POINTER;
  *result = 0;
  // Compared on a copy, so that no lock is held while the other store is asked (it may be this one).
  std::vector<AttributeItem> ours = Snapshot();
  UINT32 theirCount = 0;
  HRESULT hr = theirs->GetCount(&theirCount);
  if (FAILED(hr)) return hr;

  auto oursInTheirs = [&](bool onlyShared) {
    for (const AttributeItem& item : ours) {
      MF_ATTRIBUTE_TYPE type;
      if (onlyShared && FAILED(theirs->GetItemType(item.key, &type))) continue;
      if (!SameValue(item.value, item.key, theirs)) return false;
    }
    return true;
  };
  auto theirsInOurs = [&] {
    for (UINT32 i = 0; i < theirCount; ++i) {
      GUID key{};
      if (FAILED(theirs->GetItemByIndex(i, &key, nullptr))) return false;
      const AttributeItem* item = FindIn(ours, key);
      if (item == nullptr || !SameValue(item->value, key, theirs)) return false;
    }
    return true;
  };

  bool match = false;
  switch (matchType) {
    case MF_ATTRIBUTES_MATCH_OUR_ITEMS:
      match = oursInTheirs(false);
      break;
    case MF_ATTRIBUTES_MATCH_THEIR_ITEMS:
      match = theirsInOurs();
      break;
    case MF_ATTRIBUTES_MATCH_ALL_ITEMS:
      match = ours.size() == theirCount && oursInTheirs(false);
      break;
    case MF_ATTRIBUTES_MATCH_INTERSECTION:
      match = oursInTheirs(true);
      break;
    case MF_ATTRIBUTES_MATCH_SMALLER:
      match = ours.size() <= theirCount ? oursInTheirs(false) : theirsInOurs();
      break;
    default:
      return E_INVALIDARG;
  }
  *result = match ? 1 : 0;
  return S_OK;
}

HRESULT AttributeStore::GetUINT32(REFGUID key, UINT32* value) { return Read(key, value); }
HRESULT AttributeStore::GetUINT64(REFGUID key, UINT64* value) { return Read(key, value); }
HRESULT AttributeStore::GetDouble(REFGUID key, double* value) { return Read(key, value); }
HRESULT AttributeStore::GetGUID(REFGUID key, GUID* value) { return Read(key, value); }

HRESULT AttributeStore::GetStringLength(REFGUID key, UINT32* length) {
  if (length == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const WideString* text = std::get_if<WideString>(&item->value);
  if (text == nullptr) return MF_E_INVALIDTYPE;
  *length = static_cast<UINT32>(text->size());
  return S_OK;
}

HRESULT AttributeStore::GetString(REFGUID key, LPWSTR value, UINT32 bufferSize, UINT32* length) {
  if (value == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const WideString* text = std::get_if<WideString>(&item->value);
  if (text == nullptr) return MF_E_INVALIDTYPE;
  // bufferSize counts characters, the terminating zero included.
  if (text->size() >= bufferSize) return E_NOT_SUFFICIENT_BUFFER;
  std::memcpy(value, text->c_str(), (text->size() + 1) * sizeof(WCHAR));
  if (length != nullptr) *length = static_cast<UINT32>(text->size());
  return S_OK;
}

HRESULT AttributeStore::GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const WideString* text = std::get_if<WideString>(&item->value);
  if (text == nullptr) return MF_E_INVALIDTYPE;
  std::size_t bytes = (text->size() + 1) * sizeof(WCHAR);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, text->c_str(), bytes);
  *value = copy;
  if (length != nullptr) *length = static_cast<UINT32>(text->size());
  return S_OK;
}

HRESULT AttributeStore::GetBlobSize(REFGUID key, UINT32* size) {
  if (size == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const std::vector<UINT8>* blob = std::get_if<std::vector<UINT8>>(&item->value);
  if (blob == nullptr) return MF_E_INVALIDTYPE;
  *size = static_cast<UINT32>(blob->size());
  return S_OK;
}

HRESULT AttributeStore::GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) {
  if (buffer == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const std::vector<UINT8>* blob = std::get_if<std::vector<UINT8>>(&item->value);
  if (blob == nullptr) return MF_E_INVALIDTYPE;
  if (blob->size() > bufferSize) return E_NOT_SUFFICIENT_BUFFER;
  if (!blob->empty()) std::memcpy(buffer, blob->data(), blob->size());
  if (size != nullptr) *size = static_cast<UINT32>(blob->size());
  return S_OK;
}

HRESULT AttributeStore::GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) {
  if (buffer == nullptr || size == nullptr) return E_POINTER;
  *buffer = nullptr;
  *size = 0;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const std::vector<UINT8>* blob = std::get_if<std::vector<UINT8>>(&item->value);
  if (blob == nullptr) return MF_E_INVALIDTYPE;
  // An empty blob still gets an allocation, so that the caller always has something to free.
  auto* copy = static_cast<UINT8*>(CoTaskMemAlloc(blob->empty() ? 1 : blob->size()));
  if (copy == nullptr) return E_OUTOFMEMORY;
  if (!blob->empty()) std::memcpy(copy, blob->data(), blob->size());
  *buffer = copy;
  *size = static_cast<UINT32>(blob->size());
  return S_OK;
}

HRESULT AttributeStore::GetUnknown(REFGUID key, REFIID riid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const UnknownReference* stored = std::get_if<UnknownReference>(&item->value);
  if (stored == nullptr) return MF_E_INVALIDTYPE;
  return stored->get()->QueryInterface(riid, object);
}

HRESULT AttributeStore::DeleteItem(REFGUID key) {
  AttributeValue removed;  // released after the lock is left: its release may call back into this store
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->key == key) {
      removed = std::move(it->value);
      items_.erase(it);
      break;
    }
  }
  return S_OK;
}

HRESULT AttributeStore::DeleteAllItems() {
  std::vector<AttributeItem> removed;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  removed.swap(items_);
  return S_OK;
}

HRESULT AttributeStore::Set(REFGUID key, AttributeValue value) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  AttributeItem* item = Find(key);
  if (item == nullptr) {
    items_.push_back(AttributeItem{key, std::move(value)});
  } else {
    // The previous value leaves in `value`, destroyed after the lock is left.
    std::swap(item->value, value);
  }
  return S_OK;
}

HRESULT AttributeStore::SetString(REFGUID key, LPCWSTR value) {
  if (value == nullptr) return E_POINTER;
  return Set(key, AttributeValue(std::in_place_type<WideString>, value));
}

HRESULT AttributeStore::SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) {
  if (buffer == nullptr && bufferSize != 0) return E_POINTER;
  return Set(key, AttributeValue(std::in_place_type<std::vector<UINT8>>, buffer, buffer + bufferSize));
}

HRESULT AttributeStore::LockStore() {
  mutex_.lock();
  ++lockStoreDepth_;
  return S_OK;
}

HRESULT AttributeStore::UnlockStore() {
  // try_lock succeeds when this thread holds the store (or nobody does); only a thread that called
  // LockStore may undo it.
  if (!mutex_.try_lock()) return E_UNEXPECTED;
  if (lockStoreDepth_ == 0) {
    mutex_.unlock();
    return E_UNEXPECTED;
  }
  --lockStoreDepth_;
  mutex_.unlock();
  mutex_.unlock();
  return S_OK;
}

HRESULT AttributeStore::GetCount(UINT32* items) {
  if (items == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  *items = static_cast<UINT32>(items_.size());
  return S_OK;
}

HRESULT AttributeStore::GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) {
  if (value != nullptr) return E_NOTIMPL;
  if (key == nullptr) return E_POINTER;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (index >= items_.size()) return E_INVALIDARG;
  *key = items_[index].key;
  return S_OK;
}

HRESULT AttributeStore::CopyAllItems(IMFAttributes* destination) {
  if (destination == nullptr) return E_POINTER;
  std::vector<AttributeItem> items = Snapshot();
  HRESULT hr = destination->DeleteAllItems();
  for (const AttributeItem& item : items) {
    if (FAILED(hr)) break;
    const AttributeValue& v = item.value;
    if (const UINT32* u32 = std::get_if<UINT32>(&v)) {
      hr = destination->SetUINT32(item.key, *u32);
    } else if (const UINT64* u64 = std::get_if<UINT64>(&v)) {
      hr = destination->SetUINT64(item.key, *u64);
    } else if (const double* d = std::get_if<double>(&v)) {
      hr = destination->SetDouble(item.key, *d);
    } else if (const GUID* g = std::get_if<GUID>(&v)) {
      hr = destination->SetGUID(item.key, *g);
    } else if (const WideString* s = std::get_if<WideString>(&v)) {
      hr = destination->SetString(item.key, s->c_str());
    } else if (const std::vector<UINT8>* b = std::get_if<std::vector<UINT8>>(&v)) {
      hr = destination->SetBlob(item.key, b->data(), static_cast<UINT32>(b->size()));
    } else {
      hr = destination->SetUnknown(item.key, std::get<UnknownReference>(v).get());
    }
  }
  return hr;
}

std::vector<AttributeItem> AttributeStore::Snapshot() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return items_;
}

namespace {

class Attributes final : public WithAttributes<ComObject<IMFAttributes>> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IMFAttributes || riid == IID_IUnknown) return HandOut(this, object);
    return E_NOINTERFACE;
  }
};

}  // namespace

}  // namespace mediafw

HRESULT CreateAttributesObject(IMFAttributes** attributes) {
  return mediafw::CreateObject<mediafw::Attributes>(attributes);
}
