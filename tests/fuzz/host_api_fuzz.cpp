// The C host library under a sequence of calls with hostile arguments, as a game's bug (or a
// binding's) might make them, without a vistrel: a null handle, null and short buffers, strides
// and sizes of every value, times in any order, kinds and switches out of range, a second create,
// calls after a stop. The part of vistrel is played by freeing slots and writing its fields in a
// mapping of the block of our own, and by a program that ends at once (/bin/true), started and
// stopped, after which the handle takes no frame, request, switch or sound. After every call:
// - a refused call (a negative code) or BUSY left every byte of the block as it was;
// - the layout fields never change and the block still passes vistrel's own check;
// - a taken frame lies in the slot whose turn it was, with its time, and the times of taken frames
//   increase; a taken request raised the count by one with its kind; a taken switch reads 0 or 1;
//   frames_taken never tells of more frames than were taken.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "exchange/exchange.h"
#include "exchange/layout.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "vistrel_host.h"

namespace {

// Which invariant broke, then the abort the fuzzer reports.
#define Require(condition) Check((condition), __LINE__)
void Check(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "host_api_fuzz: invariant at line %d broken\n", line);
  std::abort();
}

// A field: any value, or more often one near its limits, so that inputs reach the calls.
std::uint32_t Field(FuzzedDataProvider& in, std::uint32_t low, std::uint32_t high) {
  return in.ConsumeIntegralInRange<int>(0, 3) == 0 ? in.ConsumeIntegral<std::uint32_t>()
                                                   : in.ConsumeIntegralInRange<std::uint32_t>(low, high);
}

// Options from the input, every field any value; only valid sizes beyond a small block are brought
// down, so that one input never maps hundreds of megabytes.
vistrel_host_options Options(FuzzedDataProvider& in) {
  vistrel_host_options o;
  std::memset(&o, 0, sizeof o);
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return o;  // version 2
  o.clock_frequency = in.ConsumeBool() ? 0 : in.ConsumeIntegral<std::int64_t>();
  o.width = Field(in, 318, 402);
  o.height = Field(in, 178, 242);
  o.stride = in.ConsumeBool() ? 0 : Field(in, 0, 2050);
  if (!in.ConsumeBool()) {
    o.frame_rate_numerator = Field(in, 0, 250);
    o.frame_rate_denominator = Field(in, 0, 3);
  }
  o.bit_rate = in.ConsumeBool() ? 0 : in.ConsumeIntegral<std::uint32_t>();
  o.pixel_format = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  o.sound = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  o.sound_packet_frames = in.ConsumeBool() ? 0 : Field(in, 238, 4802);
  o.sound_packet_count = in.ConsumeBool() ? 0 : Field(in, 2, 66);
  o.log = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  o.record = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    o.reserved[in.ConsumeIntegralInRange<int>(0, 7)] = in.ConsumeIntegral<std::uint32_t>();
  }
  if (o.width > 400 && o.width <= 3840) o.width = 400;
  if (o.height > 240 && o.height <= 2160) o.height = 240;
  if (o.stride > 2048 && o.stride <= 65536) o.stride = 2048;
  if (o.sound_packet_count > 64 && o.sound_packet_count < 100000) o.sound_packet_count = 64;
  return o;
}

struct Peek {
  platform::SharedBlock block;
  ~Peek() {
    if (block.view) {
      ::munmap(block.view, block.size);
      ::close(static_cast<int>(block.mapping));
    }
  }
  exchange::ExchangeHeader& Header() const { return *reinterpret_cast<exchange::ExchangeHeader*>(block.view); }
};

