// The stand-in framework's switches (framework.h), read from the environment.
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
                                         : Fault::kNone;
  if (fault == Fault::kNone) return;
  s.fault = fault;
  s.faultAfterFrames = frames;
}

}  // namespace

Switches ReadSwitches() {
  Switches s;
  s.softwareEncoder = SwitchOn("VISTREL_SOFTWARE_ENCODER");
  s.synchronous = SwitchOn("VISTREL_MEDIAFW_SYNC");
  s.typeChange = SwitchOn("VISTREL_MEDIAFW_TYPE_CHANGE");
  s.verbose = SwitchOn("VISTREL_MEDIAFW_VERBOSE");
  ReadFault(s);
  return s;
}

}  // namespace mediafw
