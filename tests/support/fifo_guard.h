// POSIX tests of code that must never wait on a FIFO: the operation runs on a thread of its own,
// and a guard releases it if it waits all the same, so that the test fails instead of hanging.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

namespace testing_support {

inline bool MakeFifo(const std::filesystem::path& path) { return ::mkfifo(path.c_str(), 0666) == 0; }

// Runs op and tells whether it returned by itself. An open of a FIFO waits for the other end: one
// for reading waits for a writer, one for writing for a reader. When op has not returned after a
// long while, the guard plays both ends (its own opens do not wait), until op returns.
inline bool ReturnsByItself(const std::filesystem::path& fifo, const std::function<void()>& op) {
  std::promise<void> done;
  std::future<void> ended = done.get_future();
  std::thread runner([&] {
    op();
    done.set_value();
  });
  const bool byItself = ended.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  while (ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    for (int mode : {O_RDONLY | O_NONBLOCK, O_WRONLY | O_NONBLOCK}) {
      const int fd = ::open(fifo.c_str(), mode);
      if (fd >= 0) ::close(fd);
    }
  }
  runner.join();
  return byItself;
}

}  // namespace testing_support
