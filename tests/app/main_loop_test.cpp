// The main loop against a scripted encoder: the encoder's events and the frame step of each pass
// (requests counted, frames offered only against them, a refused frame kept in its slot), and the
// ends of a run when something fails: thrown failures inside a pass or during start-up, a thread
// that cannot start, and the last resort for what no handler sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/process_state.h"
#include "clips/sample_history.h"
#include "exchange/layout.h"
#include "fake_framework.h"
#include "host/host_exchange.h"
#include "log_capture.h"
#include "mp4/recording.h"
#include "platform/atomic.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/failing_allocation.h"

namespace {

constexpr LONGLONG kFrameTicks = 333333;  // one frame at 30 fps, with a clock of 10,000,000 ticks

// The luma of a frame whose pixels all have grey level 8 x frame + 16.
int Grey(int frame) { return 8 * frame + 16; }
int LumaOf(int frame) { return ((220 * Grey(frame) + 128) >> 8) + 16; }

class MainLoopTest : public testing::Test {
 protected:
  MainLoopTest() : block_(exchange::kBlockBytes) {
    ex_.block = block_.data();
    ex_.header = reinterpret_cast<exchange::ExchangeHeader*>(block_.data());
    ex_.size = block_.size();
    ex_.header->clockFrequency = 10000000;
    processState.shuttingDown = false;
    processState.recordingWanted = 0;
    processState.runningSaves = 0;
    sampleHistory = SampleHistory{};
    parameterSets = ParameterSets{};
    recordingFile = RecordingFile{};
  }

  void SetUp() override {
    fake::Install();
    baseline_ = fake::LiveObjects();
  }

  void TearDown() override {
    if (encoder.transform != nullptr) encoder.transform->Release();
    if (encoder.eventGenerator != nullptr) encoder.eventGenerator->Release();
    fake::Clear();
    if (!failureThrown_) {
      EXPECT_EQ(fake::LiveObjects(), baseline_) << "fake objects left unreleased";
    }
    SetLastResortBlock(nullptr);
    processState.shuttingDown = false;
    sampleHistory = SampleHistory{};
    parameterSets = ParameterSets{};
  }

  // One candidate encoder, chosen; asynchronous ones get their events from the script only.
  fake::Transform* Choose(bool async) {
    auto* t = new fake::Transform;
    if (async) {
      t->asyncAttribute = true;
      t->async = 1;
    }
    fake::AddCandidate(u"Scripted", t);
    EXPECT_TRUE(SelectEncoder(encoder));
    EXPECT_EQ(encoder.isAsync, async);
    selectionLines_ = log.Messages().size();
    return t;
  }

  // What the log says after the selection.
  std::vector<std::string> Logged() const {
    const std::vector<std::string> all = log.Messages();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(selectionLines_), all.end());
  }

  // The host's side: the frame's pixels and time stamp, then the state.
  void Fill(int slot, int frame) {
    std::memset(block_.data() + exchange::kFramesOffset + static_cast<std::size_t>(slot) * exchange::kSlotBytes,
                Grey(frame), exchange::kSlotBytes);
    ex_.header->slotTime[slot] = frame * kFrameTicks;
    platform::AtomicExchange(ex_.header->slotState[slot], 1);
  }
  std::int32_t SlotState(int slot) { return platform::AtomicLoad(ex_.header->slotState[slot]); }

  static void Requests(fake::Transform* t, int count) {
    for (int i = 0; i < count; ++i) t->events.emplace_back(METransformNeedInput, S_OK);
  }

  // The frames the encoder was offered, as (frame number, taken), told by their luma and time.
  static std::vector<std::pair<int, bool>> Offered(const fake::Transform* t) {
    std::vector<std::pair<int, bool>> frames;
    for (const fake::InputCall& call : t->inputs) {
      const int frame = static_cast<int>(call.time / kFrameTicks);
      EXPECT_EQ(call.time, frame * kFrameTicks);
      EXPECT_EQ(call.firstByte, LumaOf(frame)) << "the pixels of another frame than its time's";
      frames.emplace_back(frame, call.result == S_OK);
    }
    return frames;
  }

