// A scripted media framework for the encoder tests: the four entry points of the loader's table,
// activation objects, transforms, media types, attribute stores, events, samples and buffers.
// Each transform plays one candidate encoder as the test scripts it (asynchronous or not, refusing
// the unlock, without ICodecAPI, offering its own input types, padded input, providing samples or
// not, changing its output type, failing calls) and records what it was asked.
//
// Every fake object counts references like COM and deletes itself at zero; LiveObjects() tells a
// test whether everything handed out was released.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "encoder/media_framework.h"

// The SDK's interfaces have public non-virtual destructors; the fakes are only ever deleted by
// their own Release, through Counted's virtual destructor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace fake {

// ---- Lifetime ----

class Counted {
 public:
  Counted();
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  virtual ~Counted();
  ULONG AddReference();
  ULONG DropReference();  // deletes the object at zero
  std::uint64_t id() const { return id_; }
  long references() const { return references_; }

 private:
  long references_ = 1;
  std::uint64_t id_;
};

int LiveObjects();
bool IsAlive(std::uint64_t id);

// ---- Attribute stores ----

struct AttributeItem {
  GUID key{};
  MF_ATTRIBUTE_TYPE type = MF_ATTRIBUTE_UINT32;
  UINT64 number = 0;  // UINT32 and UINT64 values
  GUID guid{};
  std::vector<UINT8> blob;
  std::basic_string<WCHAR> text;
};

// The IMFAttributes methods over a list of items, for every fake that is an attribute store.
template <typename Interface>
class Attributes : public Interface, public Counted {
 public:
  std::vector<AttributeItem> items;
  // Set calls for these keys fail with the paired result.
  std::vector<std::pair<GUID, HRESULT>> refusedSets;
  // Non-zero: what GetBlobSize answers for every blob, whatever its true size.
  UINT32 claimedBlobSize = 0;
  // When set, receives the buffer size of every GetBlob call.
  std::vector<UINT32>* blobReads = nullptr;

  const AttributeItem* Find(REFGUID key) const;
  void SetName(const std::u16string& text);  // MFT_FRIENDLY_NAME_Attribute

  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

  HRESULT STDMETHODCALLTYPE GetItem(REFGUID key, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType,
                                    BOOL* result) override;
  HRESULT STDMETHODCALLTYPE GetUINT32(REFGUID key, UINT32* value) override;
  HRESULT STDMETHODCALLTYPE GetUINT64(REFGUID key, UINT64* value) override;
  HRESULT STDMETHODCALLTYPE GetDouble(REFGUID key, double* value) override;
  HRESULT STDMETHODCALLTYPE GetGUID(REFGUID key, GUID* value) override;
  HRESULT STDMETHODCALLTYPE GetStringLength(REFGUID key, UINT32* length) override;
  HRESULT STDMETHODCALLTYPE GetString(REFGUID key, LPWSTR value, UINT32 bufferSize,
                                      UINT32* length) override;
  HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override;
  HRESULT STDMETHODCALLTYPE GetBlobSize(REFGUID key, UINT32* size) override;
  HRESULT STDMETHODCALLTYPE GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize,
                                    UINT32* size) override;
  HRESULT STDMETHODCALLTYPE GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override;
  HRESULT STDMETHODCALLTYPE GetUnknown(REFGUID key, REFIID riid, LPVOID* object) override;
  HRESULT STDMETHODCALLTYPE SetItem(REFGUID key, REFPROPVARIANT value) override;
  HRESULT STDMETHODCALLTYPE DeleteItem(REFGUID key) override;
  HRESULT STDMETHODCALLTYPE DeleteAllItems() override;
  HRESULT STDMETHODCALLTYPE SetUINT32(REFGUID key, UINT32 value) override;
  HRESULT STDMETHODCALLTYPE SetUINT64(REFGUID key, UINT64 value) override;
  HRESULT STDMETHODCALLTYPE SetDouble(REFGUID key, double value) override;
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID key, REFGUID value) override;
  HRESULT STDMETHODCALLTYPE SetString(REFGUID key, LPCWSTR value) override;
  HRESULT STDMETHODCALLTYPE SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) override;
  HRESULT STDMETHODCALLTYPE SetUnknown(REFGUID key, IUnknown* unknown) override;
  HRESULT STDMETHODCALLTYPE LockStore() override;
  HRESULT STDMETHODCALLTYPE UnlockStore() override;
  HRESULT STDMETHODCALLTYPE GetCount(UINT32* count) override;
  HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override;
  HRESULT STDMETHODCALLTYPE CopyAllItems(IMFAttributes* destination) override;

 protected:
  // A Set call: the item to fill, or null when the key is refused (refusal holds the result).
  AttributeItem* Put(REFGUID key, MF_ATTRIBUTE_TYPE type, HRESULT& refusal);
};

