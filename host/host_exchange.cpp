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
  }
  // The sound ring follows the slots, at a multiple of 64 bytes.
  std::uint64_t ringOffset = 0, ringBytes = 0, packetBytes = 0;
  if (options.sound) {
    if (!options.stream || options.soundPacketFrames == 0 || options.soundPacketCount == 0) return false;
    packetBytes = exchange::kSoundPacketHeaderBytes + std::uint64_t{options.soundPacketFrames} * exchange::kSoundFrameBytes;
    ringOffset = (blockBytes + 63) / 64 * 64;
    ringBytes = std::uint64_t{options.soundPacketCount} * packetBytes;
    blockBytes = ringOffset + ringBytes;
  }
  if (blockBytes > SIZE_MAX) return false;
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
  if (options.sound) {
    exchange::SoundHeader& sound = header_->sound;
    sound.present = exchange::kSoundPresent;
    sound.rate = exchange::kSoundRate;
    sound.channels = exchange::kSoundChannels;
    sound.bitsPerSample = exchange::kSoundBitsPerSample;
    sound.packetFrames = options.soundPacketFrames;
    sound.packetCount = options.soundPacketCount;
    sound.ringOffset = ringOffset;
    sound.ringBytes = ringBytes;
    soundRing_ = block_.view + ringOffset;
    soundPacketFrames_ = options.soundPacketFrames;
    soundPacketCount_ = options.soundPacketCount;
    soundPacketBytes_ = static_cast<std::size_t>(packetBytes);
    // No packet is whole until written: a fresh mapping's zeros would read as packet 0.
    for (std::uint32_t i = 0; i < soundPacketCount_; ++i) {
      auto* head = reinterpret_cast<exchange::SoundPacketHeader*>(soundRing_ + i * soundPacketBytes_);
      head->sequence = exchange::kSoundSequenceWriting;
    }
  }
  clockFrequency_ = options.clockFrequency;
  audioWritten_ = 0;
  audioPending_.clear();
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
  soundRing_ = nullptr;
}

std::int64_t HostExchange::AudioTicks(std::uint64_t frames) const {
  if (clockFrequency_ <= 0) return 0;
  const auto f = static_cast<std::uint64_t>(clockFrequency_);
  return static_cast<std::int64_t>(frames / exchange::kSoundRate * f +
                                   static_cast<std::uint64_t>(static_cast<double>(frames % exchange::kSoundRate) *
                                                              static_cast<double>(f) / exchange::kSoundRate));
}

void HostExchange::WriteAudioPacket() {
  const std::uint64_t number = audioWritten_;
  std::uint8_t* packet = soundRing_ + static_cast<std::size_t>(number % soundPacketCount_) * soundPacketBytes_;
  auto* head = reinterpret_cast<exchange::SoundPacketHeader*>(packet);
  // The packet reads as being written before any of it changes, and as whole only after all of it
  // has: a reader that sees the same number before and after its copy has the whole packet.
  platform::AtomicStore(head->sequence, exchange::kSoundSequenceWriting);
  platform::FullBarrier();
  platform::RelaxedStore(head->time, audioPendingTime_);
  auto* words = reinterpret_cast<std::uint32_t*>(packet + exchange::kSoundPacketHeaderBytes);
  for (std::uint32_t i = 0; i < soundPacketFrames_; ++i) platform::RelaxedStore(words[i], audioPending_[i]);
  platform::AtomicStore(head->sequence, number);
  platform::AtomicStore(header_->sound.packetsWritten, number + 1);
  ++audioWritten_;
  audioPending_.clear();
}

bool HostExchange::OfferAudio(const std::int16_t* pcm, std::size_t frames, std::int64_t time) {
  if (!soundRing_) return false;
  if (!audioPending_.empty()) {
    const std::int64_t continues = audioPendingTime_ + AudioTicks(audioPending_.size());
    // In unsigned arithmetic: two times at the ends of the clock's range are further apart than
    // a signed difference holds.
    const std::uint64_t apart = time > continues
                                    ? static_cast<std::uint64_t>(time) - static_cast<std::uint64_t>(continues)
                                    : static_cast<std::uint64_t>(continues) - static_cast<std::uint64_t>(time);
    if (apart > static_cast<std::uint64_t>(AudioTicks(soundPacketFrames_))) {
      audioPending_.resize(soundPacketFrames_, 0);
      WriteAudioPacket();
    }
  }
  for (std::size_t i = 0; i < frames; ++i) {
    if (audioPending_.empty()) audioPendingTime_ = time + AudioTicks(i);
    std::uint32_t word;
    std::memcpy(&word, pcm + i * exchange::kSoundChannels, sizeof word);
    audioPending_.push_back(word);
    if (audioPending_.size() == soundPacketFrames_) WriteAudioPacket();
  }
  return true;
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
  // The states are vistrel's to write: never report more frames handed back than were given.
  return pending > submitted_ ? 0 : submitted_ - pending;
}

}  // namespace host
