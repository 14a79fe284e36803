// Processes: the host's process, this process's own end, and (for the host side) child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ProcessHandle {
  std::intptr_t handle = -1;
  std::uint32_t pid = 0;
};

// Stops the system and the C runtime from showing error dialogs for this process, abort() included
// (no-op where there are none).
void PrepareErrorMode();

// Opens another process only to wait for its end. False when no such process can be opened.
bool OpenProcessForWait(std::uint32_t pid, ProcessHandle& process);

// Returns when the process has ended.
void WaitProcessEnd(ProcessHandle& process);

// Ends this process at once with the code; nothing else runs (no static destructors).
[[noreturn]] void TerminateSelf(std::uint32_t code);

std::uint32_t CurrentProcessId();

// Host side: starts exe with the arguments (argument 0 is added). The child inherits the
// environment.
bool StartProcess(const std::u16string& exe, const std::vector<std::u16string>& args,
                  ProcessHandle& process);

// Waits at most ms for the child to end; true with its exit code when it has.
bool WaitProcessFor(ProcessHandle& process, std::uint32_t ms, std::uint32_t& exitCode);

// Ends the child at once.
void KillProcess(ProcessHandle& process);

// Host side, for watching a grandchild after its parent (a child of ours) has ended: call
// BecomeChildReaper before starting the child, then AdoptProcess with the grandchild's id;
// WaitProcessFor then also reports its exit code.
void BecomeChildReaper();
bool AdoptProcess(std::uint32_t pid, ProcessHandle& process);

// Reads standard input as bytes, without any newline translation.
void SetStdinBinary();

// Sets a variable in this process's environment, which children inherit.
void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace platform
