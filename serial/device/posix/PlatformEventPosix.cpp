#include "serial/device/PlatformEvent.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace serial::platform_event {
namespace {

struct Waiter {
  std::mutex m;
  std::condition_variable cv;
  bool woken = false;
};

struct Event {
  std::mutex m;
  bool signaled = false;
  std::vector<Waiter*> waiters;
};

Event* AsEvent(EventHandle e) {
  return reinterpret_cast<Event*>(e);
}

// Index of the first signalled event, or -1.
int FirstSignaled(const EventHandle* events, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    Event* ev = AsEvent(events[i]);
    std::lock_guard lock(ev->m);
    if (ev->signaled) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

EventHandle Create() {
  // Owned through the handle until Destroy, like a kernel object.
  return reinterpret_cast<EventHandle>(new Event);
}

void Destroy(EventHandle e) {
  delete AsEvent(e);
}

void Signal(EventHandle e) {
  Event* ev = AsEvent(e);
  std::lock_guard lock(ev->m);
  ev->signaled = true;
  for (Waiter* w : ev->waiters) {
    std::lock_guard wl(w->m);
    w->woken = true;
    w->cv.notify_one();
  }
}

void Reset(EventHandle e) {
  Event* ev = AsEvent(e);
  std::lock_guard lock(ev->m);
  ev->signaled = false;
}

bool IsSignaled(EventHandle e) {
  Event* ev = AsEvent(e);
  std::lock_guard lock(ev->m);
  return ev->signaled;
}

int WaitAny(const EventHandle* events, std::size_t n, std::uint32_t timeoutMs) {
  if (n == 0 || events == nullptr) return kWaitFailed;
  for (std::size_t i = 0; i < n; ++i)
    if (events[i] == kNoEvent) return kWaitFailed;

  int index = FirstSignaled(events, n);
  if (index >= 0) return index;
  if (timeoutMs == 0) return kWaitTimedOut;

  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs == 0xFFFFFFFFu;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  Waiter waiter;
  for (std::size_t i = 0; i < n; ++i) {
    Event* ev = AsEvent(events[i]);
    std::lock_guard lock(ev->m);
    ev->waiters.push_back(&waiter);
  }
  for (;;) {
    index = FirstSignaled(events, n);
    if (index >= 0) break;
    std::unique_lock wl(waiter.m);
    if (forever) {
      waiter.cv.wait(wl, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.woken; })) {
      wl.unlock();
      index = FirstSignaled(events, n);
      if (index < 0) index = kWaitTimedOut;
      break;
    }
    waiter.woken = false;  // a reset may have raced the signal: look again
  }
  for (std::size_t i = 0; i < n; ++i) {
    Event* ev = AsEvent(events[i]);
    std::lock_guard lock(ev->m);
    auto& ws = ev->waiters;
    ws.erase(std::remove(ws.begin(), ws.end(), &waiter), ws.end());
  }
  return index;
}

}  // namespace serial::platform_event
