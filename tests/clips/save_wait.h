// Waiting for the detached save thread: its end shows only in processState.runningSaves.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/process_state.h"

// Polls the counter with an acquiring load, so that everything the save thread did before its
// decrement is visible to the test afterwards (the folder, the files, the log).
inline void WaitForSaves() {
  std::atomic_ref<std::int32_t> saves(processState.runningSaves);
  for (int i = 0; i < 4000 && saves.load(std::memory_order_acquire) > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(saves.load(std::memory_order_acquire), 0) << "the save thread did not finish";
}
