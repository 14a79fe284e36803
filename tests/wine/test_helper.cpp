// vistrel-test-helper.exe: the Windows side of the end-to-end tests under Wine (process_test.sh).
//
//   frames N [WxH]        writes N raw BGRA test pictures (frames 0 to N-1) of W x H pixels
//                         (default 1280x720) to standard output, to be encoded into a replayed
//                         stream
//   numbers [WxH]         reads W x (H / 9) 8-bit grey pictures (the top band of decoded W x H
//                         frames; default 1280x720) from standard input and prints each one's frame
//                         number, or "-" where the band holds none
//   hold SECONDS PATH...  opens each PATH for reading without delete sharing, prints "held", and
//                         keeps them open for SECONDS: another process holding files
//   fault KIND VISTREL    creates the host's block and event for this process's id with one fault,
//                         starts VISTREL --run <pid>, and prints vistrel's exit code and whether it
//                         left the block as it was; KIND is one of
//                           version   the header's version is 1
//                           short     the block is one page short of its size
//                           no-event  the block exists, the event does not
//                           rate      a version 3 block of 241 frames a second
//                           stride    a version 3 block whose stride is shorter than a row
//                         Exit code: vistrel's; 90 when it changed the block, 91 when it did not
//                         end within 30 s, 100 for a bad command line, 101 when setup failed.
//   kill-recording N VISTREL OUT
//                         hosts VISTREL with recording on into OUT, feeds it N test pictures (the
//                         fast clock: 1/30 s apart), waits until it has taken them all and a second
//                         more, and ends it with TerminateProcess, as a crash would; prints
//                         "fed N". Exit code 0, 101 when setup failed or vistrel did not come up.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exchange/exchange.h"
#include "exchange/layout.h"
#include "host/host_exchange.h"
#include "host/test_picture.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/text.h"