class AttributeStore final : public Attributes<IMFAttributes> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
};

class MediaType final : public Attributes<IMFMediaType> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetMajorType(GUID* majorType) override;
  HRESULT STDMETHODCALLTYPE IsCompressedFormat(BOOL* compressed) override;
  HRESULT STDMETHODCALLTYPE IsEqual(IMFMediaType* type, DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE GetRepresentation(GUID representation, LPVOID* result) override;
  HRESULT STDMETHODCALLTYPE FreeRepresentation(GUID representation, LPVOID value) override;
};

// ---- Buffers and samples ----

class MediaBuffer final : public IMFMediaBuffer, public Counted {
 public:
  MediaBuffer(DWORD maxLength, BYTE fill);
  std::vector<BYTE> bytes;  // maxLength bytes
  DWORD currentLength = 0;
  int locks = 0;            // Lock calls not yet matched by Unlock
  HRESULT lockResult = S_OK;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }
  HRESULT STDMETHODCALLTYPE Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override;
  HRESULT STDMETHODCALLTYPE Unlock() override;
  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* length) override;
  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD length) override;
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* length) override;
};

class Sample final : public Attributes<IMFSample> {
 public:
  ~Sample() override;
  std::vector<IMFMediaBuffer*> buffers;  // one reference each
  LONGLONG time = 0;
  LONGLONG duration = 0;
  bool timeSet = false;
  bool durationSet = false;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetSampleFlags(DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE SetSampleFlags(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE GetSampleTime(LONGLONG* value) override;
  HRESULT STDMETHODCALLTYPE SetSampleTime(LONGLONG value) override;
  HRESULT STDMETHODCALLTYPE GetSampleDuration(LONGLONG* value) override;
  HRESULT STDMETHODCALLTYPE SetSampleDuration(LONGLONG value) override;
  HRESULT STDMETHODCALLTYPE GetBufferCount(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) override;
  HRESULT STDMETHODCALLTYPE ConvertToContiguousBuffer(IMFMediaBuffer** buffer) override;
  HRESULT STDMETHODCALLTYPE AddBuffer(IMFMediaBuffer* buffer) override;
  HRESULT STDMETHODCALLTYPE RemoveBufferByIndex(DWORD index) override;
  HRESULT STDMETHODCALLTYPE RemoveAllBuffers() override;
  HRESULT STDMETHODCALLTYPE GetTotalLength(DWORD* length) override;
  HRESULT STDMETHODCALLTYPE CopyToBuffer(IMFMediaBuffer* buffer) override;
};

// ---- Events ----

class MediaEvent final : public Attributes<IMFMediaEvent> {
 public:
  MediaEvent(MediaEventType type, HRESULT status) : type_(type), status_(status) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetType(MediaEventType* type) override;
  HRESULT STDMETHODCALLTYPE GetExtendedType(GUID* type) override;
  HRESULT STDMETHODCALLTYPE GetStatus(HRESULT* status) override;
  HRESULT STDMETHODCALLTYPE GetValue(PROPVARIANT* value) override;

 private:
  MediaEventType type_;
  HRESULT status_;
};

// What a transform hands back in pEvents.
class Collection final : public IMFCollection, public Counted {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }
  HRESULT STDMETHODCALLTYPE GetElementCount(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetElement(DWORD index, IUnknown** element) override;
  HRESULT STDMETHODCALLTYPE AddElement(IUnknown* element) override;
  HRESULT STDMETHODCALLTYPE RemoveElement(DWORD index, IUnknown** element) override;
  HRESULT STDMETHODCALLTYPE InsertElementAt(DWORD index, IUnknown* element) override;
  HRESULT STDMETHODCALLTYPE RemoveAllElements() override;
};

// ---- Transforms ----

struct OfferedInputType {
  GUID subtype;
  HRESULT setResult;  // what SetInputType answers for this offered object
};

// One scripted answer of ProcessOutput.
struct OutputStep {
  HRESULT result = S_OK;
  bool withSample = true;        // an access unit: into the caller's sample, or a new one
  std::vector<UINT8> bytes;
  LONGLONG time = 0;
  DWORD claimedLength = 0;       // non-zero: the buffer's current length, whatever it holds
  bool withEvents = false;       // a collection in pEvents as well
  std::function<void()> before;  // changes the script just before this step
};

struct CodecValue {
  GUID api;
  VARTYPE type;
  ULONG number;
  VARIANT_BOOL flag;
};

struct OutputCall {
  DWORD streamId;
  bool sampleGiven;          // the caller passed its own sample
  DWORD givenBufferLength;   // the maximum length of its buffer
  DWORD bufferCount;
  DWORD flags;
};

// One ProcessInput: the sample's time, the first byte of its buffer (the luma of the frame's first
// pixel) and the answer given.
struct InputCall {
  LONGLONG time = 0;
  int firstByte = -1;
  HRESULT result = S_OK;
};

struct TypeSet {
  DWORD streamId;
  std::vector<AttributeItem> items;  // the type's attributes at the call
  int offeredIndex;                  // the offered input type object passed back, or -1
};

class Transform final : public IMFTransform, public ICodecAPI, public IMFMediaEventGenerator, public Counted {
 public:
  Transform();
  ~Transform() override;

  // The script.
  bool hasAttributes = true;
  bool asyncAttribute = false;  // the store has MF_TRANSFORM_ASYNC at all
  UINT32 async = 0;
  HRESULT unlockResult = S_OK;
  bool hasEventGenerator = true;
  bool hasCodecApi = true;
  HRESULT streamIdsResult = S_OK;
  DWORD inputStreamId = 0;
  DWORD outputStreamId = 0;
  HRESULT setOutputTypeResult = S_OK;
  HRESULT setInputTypeResult = S_OK;  // for input types the transform did not offer
  std::vector<OfferedInputType> offeredInputTypes;
  HRESULT inputInfoResult = S_OK;
  DWORD inputCbSize = 0;
  HRESULT outputInfoResult = S_OK;
  DWORD outputCbSize = 0;
  DWORD outputFlags = 0;
  HRESULT beginStreamingResult = S_OK;
  HRESULT startOfStreamResult = S_OK;
  std::deque<OutputStep> outputSteps;  // none left: MF_E_TRANSFORM_NEED_MORE_INPUT
  bool offersOutputType = true;        // GetOutputAvailableType has a type
  std::vector<UINT8> sequenceHeader;   // MF_MT_MPEG_SEQUENCE_HEADER of the offered output type
  // MF_MT_MPEG_SEQUENCE_HEADER that the current output type has from the start (an encoder that
  // publishes its parameter sets there once its output type is set).
  std::vector<UINT8> initialSequenceHeader;
  UINT32 claimedSequenceHeaderSize = 0;  // non-zero: what GetBlobSize claims for the header
  // MF_MT_USER_DATA that the current output type has from the start (an audio encoder's
  // HEAACWAVEINFO tail and AudioSpecificConfig).
  std::vector<UINT8> outputUserData;
  bool outputTypeFirst = true;  // SetInputType refuses until an output type is set (video encoders)
  bool hasCurrentOutputType = true;
  std::deque<std::pair<MediaEventType, HRESULT>> events;  // for GetEvent
  std::deque<HRESULT> inputResults;  // ProcessInput answers in turn; none left: S_OK
  std::function<void()> onInput;     // runs in each ProcessInput before it answers

  // What it was asked.
  std::vector<std::string> calls;
  std::vector<InputCall> inputs;  // every ProcessInput, taken or refused
  std::vector<CodecValue> codecValues;
  std::vector<TypeSet> outputTypesSet;
  std::vector<TypeSet> inputTypesSet;
  std::vector<MFT_MESSAGE_TYPE> messages;
  std::vector<OutputCall> outputCalls;
  std::vector<DWORD> infoStreamIds;  // streams of GetInputStreamInfo and GetOutputStreamInfo
  std::vector<std::uint64_t> providedSamples;  // ids of the samples it made itself
  std::vector<std::uint64_t> eventCollections;
  std::vector<UINT32> blobReads;  // buffer sizes of GetBlob on its output types
  AttributeStore* store = nullptr;  // its attribute store (made on construction)

  // IUnknown, shared by the three interfaces.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

  // IMFTransform
  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum,
                                            DWORD* outputMinimum, DWORD* outputMaximum) override;
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) override;
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD inputIdArraySize, DWORD* inputIds,
                                         DWORD outputIdArraySize, DWORD* outputIds) override;
  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD streamId, MFT_INPUT_STREAM_INFO* info) override;
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD streamId, MFT_OUTPUT_STREAM_INFO* info) override;
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override;
  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD streamId, IMFAttributes** attributes) override;
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD streamId, IMFAttributes** attributes) override;
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD streamId) override;
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD streams, DWORD* streamIds) override;
  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD streamId, DWORD typeIndex,
                                                  IMFMediaType** type) override;
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD streamId, DWORD typeIndex,
                                                   IMFMediaType** type) override;
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD streamId, IMFMediaType* type, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD streamId, IMFMediaType* type, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD streamId, IMFMediaType** type) override;
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD streamId, IMFMediaType** type) override;
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD streamId, DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD* flags) override;
  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG lowerBound, LONGLONG upperBound) override;
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD streamId, IMFMediaEvent* event) override;
  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override;
  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD streamId, IMFSample* sample, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD flags, DWORD bufferCount,
                                          MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override;

  // ICodecAPI
  HRESULT STDMETHODCALLTYPE IsSupported(const GUID* api) override;
  HRESULT STDMETHODCALLTYPE IsModifiable(const GUID* api) override;
  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID* api, VARIANT* valueMin, VARIANT* valueMax,
                                              VARIANT* steppingDelta) override;
  HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID* api, VARIANT** values,
                                               ULONG* valuesCount) override;
  HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID* api, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE GetValue(const GUID* api, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID* api, LONG_PTR userData) override;
  HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID* api) override;
  HRESULT STDMETHODCALLTYPE SetAllDefaults() override;
  HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam,
                                               ULONG* changedParamCount) override;
  HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID** changedParam,
                                                     ULONG* changedParamCount) override;
  HRESULT STDMETHODCALLTYPE GetAllSettings(IStream* stream) override;
  HRESULT STDMETHODCALLTYPE SetAllSettings(IStream* stream) override;
  HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream* stream, GUID** changedParam,
                                                     ULONG* changedParamCount) override;

  // IMFMediaEventGenerator
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override;
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                       const PROPVARIANT* value) override;

 private:
  std::vector<MediaType*> offeredObjects_;  // made at the first GetInputAvailableType
  MediaType* currentOutputType_ = nullptr;
};

