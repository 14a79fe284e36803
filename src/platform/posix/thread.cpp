#include "platform/thread.h"

#include <time.h>

#include <atomic>
#include <thread>

namespace platform {

namespace {
std::atomic<bool> threadStartsRefused{false};
}  // namespace

void RefuseThreadStartsForTesting(bool refuse) { threadStartsRefused.store(refuse); }

bool StartDetachedThread(ThreadFunction function, void* argument) {
  if (threadStartsRefused.load()) return false;
  // std::thread reports a thread the system cannot create with std::system_error, and its own state
  // that cannot be allocated with std::bad_alloc: both are the same failure here.
  try {
    std::thread(function, argument).detach();
    return true;
  } catch (...) {
    return false;
  }
}

void SleepMilliseconds(std::uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0) {
  }
}

}  // namespace platform
