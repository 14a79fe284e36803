#include <memory>
#include <mutex>

#include "mediafw/objects.h"
#include "mediafw/objects/com_object.h"

namespace mediafw {
namespace {

class MemoryBuffer final : public ComObject<IMFMediaBuffer> {
 public:
  MemoryBuffer(std::unique_ptr<BYTE[]> bytes, DWORD maxLength) : bytes_(std::move(bytes)), maxLength_(maxLength) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IMFMediaBuffer || riid == IID_IUnknown) return HandOut(this, object);
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override {
    if (buffer == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    ++locks_;
    *buffer = bytes_.get();
    if (maxLength != nullptr) *maxLength = maxLength_;
    if (currentLength != nullptr) *currentLength = currentLength_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Unlock() override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (locks_ == 0) return E_UNEXPECTED;
    --locks_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* currentLength) override {
    if (currentLength == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    *currentLength = currentLength_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD currentLength) override {
    if (currentLength > maxLength_) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(mutex_);
    currentLength_ = currentLength;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* maxLength) override {
    if (maxLength == nullptr) return E_POINTER;
    *maxLength = maxLength_;
    return S_OK;
  }

 private:
  std::mutex mutex_;
  const std::unique_ptr<BYTE[]> bytes_;
  const DWORD maxLength_;
  DWORD currentLength_ = 0;
  DWORD locks_ = 0;
};

}  // namespace
}  // namespace mediafw

HRESULT CreateMemoryBufferObject(DWORD maxLength, IMFMediaBuffer** buffer) {
  if (buffer == nullptr) return E_POINTER;
  *buffer = nullptr;
  // The bytes are not cleared: whoever fills the buffer sets its current length.
  std::unique_ptr<BYTE[]> bytes(new (std::nothrow) BYTE[maxLength == 0 ? 1 : maxLength]);
  if (bytes == nullptr) return E_OUTOFMEMORY;
  return mediafw::CreateObject<mediafw::MemoryBuffer>(buffer, std::move(bytes), maxLength);
}
