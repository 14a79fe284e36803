#include "host/host_exchange.h"

#include <algorithm>
#include <cstring>

#include "exchange/exchange.h"
#include "platform/atomic.h"

namespace host {

HostExchange::~HostExchange() { Close(); }

bool HostExchange::Create(std::uint32_t hostPid, const HostOptions& options) {
  Close();
  blockName_ = exchange::BlockName(hostPid);
  eventName_ = exchange::EventName(hostPid);
  if (!platform::CreateSharedBlock(blockName_, exchange::kBlockBytes, block_)) return false;
  if (!platform::CreateNamedEvent(eventName_, event_)) {
    platform::CloseSharedBlock(blockName_, block_);
    return false;
  }
  header_ = reinterpret_cast<exchange::ExchangeHeader*>(block_.view);
  std::memset(header_, 0, sizeof *header_);
  header_->magic = exchange::kMagic;
  header_->version = exchange::kVersion;
  header_->width = exchange::kWidth;
  header_->height = exchange::kHeight;
  header_->stride = exchange::kStride;
  header_->slotCount = exchange::kSlotCount;
  header_->framesOffset = exchange::kFramesOffset;
  header_->clockFrequency = options.clockFrequency;
  header_->logSwitch = options.log ? 1 : 0;
  header_->recordSwitch = options.record ? 1 : 0;
  const std::size_t n = std::min(options.outputFolder.size(), exchange::kOutputFolderUnits - 1);
  std::copy_n(options.outputFolder.begin(), n, header_->outputFolder);
  nextSlot_ = 0;
  submitted_ = 0;
  return true;
}

void HostExchange::Close() {
  if (block_.view) platform::CloseSharedBlock(blockName_, block_);
  if (event_.handle != -1) platform::CloseNamedEvent(eventName_, event_);
  header_ = nullptr;
}

std::uint8_t* HostExchange::NextSlot() {
  if (!header_ || platform::AtomicLoad(header_->slotState[nextSlot_]) != 0) return nullptr;
  // vistrel stored 0 after its last read of the slot: nothing of ours may be written before that.
  platform::FullBarrier();
  return block_.view + exchange::kFramesOffset + static_cast<std::size_t>(nextSlot_) * exchange::kSlotBytes;
}

void HostExchange::SubmitSlot(std::int64_t time) {
  header_->slotTime[nextSlot_] = time;
  platform::AtomicExchange(header_->slotState[nextSlot_], 1);
  platform::SignalNamedEvent(event_);
  nextSlot_ = (nextSlot_ + 1) % static_cast<int>(exchange::kSlotCount);
  ++submitted_;
}

bool HostExchange::OfferFrame(const std::uint8_t* bgra, std::size_t stride, std::int64_t time) {
  std::uint8_t* slot = NextSlot();
  if (!slot) return false;
  for (std::uint32_t y = 0; y < exchange::kHeight; ++y) {
    std::memcpy(slot + y * exchange::kStride, bgra + y * stride, exchange::kStride);
  }
  SubmitSlot(time);
  return true;
}

void HostExchange::RaiseRequest(std::int32_t kind) {
  platform::AtomicExchange(header_->requestKind, kind);
  platform::AtomicIncrement(header_->requestCount);
}

void HostExchange::SetRecordSwitch(bool on) { platform::AtomicExchange(header_->recordSwitch, on ? 1 : 0); }

void HostExchange::SetStopSwitch() { platform::AtomicExchange(header_->stopSwitch, 1); }

std::int32_t HostExchange::Status() const { return header_ ? platform::AtomicLoad(header_->status) : 0; }

std::uint32_t HostExchange::Heartbeat() const {
  return header_ ? platform::AtomicLoad(header_->heartbeat) : 0;
}

std::uint64_t HostExchange::FramesTaken() const {
  if (!header_) return 0;
  std::uint64_t pending = 0;
  for (int i = 0; i < static_cast<int>(exchange::kSlotCount); ++i) {
    if (platform::AtomicLoad(header_->slotState[i]) != 0) ++pending;
  }
  return submitted_ - pending;
}

}  // namespace host
