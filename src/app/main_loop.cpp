#include "app/main_loop.h"

#include <atomic>
#include <csignal>
#include <exception>
#include <limits>
#include <utility>

#include "app/process_state.h"
#include "clips/clip_request.h"
#include "clips/housekeeping.h"
#include "encoder/loader.h"
#include "log/log.h"
#include "mp4/recording.h"
#include "mp4/recovery.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

constexpr std::int32_t kSaveWaitRounds = 50;  // 50 x 100 ms: at most 5 s for a running save
constexpr std::uint32_t kSaveWaitMs = 100;
constexpr std::uint32_t kFrameWaitingMs = 1;
constexpr std::uint32_t kIdleWaitMs = 10;
// A pass takes at most this many of the encoder's queued events; the rest stay queued for the next
// pass. A hardware encoder queues one request per input and one output per frame, a few a pass
// even at 240 frames a second, so the bound only stops an encoder whose queue never runs dry from
// holding the main thread (and the heartbeat) for ever.
constexpr int kMaxEventsPerPass = 64;

// The status word of the run, for the last resort: set once the exchange is open.
std::atomic<exchange::ExchangeHeader*> lastResortBlock{nullptr};

// Whether a clip save or the recovery of leftover recordings is still writing.
bool StorageBusy() {
  return platform::AtomicLoad(processState.runningSaves) > 0 || platform::AtomicLoad(processState.runningRecoveries) > 0;
}

// The final close of the recording and the wait for a running clip save (and a recovery that
// started with this run), shared by every end of a run: nothing the player has recorded so far
// may be lost when vistrel ends. A close that fails on the way (its movie box is built in memory)
// does not keep the process from ending: what it leaves is a temporary file with its journal,
// rebuilt at the next start.
void FinishStorage() noexcept {
  try {
    CloseRecordingForShutdown();
  } catch (...) {
  }
  for (std::int32_t i = 0; i < kSaveWaitRounds && StorageBusy(); ++i) platform::SleepMilliseconds(kSaveWaitMs);
}

void HostWatcher(void*) {
  platform::WaitProcessEnd(processState.hostProcess);
  FinishStorage();
  platform::TerminateSelf(kExitStopped);
}

// LoadMediaFramework, COM and the selection: the bring-up shared by the probe and the run.
bool BringUpEncoder(HardwareEncoder& encoder) {
  if (!LoadMediaFramework()) return false;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
  return SelectEncoder(encoder);
}

// Start-up after the exchange is open: log, output folder, leftovers, encoder. False when no
// encoder can be brought up. Interrupted recordings are held through the leftover clean-up (so
// that it spares them) and handed back in leftovers, to be rebuilt once the run is up.
bool StartUp(exchange::Exchange& ex, HardwareEncoder& encoder, LeftoverRecordings& leftovers) {
  if (exchange::ReadLogSwitch(*ex.header) != 0) OpenLog();
  processState.outputFolder = exchange::TakeOutputFolder(*ex.header);
  // Before any thread that writes a file starts: they read the stream's size from here.
  processState.stream = ex.format;
  encoder.format = ex.format;
  sampleHistory.byteCap = HistoryByteCapFor(ex.format.bitRate);
  leftovers = TakeLeftoverRecordings(RemoveLeftoverTempFiles);
  return BringUpEncoder(encoder);
}

[[noreturn]] void EndAtLastResort() noexcept {
  if (exchange::ExchangeHeader* header = lastResortBlock.load()) {
    exchange::SetStatus(*header, exchange::kStatusFailed);
  }
  platform::TerminateSelf(kExitFailed);
}

extern "C" void EndOnAbortSignal(int) { EndAtLastResort(); }

}  // namespace

Loop::Loop(exchange::Exchange& ex, HardwareEncoder& encoder)
    : ex_(ex), header_(*ex.header), encoder_(encoder), schedule_(StartSaveSchedule(platform::TickCount())) {
  sound_.Start(ex);
}

Pass Loop::RunPass() {
  exchange::Heartbeat(header_);
  RunRecordingControl(exchange::ReadRecordSwitch(header_));
  platform::WaitNamedEvent(ex_.event, exchange::TurnSlotFilled(header_, turn_) ? kFrameWaitingMs : kIdleWaitMs);
  if (encoder_.isAsync && !TakeEncoderEvents()) return Pass::Fail;
  if (!OfferFrame()) return Pass::Fail;
  sound_.RunPass(clock_);
  RunSaveSchedule(schedule_, header_, platform::TickCount(), RequestClip);
  return exchange::ReadStopSwitch(header_) != 0 ? Pass::Stop : Pass::Continue;
}

