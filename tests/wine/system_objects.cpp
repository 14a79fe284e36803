// The framework objects that the encoder transform makes (mediafw/objects.h), taken from the
// system's own media framework: in the test encoders, every attribute store, media type, buffer,
// sample and event queue is mfplat.dll's (Wine's, under Wine), never the stand-in's.
#include <windows.h>

#include <mfapi.h>
#include <mferror.h>

#include "mediafw/objects.h"
#include "mediafw/objects/com_object.h"

namespace {

// The framework's event queue seen as the event generator the transform expects: the queue makes
// and holds the events; this only forwards.
class EventQueue final : public mediafw::ComObject<IMFMediaEventGenerator> {
 public:
  explicit EventQueue(IMFMediaEventQueue* queue) : queue_(queue) {}
  ~EventQueue() override {
    queue_->Shutdown();
    queue_->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFMediaEventGenerator) {
      return mediafw::HandOut(static_cast<IMFMediaEventGenerator*>(this), object);
    }
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    return queue_->GetEvent(flags, event);
  }
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return queue_->BeginGetEvent(callback, state);
  }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return queue_->EndGetEvent(result, event);
  }
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                       const PROPVARIANT* value) override {
    return queue_->QueueEventParamVar(type, extendedType, status, value);
  }

 private:
  IMFMediaEventQueue* const queue_;
};

}  // namespace

HRESULT CreateAttributesObject(IMFAttributes** attributes) { return MFCreateAttributes(attributes, 4); }

HRESULT CreateMediaTypeObject(IMFMediaType** type) { return MFCreateMediaType(type); }

HRESULT CreateMemoryBufferObject(DWORD maxLength, IMFMediaBuffer** buffer) {
  return MFCreateMemoryBuffer(maxLength, buffer);
}

HRESULT CreateSampleObject(IMFSample** sample) { return MFCreateSample(sample); }

HRESULT CreateEventQueueObject(IMFMediaEventGenerator** queue) {
  if (queue == nullptr) return E_POINTER;
  *queue = nullptr;
  IMFMediaEventQueue* events = nullptr;
  HRESULT hr = MFCreateEventQueue(&events);
  if (FAILED(hr)) return hr;
  hr = mediafw::CreateObject<EventQueue>(queue, events);
  if (FAILED(hr)) {
    events->Shutdown();
    events->Release();
  }
  return hr;
}
