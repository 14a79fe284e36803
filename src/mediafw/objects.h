// The media framework's plain objects, built from the framework's own interface declarations so that
// they serve wherever an object of the framework is needed without the framework itself: attribute
// stores, media types, memory buffers, samples, events, event queues and activation objects.
//
// Every object is reference counted (atomically: any thread may AddRef or Release) and answers
// QueryInterface for IUnknown and each interface it implements. Each creator returns one reference
// that the caller releases; a creator fails with E_POINTER for a null out pointer and E_OUTOFMEMORY
// when memory runs out, and then leaves *out null.
#pragma once

#include <functional>

#include "encoder/media_framework.h"

// An attribute store (IMFAttributes). Values of the typed kinds: UINT32, UINT64, double, GUID,
// string, blob and IUnknown (held as a reference). A missing key gives MF_E_ATTRIBUTENOTFOUND, a
// key of another kind MF_E_INVALIDTYPE, a buffer too small E_NOT_SUFFICIENT_BUFFER; strings and blobs
// handed out by GetAllocatedString and GetAllocatedBlob are the caller's, to free with
// CoTaskMemFree. GetItem, SetItem, CompareItem and a GetItemByIndex that asks for the value work on
// PROPVARIANT and return E_NOTIMPL. Access is serialised; LockStore holds the store for the thread
// that calls it until UnlockStore.
HRESULT CreateAttributesObject(IMFAttributes** attributes);

// A media type (IMFMediaType, also IMFAttributes) over an attribute store. GetMajorType reads
// MF_MT_MAJOR_TYPE; IsCompressedFormat is the opposite of MF_MT_ALL_SAMPLES_INDEPENDENT; IsEqual
// and the representation methods return E_NOTIMPL.
HRESULT CreateMediaTypeObject(IMFMediaType** type);

// A buffer of maxLength bytes of plain memory (IMFMediaBuffer), current length 0. Lock may nest;
// the memory stays where it is for the buffer's life.
HRESULT CreateMemoryBufferObject(DWORD maxLength, IMFMediaBuffer** buffer);

// A sample (IMFSample, also IMFAttributes): an attribute store, flags, a time, a duration and a list
// of buffers (each held as a reference). Time and duration read before they are set give
// MF_E_NO_SAMPLE_TIMESTAMP and MF_E_NO_SAMPLE_DURATION. ConvertToContiguousBuffer hands out the one
// buffer of a sample as it is; the bytes of several buffers are joined into a new buffer, which then
// replaces them in the sample; a sample without buffers gives E_UNEXPECTED.
HRESULT CreateSampleObject(IMFSample** sample);

// An event (IMFMediaEvent, also IMFAttributes) of the given type and status, extended type
// GUID_NULL. GetValue returns E_NOTIMPL.
HRESULT CreateMediaEventObject(MediaEventType type, HRESULT status, IMFMediaEvent** event);

// A first-in first-out queue of events, usable as the event generator of the object that owns it:
// QueueEvent adds an event (only without a value: a value gives E_NOTIMPL); GetEvent takes the
// oldest, waiting for one unless MF_EVENT_FLAG_NO_WAIT is given, in which case an empty queue gives
// MF_E_NO_EVENTS_AVAILABLE. BeginGetEvent and EndGetEvent return E_NOTIMPL.
HRESULT CreateEventQueueObject(IMFMediaEventGenerator** queue);

// Makes the object that an activation object stands for, with one reference in *object.
using ActivationFactory = std::function<HRESULT(IUnknown** object)>;

// An activation object (IMFActivate, also IMFAttributes) over an attribute store (for example its
// MFT_FRIENDLY_NAME_Attribute). ActivateObject calls the factory the first time and keeps the object,
// then answers with QueryInterface on it (so later calls give the same object); a failing factory's
// result is passed on. ShutdownObject and DetachObject drop the kept object (its other holders keep
// theirs), and the next ActivateObject makes a new one. An empty factory gives E_INVALIDARG.
HRESULT CreateActivateObject(ActivationFactory factory, IMFActivate** activate);
