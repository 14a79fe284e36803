// Detached threads and sleeping.
#pragma once

#include <cstdint>

namespace platform {

using ThreadFunction = void (*)(void* argument);

// Starts a thread that runs function(argument) and is never joined. False when it cannot start.
bool StartDetachedThread(ThreadFunction function, void* argument);

void SleepMilliseconds(std::uint32_t ms);

}  // namespace platform