// The fields that describe the block's layout: no call may change them.
std::vector<std::uint8_t> Layout(const exchange::ExchangeHeader& h) {
  std::vector<std::uint8_t> bytes;
  auto add = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
  };
  add(&h.magic, 32);  // magic to framesOffset
  add(&h.clockFrequency, sizeof h.clockFrequency);
  add(&h.frameRateNumerator, 16);
  add(&h.sound, 40);  // present to ringBytes
  add(h.outputFolder, sizeof h.outputFolder);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const vistrel_host_options options = Options(in);
  const std::u16string name = exchange::BlockName(platform::CurrentProcessId());
  vistrel_host* h = nullptr;
  const vistrel_host_result made = vistrel_host_create("/tmp/vistrel-fuzz-out", &options, &h);
  if (made != VISTREL_HOST_OK) {
    Require(made < 0 && h == nullptr);
    platform::SharedBlock none;
    Require(!platform::OpenSharedBlock(name, none));
    return 0;
  }
  Peek peek;
  Require(platform::OpenSharedBlock(name, peek.block));
  exchange::ExchangeHeader& header = peek.Header();
  Require(exchange::CheckBlock(peek.block.view, peek.block.size));
  const std::vector<std::uint8_t> layout = Layout(header);
  const std::uint32_t width = header.width, height = header.height;
  const bool nv12 = header.version == exchange::kVersion3 && header.pixelFormat == exchange::kPixelFormatNv12;
  const std::size_t rowBytes = std::size_t{width} * (nv12 ? 1 : 4);
  const std::size_t slotBytes = std::size_t{header.stride} * (nv12 ? height * 3 / 2 : height);
  // A source larger than any packed frame, so that strides past a row have room; made once.
  static const std::vector<std::uint8_t> source = [] {
    std::vector<std::uint8_t> bytes(2 * exchange::kSlotBytes + 65536);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return bytes;
  }();
  static const std::vector<std::int16_t> pcm(2 * 9600, 3);
  static std::vector<std::uint8_t> before;

  int turn = 0;  // the slot a taken frame goes to
  std::uint64_t given = 0;  // frames taken by submit_frame
  bool stopped = false;     // started (a program that ends at once) and stopped
  bool anyTime = false;
  std::int64_t lastTime = 0;
  for (int calls = 0; calls < 32 && in.remaining_bytes() > 0; ++calls) {
    before.assign(peek.block.view, peek.block.view + peek.block.size);
    vistrel_host* target = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : h;
    vistrel_host_result r = VISTREL_HOST_OK;
    const int op = in.ConsumeIntegralInRange<int>(0, 10);
    switch (op) {
      case 0: {
        // Strides and sizes of any value, but most often around what the frame needs.
        const int strideKind = in.ConsumeIntegralInRange<int>(0, 3);
        const std::uint32_t stride = strideKind < 2 ? 0
                                     : strideKind == 2 ? static_cast<std::uint32_t>(rowBytes) + in.ConsumeIntegralInRange<std::uint32_t>(0, 64) - 2
                                                       : in.ConsumeIntegralInRange<std::uint32_t>(0, 70000);
        const std::uint64_t step = stride == 0 ? rowBytes : stride;
        const std::uint64_t needed = (nv12 ? height * 3 / 2 - 1 : height - 1) * step + rowBytes;
        const int bytesKind = in.ConsumeIntegralInRange<int>(0, 3);
        const std::uint64_t bytes = bytesKind < 2 ? needed - in.ConsumeIntegralInRange<std::uint64_t>(0, 1)
                                    : bytesKind == 2 ? in.ConsumeIntegral<std::uint64_t>()
                                                     : in.ConsumeIntegralInRange<std::uint64_t>(0, source.size());
        // Near the last taken time (wrapping, as a caller's arithmetic might) or anywhere.
        const std::int64_t time =
            in.ConsumeBool() ? static_cast<std::int64_t>(static_cast<std::uint64_t>(lastTime) +
                                                         in.ConsumeIntegralInRange<std::uint64_t>(0, 400000) - 2)
                             : in.ConsumeIntegral<std::int64_t>();
        // The call may read up to bytes: never more than the buffer holds.
        const bool fits = bytes <= source.size();
        const std::uint8_t* pixels = in.ConsumeIntegralInRange<int>(0, 7) == 0 || !fits ? nullptr : source.data();
        r = vistrel_host_submit_frame(target, pixels, fits ? bytes : 0, stride, time);
        if (r == VISTREL_HOST_OK) {
          Require(target && pixels);
          Require(!anyTime || time > lastTime);
          Require(header.slotState[turn] == 1 && header.slotTime[turn] == time);
          const std::uint8_t* slot = peek.block.view + exchange::kFramesOffset + turn * slotBytes;
          Require(std::memcmp(slot, source.data(), rowBytes) == 0);
          const std::size_t lastRow = (nv12 ? height * 3 / 2 : height) - 1;
          Require(lastRow * step + rowBytes <= bytes);
          Require(std::memcmp(slot + lastRow * header.stride, source.data() + lastRow * step, rowBytes) == 0);
          anyTime = true;
          lastTime = time;
          turn = (turn + 1) % 3;
          ++given;
        }
        break;
      }
      case 1: {
        const std::int32_t kind = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(-1, 5)
                                                   : in.ConsumeIntegral<std::int32_t>();
        const std::int32_t count = header.requestCount;
        r = vistrel_host_request_clip(target, kind);
        if (r == VISTREL_HOST_OK) Require(header.requestKind == kind && header.requestCount == count + 1);
        break;
      }
      case 2: {
        const std::int32_t on = in.ConsumeIntegralInRange<std::int32_t>(-2, 3);
        r = vistrel_host_set_record(target, on);
        if (r == VISTREL_HOST_OK) Require(header.recordSwitch == on);
        break;
      }
      case 3: {
        const std::uint64_t frames = in.ConsumeBool() ? in.ConsumeIntegral<std::uint64_t>()
                                                      : in.ConsumeIntegralInRange<std::uint64_t>(0, 9600);
        const std::int64_t time = in.ConsumeIntegral<std::int64_t>();
        const bool fits = frames <= 9600;
        r = vistrel_host_submit_audio(target, in.ConsumeBool() || !fits ? nullptr : pcm.data(), frames, time);
        break;
      }
      case 4: {
        // vistrel takes a frame: the slot whose turn it is becomes free.
        for (int i = 0; i < 3; ++i) {
          if (header.slotState[i] == 1 && in.ConsumeBool()) header.slotState[i] = 0;
        }
        continue;
      }
      case 5: {
        std::int32_t status = 0;
        std::uint32_t beat = 0;
        r = vistrel_host_read_status(target, in.ConsumeBool() ? &status : nullptr, in.ConsumeBool() ? &beat : nullptr);
        break;
      }
      case 6: {
        std::int32_t alive = -1;
        r = vistrel_host_alive(target, in.ConsumeIntegral<std::uint32_t>(), in.ConsumeBool() ? &alive : nullptr);
        if (r == VISTREL_HOST_OK) Require(alive == 0);  // never started
        break;
      }
      case 7: {
        // Before a start, stop has nothing to wait for; after one it gives the code again.
        std::int32_t code = -1;
        r = vistrel_host_stop(target, 0, &code);
        Require(stopped ? (!target || (r == VISTREL_HOST_OK && code == 0)) : r != VISTREL_HOST_OK);
        break;
      }
      case 10: {
        // A vistrel that ends at once, started and stopped: from then on the handle takes nothing.
        if (stopped || !target) continue;
        r = vistrel_host_start(target, "/bin/true");
        Require(r == VISTREL_HOST_OK);
        std::int32_t code = -1;
        r = vistrel_host_stop(target, 0xFFFFFFFFu, &code);
        Require(r == VISTREL_HOST_OK && code == 0 && header.stopSwitch == 1);
        stopped = true;
        continue;
      }
      case 8: {
        vistrel_host* second = nullptr;
        const vistrel_host_options more = Options(in);
        r = vistrel_host_create("/tmp/vistrel-fuzz-out", &more, &second);
        Require(r < 0 && second == nullptr);
        break;
      }
      case 9: {
        std::uint64_t taken = 0;
        r = vistrel_host_frames_taken(target, in.ConsumeBool() ? &taken : nullptr);
        if (r == VISTREL_HOST_OK) Require(taken <= given);
        break;
      }
    }
    if (!target && op != 8) Require(r == VISTREL_HOST_E_NULL_HANDLE);  // create takes no handle
    if (target && stopped && op <= 3) Require(r == VISTREL_HOST_E_STOPPED);
    if (r < 0 || r == VISTREL_HOST_BUSY) {
      Require(std::memcmp(before.data(), peek.block.view, before.size()) == 0);
    }
    Require(Layout(header) == layout);
    Require(exchange::CheckBlock(peek.block.view, peek.block.size));
    Require(header.recordSwitch == 0 || header.recordSwitch == 1);
    Require(header.requestKind >= 0 && header.requestKind <= 3);
  }
  Require(vistrel_host_destroy(h) == VISTREL_HOST_OK);
  return 0;
}
