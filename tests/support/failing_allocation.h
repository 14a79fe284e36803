// Memory that runs out on one thread, for tests of what vistrel does then: a program that links
// failing_allocation.cpp has its operator new replaced (every form of it ends in the plain one),
// and on a thread that asks for it, each allocation of at least the chosen size throws
// std::bad_alloc, as it does when a 32-bit process has no address space left.
#pragma once

#include <cstddef>

namespace testing_support {

// From now on, allocations of at least `bytes` on the calling thread fail; 0: none fail. Ends with
// the thread.
void FailAllocationsFrom(std::size_t bytes);

// The allocation `count` places ahead on the calling thread (1: the next one) fails, once; 0: none.
void FailAllocationNumber(std::size_t count);

// Failing allocations on the calling thread for as long as the object lives.
class FailingAllocations {
 public:
  explicit FailingAllocations(std::size_t fromBytes) { FailAllocationsFrom(fromBytes); }
  ~FailingAllocations() { FailAllocationsFrom(0); }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace testing_support
