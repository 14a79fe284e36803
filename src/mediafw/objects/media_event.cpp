#include <condition_variable>
#include <deque>
#include <mutex>

#include "mediafw/objects.h"
#include "mediafw/objects/attribute_store.h"

namespace mediafw {
namespace {

class MediaEvent final : public WithAttributes<ComObject<IMFMediaEvent>> {
 public:
  MediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status)
      : type_(type), extendedType_(extendedType), status_(status) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryAttributesInterface<IMFMediaEvent>(this, IID_IMFMediaEvent, riid, object);
  }

  HRESULT STDMETHODCALLTYPE GetType(MediaEventType* type) override {
    if (type == nullptr) return E_POINTER;
    *type = type_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetExtendedType(GUID* extendedType) override {
    if (extendedType == nullptr) return E_POINTER;
    *extendedType = extendedType_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStatus(HRESULT* status) override {
    if (status == nullptr) return E_POINTER;
    *status = status_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetValue(PROPVARIANT*) override { return E_NOTIMPL; }

 private:
  const MediaEventType type_;
  const GUID extendedType_;
  const HRESULT status_;
};

class EventQueue final : public ComObject<IMFMediaEventGenerator> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IMFMediaEventGenerator || riid == IID_IUnknown) return HandOut(this, object);
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    if (event == nullptr) return E_POINTER;
    *event = nullptr;
    std::unique_lock<std::mutex> hold(mutex_);
    if (events_.empty()) {
      if ((flags & MF_EVENT_FLAG_NO_WAIT) != 0) return MF_E_NO_EVENTS_AVAILABLE;
      queued_.wait(hold, [this] { return !events_.empty(); });
    }
    *event = events_.front();  // the queue's reference passes to the caller
    events_.pop_front();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                       const PROPVARIANT* value) override {
    if (value != nullptr) return E_NOTIMPL;
    IMFMediaEvent* event = nullptr;
    HRESULT hr = CreateObject<MediaEvent>(&event, type, extendedType, status);
    if (FAILED(hr)) return hr;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      events_.push_back(event);
    }
    queued_.notify_one();
    return S_OK;
  }

 private:
  ~EventQueue() override {
    for (IMFMediaEvent* event : events_) event->Release();
  }

  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<IMFMediaEvent*> events_;  // each holds one reference
};

}  // namespace
}  // namespace mediafw

HRESULT CreateMediaEventObject(MediaEventType type, HRESULT status, IMFMediaEvent** event) {
  return mediafw::CreateObject<mediafw::MediaEvent>(event, type, GUID_NULL, status);
}

HRESULT CreateEventQueueObject(IMFMediaEventGenerator** queue) {
  return mediafw::CreateObject<mediafw::EventQueue>(queue);
}
