#include "platform/process.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/text.h"
#include "platform/win32/win32.h"

namespace platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::Wide;

void PrepareErrorMode() {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // The C runtime's own fatal messages (abort(), a pure virtual call) go to standard error, which a
  // windowed program does not have, instead of into a message box.
  _set_error_mode(_OUT_TO_STDERR);
  // A runtime that also reports abort() to Windows Error Reporting, whose dialog the error mode does
  // not cover, is told not to. The runtime this program uses may lack the call: it is looked up.
  using SetAbortBehavior = unsigned int(__cdecl*)(unsigned int, unsigned int);
  for (const wchar_t* runtime : {L"msvcrt.dll", L"ucrtbase.dll"}) {
    const HMODULE module = ::GetModuleHandleW(runtime);
    if (!module) continue;
    const FARPROC found = ::GetProcAddress(module, "_set_abort_behavior");
    if (!found) continue;
    SetAbortBehavior setAbortBehavior = nullptr;
    static_assert(sizeof setAbortBehavior == sizeof found);
    std::memcpy(&setAbortBehavior, &found, sizeof found);
    setAbortBehavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
  }
}

bool OpenProcessForWait(std::uint32_t pid, ProcessHandle& process) {
  HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  process.handle = FromHandle(h);
  process.pid = pid;
  return true;
}

void WaitProcessEnd(ProcessHandle& process) { ::WaitForSingleObject(ToHandle(process.handle), INFINITE); }

void TerminateSelf(std::uint32_t code) {
  ::TerminateProcess(::GetCurrentProcess(), code);
  ::ExitProcess(code);  // not reached: TerminateProcess of the current process does not return
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

namespace {
// Quotes one argument so that the child's CommandLineToArgvW gives it back unchanged.
void AppendQuoted(std::u16string& line, const std::u16string& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string::npos) {
    line += arg;
    return;
  }
  line += u'"';
  std::size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') line.append(backslashes * 2 + 1, u'\\');
    else line.append(backslashes, u'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, u'\\');
  line += u'"';
}
}  // namespace

bool StartProcess(const std::u16string& exe, const std::vector<std::u16string>& args,
                  ProcessHandle& process) {
  std::u16string line;
  AppendQuoted(line, exe);
  for (const auto& a : args) {
    line += u' ';
    AppendQuoted(line, a);
  }
  std::wstring mutableLine(line.begin(), line.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(Wide(exe), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
    return false;
  }
  ::CloseHandle(pi.hThread);
  process.handle = FromHandle(pi.hProcess);
  process.pid = pi.dwProcessId;
  return true;
}

bool WaitProcessFor(ProcessHandle& process, std::uint32_t ms, std::uint32_t& exitCode) {
  if (::WaitForSingleObject(ToHandle(process.handle), ms) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!::GetExitCodeProcess(ToHandle(process.handle), &code)) return false;
  exitCode = code;
  return true;
}

void KillProcess(ProcessHandle& process) { ::TerminateProcess(ToHandle(process.handle), 9); }

void BecomeChildReaper() {}

bool AdoptProcess(std::uint32_t pid, ProcessHandle& process) {
  HANDLE h = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  process.handle = FromHandle(h);
  process.pid = pid;
  return true;
}

void SetStdinBinary() { _setmode(_fileno(stdin), _O_BINARY); }

void SetEnvironment(const std::string& name, const std::string& value) {
  ::SetEnvironmentVariableW(Wide(Utf16FromUtf8(name)), Wide(Utf16FromUtf8(value)));
}

}  // namespace platform
