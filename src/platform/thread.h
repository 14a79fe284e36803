// Detached threads and sleeping.
#pragma once

#include <cstdint>

namespace platform {

using ThreadFunction = void (*)(void* argument);

// Starts a thread that runs function(argument) and is never joined. False when it cannot start,
// whatever the reason (no thread, no memory); nothing is thrown.
bool StartDetachedThread(ThreadFunction function, void* argument);

// Tests only: while refused, StartDetachedThread fails as it does when the system can create no
// thread.
void RefuseThreadStartsForTesting(bool refuse);

void SleepMilliseconds(std::uint32_t ms);

}  // namespace platform
