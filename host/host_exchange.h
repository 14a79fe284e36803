// The host's half of the shared frame exchange: what a game needs to drive vistrel.
//
//   host::HostExchange ex;
//   ex.Create(GetCurrentProcessId(), options);   // the block and the event, named after the host
//   start "vistrel --run <host pid>"
//   every frame:  if (uint8_t* p = ex.NextSlot()) { copy the frame into p; ex.SubmitSlot(time); }
//                 (or ex.OfferFrame(pixels, stride, time), which copies row by row)
//   a clip:       ex.RaiseRequest(1);             // 1 death, 2 kill, 3 key (saved at once)
//   recording:    ex.SetRecordSwitch(true/false);
//   at the end:   ex.SetStopSwitch(); wait for vistrel to exit (code 0)
//   sound:        ex.OfferAudio(pcm, frames, time);  // version 3 with options.sound: 48 kHz stereo PCM
//   watch:        ex.Status() (1 running, 2 failed), ex.Heartbeat() (advances about every 10 ms)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exchange/layout.h"
#include "platform/shared_memory.h"

namespace host {

// The stream of a version 3 block: the game's own picture size, frame rate and pixel format.
// vistrel refuses a block outside its limits (docs/PROTOCOL.md); Create writes what it is given.
struct HostStream {
  std::uint32_t width = 1280;  // even, 320..3840
  std::uint32_t height = 720;  // even, 180..2160
  // Bytes between rows of a slot, a multiple of 4; 0: the row's own bytes (4 x width for BGRA,
  // width rounded up to a multiple of 4 for NV12).
  std::uint32_t stride = 0;
  std::uint32_t frameRateNumerator = 30;  // frames per second = numerator / denominator, 1..240
  std::uint32_t frameRateDenominator = 1;
  std::uint32_t bitRate = 0;  // bit/s; 0: vistrel chooses
  std::uint32_t pixelFormat = exchange::kPixelFormatBgra;  // or exchange::kPixelFormatNv12

  // The stride Create writes.
  std::uint32_t RowStride() const;
  // Bytes of one slot: height rows (NV12: and height / 2 chroma rows), RowStride() apart.
  std::uint64_t SlotBytes() const;
};

struct HostOptions {
  std::u16string outputFolder;            // clips and recordings go here (at most 519 units)
  std::int64_t clockFrequency = 10000000;  // ticks per second of the time stamps given to SubmitSlot
  bool log = false;                       // vistrel writes vistrel.log next to its executable
  bool record = false;                    // continuous recording from the start
  // Empty: a version 2 block (1280 x 720 BGRA, rows 5120 bytes apart, 30 frames a second).
  // Given: a version 3 block of that stream.
  std::optional<HostStream> stream;
  // Version 3 only: the game's sound goes into a ring after the slots, in packets of
  // soundPacketFrames frames (even, 240..4800), soundPacketCount of them (at least 4; the ring
  // holds at most 32 MiB). vistrel reads them without the host ever waiting.
  bool sound = false;
  std::uint32_t soundPacketFrames = 480;  // 10 ms
  std::uint32_t soundPacketCount = 400;   // 4 s
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
  // Copies a whole frame in the block's pixel format and submits it; false while the slot is taken.
  // BGRA: height rows of 4 x width bytes; NV12: height luma rows then height / 2 chroma rows of
  // width bytes. Source rows are stride bytes apart (any stride at least the row's bytes).
  bool OfferFrame(const std::uint8_t* pixels, std::size_t stride, std::int64_t time);
  // An NV12 frame whose planes lie apart, as a read-back of two GPU planes gives them.
  bool OfferNv12Frame(const std::uint8_t* luma, std::size_t lumaStride, const std::uint8_t* chroma,
                      std::size_t chromaStride, std::int64_t time);

  // Sound (a block created with options.sound): frames of 48 kHz PCM, 2 interleaved 16-bit samples
  // each (left, right), the first at time (in the clock of SubmitSlot). Cut into packets; frames
  // short of a packet wait for the next call. Sound offered more than a packet away from where the
  // waiting frames end starts anew: the waiting frames go out first, filled up with silence. The
  // oldest packets are overwritten; never waits. False without sound.
  bool OfferAudio(const std::int16_t* pcm, std::size_t frames, std::int64_t time);
  // Packets written so far.
  std::uint64_t AudioPacketsWritten() const { return audioWritten_; }

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
  // The block's size and its stream (version 2: the fixed one, with its bit rate left 0).
  std::size_t BlockBytes() const { return block_.size; }
  const HostStream& Stream() const { return stream_; }
  // How long frames of sound last, in ticks of the block's clock.
  std::int64_t AudioTicks(std::uint64_t frames) const;

 private:
  std::u16string blockName_;
  std::u16string eventName_;
  platform::SharedBlock block_;
  platform::NamedEvent event_;
  exchange::ExchangeHeader* header_ = nullptr;
  HostStream stream_;
  std::size_t slotBytes_ = 0;
  int nextSlot_ = 0;
  std::uint64_t submitted_ = 0;

  void WriteAudioPacket();
  std::int64_t clockFrequency_ = 0;
  std::uint8_t* soundRing_ = nullptr;
  std::uint32_t soundPacketFrames_ = 0;
  std::uint32_t soundPacketCount_ = 0;
  std::size_t soundPacketBytes_ = 0;
  std::uint64_t audioWritten_ = 0;
  std::vector<std::uint32_t> audioPending_;  // frames short of a packet, one word each
  std::int64_t audioPendingTime_ = 0;        // the time of the first of them
};

}  // namespace host
