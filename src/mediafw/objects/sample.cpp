#include <cstring>
#include <mutex>
#include <vector>

#include "mediafw/objects.h"
#include "mediafw/objects/attribute_store.h"

namespace mediafw {
namespace {

// Copies the current bytes of every buffer, in order, into `destination` (which must have room:
// `total` bytes) and sets its current length.
HRESULT CopyBuffers(const std::vector<UnknownReference>& buffers, DWORD total, IMFMediaBuffer* destination) {
  BYTE* out = nullptr;
  DWORD room = 0;
  HRESULT hr = destination->Lock(&out, &room, nullptr);
  if (FAILED(hr)) return hr;
  if (room < total) {
    destination->Unlock();
    return MF_E_BUFFERTOOSMALL;
  }
  DWORD offset = 0;
  for (const UnknownReference& held : buffers) {
    auto* buffer = static_cast<IMFMediaBuffer*>(held.get());
    BYTE* in = nullptr;
    DWORD length = 0;
    hr = buffer->Lock(&in, nullptr, &length);
    if (FAILED(hr)) break;
    if (length > total - offset) length = total - offset;
    if (length != 0) std::memcpy(out + offset, in, length);
    offset += length;
    buffer->Unlock();
  }
  destination->Unlock();
  if (FAILED(hr)) return hr;
  return destination->SetCurrentLength(offset);
}

class Sample final : public WithAttributes<ComObject<IMFSample>> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryAttributesInterface<IMFSample>(this, IID_IMFSample, riid, object);
  }

  HRESULT STDMETHODCALLTYPE GetSampleFlags(DWORD* flags) override {
    if (flags == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    *flags = flags_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSampleFlags(DWORD flags) override {
    std::lock_guard<std::mutex> hold(mutex_);
    flags_ = flags;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetSampleTime(LONGLONG* time) override {
    if (time == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!hasTime_) return MF_E_NO_SAMPLE_TIMESTAMP;
    *time = time_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSampleTime(LONGLONG time) override {
    std::lock_guard<std::mutex> hold(mutex_);
    time_ = time;
    hasTime_ = true;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetSampleDuration(LONGLONG* duration) override {
    if (duration == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!hasDuration_) return MF_E_NO_SAMPLE_DURATION;
    *duration = duration_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSampleDuration(LONGLONG duration) override {
    std::lock_guard<std::mutex> hold(mutex_);
    duration_ = duration;
    hasDuration_ = true;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetBufferCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    *count = static_cast<DWORD>(buffers_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) override {
    if (buffer == nullptr) return E_POINTER;
    *buffer = nullptr;
    std::lock_guard<std::mutex> hold(mutex_);
    if (index >= buffers_.size()) return E_INVALIDARG;
    *buffer = static_cast<IMFMediaBuffer*>(buffers_[index].get());
    (*buffer)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ConvertToContiguousBuffer(IMFMediaBuffer** buffer) override {
    if (buffer == nullptr) return E_POINTER;
    *buffer = nullptr;
    std::vector<UnknownReference> joined;  // the buffers replaced, released after the lock is left
    std::lock_guard<std::mutex> hold(mutex_);
    if (buffers_.empty()) return E_UNEXPECTED;
    if (buffers_.size() > 1) {
      DWORD total = 0;
      HRESULT hr = TotalLength(&total);
      if (FAILED(hr)) return hr;
      IMFMediaBuffer* contiguous = nullptr;
      hr = CreateMemoryBufferObject(total, &contiguous);
      if (FAILED(hr)) return hr;
      hr = CopyBuffers(buffers_, total, contiguous);
      if (FAILED(hr)) {
        contiguous->Release();
        return hr;
      }
      joined.swap(buffers_);
      buffers_.emplace_back(contiguous);
      contiguous->Release();
    }
    *buffer = static_cast<IMFMediaBuffer*>(buffers_[0].get());
    (*buffer)->AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddBuffer(IMFMediaBuffer* buffer) override {
    if (buffer == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    buffers_.emplace_back(buffer);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RemoveBufferByIndex(DWORD index) override {
    UnknownReference removed(nullptr);
    std::lock_guard<std::mutex> hold(mutex_);
    if (index >= buffers_.size()) return E_INVALIDARG;
    removed = std::move(buffers_[index]);
    buffers_.erase(buffers_.begin() + index);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE RemoveAllBuffers() override {
    std::vector<UnknownReference> removed;
    std::lock_guard<std::mutex> hold(mutex_);
    removed.swap(buffers_);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTotalLength(DWORD* totalLength) override {
    if (totalLength == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    return TotalLength(totalLength);
  }

  HRESULT STDMETHODCALLTYPE CopyToBuffer(IMFMediaBuffer* buffer) override {
    if (buffer == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    DWORD total = 0;
    HRESULT hr = TotalLength(&total);
    if (FAILED(hr)) return hr;
    return CopyBuffers(buffers_, total, buffer);
  }

 private:
  // The sum of the buffers' current lengths; the caller holds mutex_.
  HRESULT TotalLength(DWORD* total) {
    DWORD sum = 0;
    for (const UnknownReference& held : buffers_) {
      DWORD length = 0;
      HRESULT hr = static_cast<IMFMediaBuffer*>(held.get())->GetCurrentLength(&length);
      if (FAILED(hr)) return hr;
      if (length > ~DWORD{0} - sum) return E_INVALIDARG;
      sum += length;
    }
    *total = sum;
    return S_OK;
  }

  std::mutex mutex_;
  DWORD flags_ = 0;
  bool hasTime_ = false;
  bool hasDuration_ = false;
  LONGLONG time_ = 0;
  LONGLONG duration_ = 0;
  std::vector<UnknownReference> buffers_;  // each an IMFMediaBuffer
};

}  // namespace
}  // namespace mediafw

HRESULT CreateSampleObject(IMFSample** sample) { return mediafw::CreateObject<mediafw::Sample>(sample); }
