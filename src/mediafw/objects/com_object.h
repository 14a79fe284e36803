// Reference counting shared by the framework's objects.
#pragma once

#include <atomic>
#include <new>

#include "encoder/media_framework.h"

namespace mediafw {

// The reference count of an object implementing the interfaces listed. The one AddRef and Release
// here serve every interface the object inherits; the object is deleted by its last Release.
//
// An interface's destructor is never called through the interface (objects end in Release), so the
// warning about the SDK's interfaces' public non-virtual destructors does not apply here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1) + 1; }

  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

 private:
  std::atomic<ULONG> references_{1};
};
#pragma GCC diagnostic pop

// Hands one new reference to `view` out through `object`: the tail of QueryInterface.
template <class Interface>
HRESULT HandOut(Interface* view, void** object) {
  view->AddRef();
  *object = view;
  return S_OK;
}

// Creates an object with `new`, with the creators' common checks: E_POINTER for a null out pointer,
// E_OUTOFMEMORY when the allocation fails. The out pointer receives the object's first reference.
template <class Object, class Interface, class... Arguments>
HRESULT CreateObject(Interface** out, Arguments&&... arguments) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  Object* object = new (std::nothrow) Object(static_cast<Arguments&&>(arguments)...);
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace mediafw
