// The attribute store behind every object of the framework that is also an IMFAttributes.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "encoder/media_framework.h"
#include "mediafw/objects/com_object.h"

namespace mediafw {

// One IUnknown reference held by a stored value; copies hold their own.
class UnknownReference {
 public:
  explicit UnknownReference(IUnknown* object) : object_(object) {
    if (object_ != nullptr) object_->AddRef();
  }
  UnknownReference(const UnknownReference& other) : UnknownReference(other.object_) {}
  UnknownReference(UnknownReference&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  UnknownReference& operator=(UnknownReference other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~UnknownReference() {
    if (object_ != nullptr) object_->Release();
  }
  IUnknown* get() const { return object_; }

 private:
  IUnknown* object_;
};

using WideString = std::basic_string<WCHAR>;

// The kinds of value, in the order of MF_ATTRIBUTE_TYPE as ValueType() gives them.
using AttributeValue = std::variant<UINT32, UINT64, double, GUID, WideString, std::vector<UINT8>, UnknownReference>;

struct AttributeItem {
  GUID key;
  AttributeValue value;
};

MF_ATTRIBUTE_TYPE ValueType(const AttributeValue& value);

// Items in the order they were first set. Every method takes the store's lock.
class AttributeStore {
 public:
  HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type);
  HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result);
  HRESULT GetUINT32(REFGUID key, UINT32* value);
  HRESULT GetUINT64(REFGUID key, UINT64* value);
  HRESULT GetDouble(REFGUID key, double* value);
  HRESULT GetGUID(REFGUID key, GUID* value);
  HRESULT GetStringLength(REFGUID key, UINT32* length);
  HRESULT GetString(REFGUID key, LPWSTR value, UINT32 bufferSize, UINT32* length);
  HRESULT GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length);
  HRESULT GetBlobSize(REFGUID key, UINT32* size);
  HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size);
  HRESULT GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size);
  HRESULT GetUnknown(REFGUID key, REFIID riid, LPVOID* object);
  HRESULT DeleteItem(REFGUID key);
  HRESULT DeleteAllItems();
  HRESULT Set(REFGUID key, AttributeValue value);
  HRESULT SetString(REFGUID key, LPCWSTR value);
  HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize);
  HRESULT LockStore();
  HRESULT UnlockStore();
  HRESULT GetCount(UINT32* items);
  HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value);
  HRESULT CopyAllItems(IMFAttributes* destination);

  // A copy of every item (the copies hold their own references).
  std::vector<AttributeItem> Snapshot();

 private:
  // The item of `key`, or null; the caller holds the lock.
  AttributeItem* Find(REFGUID key);
  template <class T>
  HRESULT Read(REFGUID key, T* value);

  std::recursive_mutex mutex_;
  int lockStoreDepth_ = 0;  // LockStore calls not yet undone; changed only under mutex_
  std::vector<AttributeItem> items_;
};

// Implements the IMFAttributes methods of `Base` (a ComObject whose interface derives from
// IMFAttributes) over the store `store_`.
template <class Base>
class WithAttributes : public Base {
 public:
  HRESULT STDMETHODCALLTYPE GetItem(REFGUID, PROPVARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override {
    return store_.GetItemType(key, type);
  }
  HRESULT STDMETHODCALLTYPE CompareItem(REFGUID, REFPROPVARIANT, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType,
                                    BOOL* result) override {
    return store_.Compare(theirs, matchType, result);
  }
  HRESULT STDMETHODCALLTYPE GetUINT32(REFGUID key, UINT32* value) override { return store_.GetUINT32(key, value); }
  HRESULT STDMETHODCALLTYPE GetUINT64(REFGUID key, UINT64* value) override { return store_.GetUINT64(key, value); }
  HRESULT STDMETHODCALLTYPE GetDouble(REFGUID key, double* value) override { return store_.GetDouble(key, value); }
  HRESULT STDMETHODCALLTYPE GetGUID(REFGUID key, GUID* value) override { return store_.GetGUID(key, value); }
  HRESULT STDMETHODCALLTYPE GetStringLength(REFGUID key, UINT32* length) override {
    return store_.GetStringLength(key, length);
  }
  HRESULT STDMETHODCALLTYPE GetString(REFGUID key, LPWSTR value, UINT32 bufferSize, UINT32* length) override {
    return store_.GetString(key, value, bufferSize, length);
  }
  HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override {
    return store_.GetAllocatedString(key, value, length);
  }
  HRESULT STDMETHODCALLTYPE GetBlobSize(REFGUID key, UINT32* size) override { return store_.GetBlobSize(key, size); }
  HRESULT STDMETHODCALLTYPE GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) override {
    return store_.GetBlob(key, buffer, bufferSize, size);
  }
  HRESULT STDMETHODCALLTYPE GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override {
    return store_.GetAllocatedBlob(key, buffer, size);
  }
  HRESULT STDMETHODCALLTYPE GetUnknown(REFGUID key, REFIID riid, LPVOID* object) override {
    return store_.GetUnknown(key, riid, object);
  }
  HRESULT STDMETHODCALLTYPE SetItem(REFGUID, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteItem(REFGUID key) override { return store_.DeleteItem(key); }
  HRESULT STDMETHODCALLTYPE DeleteAllItems() override { return store_.DeleteAllItems(); }
  HRESULT STDMETHODCALLTYPE SetUINT32(REFGUID key, UINT32 value) override {
    return store_.Set(key, AttributeValue(std::in_place_type<UINT32>, value));
  }
  HRESULT STDMETHODCALLTYPE SetUINT64(REFGUID key, UINT64 value) override {
    return store_.Set(key, AttributeValue(std::in_place_type<UINT64>, value));
  }
  HRESULT STDMETHODCALLTYPE SetDouble(REFGUID key, double value) override {
    return store_.Set(key, AttributeValue(std::in_place_type<double>, value));
  }
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID key, REFGUID value) override {
    return store_.Set(key, AttributeValue(std::in_place_type<GUID>, value));
  }
  HRESULT STDMETHODCALLTYPE SetString(REFGUID key, LPCWSTR value) override { return store_.SetString(key, value); }
  HRESULT STDMETHODCALLTYPE SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) override {
    return store_.SetBlob(key, buffer, bufferSize);
  }
  HRESULT STDMETHODCALLTYPE SetUnknown(REFGUID key, IUnknown* unknown) override {
    if (unknown == nullptr) return E_POINTER;
    return store_.Set(key, AttributeValue(std::in_place_type<UnknownReference>, unknown));
  }
  HRESULT STDMETHODCALLTYPE LockStore() override { return store_.LockStore(); }
  HRESULT STDMETHODCALLTYPE UnlockStore() override { return store_.UnlockStore(); }
  HRESULT STDMETHODCALLTYPE GetCount(UINT32* items) override { return store_.GetCount(items); }
  HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
    return store_.GetItemByIndex(index, key, value);
  }
  HRESULT STDMETHODCALLTYPE CopyAllItems(IMFAttributes* destination) override {
    return store_.CopyAllItems(destination);
  }

 protected:
  AttributeStore store_;
};

// QueryInterface for an object whose only interfaces are `Interface` and the IMFAttributes and
// IUnknown it derives from.
template <class Interface>
HRESULT QueryAttributesInterface(Interface* self, REFIID iid, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == iid || riid == IID_IMFAttributes || riid == IID_IUnknown) return HandOut(self, object);
  return E_NOINTERFACE;
}

}  // namespace mediafw
