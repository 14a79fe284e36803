// The stand-in framework's switches (framework.h), read from the environment.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mediafw/framework.h"

namespace mediafw {
namespace {

bool SwitchOn(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// VISTREL_MEDIAFW_FAIL=<what>:<N>; anything malformed leaves the transforms sound.
void ReadFault(Switches& s) {
  const char* value = std::getenv("VISTREL_MEDIAFW_FAIL");
  if (value == nullptr) return;
  const char* colon = std::strchr(value, ':');
  if (colon == nullptr || colon[1] < '0' || colon[1] > '9') return;
  char* end = nullptr;
  const unsigned long long frames = std::strtoull(colon + 1, &end, 10);
  if (end == nullptr || *end != 0) return;
  const std::string what(value, colon);
  using Fault = TransformMode::Fault;
  const Fault fault = what == "input"    ? Fault::kProcessInput
                      : what == "output" ? Fault::kProcessOutput
                      : what == "event"  ? Fault::kGetEvent
                      : what == "error"  ? Fault::kErrorEvent
                      : what == "marker" ? Fault::kFailedMarker
                                         : Fault::kNone;
  if (fault == Fault::kNone) return;
  s.fault = fault;
  s.faultAfterFrames = frames;
}

// VISTREL_MEDIAFW_AUDIO_FAIL=<what>:<N>; anything malformed leaves the audio encoder sound.
void ReadAudioFault(Switches& s) {
  const char* value = std::getenv("VISTREL_MEDIAFW_AUDIO_FAIL");
  if (value == nullptr) return;
  const char* colon = std::strchr(value, ':');
  if (colon == nullptr || colon[1] < '0' || colon[1] > '9') return;
  char* end = nullptr;
  const unsigned long long inputs = std::strtoull(colon + 1, &end, 10);
  if (end == nullptr || *end != 0) return;
  const std::string what(value, colon);
  using Fault = AudioTransformMode::Fault;
  const Fault fault = what == "input" ? Fault::kProcessInput : what == "output" ? Fault::kProcessOutput : Fault::kNone;
  if (fault == Fault::kNone) return;
  s.audioFault = fault;
  s.audioFaultAfterInputs = inputs;
}

// A whole decimal number from low to high; 0 when unset or anything else.
std::uint32_t NumberSwitch(const char* name, std::uint32_t low, std::uint32_t high) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value < '0' || *value > '9') return 0;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(value, &end, 10);
  if (end == nullptr || *end != 0 || n < low || n > high) return 0;
  return static_cast<std::uint32_t>(n);
}

std::string TextSwitch(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

Switches ReadSwitches() {
  Switches s;
  s.softwareEncoder = SwitchOn("VISTREL_SOFTWARE_ENCODER");
  s.synchronous = SwitchOn("VISTREL_MEDIAFW_SYNC");
  s.typeChange = SwitchOn("VISTREL_MEDIAFW_TYPE_CHANGE");
  s.verbose = SwitchOn("VISTREL_MEDIAFW_VERBOSE");
  const std::uint32_t requests = NumberSwitch("VISTREL_MEDIAFW_INPUT_REQUESTS", 1, kMaxInputRequests);
  s.inputRequests = requests > 0 ? static_cast<int>(requests) : 1;
  s.refuseEvery = NumberSwitch("VISTREL_MEDIAFW_REFUSE_EVERY", 2, 0xFFFFFFFFu);
  ReadFault(s);
  s.callerSamples = SwitchOn("VISTREL_MEDIAFW_CALLER_SAMPLES");
  s.refuser = SwitchOn("VISTREL_MEDIAFW_REFUSER");
  s.replayStream = TextSwitch("VISTREL_MEDIAFW_REPLAY");
  s.inputRows = NumberSwitch("VISTREL_MEDIAFW_INPUT_ROWS", 721, 8192);
  s.codecApiRecord = TextSwitch("VISTREL_MEDIAFW_CODECAPI_RECORD");
  s.noAudio = SwitchOn("VISTREL_MEDIAFW_NO_AUDIO");
  s.audioRefuser = SwitchOn("VISTREL_MEDIAFW_AUDIO_REFUSER");
  ReadAudioFault(s);
  return s;
}

}  // namespace mediafw
