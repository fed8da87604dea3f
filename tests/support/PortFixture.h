// Helpers for tests of the port object on the scripted fake device.
#pragma once

#include <chrono>
#include <functional>

#include "framework/Clock.h"
#include "framework/MainThreadQueue.h"
#include "serial/VaComm.h"

namespace testsupport {

// Runs the main-thread call queue until cond holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const framework::Deadline deadline(limit);
  while (!cond()) {
    if (deadline.Passed()) return false;
    framework::CheckSynchronize(5);
  }
  return true;
}

// Waits (without running the queue) until cond holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const framework::Deadline deadline(limit);
  while (!cond()) {
    if (deadline.Passed()) return false;
    framework::WaitForQueuedCall(1);
  }
  return true;
}

// A display control that counts the port's notices.
class CountingDisplay : public serial::TVaDisplay {
 public:
  using TVaDisplay::TVaDisplay;
  void CommNotify(serial::TVaCustomComm*) override { ++notes; }
  int notes = 0;
};

}  // namespace testsupport
