#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/posix/posix_path.h"

extern char** environ;

namespace platform {

void PrepareErrorMode() {}

// handle holds a pidfd when the kernel has them; -1 with a pid means "poll with kill(pid, 0)".
bool OpenProcessForWait(std::uint32_t pid, ProcessHandle& process) {
  if (pid == 0 || pid > 0x7FFFFFFFu) return false;
  long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd >= 0) {
    process.handle = fd;
    process.pid = pid;
    return true;
  }
  if (errno == ESRCH) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  process.handle = -1;
  process.pid = pid;
  return true;
}

namespace {

// Whether the process has ended. kill(pid, 0) still reaches a process that has ended but that its
// parent has not reaped yet (a zombie), so its state in /proc decides as well. Where /proc cannot
// be read, kill alone decides.
bool ProcessEnded(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // "pid (name) S ...": the name may hold anything, ')' too, but it is at most 16 bytes and
  // nothing after it holds a ')', so the last ')' read ends it.
  char text[128];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return false;
  const std::string_view stat(text, static_cast<std::size_t>(n));
  const std::size_t end = stat.rfind(')');
  if (end == std::string_view::npos || end + 2 >= stat.size()) return false;
  const char state = stat[end + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

void WaitProcessEnd(ProcessHandle& process) {
  if (process.handle >= 0) {
    pollfd p{static_cast<int>(process.handle), POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    return;
  }
  while (!ProcessEnded(static_cast<pid_t>(process.pid))) ::usleep(100000);
}

void TerminateSelf(std::uint32_t code) { ::_exit(static_cast<int>(code & 0xFF)); }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool StartProcess(const std::u16string& exe, const std::vector<std::u16string>& args,
                  ProcessHandle& process) {
  std::vector<std::string> storage;
  storage.push_back(posix::NativePath(exe));
  for (const auto& a : args) storage.push_back(Utf8FromUtf16(a));
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  process.pid = static_cast<std::uint32_t>(pid);
  process.handle = pid;
  return true;
}

// An adopted process is marked by a negative handle: until its parent ends it is not our child
// yet, and waitpid answers ECHILD.
bool WaitProcessFor(ProcessHandle& process, std::uint32_t ms, std::uint32_t& exitCode) {
  const bool adopted = process.handle < 0;
  const auto pid = static_cast<pid_t>(process.pid);
  for (std::uint32_t waited = 0;; waited += 5) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      exitCode = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status))
                                   : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
      return true;
    }
    if (r < 0 && errno != EINTR && !(adopted && errno == ECHILD)) return false;
    if (waited >= ms) return false;
    ::usleep(5000);
  }
}

void BecomeChildReaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

bool AdoptProcess(std::uint32_t pid, ProcessHandle& process) {
  if (pid == 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return false;
  process.handle = -1;
  process.pid = pid;
  return true;
}

void SetStdinBinary() {}

void KillProcess(ProcessHandle& process) { ::kill(static_cast<pid_t>(process.pid), SIGKILL); }

void SetEnvironment(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace platform