// ---- Activation objects ----

class Activate final : public Attributes<IMFActivate> {
 public:
  explicit Activate(Transform* transform);  // takes one reference; null: activation gives nothing
  ~Activate() override;
  HRESULT activateResult = S_OK;
  int activations = 0;
  int shutdowns = 0;
  Transform* transform() const { return transform_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE ActivateObject(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE ShutdownObject() override;
  HRESULT STDMETHODCALLTYPE DetachObject() override;

 private:
  Transform* transform_;
};

// ---- The entry points ----

struct Framework {
  std::vector<Activate*> candidates;  // what MFTEnumEx lists, in order (one reference each)
  HRESULT enumResult = S_OK;
  int enumCalls = 0;
  GUID enumCategory{};
  UINT32 enumFlags = 0;
  MFT_REGISTER_TYPE_INFO enumInput{};
  MFT_REGISTER_TYPE_INFO enumOutput{};

  HRESULT createMediaTypeResult = S_OK;
  HRESULT createSampleResult = S_OK;
  HRESULT createBufferResult = S_OK;
  HRESULT bufferLockResult = S_OK;  // of the buffers it makes
  BYTE bufferFill = 0;              // initial content of the buffers it makes
  std::vector<DWORD> bufferLengths;  // of every MFCreateMemoryBuffer call
  std::vector<std::uint64_t> buffersMade;
  std::vector<std::uint64_t> samplesMade;
};

extern Framework framework;

// Fresh script, and the loader's table pointed at the fake entry points.
void Install();
// Releases the candidates.
void Clear();

// A candidate with that name (empty: no name) playing transform (may be null).
Activate* AddCandidate(const std::u16string& name, Transform* transform);

// Reads an item of a recorded type.
const AttributeItem* FindItem(const std::vector<AttributeItem>& items, REFGUID key);

}  // namespace fake

#pragma GCC diagnostic pop
