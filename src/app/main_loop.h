// The run mode: start-up, the loop that moves the host's frames into the encoder, and the three
// ways it ends.
#pragma once

#include <cstdint>

#include "app/sample_time.h"
#include "app/save_schedule.h"
#include "app/sound_feed.h"
#include "encoder/encoder.h"
#include "exchange/exchange.h"
#include "mp4/recovery.h"

// Exit codes.
inline constexpr std::uint32_t kExitStopped = 0;    // stop switch, or the host ended
inline constexpr std::uint32_t kExitNoEncoder = 3;  // no working hardware encoder
inline constexpr std::uint32_t kExitFailed = 4;     // anything else

// Serves the host until its stop switch (0), a failure (3 or 4). When the host process ends, the
// host watcher ends the process with 0 and this never returns. A failure thrown before the exchange
// is open leaves this function (the entry point ends with 4, nothing written); after that, every
// failure ends here with status 2.
std::uint32_t RunMainLoop(std::uint32_t hostPid);

// The probe mode: 0 when a hardware encoder can be brought up, else 3.
std::uint32_t RunProbe();

// The run once its encoder is up: status 1, the rebuilding of leftovers (interrupted recordings
// held since start-up) on a thread of its own, passes until the stop switch, then the stop path (0)
// or, after a failure, the fail path (status 2, 4). Anything thrown inside a pass is a failure like
// the others. Both paths close the recording and wait for a running save (and the rebuilding)
// before they return.
std::uint32_t ServeHost(exchange::Exchange& ex, HardwareEncoder& encoder, LeftoverRecordings leftovers = {}) noexcept;

// The last resort for a failure that no handler saw (std::terminate, abort()): the process ends at
// once with 4, with status 2 in the shared block once a run has opened it, and the C runtime shows
// nothing. PrepareLastResort is the entry point's first step.
void PrepareLastResort();
void SetLastResortBlock(exchange::ExchangeHeader* header);

enum class Pass { Continue, Stop, Fail };

// The loop's state and its passes, on the main thread.
class Loop {
 public:
  // Brings up the sound's encoder when the block declares sound.
  Loop(exchange::Exchange& ex, HardwareEncoder& encoder);

  // Heartbeat, recording control, the wait for the host's event, the encoder's events, the frame,
  // the sound, the save schedule; Stop when the stop switch is set.
  Pass RunPass();

  // The asynchronous encoder's queued events, taken without waiting and at most 64 a pass: each
  // input request counts, each output is taken. False on a failure.
  bool TakeEncoderEvents();

  // The frame step: the slot whose turn it is, when it holds a frame and the encoder can take it.
  // A frame the encoder refuses stays in its slot, and the slot keeps its turn. False on a failure.
  bool OfferFrame();

  int slotIndex() const { return turn_.slotIndex; }

 private:
  exchange::Exchange& ex_;
  exchange::ExchangeHeader& header_;
  HardwareEncoder& encoder_;
  exchange::SlotTurn turn_;
  FrameClock clock_;
  SaveSchedule schedule_;
  SoundFeed sound_;
};
