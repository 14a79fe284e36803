// The host's half of the shared frame exchange: what a game needs to drive vistrel.
//
//   host::HostExchange ex;
//   ex.Create(GetCurrentProcessId(), options);   // the block and the event, named after the host
//   start "vistrel --run <host pid>"
//   every frame:  if (uint8_t* p = ex.NextSlot()) { copy BGRA into p; ex.SubmitSlot(time); }
//   a clip:       ex.RaiseRequest(1);             // 1 death, 2 kill, 3 key (saved at once)
//   recording:    ex.SetRecordSwitch(true/false);
//   at the end:   ex.SetStopSwitch(); wait for vistrel to exit (code 0)
//   watch:        ex.Status() (1 running, 2 failed), ex.Heartbeat() (advances about every 10 ms)
#pragma once

#include <cstdint>
#include <string>

#include "exchange/layout.h"
#include "platform/shared_memory.h"

namespace host {

struct HostOptions {
  std::u16string outputFolder;            // clips and recordings go here (at most 519 units)
  std::int64_t clockFrequency = 10000000;  // ticks per second of the time stamps given to SubmitSlot
  bool log = false;                       // vistrel writes vistrel.log next to its executable
  bool record = false;                    // continuous recording from the start
};

class HostExchange {
 public:
  HostExchange() = default;
  ~HostExchange();
  HostExchange(const HostExchange&) = delete;
  HostExchange& operator=(const HostExchange&) = delete;

  // Creates the block (only this user can open it) and the event for hostPid. The header is set up
  // with the layout values, the switches and the folder.
  bool Create(std::uint32_t hostPid, const HostOptions& options);
  void Close();

  // The pixels of the slot whose turn it is, or null while vistrel still holds it.
  std::uint8_t* NextSlot();
  // Hands the slot from NextSlot to vistrel: time stamp first, then the state, then the event.
  void SubmitSlot(std::int64_t time);
  // Copies a whole 1280x720 BGRA frame (rows of stride bytes) and submits it; false while the slot
  // is taken.
  bool OfferFrame(const std::uint8_t* bgra, std::size_t stride, std::int64_t time);

  // A clip request: the kind first, then the count.
  void RaiseRequest(std::int32_t kind);
  void SetRecordSwitch(bool on);
  void SetStopSwitch();

  std::int32_t Status() const;
  std::uint32_t Heartbeat() const;
  // Frames vistrel has handed back.
  std::uint64_t FramesTaken() const;

  exchange::ExchangeHeader* Header() { return header_; }
  std::uint8_t* Block() { return block_.view; }

 private:
  std::u16string blockName_;
  std::u16string eventName_;
  platform::SharedBlock block_;
  platform::NamedEvent event_;
  exchange::ExchangeHeader* header_ = nullptr;
  int nextSlot_ = 0;
  std::uint64_t submitted_ = 0;
};

}  // namespace host
