// Atomic operations on 32-bit words, also on words in memory shared with another process.
// They are sequentially consistent, like the Windows interlocked functions.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

template <typename T>
concept Word32 = sizeof(T) == 4 && std::is_integral_v<T>;

// Stores value and returns the previous one.
template <Word32 T>
inline T AtomicExchange(T& word, T value) {
  return std::atomic_ref<T>(word).exchange(value);
}

// Adds one and returns the new value (it wraps for unsigned words).
template <Word32 T>
inline T AtomicIncrement(T& word) {
  return std::atomic_ref<T>(word).fetch_add(1) + T(1);
}

// Subtracts one and returns the new value.
template <Word32 T>
inline T AtomicDecrement(T& word) {
  return std::atomic_ref<T>(word).fetch_sub(1) - T(1);
}

// A load that the compiler cannot tear, cache or move. Sequentially consistent like the rest: a
// reader that sees a word change must also see what the writer did before changing it (the save
// thread's files once runningSaves drops, requestKind once requestCount moves). On x86 this is a
// plain load.
template <Word32 T>
inline T AtomicLoad(const T& word) {
  return std::atomic_ref<T>(const_cast<T&>(word)).load();
}

template <Word32 T>
inline void AtomicStore(T& word, T value) {
  std::atomic_ref<T>(word).store(value);
}

// 64-bit words: sequence numbers and counts that must never wrap. Both builds do them without a
// lock (a lock would not reach into another process's view of shared memory).
template <typename T>
concept Word64 = sizeof(T) == 8 && std::is_integral_v<T>;

template <Word64 T>
inline T AtomicLoad(const T& word) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  return std::atomic_ref<T>(const_cast<T&>(word)).load();
}

template <Word64 T>
inline void AtomicStore(T& word, T value) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  std::atomic_ref<T>(word).store(value);
}

// Untearable but unordered access to data that another thread may rewrite at the same time; the
// order comes from the barriers and ordered words around it (a sequence number checked after).
template <typename T>
  requires(Word32<T> || Word64<T>)
inline T RelaxedLoad(const T& word) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}

template <typename T>
  requires(Word32<T> || Word64<T>)
inline void RelaxedStore(T& word, T value) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
}

inline void FullBarrier() { std::atomic_thread_fence(std::memory_order_seq_cst); }

}  // namespace platform
