#include <mutex>
#include <utility>

#include "mediafw/objects.h"
#include "mediafw/objects/attribute_store.h"

namespace mediafw {
namespace {

class Activate final : public WithAttributes<ComObject<IMFActivate>> {
 public:
  explicit Activate(ActivationFactory factory) : factory_(std::move(factory)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryAttributesInterface<IMFActivate>(this, IID_IMFActivate, riid, object);
  }

  HRESULT STDMETHODCALLTYPE ActivateObject(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    std::lock_guard<std::mutex> hold(mutex_);
    if (object_.get() == nullptr) {
      IUnknown* made = nullptr;
      HRESULT hr = factory_(&made);
      if (FAILED(hr)) {
        if (made != nullptr) made->Release();
        return hr;
      }
      if (made == nullptr) return E_UNEXPECTED;
      object_ = UnknownReference(made);
      made->Release();
    }
    return object_.get()->QueryInterface(riid, object);
  }

  HRESULT STDMETHODCALLTYPE ShutdownObject() override { return Drop(); }
  HRESULT STDMETHODCALLTYPE DetachObject() override { return Drop(); }

 private:
  HRESULT Drop() {
    UnknownReference dropped(nullptr);  // released after the lock is left
    std::lock_guard<std::mutex> hold(mutex_);
    std::swap(dropped, object_);
    return S_OK;
  }

  std::mutex mutex_;
  const ActivationFactory factory_;
  UnknownReference object_{nullptr};
};

}  // namespace
}  // namespace mediafw

HRESULT CreateActivateObject(ActivationFactory factory, IMFActivate** activate) {
  if (!factory) {
    if (activate != nullptr) *activate = nullptr;
    return E_INVALIDARG;
  }
  return mediafw::CreateObject<mediafw::Activate>(activate, std::move(factory));
}
