#include "platform/thread.h"

#include <time.h>

#include <system_error>
#include <thread>

namespace platform {

bool StartDetachedThread(ThreadFunction function, void* argument) {
  try {
    std::thread(function, argument).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void SleepMilliseconds(std::uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0) {
  }
}

}  // namespace platform
