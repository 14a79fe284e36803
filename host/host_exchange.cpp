#include "host/host_exchange.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "exchange/exchange.h"
#include "platform/atomic.h"

namespace host {

std::uint32_t HostStream::RowStride() const {
  if (stride != 0) return stride;
  return pixelFormat == exchange::kPixelFormatNv12 ? (width + 3) / 4 * 4 : width * 4;
}

std::uint64_t HostStream::SlotBytes() const {
  const std::uint64_t rows = pixelFormat == exchange::kPixelFormatNv12 ? std::uint64_t{height} * 3 / 2 : height;
  return rows * RowStride();
}

HostExchange::~HostExchange() { Close(); }

bool HostExchange::Create(std::uint32_t hostPid, const HostOptions& options) {
  Close();
  HostStream stream;
  stream.stride = exchange::kStride;
  std::uint64_t blockBytes = exchange::kBlockBytes;
  if (options.stream) {
    stream = *options.stream;
    stream.stride = stream.RowStride();
    blockBytes = exchange::kFramesOffset + exchange::kSlotCount * stream.SlotBytes();
    if (blockBytes > SIZE_MAX) return false;
  }
  blockName_ = exchange::BlockName(hostPid);
  eventName_ = exchange::EventName(hostPid);
  if (!platform::CreateSharedBlock(blockName_, static_cast<std::size_t>(blockBytes), block_)) return false;
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
  if (options.stream) {
    header_->version = exchange::kVersion3;
    header_->width = stream.width;
    header_->height = stream.height;
    header_->stride = stream.stride;
    header_->frameRateNumerator = stream.frameRateNumerator;
    header_->frameRateDenominator = stream.frameRateDenominator;
    header_->bitRate = stream.bitRate;
    header_->pixelFormat = stream.pixelFormat;
  }
  header_->clockFrequency = options.clockFrequency;
  header_->logSwitch = options.log ? 1 : 0;
  header_->recordSwitch = options.record ? 1 : 0;
  const std::size_t n = std::min(options.outputFolder.size(), exchange::kOutputFolderUnits - 1);
  std::copy_n(options.outputFolder.begin(), n, header_->outputFolder);
  stream_ = stream;
  slotBytes_ = static_cast<std::size_t>(stream.SlotBytes());
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
  return block_.view + exchange::kFramesOffset + static_cast<std::size_t>(nextSlot_) * slotBytes_;
}

void HostExchange::SubmitSlot(std::int64_t time) {
  header_->slotTime[nextSlot_] = time;
  platform::AtomicExchange(header_->slotState[nextSlot_], 1);
  platform::SignalNamedEvent(event_);
  nextSlot_ = (nextSlot_ + 1) % static_cast<int>(exchange::kSlotCount);
  ++submitted_;
}

bool HostExchange::OfferFrame(const std::uint8_t* pixels, std::size_t stride, std::int64_t time) {
  if (stream_.pixelFormat == exchange::kPixelFormatNv12) {
    return OfferNv12Frame(pixels, stride, pixels + stride * stream_.height, stride, time);
  }
  std::uint8_t* slot = NextSlot();
  if (!slot) return false;
  const std::size_t rowBytes = std::size_t{stream_.width} * 4;
  for (std::uint32_t y = 0; y < stream_.height; ++y) {
    std::memcpy(slot + std::size_t{y} * stream_.stride, pixels + y * stride, rowBytes);
  }
  SubmitSlot(time);
  return true;
}

bool HostExchange::OfferNv12Frame(const std::uint8_t* luma, std::size_t lumaStride, const std::uint8_t* chroma,
                                  std::size_t chromaStride, std::int64_t time) {
  if (stream_.pixelFormat != exchange::kPixelFormatNv12) return false;
  std::uint8_t* slot = NextSlot();
  if (!slot) return false;
  const std::size_t rowBytes = stream_.width;
  for (std::uint32_t y = 0; y < stream_.height; ++y) {
    std::memcpy(slot + std::size_t{y} * stream_.stride, luma + y * lumaStride, rowBytes);
  }
  std::uint8_t* chromaRows = slot + std::size_t{stream_.height} * stream_.stride;
  for (std::uint32_t y = 0; y < stream_.height / 2; ++y) {
    std::memcpy(chromaRows + std::size_t{y} * stream_.stride, chroma + y * chromaStride, rowBytes);
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
