// The one process-wide record that every thread of vistrel shares.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/lock.h"
#include "platform/process.h"
#include "stream/stream_format.h"

struct ProcessState {
  // Written once during start-up, read-only afterwards.
  platform::FileHandle logFile = platform::kInvalidFile;
  std::u16string outputFolder;
  stream::StreamFormat stream;  // the host's stream, from the block (the seed's until it is open)

  // Guards the recording file and shuttingDown; the only lock of the system.
  platform::Lock recordingLock;
  std::int32_t recordingWanted = 0;  // host's record switch, stored by atomic exchange
  bool shuttingDown = false;         // false -> true only, under recordingLock
  std::int32_t runningSaves = 0;     // interlocked increment/decrement only; never negative
  std::int32_t runningRecoveries = 0;  // the same, for the start-up's recovery of leftover recordings

  platform::ProcessHandle hostProcess;
};

// Lives until the process ends; never torn down (the process ends by terminating itself).
extern ProcessState processState;
