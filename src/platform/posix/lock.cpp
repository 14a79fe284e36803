#include "platform/lock.h"

#include <mutex>
#include <new>

namespace platform {

static_assert(sizeof(std::mutex) <= 64 && alignof(std::mutex) <= 16);

Lock::Lock() { new (storage_) std::mutex(); }
Lock::~Lock() { std::launder(reinterpret_cast<std::mutex*>(storage_))->~mutex(); }
void Lock::Enter() { std::launder(reinterpret_cast<std::mutex*>(storage_))->lock(); }
void Lock::Leave() { std::launder(reinterpret_cast<std::mutex*>(storage_))->unlock(); }

}  // namespace platform
