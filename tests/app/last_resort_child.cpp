// A process that fails the way no handler sees, after the entry point's preparations: the last
// resort must end it with 4 and mark the run failed in the host's block (argument 1, the host's
// process id). Argument 2 chooses the failure: "throw" (an exception leaves the main thread),
// "thread" (an exception leaves another thread), "abort" (abort()).
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "app/main_loop.h"
#include "exchange/exchange.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

void ThrowingThread(void*) { throw std::runtime_error("from a thread"); }

}  // namespace

int main(int argc, char** argv) {
  platform::PrepareErrorMode();
  PrepareLastResort();
  if (argc < 3) return 1;
  exchange::Exchange ex;
  if (!exchange::OpenExchange(static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)), ex)) return 2;
  SetLastResortBlock(ex.header);
  const std::string failure = argv[2];
  if (failure == "throw") throw std::runtime_error("from the main thread");
  if (failure == "thread" && platform::StartDetachedThread(ThrowingThread, nullptr)) {
    for (;;) platform::SleepMilliseconds(1000);
  }
  if (failure == "abort") std::abort();
  return 1;
}
