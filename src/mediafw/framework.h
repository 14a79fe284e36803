// The five entry points of a stand-in media framework (entry_points.cpp), over the encoders that
// the library linking them offers:
//
//   MFStartup, MFTEnumEx, MFCreateMediaType, MFCreateSample, MFCreateMemoryBuffer
//
// The library (libvistrel-mediafw.so over libavcodec) defines ApplySwitches and OfferedEncoders.
// Everything an encoder does once activated is the shared transform of encoder_transform.h over
// the library's codec.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mediafw/audio_codec.h"
#include "mediafw/audio_transform.h"
#include "mediafw/codec.h"
#include "mediafw/encoder_transform.h"

namespace mediafw {

// Switches, environment variables read at each MFStartup and MFTEnumEx (they belong to the
// framework, not to the system that uses it); each is on when set to "1":
//   VISTREL_SOFTWARE_ENCODER    also offer a software encoder, where the library has one.
//   VISTREL_MEDIAFW_SYNC        transforms are synchronous: no MF_TRANSFORM_ASYNC, no events,
//                               ProcessOutput fills a sample of the caller's (cbSize 2,000,000) and
//                               answers MF_E_TRANSFORM_NEED_MORE_INPUT when nothing is ready.
//   VISTREL_MEDIAFW_TYPE_CHANGE before its first output a transform changes its output type once
//                               (MF_E_TRANSFORM_STREAM_CHANGE), offering a type whose
//                               MF_MT_MPEG_SEQUENCE_HEADER holds 00 00 00 01 SPS 00 00 00 01 PPS.
//   VISTREL_MEDIAFW_VERBOSE     the codec's own messages go to standard error (otherwise silent).
//   VISTREL_MEDIAFW_CALLER_SAMPLES  an asynchronous transform takes its output samples from the
//                               caller (cbSize 0) instead of providing its own.
//   VISTREL_MEDIAFW_REFUSER     MFTEnumEx lists, before every other, an encoder that refuses every
//                               output type (MF_E_INVALIDMEDIATYPE).
//   VISTREL_MEDIAFW_NO_AUDIO    the library's audio encoder is not listed (MFT_CATEGORY_AUDIO_ENCODER
//                               then lists none, unless the next switch adds one).
//   VISTREL_MEDIAFW_AUDIO_REFUSER  MFTEnumEx lists, before the audio encoder, one that refuses
//                               every input and output type (MF_E_INVALIDMEDIATYPE).
//
// Switches that take a value (any other value is ignored):
//   VISTREL_MEDIAFW_REPLAY=<file>  the only encoder listed replays the H.264 stream in <file>
//                               (replay_codec.h) instead of encoding: what the transform and its
//                               caller cost without an encoder's work.
//   VISTREL_MEDIAFW_INPUT_ROWS=<N>  transforms ask for NV12 input buffers of N rows (721 to 8192),
//                               padded below the picture, and read their chroma plane after them.
//   VISTREL_MEDIAFW_CODECAPI_RECORD=<file>  transforms append each ICodecAPI::SetValue they are
//                               given to <file>, one line each ("AVEncMPVGOPSize VT_UI4 30").
//   VISTREL_MEDIAFW_INPUT_REQUESTS=<N>  an asynchronous transform keeps N METransformNeedInput
//                               requests outstanding (1 to 16; default 1), as hardware encoders
//                               with an input queue do.
//   VISTREL_MEDIAFW_REFUSE_EVERY=<K>  every K-th input that the transform could take (K at least
//                               2) is refused with MF_E_NOTACCEPTING; an asynchronous transform
//                               withdraws its outstanding requests with it and asks again at once.
//   VISTREL_MEDIAFW_FAIL=<what>:<N>  a transform breaks down after it has accepted N frames, as a
//                               hardware encoder does when its device is lost. <what> is "input"
//                               (ProcessInput fails), "output" (ProcessOutput fails), "event"
//                               (GetEvent fails), "error" (an MEError event is sent) or "marker"
//                               (an event of another type, METransformMarker, is sent with a
//                               failed status); every failure carries 0x887A0005 (device
//                               removed). The last three need an asynchronous transform.
//   VISTREL_MEDIAFW_AUDIO_FAIL=<what>:<N>  the audio encoder breaks down after it has accepted N
//                               inputs: <what> is "input" (ProcessInput fails) or "output"
//                               (ProcessOutput fails), with E_FAIL, and keeps failing.
inline constexpr std::uint32_t kMaxInputRequests = 16;

struct Switches {
  bool softwareEncoder = false;
  bool synchronous = false;
  bool typeChange = false;
  bool verbose = false;
  int inputRequests = 1;
  std::uint32_t refuseEvery = 0;
  TransformMode::Fault fault = TransformMode::Fault::kNone;
  std::uint64_t faultAfterFrames = 0;
  bool callerSamples = false;
  bool refuser = false;
  std::string replayStream;
  std::uint32_t inputRows = 0;
  std::string codecApiRecord;
  bool noAudio = false;
  bool audioRefuser = false;
  AudioTransformMode::Fault audioFault = AudioTransformMode::Fault::kNone;
  std::uint64_t audioFaultAfterInputs = 0;
};

// One encoder that MFTEnumEx lists, in the order given.
struct EncoderOffer {
  std::string friendlyName;  // MFT_FRIENDLY_NAME_Attribute
  std::function<std::unique_ptr<Codec>()> makeCodec;
};

// One audio encoder that MFTEnumEx lists under MFT_CATEGORY_AUDIO_ENCODER.
struct AudioEncoderOffer {
  std::string friendlyName;  // MFT_FRIENDLY_NAME_Attribute
  std::function<std::unique_ptr<AudioCodec>()> makeCodec;
};

// The switches as the environment sets them now.
Switches ReadSwitches();

// Defined by each library: applies the switches to its codecs (called by MFStartup and MFTEnumEx),
// and lists its encoders: H.264, and AAC (synchronous; VISTREL_MEDIAFW_NO_AUDIO leaves them out).
void ApplySwitches(const Switches& switches);
std::vector<EncoderOffer> OfferedEncoders(const Switches& switches);
std::vector<AudioEncoderOffer> OfferedAudioEncoders(const Switches& switches);

}  // namespace mediafw
