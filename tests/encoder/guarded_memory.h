// Buffers whose neighbouring bytes cannot be touched: an inaccessible page right before and right
// after the bytes in use, so that reading or writing one byte past either end faults in any build.
// Under AddressSanitizer the unused part of the pages in between is poisoned as well, and so can be
// any range inside (the gap between the rows of a picture).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VISTREL_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define VISTREL_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VISTREL_POISON(address, size) ((void)(address), (void)(size))
#define VISTREL_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

// Which end of the buffer touches its guard page exactly (the other end has one too, with the
// rest of a page between; only AddressSanitizer sees a touch there).
enum class GuardedEdge { End, Start };

class GuardedBuffer {
 public:
  GuardedBuffer(std::size_t size, GuardedEdge edge) : size_(size) {
    page_ = PageSize();
    body_ = (size + page_ - 1) / page_ * page_;
    if (body_ == 0) body_ = page_;
    mappedSize_ = body_ + 2 * page_;
#if defined(_WIN32)
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, mappedSize_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (base_ == nullptr) std::abort();
    DWORD old = 0;
    if (!VirtualProtect(base_, page_, PAGE_NOACCESS, &old) ||
        !VirtualProtect(base_ + page_ + body_, page_, PAGE_NOACCESS, &old)) {
      std::abort();
    }
#else
    void* mapped = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) std::abort();
    base_ = static_cast<std::uint8_t*>(mapped);
    if (mprotect(base_, page_, PROT_NONE) != 0 || mprotect(base_ + page_ + body_, page_, PROT_NONE) != 0) {
      std::abort();
    }
#endif
    data_ = edge == GuardedEdge::End ? base_ + page_ + body_ - size : base_ + page_;
    VISTREL_POISON(base_ + page_, static_cast<std::size_t>(data_ - (base_ + page_)));
    VISTREL_POISON(data_ + size, static_cast<std::size_t>(base_ + page_ + body_ - (data_ + size)));
  }

  ~GuardedBuffer() {
    VISTREL_UNPOISON(base_ + page_, body_);
#if defined(_WIN32)
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, mappedSize_);
#endif
  }

  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Makes bytes [offset, offset + length) untouchable under AddressSanitizer (no effect elsewhere).
  void Poison(std::size_t offset, std::size_t length) { VISTREL_POISON(data_ + offset, length); }

 private:
  static std::size_t PageSize() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
  }

  std::size_t size_;
  std::size_t page_ = 0;
  std::size_t body_ = 0;
  std::size_t mappedSize_ = 0;
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
};