namespace {

constexpr int kUsage = 100;
constexpr int kSetupFailed = 101;

// "WxH", or the version 2 picture's size when absent; false when it is not a size the test
// picture can be drawn at.
bool ParseSize(const char* text, std::uint32_t& width, std::uint32_t& height) {
  width = exchange::kWidth;
  height = exchange::kHeight;
  if (text == nullptr) return true;
  unsigned w = 0, h = 0;
  char end = 0;
  if (std::sscanf(text, "%ux%u%c", &w, &h, &end) != 2 || w < 64 || h < 36 || w > 7680 || h > 4320) return false;
  width = w;
  height = h;
  return true;
}

int WriteFrames(long count, std::uint32_t width, std::uint32_t height) {
  _setmode(_fileno(stdout), _O_BINARY);
  const std::size_t stride = std::size_t{width} * 4;
  std::vector<std::uint8_t> frame(stride * height);
  for (long n = 0; n < count; ++n) {
    host::DrawTestPicture(frame.data(), width, height, stride, static_cast<std::uint32_t>(n));
    if (std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size()) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// The band is the top ninth of the picture; the reader looks at nothing below it.
int PrintNumbers(std::uint32_t width, std::uint32_t height) {
  platform::SetStdinBinary();
  std::vector<std::uint8_t> band(std::size_t{width} * (height / 9));
  while (std::fread(band.data(), 1, band.size(), stdin) == band.size()) {
    const auto n = host::ReadFrameNumber(band.data(), width, height, width);
    if (n) std::printf("%u\n", *n);
    else std::printf("-\n");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int Hold(long seconds, int count, char** paths) {
  std::vector<HANDLE> files;
  for (int i = 0; i < count; ++i) {
    const std::u16string wide = platform::Utf16FromUtf8(paths[i]);
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kSetupFailed;
    files.push_back(file);
  }
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  for (HANDLE file : files) CloseHandle(file);
  return 0;
}

int Fault(const std::string& kind, const char* vistrel) {
  const std::uint32_t pid = platform::CurrentProcessId();
  host::HostOptions options;
  options.log = true;
  // Version 3 blocks outside the limits: the host's header writes what it is given.
  if (kind == "rate") {
    options.stream = host::HostStream{};
    options.stream->frameRateNumerator = 241;
  } else if (kind == "stride") {
    options.stream = host::HostStream{};
    options.stream->width = 1920;
    options.stream->height = 1080;
    options.stream->stride = 1920 * 4 - 4;
  }
  host::HostExchange ex;
  if (!ex.Create(pid, options)) return kSetupFailed;
  std::vector<std::uint8_t> header(ex.Block(), ex.Block() + exchange::kFramesOffset);
  platform::SharedBlock block{ex.Block(), exchange::kBlockBytes, -1};
  platform::SharedBlock own;
  platform::NamedEvent event;
  if (kind == "version") {
    ex.Header()->version = 1;
  } else if (kind == "short" || kind == "no-event") {
    // The same header in a block of its own making.
    ex.Close();
    const std::size_t size = kind == "short" ? exchange::kBlockBytes - 4096 : exchange::kBlockBytes;
    if (!platform::CreateSharedBlock(exchange::BlockName(pid), size, own)) return kSetupFailed;
    std::memcpy(own.view, header.data(), header.size());
    if (kind == "short" && !platform::CreateNamedEvent(exchange::EventName(pid), event)) return kSetupFailed;
    block = platform::SharedBlock{own.view, size, own.mapping};
  } else if (kind == "rate" || kind == "stride") {
    block = platform::SharedBlock{ex.Block(), ex.BlockBytes(), -1};
  } else {
    return kUsage;
  }
  const std::vector<std::uint8_t> before(block.view, block.view + exchange::kFramesOffset);

  platform::ProcessHandle child;
  if (!platform::StartProcess(platform::Utf16FromUtf8(vistrel), {u"--run", platform::Utf16FromUtf8(std::to_string(pid))},
                              child)) {
    return kSetupFailed;
  }
  std::uint32_t code = 0;
  if (!platform::WaitProcessFor(child, 30000, code)) {
    platform::KillProcess(child);
    std::printf("vistrel did not end\n");
    return 91;
  }
  const bool unchanged = std::memcmp(before.data(), block.view, before.size()) == 0;
  std::printf("vistrel exit code: %u\nblock %s\n", code, unchanged ? "unchanged" : "changed");
  std::fflush(stdout);
  return unchanged ? static_cast<int>(code) : 90;
}

int KillRecording(long frames, const char* vistrel, const char* out) {
  const std::uint32_t pid = platform::CurrentProcessId();
  host::HostOptions options;
  options.log = true;
  options.record = true;
  options.outputFolder = platform::Utf16FromUtf8(out);
  host::HostExchange ex;
  if (!ex.Create(pid, options)) return kSetupFailed;
  platform::ProcessHandle child;
  if (!platform::StartProcess(platform::Utf16FromUtf8(vistrel), {u"--run", platform::Utf16FromUtf8(std::to_string(pid))},
                              child)) {
    return kSetupFailed;
  }
  for (int i = 0; i < 3000 && ex.Status() == 0; ++i) Sleep(10);
  if (ex.Status() != 1) {
    platform::KillProcess(child);
    return kSetupFailed;
  }
  std::vector<std::uint8_t> frame(exchange::kSlotBytes);
  long fed = 0;
  for (DWORD start = GetTickCount(); fed < frames && GetTickCount() - start < 60000;) {
    std::uint8_t* slot = ex.NextSlot();
    if (!slot) {
      Sleep(1);
      continue;
    }
    host::DrawTestPicture(slot, exchange::kStride, static_cast<std::uint32_t>(fed));
    ex.SubmitSlot(static_cast<std::int64_t>(fed) * 10000000 / 30);
    ++fed;
  }
  // Every slot taken back by vistrel, then a second for the encoder's output to reach the file.
  for (int i = 0; i < 3000 && !ex.NextSlot(); ++i) Sleep(10);
  Sleep(1000);
  platform::KillProcess(child);
  std::uint32_t code = 0;
  platform::WaitProcessFor(child, 30000, code);
  std::printf("fed %ld\n", fed);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  std::uint32_t width = 0, height = 0;
  if (command == "frames" && (argc == 3 || argc == 4) && ParseSize(argc == 4 ? argv[3] : nullptr, width, height)) {
    return WriteFrames(std::atol(argv[2]), width, height);
  }
  if (command == "numbers" && argc <= 3 && ParseSize(argc == 3 ? argv[2] : nullptr, width, height)) {
    return PrintNumbers(width, height);
  }
  if (command == "hold" && argc >= 4) return Hold(std::atol(argv[2]), argc - 3, argv + 3);
  if (command == "fault" && argc == 4) return Fault(argv[2], argv[3]);
  if (command == "kill-recording" && argc == 5) return KillRecording(std::atol(argv[2]), argv[3], argv[4]);
  std::fprintf(stderr,
               "usage: vistrel-test-helper frames N [WxH] | numbers [WxH] | hold SECONDS PATH... | fault KIND VISTREL | "
               "kill-recording N VISTREL OUT\n");
  return kUsage;
}