  std::vector<std::uint8_t> block_;
  exchange::Exchange ex_;
  HardwareEncoder encoder;
  LogCapture log;
  bool failureThrown_ = false;

 private:
  int baseline_ = 0;
  std::size_t selectionLines_ = 0;
};

using Frames = std::vector<std::pair<int, bool>>;

// ---- The frame step ----

TEST_F(MainLoopTest, AsyncFrameWaitsForARequest) {
  fake::Transform* t = Choose(true);
  Loop loop(ex_, encoder);
  Fill(0, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_TRUE(t->inputs.empty());
  EXPECT_EQ(SlotState(0), 1);

  Requests(t, 1);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(Offered(t), (Frames{{0, true}}));
  EXPECT_EQ(SlotState(0), 0);
  EXPECT_EQ(loop.slotIndex(), 1);

  // The one request is answered: the next frame waits for the next.
  Fill(1, 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(t->inputs.size(), 1u);
  EXPECT_EQ(SlotState(1), 1);
  EXPECT_EQ(encoder.pendingInputRequests, 0);
}

// A hardware encoder queues several requests at once: each is answered by one frame, in slot
// order, and no frame goes without one.
TEST_F(MainLoopTest, AsyncSeveralRequestsOutstanding) {
  fake::Transform* t = Choose(true);
  Loop loop(ex_, encoder);
  Requests(t, 3);
  for (int slot = 0; slot < 3; ++slot) Fill(slot, slot);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(Offered(t), (Frames{{0, true}, {1, true}, {2, true}}));
  for (int slot = 0; slot < 3; ++slot) EXPECT_EQ(SlotState(slot), 0) << slot;
  EXPECT_EQ(encoder.pendingInputRequests, 0);

  Fill(0, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(t->inputs.size(), 3u) << "a frame offered without a request";
  Requests(t, 2);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(Offered(t), (Frames{{0, true}, {1, true}, {2, true}, {3, true}}));
  EXPECT_EQ(encoder.pendingInputRequests, 1);
}

// MF_E_NOTACCEPTING: the frame stays in its slot with its turn, the requests counted so far are
// void, the next slot is not looked at, and the same frame (same time, same pixels) goes again
// once the encoder asks.
TEST_F(MainLoopTest, AsyncRefusedFrameKeepsItsSlotUntilTaken) {
  fake::Transform* t = Choose(true);
  Loop loop(ex_, encoder);
  Requests(t, 3);
  t->inputResults = {MF_E_NOTACCEPTING};
  Fill(0, 0);
  Fill(1, 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(Offered(t), (Frames{{0, false}}));
  EXPECT_EQ(SlotState(0), 1);
  EXPECT_EQ(SlotState(1), 1);
  EXPECT_EQ(loop.slotIndex(), 0);
  EXPECT_EQ(encoder.pendingInputRequests, 0);

  Requests(t, 1);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(SlotState(0), 0);
  EXPECT_EQ(SlotState(1), 1);
  Requests(t, 1);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(Offered(t), (Frames{{0, false}, {0, true}, {1, true}}));
  EXPECT_EQ(SlotState(1), 0);
  EXPECT_EQ(loop.slotIndex(), 2);
}

// Synchronous: the refusal is followed by a drain whose failure does not end the run; the frame
// is offered again on the next pass.
TEST_F(MainLoopTest, SyncRefusedFrameIsDrainedForAndOfferedAgain) {
  fake::Transform* t = Choose(false);
  Loop loop(ex_, encoder);
  t->inputResults = {MF_E_NOTACCEPTING};
  fake::OutputStep broken;
  broken.result = E_FAIL;
  broken.withSample = false;
  t->outputSteps.push_back(broken);
  Fill(0, 0);
  Fill(1, 1);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(SlotState(0), 1);
  EXPECT_EQ(loop.slotIndex(), 0);
  EXPECT_EQ(t->outputCalls.size(), 1u);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(loop.RunPass(), Pass::Continue);
  EXPECT_EQ(Offered(t), (Frames{{0, false}, {0, true}, {1, true}}));
  EXPECT_EQ(t->outputCalls.size(), 3u);
  EXPECT_EQ(SlotState(0), 0);
  EXPECT_EQ(SlotState(1), 0);
}

// ---- The encoder's events ----

struct EventCase {
  const char* name;
  MediaEventType type;
  HRESULT status;
  Pass pass;
  int requests;       // pendingInputRequests after the pass
  std::size_t outputs;  // output calls made
  const char* line;   // what the log says, or null
};

class EncoderEvents : public MainLoopTest, public testing::WithParamInterface<EventCase> {};

TEST_P(EncoderEvents, AreServedByType) {
  fake::Transform* t = Choose(true);
  Loop loop(ex_, encoder);
  t->events.emplace_back(GetParam().type, GetParam().status);
  EXPECT_EQ(loop.RunPass(), GetParam().pass);
  EXPECT_EQ(encoder.pendingInputRequests, GetParam().requests);
  EXPECT_EQ(t->outputCalls.size(), GetParam().outputs);
  if (GetParam().line != nullptr) {
    EXPECT_EQ(Logged(), std::vector<std::string>{GetParam().line});
  } else {
    EXPECT_TRUE(Logged().empty());
  }
}

constexpr HRESULT kDeviceRemoved = static_cast<HRESULT>(0x887A0005);

INSTANTIATE_TEST_SUITE_P(
    Types, EncoderEvents,
    testing::Values(EventCase{"NeedInputWhateverItsStatus", METransformNeedInput, kDeviceRemoved, Pass::Continue, 1, 0,
                              nullptr},
                    EventCase{"HaveOutputWhateverItsStatus", METransformHaveOutput, kDeviceRemoved, Pass::Continue, 0, 1,
                              nullptr},
                    EventCase{"OtherTypeIgnored", METransformMarker, S_OK, Pass::Continue, 0, 0, nullptr},
                    EventCase{"OtherTypeWithFailedStatus", METransformMarker, kDeviceRemoved, Pass::Fail, 0, 0,
                              "encoder event 604 status 0x887A0005"},
                    EventCase{"ErrorWhateverItsStatus", MEError, S_OK, Pass::Fail, 0, 0,
                              "encoder event 1 status 0x00000000"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Failures thrown inside a pass ----

struct ThrownCase {
  const char* name;
  bool async;
  std::function<void(fake::Transform*)> script;
};

class ThrownInAPass : public MainLoopTest, public testing::WithParamInterface<ThrownCase> {};

// Memory that runs out inside a pass ends the run as a failure: status 2, code 4, after the
// recording's shutdown close; not std::terminate.
TEST_P(ThrownInAPass, EndsTheRunWithStatusTwoAndCodeFour) {
  fake::Transform* t = Choose(GetParam().async);
  GetParam().script(t);
  Requests(t, 1);
  Fill(0, 0);
  failureThrown_ = true;  // what the failure cut short is not released: the process ends
  EXPECT_EQ(ServeHost(ex_, encoder), 4u);
  EXPECT_EQ(ex_.header->status, exchange::kStatusFailed);
  EXPECT_GE(ex_.header->heartbeat, 1u);
  EXPECT_TRUE(processState.shuttingDown) << "the recording's shutdown close did not run";
  EXPECT_TRUE(Logged().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ThrownInAPass,
    testing::Values(ThrownCase{"OutOfMemoryInProcessInput", true,
                               [](fake::Transform* transform) { transform->onInput = [] { throw std::bad_alloc(); }; }},
                    ThrownCase{"LengthErrorInTheDrain", false,
                               [](fake::Transform* transform) {
                                 fake::OutputStep step;
                                 step.before = [] { throw std::length_error("vector"); };
                                 transform->outputSteps.push_back(step);
                               }},
                    ThrownCase{"OutOfMemoryTakingAnOutput", true,
                               [](fake::Transform* transform) {
                                 fake::OutputStep step;
                                 step.before = [] { throw std::bad_alloc(); };
                                 transform->outputSteps.push_back(step);
                                 transform->events.emplace_back(METransformHaveOutput, S_OK);
                               }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(MainLoopTest, StopSwitchEndsWithZeroAndStatusOne) {
  Choose(true);
  platform::AtomicExchange(ex_.header->stopSwitch, 1);
  EXPECT_EQ(ServeHost(ex_, encoder), 0u);
  EXPECT_EQ(ex_.header->status, exchange::kStatusRunning);
  EXPECT_EQ(ex_.header->heartbeat, 0u);
  EXPECT_TRUE(processState.shuttingDown);
  EXPECT_EQ(Logged(), std::vector<std::string>{"stopped by the switch"});
}

// ---- Start-up ----

class RunStartUp : public testing::Test {
 protected:
  void TearDown() override {
    platform::RefuseThreadStartsForTesting(false);
    SetLastResortBlock(nullptr);
  }
  host::HostExchange host;
};

// The host watcher cannot be started: 4, and nothing is written into the block.
TEST_F(RunStartUp, WatcherThatCannotStartEndsWithFourAndWritesNothing) {
  host::HostOptions options;
  options.log = true;
  ASSERT_TRUE(host.Create(platform::CurrentProcessId(), options));
  const std::vector<std::uint8_t> before(host.Block(), host.Block() + exchange::kFramesOffset);
  platform::RefuseThreadStartsForTesting(true);
  EXPECT_EQ(RunMainLoop(platform::CurrentProcessId()), 4u);
  platform::RefuseThreadStartsForTesting(false);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), host.Block()));
}

// Memory that runs out during start-up, once the block is open (here, when the output folder is
// copied): status 2 and code 4, not "no working hardware encoder" (3), which the host would take
// for a verdict on the machine.
TEST_F(RunStartUp, FailureThrownAfterTheBlockIsOpenEndsWithStatusTwoAndCodeFour) {
  host::HostOptions options;
  options.outputFolder = std::u16string(500, u'x');  // its copy is the first large allocation
  ASSERT_TRUE(host.Create(platform::CurrentProcessId(), options));
  std::uint32_t code = 0;
  {
    testing_support::FailingAllocations outOfMemory(900);
    code = RunMainLoop(platform::CurrentProcessId());
  }
  EXPECT_EQ(code, 4u);
  EXPECT_EQ(host.Status(), exchange::kStatusFailed);
  EXPECT_EQ(host.Heartbeat(), 0u);
}

// ---- The last resort ----

std::u16string ChildPath() {
  const std::u16string exe = platform::ExecutablePath();
  return exe.substr(0, exe.rfind(u'\\') + 1) + platform::Utf16FromUtf8(VISTREL_LAST_RESORT_CHILD);
}

class LastResort : public testing::TestWithParam<const char*> {};

// An exception that leaves a thread, or abort(): the process ends with 4 and status 2, and the C
// runtime's own ending (code 3 on Windows, after a message box; SIGABRT elsewhere) never comes.
TEST_P(LastResort, EndsWithFourAndStatusTwo) {
  host::HostExchange host;
  ASSERT_TRUE(host.Create(platform::CurrentProcessId(), host::HostOptions{}));
  platform::ProcessHandle child;
  ASSERT_TRUE(platform::StartProcess(
      ChildPath(),
      {platform::Utf16FromUtf8(std::to_string(platform::CurrentProcessId())), platform::Utf16FromUtf8(GetParam())},
      child));
  std::uint32_t code = 0;
  ASSERT_TRUE(platform::WaitProcessFor(child, 60000, code));
  EXPECT_EQ(code, 4u);
  EXPECT_EQ(host.Status(), exchange::kStatusFailed);
}

INSTANTIATE_TEST_SUITE_P(Failures, LastResort, testing::Values("throw", "thread", "abort"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
