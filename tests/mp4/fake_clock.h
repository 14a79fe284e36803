// A clock that tests drive: the tick count and the local time are plain values the test sets, and
// a one-shot hook can run when the code under test next reads the local time (to change the world
// at a known point inside an operation).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/clock.h"

class FakeClock {
 public:
  FakeClock() {
    Tick() = 1000;
    Local() = platform::LocalTime{2025, 3, 14, 21, 15, 2, 0};
    platform::SetClockForTesting(&FakeClock::ReadTick, &FakeClock::ReadLocal);
  }
  ~FakeClock() {
    platform::SetClockForTesting(nullptr, nullptr);
    std::lock_guard<std::mutex> hold(Mutex());
    Hook() = nullptr;
  }
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void SetTick(std::uint32_t tick) { Tick() = tick; }
  void Advance(std::uint32_t ms) { Tick() += ms; }
  std::uint32_t tick() const { return Tick(); }

  void SetLocal(const platform::LocalTime& time) {
    std::lock_guard<std::mutex> hold(Mutex());
    Local() = time;
  }
  void SetSecond(int second) {
    std::lock_guard<std::mutex> hold(Mutex());
    Local().second = second;
  }

  // Runs once, on the thread that next reads the local time, before the time is returned.
  void OnNextLocalTime(std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(Mutex());
    Hook() = std::move(hook);
    Excluded() = std::thread::id();
  }

  // The same, but only on a thread other than the calling one (the test's own log lines read the
  // local time too).
  void OnNextLocalTimeElsewhere(std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(Mutex());
    Hook() = std::move(hook);
    Excluded() = std::this_thread::get_id();
  }

 private:
  static std::atomic<std::uint32_t>& Tick() {
    static std::atomic<std::uint32_t> tick{0};
    return tick;
  }
  static platform::LocalTime& Local() {
    static platform::LocalTime local;
    return local;
  }
  static std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
  }
  static std::thread::id& Excluded() {
    static std::thread::id id;
    return id;
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::uint32_t ReadTick() { return Tick(); }
  static platform::LocalTime ReadLocal() {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> hold(Mutex());
      if (Excluded() != std::this_thread::get_id()) hook.swap(Hook());
    }
    if (hook) hook();
    std::lock_guard<std::mutex> hold(Mutex());
    return Local();
  }
};
