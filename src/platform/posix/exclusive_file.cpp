#include "platform/exclusive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix_path.h"

namespace platform {

// Every writer of this layer holds an exclusive flock for as long as its file is open (see
// file.cpp); taking the same lock here is what stands for opening without sharing on Windows.
ExclusiveOpen OpenFileExclusive(const std::u16string& path, FileHandle& file) {
  file = kInvalidFile;
  const std::string native = posix::NativePath(path);
  // O_NONBLOCK: a FIFO planted under the name must not block the open; O_NOFOLLOW: a symbolic
  // link is refused rather than followed out of the folder.
  const int fd = ::open(native.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? ExclusiveOpen::Missing : ExclusiveOpen::Refused;
  struct stat open {};
  if (::fstat(fd, &open) != 0 || !S_ISREG(open.st_mode)) {
    ::close(fd);
    return ExclusiveOpen::Refused;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? ExclusiveOpen::Held : ExclusiveOpen::Refused;
  }
  // Still the file of that name: it may have been replaced between the open and the lock.
  struct stat named {};
  if (::stat(native.c_str(), &named) != 0 || named.st_dev != open.st_dev || named.st_ino != open.st_ino) {
    ::close(fd);
    return ExclusiveOpen::Missing;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return ExclusiveOpen::Refused;
  }
  file = fd;
  return ExclusiveOpen::Opened;
}

bool ReadFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size) {
  if (file == kInvalidFile) return false;
  auto* p = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(static_cast<int>(file), p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // the file ends before
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool FileSizeOf(FileHandle file, std::uint64_t& size) {
  struct stat st {};
  if (file == kInvalidFile || ::fstat(static_cast<int>(file), &st) != 0 || st.st_size < 0) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

}  // namespace platform
