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

[[noreturn]] void Run(const std::vector<std::u16string>& args) {
  const CommandLine line = ParseCommandLine(args);
  std::uint32_t code = kExitFailed;
  if (line.mode == Mode::Probe) code = RunProbe();
  else if (line.mode == Mode::Run) code = RunMainLoop(line.hostPid);
  // Every end goes through here (or the host watcher): no clean-up runs after it.
  platform::TerminateSelf(code);
}

}  // namespace

#if defined(_WIN32)
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::PrepareErrorMode();
  std::vector<std::u16string> args;
  int argc = 0;
  if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc)) {
    for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  }
  Run(args);
}
#else
int main(int argc, char** argv) {
  platform::PrepareErrorMode();
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.push_back(platform::Utf16FromUtf8(argv[i]));
  Run(args);
}
#endif
