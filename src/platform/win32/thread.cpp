#include "platform/thread.h"

#include <atomic>
#include <new>

#include "platform/win32/win32.h"

namespace platform {

namespace {
std::atomic<bool> threadStartsRefused{false};

struct Start {
  ThreadFunction function;
  void* argument;
};

DWORD WINAPI ThreadMain(LPVOID p) {
  Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.function(start.argument);
  return 0;
}
}  // namespace

void RefuseThreadStartsForTesting(bool refuse) { threadStartsRefused.store(refuse); }

bool StartDetachedThread(ThreadFunction function, void* argument) {
  if (threadStartsRefused.load()) return false;
  auto* start = new (std::nothrow) Start{function, argument};
  if (!start) return false;
  HANDLE h = ::CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
  if (!h) {
    delete start;
    return false;
  }
  ::CloseHandle(h);
  return true;
}

void SleepMilliseconds(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace platform
