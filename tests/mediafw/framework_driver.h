// Drives libvistrel-mediafw.so from outside, the way the system does: loaded with dlopen and used
// only through its five entry points and the interfaces they give. Shared by the framework's tests
// and its benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/media_framework.h"

namespace mediafw_driver {

inline constexpr int kWidth = 1280;
inline constexpr int kHeight = 720;
inline constexpr std::size_t kFrameBytes = kWidth * kHeight * 3 / 2;
inline constexpr LONGLONG kFrameDuration = 333333;

struct Framework {
  MFStartupFunction startup = nullptr;
  MFTEnumExFunction enumerate = nullptr;
  MFCreateMediaTypeFunction createMediaType = nullptr;
  MFCreateSampleFunction createSample = nullptr;
  MFCreateMemoryBufferFunction createMemoryBuffer = nullptr;
};

// Loads the library (never unloaded, as in the system) and looks up the entry points. False, with
// the reason in *error, when it cannot.
bool LoadFramework(const std::string& path, Framework* framework, std::string* error);

// Sets an environment variable for as long as the object lives (null: unsets it).
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  bool hadValue_;
  std::string oldValue_;
};

// The encoder candidates of MFTEnumEx with the system's filter (hardware, NV12 to H.264).
struct Candidate {
  std::string friendlyName;
  IMFActivate* activate = nullptr;  // one reference
};
HRESULT EnumerateEncoders(const Framework& framework, std::vector<Candidate>* candidates);
void ReleaseCandidates(std::vector<Candidate>* candidates);

// What the system keeps of its chosen encoder.
struct Encoder {
  IMFTransform* transform = nullptr;
  IMFMediaEventGenerator* events = nullptr;
  DWORD inputStreamId = 0;
  DWORD outputStreamId = 0;
  bool isAsync = false;
  int pendingInputRequests = 0;
  DWORD outputBufferSize = 0;
  bool providesSamples = false;
  UINT32 inputHeight = 720;
};
void ReleaseEncoder(Encoder* encoder);

// The codec properties the system sets; a GOP size of 0 leaves that one out.
struct Configuration {
  UINT32 gopSize = 30;
  bool lowLatency = true;
  bool setCodecProperties = true;
};

// The system's configuration of one activated transform, step by step: unlock, event generator,
// codec properties, stream identifiers, output type, input type, stream infos, the two start
// messages. On failure returns the HRESULT and names the step in *failedStep.
HRESULT ConfigureEncoder(const Framework& framework, IMFTransform* transform, const Configuration& configuration,
                         Encoder* encoder, std::string* failedStep);

// Activates the last candidate (the software encoder, when it is offered) and configures it.
HRESULT OpenLastCandidate(const Framework& framework, const Configuration& configuration, Encoder* encoder,
                          std::string* failedStep);

struct AccessUnit {
  std::vector<std::uint8_t> bytes;
  LONGLONG time = 0;
  LONGLONG duration = 0;
  bool cleanPoint = false;
};

struct Collected {
  std::vector<AccessUnit> units;
  std::vector<std::uint8_t> sequenceHeader;  // from the last adopted output type
  int typeChanges = 0;
  int notAccepting = 0;
  bool drainComplete = false;  // METransformDrainComplete came
  std::string error;           // the first failure, if any
};

// Submits one NV12 frame (kFrameBytes, rows kWidth bytes apart) with the given time, in a buffer of
// encoder.inputHeight rows, taking events and output the way the main loop does, until the
// encoder has accepted it. False on any failure (described in collected->error).
bool SubmitFrame(const Framework& framework, Encoder& encoder, const std::uint8_t* frame, LONGLONG time,
                 Collected* collected);

// Takes the output still to come: an asynchronous encoder encodes on a thread of its own, so this
// waits (up to 10 s) until it asks for input again or has finished a drain.
bool CollectRemaining(const Framework& framework, Encoder& encoder, Collected* collected);

// One output call as the system makes it, and the synchronous drain.
bool OneOutput(const Framework& framework, Encoder& encoder, Collected* collected, bool* stop);
bool DrainOutput(const Framework& framework, Encoder& encoder, Collected* collected);

// A moving test picture: ramps, a grid of dark lines, a bright block crossing the frame and a chroma
// checkerboard, all moving from frame to frame.
void DrawTestFrame(int index, std::uint8_t* nv12);
std::vector<std::uint8_t> TestFrame(int index);

// The input sample the system makes: a buffer of `rows` rows (rows >= 720), luma rows then chroma
// rows, time and duration. Null on failure.
IMFSample* MakeInputSample(const Framework& framework, const std::uint8_t* frame, UINT32 rows, LONGLONG time);

}  // namespace mediafw_driver