bool Loop::TakeEncoderEvents() {
  for (int taken = 0; taken < kMaxEventsPerPass; ++taken) {
    IMFMediaEvent* event = nullptr;
    const HRESULT hr = encoder_.eventGenerator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
    if (hr == MF_E_NO_EVENTS_AVAILABLE) return true;
    if (FAILED(hr) || !event) {
      LogLine("GetEvent failed 0x%08lX", HresultBits(hr));
      if (event) event->Release();
      return false;
    }
    MediaEventType type = 0;
    HRESULT status = S_OK;
    event->GetType(&type);
    event->GetStatus(&status);
    event->Release();
    if (type == METransformNeedInput) {
      // Counted up to the largest count and no further: an encoder that asks without end must not
      // make the count wrap to a negative one, which would hold every frame back.
      if (encoder_.pendingInputRequests < std::numeric_limits<std::int32_t>::max()) ++encoder_.pendingInputRequests;
    } else if (type == METransformHaveOutput) {
      if (!ProcessOneOutput(encoder_)) return false;
    } else if (type == MEError || FAILED(status)) {
      LogLine("encoder event %lu status 0x%08lX", static_cast<unsigned long>(type), HresultBits(status));
      return false;
    }
  }
  return true;  // the rest waits for the next pass
}

bool Loop::OfferFrame() {
  if (!exchange::TurnSlotFilled(header_, turn_)) return true;
  if (encoder_.isAsync && encoder_.pendingInputRequests < 1) return true;
  const std::int64_t slotTime = exchange::ReadSlotTime(header_, turn_.slotIndex);
  const std::int64_t clockFrequency = header_.clockFrequency;
  FrameClock next = clock_;
  const std::int64_t time = SampleTimeFor(next, slotTime, clockFrequency);
  IMFSample* sample = MakeInputSample(encoder_, exchange::SlotPixels(ex_, turn_.slotIndex), time);
  if (!sample) return false;
  const HRESULT hr = encoder_.transform->ProcessInput(encoder_.inputStreamId, sample, 0);
  sample->Release();
  if (hr == MF_E_NOTACCEPTING) {
    // The frame stays in its slot and is offered again on a later pass.
    if (encoder_.isAsync) {
      encoder_.pendingInputRequests = 0;
    } else {
      DrainOutput(encoder_);
    }
    return true;
  }
  if (FAILED(hr)) {
    LogLine("ProcessInput failed 0x%08lX", HresultBits(hr));
    return false;
  }
  if (encoder_.isAsync) {
    --encoder_.pendingInputRequests;
  } else if (!DrainOutput(encoder_)) {
    return false;
  }
  next.lastTime = time;
  clock_ = next;
  exchange::HandBackTurnSlot(header_, turn_);
  return true;
}

std::uint32_t ServeHost(exchange::Exchange& ex, HardwareEncoder& encoder, LeftoverRecordings leftovers) noexcept {
  SetLastResortBlock(ex.header);
  Pass pass = Pass::Fail;
  try {
    exchange::SetStatus(*ex.header, exchange::kStatusRunning);
    // Rebuilt on a thread of their own, so that their size never holds up the start.
    StartRecoveringLeftoverRecordings(std::move(leftovers));
    Loop loop(ex, encoder);
    pass = exchange::ReadStopSwitch(*ex.header) != 0 ? Pass::Stop : Pass::Continue;
    while (pass == Pass::Continue) pass = loop.RunPass();
  } catch (...) {
    // Memory that runs out inside a pass (a 32-bit process has 2 GiB of address space), or any
    // other failure thrown on the way, ends the run like a failing encoder.
    pass = Pass::Fail;
  }

  if (pass == Pass::Fail) {
    exchange::SetStatus(*ex.header, exchange::kStatusFailed);
    // The recording made so far is the player's: close it into a valid file before ending.
    FinishStorage();
    return kExitFailed;
  }
  LogLine("stopped by the switch");
  FinishStorage();
  return kExitStopped;
}

std::uint32_t RunMainLoop(std::uint32_t hostPid) {
  // recordingLock is ready before anything runs: it is constructed with processState.
  if (!platform::OpenProcessForWait(hostPid, processState.hostProcess)) return kExitFailed;
  if (!platform::StartDetachedThread(HostWatcher, nullptr)) return kExitFailed;
  exchange::Exchange ex;
  if (!exchange::OpenExchange(hostPid, ex)) return kExitFailed;
  SetLastResortBlock(ex.header);

  HardwareEncoder encoder;
  LeftoverRecordings leftovers;
  bool encoderUp = false;
  try {
    encoderUp = StartUp(ex, encoder, leftovers);
  } catch (...) {
    // Not the encoder's fault: the host must not read it as "no working hardware encoder".
    exchange::SetStatus(*ex.header, exchange::kStatusFailed);
    return kExitFailed;
  }
  if (!encoderUp) {
    LogLine("no working hardware encoder");
    exchange::SetStatus(*ex.header, exchange::kStatusFailed);
    return kExitNoEncoder;
  }
  return ServeHost(ex, encoder, std::move(leftovers));
}

std::uint32_t RunProbe() {
  HardwareEncoder encoder;
  return BringUpEncoder(encoder) ? kExitStopped : kExitNoEncoder;
}

void PrepareLastResort() {
  std::set_terminate(EndAtLastResort);
  std::signal(SIGABRT, EndOnAbortSignal);
}

void SetLastResortBlock(exchange::ExchangeHeader* header) { lastResortBlock.store(header); }
