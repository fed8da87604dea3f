// Helpers for tests of the port object on the scripted fake device.
#pragma once

#include <chrono>
#include <functional>

#include "framework/MainThreadQueue.h"

namespace testsupport {

// Runs the main-thread call queue until cond holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    framework::CheckSynchronize(5);
  }
  return true;
}

// Waits (without running the queue) until cond holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    framework::WaitForQueuedCall(1);
  }
  return true;
}

}  // namespace testsupport
