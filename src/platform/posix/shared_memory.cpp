#include "platform/shared_memory.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/posix/posix_path.h"

namespace platform {

using posix::NativeObjectName;

bool OpenSharedBlock(const std::u16string& name, SharedBlock& block) {
  int fd = ::shm_open(NativeObjectName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st {};
  // The names live in one folder that every local user can create in: a block that some other
  // user made, or that others may open, is not the host's, and its frames, switches and output
  // folder are not to be trusted.
  if (::fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    ::close(fd);
    return false;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  block.view = static_cast<std::uint8_t*>(view);
  block.size = size;
  block.mapping = fd;
  return true;
}

bool CreateSharedBlock(const std::u16string& name, std::size_t size, SharedBlock& block) {
  const std::string native = NativeObjectName(name);
  ::shm_unlink(native.c_str());  // a block left by an earlier host of the same id
  int fd = ::shm_open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // The memory is reserved now: a shared-memory file system too small for the block (a container's
  // /dev/shm) refuses it here, rather than ending the host with SIGBUS at its first write beyond
  // what is left.
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    ::shm_unlink(native.c_str());
    return false;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    ::close(fd);
    ::shm_unlink(native.c_str());
    return false;
  }
  block.view = static_cast<std::uint8_t*>(view);
  block.size = size;
  block.mapping = fd;
  return true;
}

void CloseSharedBlock(const std::u16string& name, SharedBlock& block) {
  if (block.view) ::munmap(block.view, block.size);
  if (block.mapping >= 0) ::close(static_cast<int>(block.mapping));
  ::shm_unlink(NativeObjectName(name).c_str());
  block = SharedBlock{};
}

bool OpenNamedEvent(const std::u16string& name, NamedEvent& event) {
  sem_t* sem = ::sem_open(NativeObjectName(name).c_str(), 0);
  if (sem == SEM_FAILED) return false;
  event.handle = reinterpret_cast<std::intptr_t>(sem);
  return true;
}

void WaitNamedEvent(NamedEvent& event, std::uint32_t ms) {
  auto* sem = reinterpret_cast<sem_t*>(event.handle);
  if (event.handle == -1 || !sem) return;
  timespec deadline {};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int r;
  do {
    r = ::sem_clockwait(sem, CLOCK_MONOTONIC, &deadline);
  } while (r != 0 && errno == EINTR);
  if (r == 0) {
    // An auto-reset event holds at most one signal: posts made before this wait collapse into it.
    while (::sem_trywait(sem) == 0) {
    }
  }
}

bool CreateNamedEvent(const std::u16string& name, NamedEvent& event) {
  const std::string native = NativeObjectName(name);
  ::sem_unlink(native.c_str());
  sem_t* sem = ::sem_open(native.c_str(), O_CREAT | O_EXCL, 0600, 0);
  if (sem == SEM_FAILED) return false;
  event.handle = reinterpret_cast<std::intptr_t>(sem);
  return true;
}

void SignalNamedEvent(NamedEvent& event) {
  if (event.handle != -1) ::sem_post(reinterpret_cast<sem_t*>(event.handle));
}

void CloseNamedEvent(const std::u16string& name, NamedEvent& event) {
  if (event.handle != -1) ::sem_close(reinterpret_cast<sem_t*>(event.handle));
  ::sem_unlink(NativeObjectName(name).c_str());
  event = NamedEvent{};
}

}  // namespace platform
