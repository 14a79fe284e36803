#include "support/failing_allocation.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t failFrom = 0;
thread_local std::size_t failCountdown = 0;
}  // namespace

namespace testing_support {
void FailAllocationsFrom(std::size_t bytes) { failFrom = bytes; }
void FailAllocationNumber(std::size_t count) { failCountdown = count; }
}  // namespace testing_support

// The library's other forms (arrays, nothrow) call this one; memory is the C library's, so that
// every form of delete may free it.
void* operator new(std::size_t size) {
  if (failFrom != 0 && size >= failFrom) throw std::bad_alloc();
  if (failCountdown != 0 && --failCountdown == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
