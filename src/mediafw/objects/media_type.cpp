#include "mediafw/objects.h"
#include "mediafw/objects/attribute_store.h"

namespace mediafw {
namespace {

class MediaType final : public WithAttributes<ComObject<IMFMediaType>> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryAttributesInterface<IMFMediaType>(this, IID_IMFMediaType, riid, object);
  }

  HRESULT STDMETHODCALLTYPE GetMajorType(GUID* majorType) override { return store_.GetGUID(MF_MT_MAJOR_TYPE, majorType); }

  HRESULT STDMETHODCALLTYPE IsCompressedFormat(BOOL* compressed) override {
    if (compressed == nullptr) return E_POINTER;
    UINT32 independent = 0;
    *compressed = SUCCEEDED(store_.GetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, &independent)) && independent != 0 ? 0 : 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE IsEqual(IMFMediaType*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRepresentation(GUID, LPVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FreeRepresentation(GUID, LPVOID) override { return E_NOTIMPL; }
};

}  // namespace
}  // namespace mediafw

HRESULT CreateMediaTypeObject(IMFMediaType** type) { return mediafw::CreateObject<mediafw::MediaType>(type); }
