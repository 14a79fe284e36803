// The run mode: start-up, the loop that moves the host's frames into the encoder, and the three
// ways it ends.
#pragma once

#include <cstdint>

// Exit codes.
inline constexpr std::uint32_t kExitStopped = 0;    // stop switch, or the host ended
inline constexpr std::uint32_t kExitNoEncoder = 3;  // no working hardware encoder
inline constexpr std::uint32_t kExitFailed = 4;     // anything else

// Serves the host until its stop switch (0), a failure (3 or 4). When the host process ends, the
// host watcher ends the process with 0 and this never returns.
std::uint32_t RunMainLoop(std::uint32_t hostPid);

// The probe mode: 0 when a hardware encoder can be brought up, else 3.
std::uint32_t RunProbe();
