// vistrel's entry point: a windowed program that never opens a window.
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/main_loop.h"
#include "platform/process.h"
#include "platform/text.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// Runs the mode the command line names and ends the process with its code. Whatever is thrown on
// the way and not caught by the run itself (before the exchange is open, or in the probe) is a
// failure like any other: code 4, nothing written anywhere.
template <typename Arguments>
[[noreturn]] void Run(Arguments arguments) noexcept {
  std::uint32_t code = kExitFailed;
  try {
    const CommandLine line = ParseCommandLine(arguments());
    if (line.mode == Mode::Probe) code = RunProbe();
    else if (line.mode == Mode::Run) code = RunMainLoop(line.hostPid);
  } catch (...) {
    code = kExitFailed;
  }
  // Every end goes through here (or the host watcher, or the last resort): no clean-up runs after it.
  platform::TerminateSelf(code);
}

}  // namespace

#if defined(_WIN32)
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::PrepareErrorMode();
  PrepareLastResort();
  Run([] {
    std::vector<std::u16string> args;
    int argc = 0;
    if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc)) {
      for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    }
    return args;
  });
}
#else
int main(int argc, char** argv) {
  platform::PrepareErrorMode();
  PrepareLastResort();
  Run([argc, argv] {
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i) args.push_back(platform::Utf16FromUtf8(argv[i]));
    return args;
  });
}
#endif
